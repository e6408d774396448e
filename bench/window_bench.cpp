// The window's start-up with pages named on its command line, as `folioforge FILE...` runs
// it: application object, main window, the rows added, the window shown. Prints the seconds
// from entering main to the first turn of the window's event loop, and the rows then in the
// list. Run it on the offscreen platform (or under Xvfb) with the page files as arguments.
#include "ui/book_app.h"
#include "ui/page_list_dlg.h"

#include <QApplication>
#include <QTableWidget>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> files(argv + 1, argv + argc);
    QApplication app(argc, argv);
    double seconds = 0;
    int rows = -1;
    folio::ui::CBookApp::Options options;
    options.onMainWindow = [&](folio::ui::CPageListDlg& dlg) {
        QTimer::singleShot(0, &dlg, [&] {
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (const auto* list = dlg.findChild<QTableWidget*>()) rows = list->rowCount();
            dlg.reject();
        });
    };
    folio::ui::CBookApp bookApp(std::move(options));
    bookApp.InitInstance(files);
    std::printf("%.3f\t%d\n", seconds, rows);
    return rows < 0 ? 1 : 0;
}
