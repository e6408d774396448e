#include "ui/page_list_dlg.h"

#include "book/book_builder.h"
#include "book/file_order.h"
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
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>

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

    connect(m_sliderGray, &QSlider::valueChanged, this,
            [this](int p) { m_labelGray->setText(grayQualityText(p)); });
    connect(m_sliderColor, &QSlider::valueChanged, this,
            [this](int p) { m_labelColor->setText(colorQualityText(p)); });
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
        SyncGuard guard(m_syncing);
        QItemSelectionModel* sel = m_list->selectionModel();
        for (int i = 0; i < m_pages.rowCount(); ++i) {
            const bool selected = sel->isRowSelected(i, QModelIndex());
            if (selected == m_pages.isSelected(i)) continue;
            m_pages.setSelected(i, selected); // reports to the preview through the observer
        }
    }
    // Whatever the view did beyond the user's choice is taken back.
    syncViewSelection();
}

// --- commands -------------------------------------------------------------------------------

void CPageListDlg::runCommand(void (*command)(PageList&)) {
    command(m_pages);
    syncViewSelection();
}

void CPageListDlg::OnAddFile() {
    addPages(m_pages, *m_services.chooser, *m_services.lookup, 0);
    syncViewSelection();
}

std::vector<SkippedRow> CPageListDlg::AddFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& p : paths) {
        if (QFileInfo(fromNative(p)).isDir()) {
            const auto inDir = imageFilesIn(p);
            files.insert(files.end(), inDir.begin(), inDir.end());
        } else {
            files.push_back(p);
        }
    }
    sortNaturally(files);
    std::vector<SkippedRow> skipped;
    expandContainers(files, skipped); // an archive or book stands for its pages, in order
    auto unusable = appendImageFiles(m_pages, files, *m_services.lookup, 0);
    skipped.insert(skipped.end(), unusable.begin(), unusable.end());
    syncViewSelection();
    return skipped;
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

void CPageListDlg::OnMake() {
    BookRequest request;
    request.fileName = toNative(m_editFileName->text());
    request.title = m_editTitle->text().toStdString();
    request.author = m_editAuthor->text().toStdString();
    request.grayQuality = m_sliderGray->value();
    request.colorQuality = m_sliderColor->value();
    request.jobs = 0;
    QtBookPlatform platform(this, *m_services.boxes);
    // One progress display per command: its window is gone when the command ends.
    std::unique_ptr<ProgressDisplay> progress = m_services.makeProgress
                                                    ? m_services.makeProgress(this)
                                                    : std::make_unique<MakeProgress>(this);
    makeBook(m_pages, request, platform, *progress);
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
    m_pPreview->m_strPath = m_pages.cellText(row, kCellPath);
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
    m_pPreview->m_strPath = m_pages.cellText(row, kCellPath);
    m_pPreview->ShowPicture();
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
    if (!m_aboutAction) return;
    QMenu menu(this);
    menu.addAction(m_aboutAction);
    menu.exec(event->globalPos());
}

} // namespace folio::ui
