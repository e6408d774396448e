#include "book/making/page_planner.h"

#include "book/base/parallel.h"
#include "book/making/page_shape.h"
#include "book/sources/metadata.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

namespace folio {

std::string PagePart::key() const {
    auto rectText = [&] {
        return std::to_string(rect.x) + "," + std::to_string(rect.y) + "," +
               std::to_string(rect.width) + "," + std::to_string(rect.height);
    };
    switch (kind) {
    case Kind::Whole:
        return {};
    case Kind::LeftHalf:
        return "left:" + rectText();
    case Kind::RightHalf:
        return "right:" + rectText();
    case Kind::StripPiece:
        break;
    }
    // A piece is made of several files; it is never kept (see makePage), but it is named.
    std::string key = "strip:" + std::to_string(width);
    for (const SliceRows& r : rows)
        key += ";" + std::to_string(r.slice) + "@" + std::to_string(r.firstRow) + "+" +
               std::to_string(r.rows);
    return key;
}

std::string plannedPageName(const PlannedPage& page) {
    if (page.part.count <= 1) return page.entry.page.path;
    return page.entry.page.path + " (" + std::to_string(page.part.index) + "/" +
           std::to_string(page.part.count) + ")";
}

bool containerReadsRightToLeft(const PageRef& page) {
    if (!page.source.isMember()) return false;
    BookMetadata metadata;
    std::string warning;
    return readContainerMetadata(page.source.container, metadata, warning) && metadata.rightToLeft;
}

bool cutToRect(Image& picture, const PageRect& rect, std::string& reason) {
    std::string why;
    if (cutPicture(picture, {rect.x, rect.y, rect.width, rect.height}, why)) return true;
    reason = why.empty() ? "cannot cut the half (out of memory)" : "cannot cut the half: " + why;
    return false;
}

std::shared_ptr<const Image> StripSliceMemory::slice(const PageRef& page, bool gray,
                                                     SourceReader& sources, std::string& reason) {
    std::promise<Loaded> promise;
    std::shared_future<Loaded> loaded;
    bool mine = false;
    {
        std::lock_guard lock(mutex_);
        const auto match = [&](const Kept& k) { return k.path == page.path && k.gray == gray; };
        if (auto it = std::find_if(recent_.begin(), recent_.end(), match); it != recent_.end()) {
            recent_.splice(recent_.begin(), recent_, it);
        } else if (auto h = std::find_if(handedOver_.begin(), handedOver_.end(), match);
                   h != handedOver_.end()) {
            recent_.splice(recent_.begin(), handedOver_, h);
        } else {
            recent_.push_front({page.path, gray, promise.get_future().share()});
            mine = true;
        }
        loaded = recent_.front().loaded;
        while (recent_.size() > capacity_)
            recent_.pop_back();
    }
    if (mine) {
        Loaded result;
        try {
            auto image = std::make_shared<Image>(0);
            if (!loadPage(page, sources, *image, result.reason) || !image->IsValid()) {
                if (result.reason.empty()) result.reason = "does not load";
            } else if (gray ? !image->GrayScale() : image->IsIndexed() && !image->IncreaseBpp24()) {
                result.reason = gray ? "cannot convert the strip to gray (out of memory)"
                                     : "cannot convert the strip to true colour (out of memory)";
            } else {
                result.image = std::move(image);
            }
        } catch (const std::bad_alloc&) {
            result.reason = "cannot join the strip piece (out of memory)";
        }
        const bool failed = !result.image;
        promise.set_value(std::move(result));
        if (failed) {
            // A failure is not kept: the next piece tries again.
            std::lock_guard lock(mutex_);
            recent_.remove_if([&](const Kept& k) {
                return k.path == page.path && k.gray == gray &&
                       k.loaded.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
                       !k.loaded.get().image;
            });
        }
    }
    const Loaded& result = loaded.get();
    if (!result.image) reason = result.reason;
    return result.image;
}

bool StripSliceMemory::keep(const std::string& path, bool gray, Image& picture) {
    const std::uint64_t bytes =
        std::uint64_t{picture.GetWidth()} * picture.GetHeight() * (gray ? 1 : 3);
    {
        std::lock_guard lock(mutex_);
        if (bytes > kHandedOverBytes - handedOverBytes_) return false;
        handedOverBytes_ += static_cast<std::size_t>(bytes);
    }
    if (gray ? !picture.GrayScale() : picture.IsIndexed() && !picture.IncreaseBpp24()) return false;
    std::promise<Loaded> promise;
    promise.set_value({std::make_shared<const Image>(std::move(picture)), {}});
    std::lock_guard lock(mutex_);
    handedOver_.push_back({path, gray, promise.get_future().share()});
    return true;
}

bool joinStripPiece(const PagePart& part, bool gray, SourceReader& sources, Image& piece,
                    std::string& reason, StripSliceMemory* memory) {
    std::optional<StripSliceMemory> own;
    if (!memory) memory = &own.emplace(1);
    std::uint64_t total = 0;
    for (const SliceRows& r : part.rows)
        total += r.rows;
    if (part.width == 0 || total == 0 || total > UINT32_MAX) {
        reason = "the strip piece is empty";
        return false;
    }
    try {
        std::string why;
        if (!piece.Create(part.width, static_cast<std::uint32_t>(total), gray ? 8 : 24, &why)) {
            reason = "cannot join the strip piece: " + why;
            return false;
        }
        if (gray) piece.SetGrayPalette();
        std::uint32_t y = 0;
        for (const SliceRows& r : part.rows) {
            if (r.slice >= part.slices.size()) {
                reason = "the strip piece names a missing picture";
                return false;
            }
            const PageRef& page = part.slices[r.slice];
            const std::shared_ptr<const Image> slice = memory->slice(page, gray, sources, why);
            if (!slice) {
                reason = "does not load: " + page.path + ": " + why;
                return false;
            }
            // Rows are copied whole: a slice of another depth would overrun them.
            if (slice->GetBpp() != piece.GetBpp()) {
                reason = "the strip slice is not " + std::string(gray ? "gray" : "true colour");
                return false;
            }
            if (slice->GetWidth() != part.width ||
                std::uint64_t{r.firstRow} + r.rows > slice->GetHeight()) {
                reason = "changed size while the book was made: " + page.path;
                return false;
            }
            for (std::uint32_t k = 0; k < r.rows; ++k)
                std::copy_n(slice->Row(r.firstRow + k), slice->Stride(), piece.Row(y + k));
            y += r.rows;
        }
    } catch (const std::bad_alloc&) {
        reason = "cannot join the strip piece (out of memory)";
        return false;
    }
    return true;
}

namespace {

struct Probed {
    bool ok = false;
    std::uint32_t width = 0, height = 0;
};

class Planner {
  public:
    Planner(const std::vector<BookEntry>& entries, const PageOptions& options,
            SourceReader& sources, int jobs, StripSliceMemory* slices)
        : entries_(entries), options_(options), sources_(sources), jobs_(jobs), slices_(slices) {}

    std::vector<PlannedPage> plan() {
        for (const BookEntry& e : entries_)
            if (e.page.kind != PageKind::None) usable_.push_back(&e);
        if (!options_.splitSpreads && !options_.strips) {
            for (const BookEntry* e : usable_)
                add(*e, {});
            return std::move(out_);
        }
        probed_.resize(usable_.size());
        parallelFor(usable_.size(), jobs_, [&](std::size_t i) {
            PageFacts facts;
            std::string why;
            if (probePage(usable_[i]->page, sources_, facts, why))
                probed_[i] = {true, facts.picture.width, facts.picture.height};
        });
        if (!options_.strips) {
            for (std::size_t i = 0; i < usable_.size(); ++i)
                planSingle(i);
        } else {
            planStrips();
        }
        numberWithinRows();
        return std::move(out_);
    }

  private:
    void add(const BookEntry& entry, PagePart part) { out_.push_back({entry, std::move(part)}); }

    bool rightToLeft(const PageRef& page) {
        if (options_.rightToLeft) return true;
        if (!page.source.isMember()) return false;
        auto [it, fresh] = rtlByContainer_.try_emplace(page.source.container, false);
        if (fresh) it->second = containerReadsRightToLeft(page);
        return it->second;
    }

    // A picture on its own: whole, or its two halves.
    void planSingle(std::size_t i) {
        const BookEntry& entry = *usable_[i];
        const Probed& p = probed_[i];
        if (!options_.splitSpreads || !p.ok) return add(entry, {});
        const std::vector<PageRect> rects = spreadPages(p.width, p.height, rightToLeft(entry.page));
        if (rects.size() < 2) return add(entry, {});
        for (const PageRect& rect : rects) {
            PagePart part;
            part.kind = rect.x == 0 ? PagePart::Kind::LeftHalf : PagePart::Kind::RightHalf;
            part.rect = rect;
            add(entry, std::move(part));
        }
    }

    void planStrips() {
        std::vector<StripSlice> pictures(usable_.size());
        std::uint64_t group = 0;
        std::string_view before;
        for (std::size_t i = 0; i < usable_.size(); ++i) {
            const std::string& path = usable_[i]->page.path;
            const std::string_view folder(path.data(), std::min(path.size(), path.rfind('/')));
            if (i > 0 && folder != before) ++group;
            before = folder;
            // A picture whose header is refused is a strip of its own (no pixels).
            if (probed_[i].ok) pictures[i] = {probed_[i].width, probed_[i].height, group};
        }
        for (const StripRun& run : groupStrips(pictures)) {
            const std::uint32_t width = pictures[run.first].width;
            if (width < kMinStripWidth ||
                (run.count == 1 && pictures[run.first].height <= stripPieceLimit(width))) {
                for (std::size_t k = 0; k < run.count; ++k)
                    planSingle(run.first + k);
                continue;
            }
            planRun(run, pictures);
        }
    }

    // One strip: its pictures decoded for their blank rows, then cut. A picture that does not
    // decode as its header said breaks the strip there and is left to fail on its own.
    void planRun(const StripRun& run, const std::vector<StripSlice>& pictures) {
        std::vector<std::vector<bool>> flags(run.count);
        std::vector<char> decoded(run.count, 0);
        parallelFor(run.count, jobs_, [&](std::size_t k) {
            const std::size_t i = run.first + k;
            Image image(0);
            std::string why;
            try {
                if (!loadPage(usable_[i]->page, sources_, image, why) || !image.IsValid() ||
                    image.GetWidth() != pictures[i].width ||
                    image.GetHeight() != pictures[i].height)
                    return;
                flags[k] = uniformRows(image);
                decoded[k] = 1;
                // Joined as its pieces will be (see makePage), so they need not decode it.
                if (slices_)
                    slices_->keep(usable_[i]->page.path, usable_[i]->gray && !options_.autoColor,
                                  image);
            } catch (const std::bad_alloc&) {
            }
        });
        std::size_t start = 0;
        for (std::size_t k = 0; k <= run.count; ++k) {
            if (k < run.count && decoded[k]) continue;
            if (k > start) cutRun(run.first + start, k - start, pictures, flags, start);
            if (k < run.count) add(*usable_[run.first + k], {});
            start = k + 1;
        }
    }

    void cutRun(std::size_t first, std::size_t count, const std::vector<StripSlice>& pictures,
                std::vector<std::vector<bool>>& flags, std::size_t flagsFirst) {
        const std::uint32_t width = pictures[first].width;
        std::vector<std::uint32_t> heights;
        std::vector<bool> uniform;
        std::uint64_t height = 0;
        for (std::size_t k = 0; k < count; ++k) {
            heights.push_back(pictures[first + k].height);
            height += heights.back();
            std::vector<bool>& f = flags[flagsFirst + k];
            uniform.insert(uniform.end(), f.begin(), f.end());
            f = {};
        }
        const std::vector<StripPiece> pieces = cutStrip(height, width, uniform);
        if (pieces.size() > kMaxStripPieces) {
            for (std::size_t k = 0; k < count; ++k)
                planSingle(first + k);
            return;
        }
        const std::vector<std::vector<SliceRows>> sliceRows = pieceSlices(heights, pieces);
        for (const std::vector<SliceRows>& rows : sliceRows) {
            if (rows.empty()) continue;
            PagePart part;
            part.kind = PagePart::Kind::StripPiece;
            part.width = width;
            // Only the slices this piece touches, renumbered from 0.
            const std::size_t base = rows.front().slice;
            for (std::size_t s = base; s <= rows.back().slice; ++s)
                part.slices.push_back(usable_[first + s]->page);
            for (SliceRows r : rows) {
                r.slice -= base;
                part.rows.push_back(r);
            }
            add(*usable_[first + base], std::move(part));
        }
    }

    // Pages of one row are numbered 1/N to N/N.
    void numberWithinRows() {
        for (std::size_t i = 0; i < out_.size();) {
            std::size_t j = i + 1;
            while (j < out_.size() && out_[j].entry.row == out_[i].entry.row &&
                   out_[j].entry.page == out_[i].entry.page)
                ++j;
            for (std::size_t k = i; k < j; ++k) {
                out_[k].part.index = static_cast<int>(k - i + 1);
                out_[k].part.count = static_cast<int>(j - i);
                // A picture's later pages start no source, so volumes prefer other breaks.
                if (k > i) out_[k].entry.startsSource = false;
            }
            i = j;
        }
    }

    const std::vector<BookEntry>& entries_;
    const PageOptions& options_;
    SourceReader& sources_;
    int jobs_;
    StripSliceMemory* slices_;
    std::vector<const BookEntry*> usable_;
    std::vector<Probed> probed_;
    std::map<std::string, bool> rtlByContainer_;
    std::vector<PlannedPage> out_;
};

} // namespace

std::vector<PlannedPage> planPages(const std::vector<BookEntry>& entries,
                                   const PageOptions& options, SourceReader& sources, int jobs,
                                   StripSliceMemory* slices) {
    return Planner(entries, options, sources, jobs, slices).plan();
}

} // namespace folio
