#include "ui/show_pic_dlg.h"

#include "book/sources/source.h"
#include "ui/book_bridge.h"
#include "ui/services.h"
#include "ui/templates.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace folio::ui {

namespace {
constexpr int kMinClientWidth = 100;
} // namespace

QSize previewClientSize(QSize picture, QSize avail, int scrollBarExtent) {
    const int needW = std::max(picture.width(), kMinClientWidth);
    const int needH = picture.height();
    int w = std::min(needW, avail.width());
    int h = std::min(needH, avail.height());
    // A scroll bar on one side takes room from the other; settle both in two passes.
    for (int pass = 0; pass < 2; ++pass) {
        const bool hScroll = needW > w;
        const bool vScroll = needH > h;
        w = std::min(needW + (vScroll ? scrollBarExtent : 0), avail.width());
        h = std::min(needH + (hScroll ? scrollBarExtent : 0), avail.height());
    }
    return {w, h};
}

CShowPicDlg::CShowPicDlg() = default;

void CShowPicDlg::Create(QWidget* owner) {
    // An owned top-level window: it stays in front of the main window and goes with it.
    setParent(owner);
    buildDialog(*this, dialogTemplate(kIddPreview));
    m_picture = control<QLabel>(*this, 1006);
    m_picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Ours: a picture larger than the screen scrolls instead of growing the window past it.
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_scroll->setWidgetResizable(false);
    m_scroll->setGeometry(rect());
    const QRect templatePlace = m_picture->geometry();
    m_scroll->setWidget(m_picture);
    m_picture->move(templatePlace.topLeft());
    m_scroll->viewport()->installEventFilter(this);
    m_picture->installEventFilter(this);

    // The page's facts lie over the picture's top-left corner: the client area stays the
    // page's size and the template keeps its one control.
    m_facts = new QLabel(this);
    m_facts->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_facts->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(0, 0, 0, 150); color: white; padding: 2px 5px; }"));
    m_facts->hide();

    m_bookAction = new QAction(QStringLiteral("按书中效果显示(&B)"), this);
    m_bookAction->setCheckable(true);
    m_bookAction->setShortcut(QKeySequence(Qt::Key_B));
    m_bookAction->setShortcutContext(Qt::WindowShortcut);
    m_bookAction->setToolTip(
        QStringLiteral("Show the page as MAKE writes it for this row, or the file as stored"));
    connect(m_bookAction, &QAction::toggled, this, &CShowPicDlg::SetBookView);
    addAction(m_bookAction);

    m_nextAction = new QAction(QStringLiteral("下一页(&N)"), this);
    m_nextAction->setShortcut(QKeySequence(Qt::Key_N));
    m_nextAction->setShortcutContext(Qt::WindowShortcut);
    m_nextAction->setToolTip(
        QStringLiteral("Show the next page this row gives (the other half of a spread, the "
                       "next piece of a strip)"));
    connect(m_nextAction, &QAction::triggered, this, [this] {
        if (!m_bookView || m_pageCount < 2) return;
        m_pageIndex = (m_pageIndex + 1) % m_pageCount;
        showBookPage();
    });
    addAction(m_nextAction);

    m_render = new QFutureWatcher<BookPages>(this);
    connect(m_render, &QFutureWatcher<BookPages>::finished, this, &CShowPicDlg::bookPageMade);
    hide();
}

void CShowPicDlg::SetPage(const PageJob& page) {
    if (page.page != m_page.page) {
        m_pageIndex = 0;
        m_pageCount = 1;
    }
    m_page = page;
    m_strPath = page.page.path;
}

void CShowPicDlg::SetBookView(bool on) {
    if (m_bookAction && m_bookAction->isChecked() != on) {
        m_bookAction->setChecked(on); // comes back here through toggled
        return;
    }
    if (m_bookView == on) return;
    m_bookView = on;
    ShowPicture();
}

void CShowPicDlg::SetStripRows(std::vector<BookEntry> rows) {
    m_strip = std::move(rows);
}

bool CShowPicDlg::isRendering() const {
    return m_render && m_render->isRunning();
}

void CShowPicDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(m_bookAction);
    menu.addAction(m_nextAction);
    menu.exec(event->globalPos());
}

void CShowPicDlg::showMessage(const QString& text) {
    m_picture->setPixmap(QPixmap());
    m_picture->setText(text);
    m_picture->setWordWrap(true);
    const QSize size = m_picture->sizeHint();
    m_picture->resize(std::max(size.width(), kMinClientWidth), size.height());
    fitClientTo(m_picture->size());
}

// Making a page decodes, scales and encodes a whole picture: off the UI thread, so that
// following the list stays quick. The latest row asked for is the one shown.
void CShowPicDlg::showBookPage() {
    if (m_page.page.kind == PageKind::None || m_page.page.path != m_strPath) {
        // Set by path alone: the page is the row's as MAKE would see it without options.
        PageOptions options;
        options.grayQuality = m_page.options.grayQuality;
        options.colorQuality = m_page.options.colorQuality;
        options.crop = m_page.options.crop;
        options.splitSpreads = m_page.options.splitSpreads;
        options.rightToLeft = m_page.options.rightToLeft;
        options.strips = m_page.options.strips;
        m_page = PageJob{resolvePage(m_strPath), m_page.gray, options};
        if (m_page.page.kind == PageKind::None) return;
    }
    if (m_render->isRunning()) {
        m_renderAgain = true;
        return;
    }
    const PageJob job = m_page;
    const std::vector<BookEntry> strip = job.options.strips ? m_strip : std::vector<BookEntry>{};
    const int index = m_pageIndex;
    m_render->setFuture(
        QtConcurrent::run([job, strip, index] { return renderRowPage(job, strip, index); }));
}

void CShowPicDlg::bookPageMade() {
    if (m_renderAgain) {
        m_renderAgain = false;
        if (m_bookView) showBookPage();
        return;
    }
    if (!m_bookView) return;
    const BookPages pages = m_render->result();
    m_pageIndex = pages.index;
    m_pageCount = pages.count;
    const BookPicture& made = pages.picture;
    if (!made.ok) {
        m_shownPage = nullptr;
        m_facts->hide();
        showMessage(QStringLiteral("无法生成此页\n%1\n%2")
                        .arg(QFileInfo(fromNative(m_page.page.path)).fileName(), made.reason));
        return;
    }
    m_shownPage = made.page.jpeg;
    m_picture->setText(QString());
    m_picture->setWordWrap(false);
    m_picture->setPixmap(QPixmap::fromImage(made.image));
    m_picture->resize(made.image.size());
    fitClientTo(made.image.size());
    const QString which =
        m_pageCount > 1 ? QStringLiteral("第 %1/%2 页 · ").arg(m_pageIndex + 1).arg(m_pageCount)
                        : QString();
    m_facts->setText(which +
                     QStringLiteral("书中页面 %1 KB · 品质 %2 · %3")
                         .arg(static_cast<double>(made.page.jpeg->size()) / 1024.0, 0, 'f', 1)
                         .arg(made.page.quality)
                         .arg(made.page.gray ? QStringLiteral("灰度") : QStringLiteral("彩色")));
    m_facts->adjustSize();
    m_facts->move(0, 0);
    m_facts->show();
    m_facts->raise();
}

bool CShowPicDlg::hasPicture() const {
    return m_picture && !m_picture->pixmap().isNull();
}

void CShowPicDlg::ShowPicture() {
    if (!m_picture) return;
    if (m_bookView) {
        showBookPage();
        return;
    }
    m_shownPage = nullptr;
    m_facts->hide();
    const PreviewPicture loaded = loadPreviewPicture(m_strPath);
    if (!loaded.hasType) return;
    if (!loaded.loaded) {
        // The file went away or changed since it was added: say so where the picture would be.
        showMessage(
            QStringLiteral("无法显示此文件\n%1").arg(QFileInfo(fromNative(m_strPath)).fileName()));
        return;
    }
    m_picture->setText(QString());
    m_picture->setWordWrap(false);
    m_picture->setPixmap(QPixmap::fromImage(loaded.image));
    m_picture->resize(loaded.image.size());
    fitClientTo(loaded.image.size());
}

// The frame takes its room outside the client area. Before the window system has framed
// the window, estimate it from the style.
QSize CShowPicDlg::frameExtra() const {
    QSize extra = frameGeometry().size() - geometry().size();
    if (!isVisible() || extra.isEmpty()) {
        const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
        const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        extra = extra.expandedTo(QSize(2 * border, title + 2 * border));
    }
    return extra;
}

// Ours: the window fits the screen, but its place (the main window's corner) may leave too
// little room below or to the right, hiding the end of the picture and of the scroll bars
// off the screen; move it back in just far enough.
void CShowPicDlg::keepOnScreen() {
    QScreen* screen = this->screen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    const QRect frame(pos(), size() + frameExtra());
    int dx = std::min(0, avail.right() - frame.right());
    int dy = std::min(0, avail.bottom() - frame.bottom());
    dx = std::max(dx, avail.left() - frame.left());
    dy = std::max(dy, avail.top() - frame.top());
    if (dx != 0 || dy != 0) move(pos() + QPoint(dx, dy));
}

void CShowPicDlg::fitClientTo(QSize picture) {
    m_content = picture;
    QScreen* screen = this->screen();
    QSize avail(1 << 15, 1 << 15);
    if (screen) avail = screen->availableGeometry().size() - frameExtra();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const QSize client = previewClientSize(picture, avail, bar);
    if (client != size()) {
        setFixedSize(client);
        m_scroll->setGeometry(0, 0, client.width(), client.height());
    }
    keepOnScreen();
}

// The window system frames the window only when it is shown: fit again with the real frame.
void CShowPicDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_content.isEmpty()) fitClientTo(m_content);
}

void CShowPicDlg::moveEvent(QMoveEvent* event) {
    QDialog::moveEvent(event);
    if (!m_content.isEmpty() && isVisible()) fitClientTo(m_content);
}

void CShowPicDlg::closeEvent(QCloseEvent* event) {
    // Closing only hides: the main window keeps the preview until it ends.
    event->ignore();
    hide();
}

void CShowPicDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) hide();
    QDialog::mousePressEvent(event);
}

bool CShowPicDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        hide();
    return QDialog::eventFilter(watched, event);
}

} // namespace folio::ui
