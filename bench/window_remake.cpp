// MAKE in the main window twice, with one row deleted in between, timed from the click to
// the success message. Run under a real X server (xvfb-run) on the page set:
//   folio_window_remake PAGES.TXT OUTDIR [REPEAT]
// REPEAT (default 10) copies of the page list go into the window.
#include "book/pages/page_list.h"
#include "ui/page_list_dlg.h"
#include "ui/services.h"
#include "ui/templates.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QWindow>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace folio;
using namespace folio::ui;

// Answers Yes and notes when the success message comes.
class TimedBoxes final : public MessageBoxes {
  public:
    explicit TimedBoxes(QElapsedTimer& clock) : clock_(clock) {}
    void information(QWidget*, const QString&, const QString&) override {
        messageAt = clock_.nsecsElapsed();
    }
    bool question(QWidget*, const QString&) override { return true; }
    void critical(QWidget*, const QString& text) override {
        std::fprintf(stderr, "folio_window_remake: %s\n", qPrintable(text));
    }
    qint64 messageAt = -1;

  private:
    QElapsedTimer& clock_;
};

double timedMake(CPageListDlg& dlg, QElapsedTimer& clock, TimedBoxes& boxes) {
    boxes.messageAt = -1;
    QPushButton* make = control<QPushButton>(dlg, 1);
    const qint64 clickedAt = clock.nsecsElapsed();
    QTest::mouseClick(make, Qt::LeftButton);
    if (boxes.messageAt < 0) return -1;
    return static_cast<double>(boxes.messageAt - clickedAt) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: folio_window_remake PAGES.TXT OUTDIR [REPEAT]\n");
        return 2;
    }
    const int repeat = argc > 3 ? std::atoi(argv[3]) : 10;
    std::vector<std::pair<std::string, bool>> list; // path, gray
    std::ifstream in(argv[1]);
    for (std::string kind, path; in >> kind && std::getline(in >> std::ws, path);)
        list.emplace_back(path, kind != "color");
    if (list.empty()) {
        std::fprintf(stderr, "folio_window_remake: no pages in %s\n", argv[1]);
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    TimedBoxes boxes(clock);
    UiServices services;
    services.boxes = &boxes;
    CPageListDlg dlg(services);
    dlg.show();
    while (!dlg.windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    std::vector<std::string> paths;
    for (int r = 0; r < repeat; ++r)
        for (const auto& [path, gray] : list)
            paths.push_back(path);
    dlg.AddFiles(paths);
    // Adding may order the files its own way: each row takes the kind its file has.
    std::map<std::string, bool> grayOf(list.begin(), list.end());
    for (int row = 0; row < dlg.pages().rowCount(); ++row)
        dlg.pages().setCellText(row, kCellGrayFlag,
                                grayOf[dlg.pages().cellText(row, kCellPath)] ? "Yes" : "No");
    const int rows = dlg.pages().rowCount();
    dlg.m_editFileName->setText(QString::fromLocal8Bit(argv[2]) + QStringLiteral("/window"));

    const double first = timedMake(dlg, clock, boxes);
    const std::size_t firstHits = dlg.pageCache().hits();
    // The user deletes one row in the middle and makes the book again.
    dlg.m_list->clearSelection();
    dlg.m_list->selectRow(rows / 2);
    QTest::mouseClick(control<QPushButton>(dlg, 1010), Qt::LeftButton);
    if (dlg.pages().rowCount() != rows - 1) {
        std::fprintf(stderr, "folio_window_remake: the row was not deleted\n");
        return 1;
    }
    const std::size_t hitsBefore = dlg.pageCache().hits(), missesBefore = dlg.pageCache().misses();
    const double second = timedMake(dlg, clock, boxes);
    if (first < 0 || second < 0) {
        std::fprintf(stderr, "folio_window_remake: no success message\n");
        return 1;
    }
    std::printf("rows %d then %d\nfirst MAKE  %.3f s (%zu pages from the session)\n"
                "second MAKE %.3f s (%.1f%% of the first, %zu pages from the session, %zu made)\n",
                rows, rows - 1, first, firstHits, second, 100.0 * second / first,
                dlg.pageCache().hits() - hitsBefore, dlg.pageCache().misses() - missesBefore);
    return 0;
}
