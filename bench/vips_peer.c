/* libvips doing a book's page work in one process, to compare with folioforge:
 *   folio_vips_peer LIST OUTDIR
 * For each "gray|color<TAB>path" line of LIST: load, turn left when portrait, make gray
 * when marked gray, scale to 640 high, save OUTDIR/NNN.jpg at Q 50 (gray) or 80 (colour).
 *
 * One worker thread by default, so "one process" means one core as for folioforge
 * --jobs 1; FOLIO_VIPS_THREADS=N gives libvips N threads.
 *
 * Scaling: vips_resize first box-shrinks by a whole factor (vips_shrink, an area average)
 * and reduces the rest with the kernel, whose support widens with the reduction, so a
 * linear kernel averages the covered area when shrinking and interpolates when enlarging,
 * the same kind of filter the tool uses. */
#include <vips/vips.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kPageHeight = 640 };

/* Random access: with sequential access turning works on the large pages (and halves the
 * peak memory) but small portrait pages that get enlarged fail with "out of order read". */
static VipsImage* load(const char* path) {
    return vips_image_new_from_file(path, "access", VIPS_ACCESS_RANDOM, NULL);
}

/* Replaces *img by the step's result *t (read only after the call has run), or keeps it
 * and fails. */
static int step(VipsImage** img, int rc, VipsImage** t) {
    if (rc != 0) return -1;
    g_object_unref(*img);
    *img = *t;
    *t = NULL;
    return 0;
}

static int page(const char* path, int gray, const char* out) {
    VipsImage* img = load(path);
    VipsImage* t = NULL;
    int rc = 0;
    if (!img) return -1;
    if (vips_image_get_height(img) > vips_image_get_width(img))
        rc = step(&img, vips_rot(img, &t, VIPS_ANGLE_D270, NULL), &t);
    if (rc == 0 && gray)
        rc = step(&img, vips_colourspace(img, &t, VIPS_INTERPRETATION_B_W, NULL), &t);
    if (rc == 0) {
        const int w = vips_image_get_width(img), h = vips_image_get_height(img);
        /* Width rounded like the other tools; both scales given so the height is exact. */
        const int target = (int)(((long long)w * kPageHeight * 2 + h) / (2LL * h));
        const double hscale = (double)target / w, vscale = (double)kPageHeight / h;
        if (h != kPageHeight)
            rc = step(
                &img,
                vips_resize(img, &t, hscale, "vscale", vscale, "kernel", VIPS_KERNEL_LINEAR, NULL),
                &t);
    }
    if (rc == 0) rc = vips_jpegsave(img, out, "Q", gray ? 50 : 80, NULL);
    g_object_unref(img);
    return rc;
}

int main(int argc, char** argv) {
    FILE* list;
    char line[4096];
    int n = 0, failed = 0;
    const char* threads;

    if (VIPS_INIT(argv[0])) vips_error_exit(NULL);
    if (argc != 3) {
        fprintf(stderr, "usage: folio_vips_peer LIST OUTDIR\n");
        return 2;
    }
    threads = getenv("FOLIO_VIPS_THREADS");
    vips_concurrency_set(threads ? atoi(threads) : 1);
    /* Every page is a new file: the operation cache could only hold memory. */
    vips_cache_set_max(0);

    list = fopen(argv[1], "r");
    if (!list) {
        fprintf(stderr, "folio_vips_peer: cannot read %s\n", argv[1]);
        return 1;
    }
    while (fgets(line, sizeof line, list)) {
        char out[4200];
        char* tab = strchr(line, '\t');
        line[strcspn(line, "\r\n")] = '\0';
        if (!tab) continue;
        *tab = '\0';
        ++n;
        snprintf(out, sizeof out, "%s/%03d.jpg", argv[2], n);
        if (page(tab + 1, strcmp(line, "gray") == 0, out) != 0) {
            fprintf(stderr, "folio_vips_peer: cannot read %s: %s", tab + 1, vips_error_buffer());
            vips_error_clear();
            remove(out); /* a failed save can leave a partial file behind */
            ++failed;
        }
    }
    fclose(list);
    vips_shutdown();
    return failed ? 1 : 0;
}
