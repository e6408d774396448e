#include "ui/page_list_dlg.h"

#include "book/image/image_type.h"
#include "book/making/book_builder.h"
#include "book/pages/file_order.h"
#include "book/sources/metadata.h"
#include "book/sources/source.h"
#include "ui/about_dlg.h"
#include "ui/app_icon.h"
#include "ui/make_dlg.h"
#include "ui/strings.h"
#include "ui/templates.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <optional>

namespace folio::ui {

namespace {
const char* const kHeaders[kCellCount] = {"文件名", "分辨率", "尺寸", "黑白", "路径"};
constexpr int kWidths[kCellCount] = {100, 100, 100, 50, 400};

// Marks the view as being set from the list for the lifetime of the guard.
class SyncGuard {
  public:
    explicit SyncGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~SyncGuard() { flag_ = old_; }
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;

  private:
    bool& flag_;
    bool old_;
};
} // namespace

CPageListDlg::CPageListDlg(UiServices services, QWidget* parent)
    : QDialog(parent), m_hIcon(appIcon()), m_services(std::move(services)) {
    if (!m_services.boxes) {
        m_ownBoxes = std::make_unique<QtMessageBoxes>();
        m_services.boxes = m_ownBoxes.get();
    }
    if (!m_services.chooser) {
        m_ownChooser = std::make_unique<QtFileChooser>(this);
        m_services.chooser = m_ownChooser.get();
    }
    if (!m_services.lookup) m_services.lookup = &m_diskLookup;

    buildDialog(*this, dialogTemplate(kIddMain));
    // Controls bound in the order 1000, 1001, 1002, 1003, 1016, 1017, 1018, 1019.
    m_list = control<QTableWidget>(*this, 1000);
    m_editTitle = control<QLineEdit>(*this, 1001);
    m_editAuthor = control<QLineEdit>(*this, 1002);
    m_editFileName = control<QLineEdit>(*this, 1003);
    m_sliderGray = control<QSlider>(*this, 1016);
    m_sliderColor = control<QSlider>(*this, 1017);
    m_labelGray = control<QLabel>(*this, 1018);
    m_labelColor = control<QLabel>(*this, 1019);

    const auto route = [this](int id, void (CPageListDlg::*handler)()) {
        connect(control<QPushButton>(*this, id), &QPushButton::clicked, this,
                [this, handler] { (this->*handler)(); });
    };
    route(1005, &CPageListDlg::OnAddFile);
    route(1010, &CPageListDlg::OnDelFile);
    route(1006, &CPageListDlg::OnMoveTop);
    route(1008, &CPageListDlg::OnMoveBottom);
    route(1007, &CPageListDlg::OnUp);
    route(1009, &CPageListDlg::OnDown);
    route(1011, &CPageListDlg::OnColorGray);
    route(1, &CPageListDlg::OnMake);
    route(2, &CPageListDlg::OnExit);
    addCommandKeys();

    connect(m_sliderGray, &QSlider::valueChanged, this, [this](int p) {
        m_labelGray->setText(grayQualityText(p));
        refreshBookPreview();
    });
    connect(m_sliderColor, &QSlider::valueChanged, this, [this](int p) {
        m_labelColor->setText(colorQualityText(p));
        refreshBookPreview();
    });
    connect(m_list, &QTableWidget::itemSelectionChanged, this, &CPageListDlg::copyViewSelection);
    connect(m_list, &QTableWidget::currentCellChanged, this,
            [this](int row, int, int, int) { OnItemchangedList(row); });
    m_listViewport = m_list->viewport();
    m_listViewport->installEventFilter(this);
    // Files dragged from a file manager land here, wherever over the window they are let go.
    setAcceptDrops(true);

    OnInitDialog();
    m_pages.setObserver(this);
}

CPageListDlg::~CPageListDlg() {
    m_pages.setObserver(nullptr);
    destroyPreview();
}

void CPageListDlg::OnInitDialog() {
    // No window-menu hook on X11 or Wayland: the About item lives on the context menu and F1.
    const QString about = loadString(kIdsAboutBox);
    if (!about.isEmpty()) {
        m_aboutAction = new QAction(about, this);
        m_aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
        m_aboutAction->setShortcutContext(Qt::WindowShortcut);
        connect(m_aboutAction, &QAction::triggered, this, [this] { OnSysCommand(kIdmAboutBox); });
        addAction(m_aboutAction);
    }
    addShapeCommands();

    m_list->setColumnCount(kCellCount);
    QStringList headers;
    for (const char* h : kHeaders)
        headers << QString::fromUtf8(h);
    m_list->setHorizontalHeaderLabels(headers);
    for (int c = 0; c < kCellCount; ++c) {
        m_list->horizontalHeaderItem(c)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        m_list->setColumnWidth(c, kWidths[c]);
    }
    m_list->horizontalHeader()->setSectionsClickable(false);
    m_list->horizontalHeader()->setHighlightSections(false);
    m_list->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_list->horizontalHeader()->setStretchLastSection(false);
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 4);
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSortingEnabled(false);
    m_list->setWordWrap(false);
    m_list->setTabKeyNavigation(false);
    // The selection shows only while the list has the focus.
    QPalette pal = m_list->palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Base));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::Text));
    m_list->setPalette(pal);

    m_pPreview.reset();

    m_sliderGray->setRange(0, 100);
    m_sliderGray->setValue(50);
    m_sliderColor->setRange(0, 100);
    m_sliderColor->setValue(80);
    m_labelGray->setText(grayQualityText(50));
    m_labelColor->setText(colorQualityText(80));

    setWindowIcon(m_hIcon);
    control<QPushButton>(*this, 1)->setFocus();
}

// Keys for the list commands. Each presses its button, so the key and the button are one
// command; the focus order stays the template's. In an edit field the field's own keys
// (Delete, Ctrl+Home, Ctrl+End) come first.
void CPageListDlg::addCommandKeys() {
    struct Key {
        int id;
        QKeySequence key;
        const char* tip;
    };
    const Key keys[] = {
        {1005, QKeySequence(Qt::CTRL | Qt::Key_O), "Add image files at the end of the list"},
        {1010, QKeySequence(Qt::Key_Delete), "Delete the selected pages"},
        {1006, QKeySequence(Qt::CTRL | Qt::Key_Home), "Move the selected pages to the top"},
        {1008, QKeySequence(Qt::CTRL | Qt::Key_End), "Move the selected pages to the bottom"},
        {1007, QKeySequence(Qt::CTRL | Qt::Key_Up), "Move the selected pages up one row"},
        {1009, QKeySequence(Qt::CTRL | Qt::Key_Down), "Move the selected pages down one row"},
        {1011, QKeySequence(Qt::CTRL | Qt::Key_G),
         "Switch the selected pages between gray and colour"},
    };
    for (const Key& k : keys) {
        auto* button = control<QPushButton>(*this, k.id);
        auto* action = new QAction(this);
        action->setShortcut(k.key);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, button, &QPushButton::click);
        addAction(action);
        button->setToolTip(QStringLiteral("%1 (%2)").arg(QString::fromUtf8(k.tip),
                                                         k.key.toString(QKeySequence::NativeText)));
    }
}

void CPageListDlg::addShapeCommands() {
    m_autoColorAction = new QAction(QStringLiteral("按内容设置黑白(&C)"), this);
    m_autoColorAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
    m_autoColorAction->setShortcutContext(Qt::WindowShortcut);
    m_autoColorAction->setToolTip(QStringLiteral(
        "Mark the selected pages (all when none is selected) gray or colour by their content"));
    connect(m_autoColorAction, &QAction::triggered, this, &CPageListDlg::OnAutoColor);
    addAction(m_autoColorAction);

    m_cropAction = new QAction(QStringLiteral("裁去页边(&M)"), this);
    m_cropAction->setCheckable(true);
    m_cropAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    m_cropAction->setShortcutContext(Qt::WindowShortcut);
    m_cropAction->setToolTip(
        QStringLiteral("Cut the paper margins of every page when the book is made"));
    connect(m_cropAction, &QAction::toggled, this, [this] { refreshBookPreview(); });
    addAction(m_cropAction);

    const auto option = [this](const char* text, QKeySequence key, const char* tip) {
        auto* action = new QAction(QString::fromUtf8(text), this);
        action->setCheckable(true);
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setToolTip(QString::fromUtf8(tip));
        connect(action, &QAction::toggled, this, [this] { refreshBookPreview(); });
        addAction(action);
        return action;
    };
    m_splitAction = option("切分跨页(&S)", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
                           "Make a double-page spread two pages, its left and right halves");
    m_rtlAction = option("从右到左(&R)", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                         "Put a spread's right half first");
    m_stripsAction = option("长条切页(&T)", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T),
                            "Join same-width pictures of a folder into a strip and cut it "
                            "into pages between its panels");
}

// --- the list view as a mirror of the page list -------------------------------------------

void CPageListDlg::rowInserted(int index) {
    SyncGuard guard(m_syncing);
    m_list->insertRow(index);
    for (int c = 0; c < kCellCount; ++c) {
        auto item = std::make_unique<QTableWidgetItem>(fromNative(m_pages.cellText(index, c)));
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        m_list->setItem(index, c, item.release()); // the view owns its items
    }
    setViewRowSelected(index, m_pages.isSelected(index));
}

void CPageListDlg::rowDeleted(int index) {
    SyncGuard guard(m_syncing);
    m_list->removeRow(index);
}

void CPageListDlg::cellChanged(int index, int cell) {
    {
        SyncGuard guard(m_syncing);
        if (QTableWidgetItem* item = m_list->item(index, cell))
            item->setText(fromNative(m_pages.cellText(index, cell)));
    }
    OnItemchangedList(index);
}

void CPageListDlg::selectionChanged(int index) {
    if (!m_syncing) {
        SyncGuard guard(m_syncing);
        setViewRowSelected(index, m_pages.isSelected(index));
    }
    OnItemchangedList(index);
}

void CPageListDlg::setViewRowSelected(int row, bool selected) {
    QItemSelectionModel* sel = m_list->selectionModel();
    const QModelIndex idx = m_list->model()->index(row, 0);
    if (!idx.isValid() || sel->isRowSelected(row, QModelIndex()) == selected) return;
    sel->select(idx, (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                         QItemSelectionModel::Rows);
}

void CPageListDlg::syncViewSelection() {
    SyncGuard guard(m_syncing);
    for (int i = 0; i < m_pages.rowCount(); ++i)
        setViewRowSelected(i, m_pages.isSelected(i));
}

void CPageListDlg::copyViewSelection() {
    if (m_syncing) return;
    {
        PreviewBurst burst(*this);
        SyncGuard guard(m_syncing);
        QItemSelectionModel* sel = m_list->selectionModel();
        bool changed = false;
        for (int i = 0; i < m_pages.rowCount(); ++i) {
            const bool selected = sel->isRowSelected(i, QModelIndex());
            if (selected == m_pages.isSelected(i)) continue;
            m_pages.setSelected(i, selected); // reports to the preview through the observer
            changed = true;
        }
        // The rows are told from the top, so going upward the row left behind came last; and
        // a click moves the current row before the selection. The preview ends on the row the
        // user went to.
        const int current = m_list->currentRow();
        if (changed && current >= 0) OnItemchangedList(current);
    }
    // Whatever the view did beyond the user's choice is taken back.
    syncViewSelection();
}

// --- commands -------------------------------------------------------------------------------

void CPageListDlg::runCommand(void (*command)(PageList&)) {
    PreviewBurst burst(*this);
    command(m_pages);
    syncViewSelection();
}

void CPageListDlg::OnAddFile() {
    PreviewBurst burst(*this);
    std::vector<std::string> containers;
    noteNotAdded(addPages(m_pages, *m_services.chooser, *m_services.lookup, 0, &containers));
    syncViewSelection();
    fillNameFrom(containers);
}

// An empty title or author field takes what an added archive's ComicInfo.xml or a PDF's
// information gives; text the user typed is never replaced.
void CPageListDlg::fillNameFrom(const std::vector<std::string>& containers) {
    for (const auto& container : containers) {
        const bool needTitle = m_editTitle->text().isEmpty();
        const bool needAuthor = m_editAuthor->text().isEmpty();
        if (!needTitle && !needAuthor) return;
        BookMetadata metadata;
        std::string warning;
        if (!readContainerMetadata(container, metadata, warning)) continue;
        if (needTitle && !metadata.title.empty())
            m_editTitle->setText(QString::fromStdString(metadata.title));
        if (needAuthor && !metadata.author.empty())
            m_editAuthor->setText(QString::fromStdString(metadata.author));
    }
}

std::vector<SkippedRow> CPageListDlg::AddFiles(const std::vector<std::string>& paths) {
    PreviewBurst burst(*this);
    std::vector<std::string> containers;
    for (const auto& path : paths)
        if (isContainerFile(path)) containers.push_back(path);
    fillNameFrom(containers);
    Expansion expansion = expandPaths(paths);
    const auto skipped = appendImageFiles(m_pages, expansion.pages, *m_services.lookup, 0);
    syncViewSelection();
    expansion.leftOut.insert(expansion.leftOut.end(), skipped.begin(), skipped.end());
    noteNotAdded(expansion.leftOut);
    return expansion.leftOut;
}

// Adding never stops for a message: what it left out is kept for the next success message
// and shown meanwhile as the list's tooltip, where the user looks for the missing rows.
void CPageListDlg::noteNotAdded(const std::vector<SkippedRow>& rows) {
    m_notAdded.insert(m_notAdded.end(), rows.begin(), rows.end());
    if (m_notAdded.empty()) {
        m_list->setToolTip(QString());
        return;
    }
    constexpr std::size_t kShown = 20;
    const std::vector<SkippedRow> first(m_notAdded.begin(),
                                        m_notAdded.begin() + std::min(m_notAdded.size(), kShown));
    QString tip =
        QStringLiteral("未加入 %1 个文件:\n").arg(m_notAdded.size()) + skippedDetails(first);
    if (m_notAdded.size() > kShown) tip += QStringLiteral("\n…");
    m_list->setToolTip(tip);
}

namespace {
// The local files and folders a drag carries; web addresses and text are not pages.
std::vector<std::string> droppedPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths.push_back(toNative(url.toLocalFile()));
    return paths;
}
} // namespace

void CPageListDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedPaths(event->mimeData()).empty()) event->acceptProposedAction();
}

void CPageListDlg::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths = droppedPaths(event->mimeData());
    if (paths.empty()) return;
    event->acceptProposedAction();
    AddFiles(paths);
}

void CPageListDlg::OnDelFile() {
    runCommand(&deleteSelected);
}
void CPageListDlg::OnMoveTop() {
    runCommand(&moveSelectedToTop);
}
void CPageListDlg::OnMoveBottom() {
    runCommand(&moveSelectedToBottom);
}
void CPageListDlg::OnUp() {
    runCommand(&moveSelectedUp);
}
void CPageListDlg::OnDown() {
    runCommand(&moveSelectedDown);
}
void CPageListDlg::OnColorGray() {
    runCommand(&toggleGray);
}

// The analysis reads and decodes every picture: off the UI thread, behind a progress window
// that keeps the list as it is until the marks are set.
void CPageListDlg::OnAutoColor() {
    struct Target {
        int row;
        PageRef page;
    };
    std::vector<Target> targets;
    for (int i = m_pages.nextSelected(-1); i >= 0; i = m_pages.nextSelected(i))
        targets.push_back({i, pageOf(m_pages.row(i))});
    if (targets.empty())
        for (int i = 0; i < m_pages.rowCount(); ++i)
            targets.push_back({i, pageOf(m_pages.row(i))});
    if (targets.empty()) return;

    struct Verdict {
        std::optional<bool> color;
        std::string reason;
    };
    auto verdicts = std::make_shared<std::vector<Verdict>>(targets.size());
    auto done = std::make_shared<std::atomic<int>>(0);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    QFutureWatcher<void> watcher;
    QProgressDialog progress(QStringLiteral("正在按内容识别彩色页..."), QStringLiteral("取消"), 0,
                             static_cast<int>(targets.size()), this);
    progress.setWindowTitle(kAppName);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    connect(&progress, &QProgressDialog::canceled, this, [cancel] { *cancel = true; });
    QTimer tick;
    connect(&tick, &QTimer::timeout, &progress, [&] { progress.setValue(*done); });
    watcher.setFuture(QtConcurrent::run([targets, verdicts, done, cancel] {
        SourceReader sources;
        std::vector<std::string> paths;
        for (const auto& t : targets)
            paths.push_back(t.page.path);
        sources.expect(paths);
        for (std::size_t i = 0; i < targets.size() && !*cancel; ++i) {
            Verdict& v = (*verdicts)[i];
            v.color = pictureHasColor(targets[i].page, v.reason, &sources);
            ++*done;
        }
    }));
    progress.setValue(0);
    tick.start(50);
    if (!watcher.isFinished()) loop.exec();
    tick.stop();
    progress.hide();
    if (*cancel) return; // nothing changed

    std::vector<SkippedRow> unread;
    {
        PreviewBurst burst(*this);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const Verdict& v = (*verdicts)[i];
            if (v.color)
                m_pages.setCellText(targets[i].row, kCellGrayFlag, *v.color ? "No" : "Yes");
            else
                unread.push_back({targets[i].row, targets[i].page.path, v.reason});
        }
    }
    if (!unread.empty())
        m_services.boxes->information(
            this, QStringLiteral("%1 个文件无法识别，其黑白标记未改。").arg(unread.size()),
            skippedDetails(unread));
}

void CPageListDlg::OnMake() {
    BookRequest request;
    request.fileName = toNative(m_editFileName->text());
    request.title = m_editTitle->text().toStdString();
    request.author = m_editAuthor->text().toStdString();
    request.options = pageOptions();
    request.jobs = 0;
    request.cache = &m_pageCache;
    QtBookPlatform platform(this, *m_services.boxes, m_notAdded);
    // One progress display per command: its window is gone when the command ends.
    std::unique_ptr<ProgressDisplay> progress = m_services.makeProgress
                                                    ? m_services.makeProgress(this)
                                                    : std::make_unique<MakeProgress>(this);
    if (makeBook(bookEntries(m_pages), request, platform, *progress).written) {
        // Told in the success message: the tooltip has done its work.
        m_notAdded.clear();
        noteNotAdded({});
    }
}

void CPageListDlg::destroyPreview() {
    m_pPreview.reset();
}

void CPageListDlg::OnExit() {
    reject();
}

void CPageListDlg::reject() {
    destroyPreview();
    QDialog::reject();
}

void CPageListDlg::closeEvent(QCloseEvent* event) {
    destroyPreview();
    QDialog::closeEvent(event);
}

// --- preview --------------------------------------------------------------------------------

void CPageListDlg::OnDblclkList(int row) {
    if (!m_pPreview) {
        m_pPreview = std::make_unique<CShowPicDlg>();
        m_pPreview->Create(this);
    }
    pointPreviewAt(row);
    m_pPreview->ShowPicture();
    if (!m_previewPlaced) {
        // First shown at the top-left corner of the main window's client area.
        m_pPreview->move(mapToGlobal(QPoint(0, 0)));
        m_previewPlaced = true;
    }
    m_pPreview->show();
    m_pPreview->raise();
    m_pPreview->activateWindow();
}

void CPageListDlg::OnItemchangedList(int row) {
    if (!m_pPreview || !m_pPreview->isVisible()) return;
    if (m_previewHeld > 0) {
        // The row as it stands now: a command may take the row away before it ends.
        m_previewJob = pageJobFor(row);
        m_previewPending = true;
        return;
    }
    pointPreviewAt(row);
    m_pPreview->ShowPicture();
}

PageJob CPageListDlg::pageJobFor(int row) const {
    // No row (a double-click beside the rows) is the empty page, as its empty cells say.
    const bool valid = row >= 0 && row < m_pages.rowCount();
    return {valid ? pageOf(m_pages.row(row)) : PageRef{},
            isGrayFlag(m_pages.cellText(row, kCellGrayFlag)), pageOptions()};
}

// The options MAKE, the book view and the page memory share: the sliders and the check items.
PageOptions CPageListDlg::pageOptions() const {
    PageOptions options;
    options.grayQuality = m_sliderGray->value();
    options.colorQuality = m_sliderColor->value();
    options.crop = m_cropAction && m_cropAction->isChecked();
    options.splitSpreads = m_splitAction && m_splitAction->isChecked();
    options.rightToLeft = m_rtlAction && m_rtlAction->isChecked();
    options.strips = m_stripsAction && m_stripsAction->isChecked();
    return options;
}

std::vector<BookEntry> CPageListDlg::stripRows(const PageJob& job) const {
    if (!job.options.strips) return {};
    // A strip never joins pictures of another folder; a few hundred rows each way bound the
    // work one preview does.
    constexpr int kReach = 300;
    const std::vector<BookEntry> all = bookEntries(m_pages);
    const auto folderOf = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
    int row = -1;
    for (int i = 0; i < static_cast<int>(all.size()) && row < 0; ++i)
        if (all[static_cast<std::size_t>(i)].page == job.page) row = i;
    if (row < 0) return {};
    const std::string folder = folderOf(job.page.path);
    int first = row, last = row;
    while (first > 0 && row - first < kReach &&
           folderOf(all[static_cast<std::size_t>(first - 1)].page.path) == folder)
        --first;
    while (last + 1 < static_cast<int>(all.size()) && last - row < kReach &&
           folderOf(all[static_cast<std::size_t>(last + 1)].page.path) == folder)
        ++last;
    return {all.begin() + first, all.begin() + last + 1};
}

void CPageListDlg::pointPreviewAtJob(const PageJob& job) {
    m_pPreview->SetPage(job);
    m_pPreview->SetStripRows(stripRows(job));
}

void CPageListDlg::pointPreviewAt(int row) {
    pointPreviewAtJob(pageJobFor(row));
}

// The book view shows the page at the sliders' qualities and with margins cut or not.
void CPageListDlg::refreshBookPreview() {
    if (!m_pPreview || !m_pPreview->isVisible() || !m_pPreview->isBookView()) return;
    PageJob job = m_pPreview->page();
    job.options = pageOptions();
    pointPreviewAtJob(job);
    m_pPreview->ShowPicture();
}

// One user action reports many rows (a command moves every selected row, adding sets five
// cells a row); loading each picture in turn would only show the last one, slowly.
CPageListDlg::PreviewBurst::PreviewBurst(CPageListDlg& dlg) : dlg_(dlg) {
    ++dlg_.m_previewHeld;
}

CPageListDlg::PreviewBurst::~PreviewBurst() {
    if (--dlg_.m_previewHeld > 0 || !dlg_.m_previewPending) return;
    dlg_.m_previewPending = false;
    CShowPicDlg* shown = dlg_.m_pPreview.get();
    if (!shown || !shown->isVisible()) return;
    // A click has shown its row already, as the current row moved before the selection.
    if (shown->hasPicture() && shown->page() == dlg_.m_previewJob) return;
    dlg_.pointPreviewAtJob(dlg_.m_previewJob);
    shown->ShowPicture();
}

bool CPageListDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_listViewport && event->type() == QEvent::MouseButtonDblClick) {
        const auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton) {
            OnDblclkList(m_list->rowAt(me->position().toPoint().y()));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// --- About ----------------------------------------------------------------------------------

void CPageListDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == kIdmAboutBox) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CPageListDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(m_autoColorAction);
    menu.addAction(m_cropAction);
    menu.addAction(m_splitAction);
    menu.addAction(m_rtlAction);
    menu.addAction(m_stripsAction);
    if (m_aboutAction) {
        menu.addSeparator();
        menu.addAction(m_aboutAction);
    }
    menu.exec(event->globalPos());
}

} // namespace folio::ui
