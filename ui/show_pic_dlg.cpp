#include "ui/show_pic_dlg.h"

#include "ui/book_bridge.h"
#include "ui/services.h"
#include "ui/templates.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>

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
    hide();
}

bool CShowPicDlg::hasPicture() const {
    return m_picture && !m_picture->pixmap().isNull();
}

void CShowPicDlg::ShowPicture() {
    if (!m_picture) return;
    const PreviewPicture loaded = loadPreviewPicture(m_strPath);
    if (!loaded.hasType) return;
    if (!loaded.loaded) {
        // The file went away or changed since it was added: say so where the picture would be.
        m_picture->setPixmap(QPixmap());
        m_picture->setText(
            QStringLiteral("无法显示此文件\n%1").arg(QFileInfo(fromNative(m_strPath)).fileName()));
        m_picture->setWordWrap(true);
        const QSize text = m_picture->sizeHint();
        m_picture->resize(std::max(text.width(), kMinClientWidth), text.height());
        fitClientTo(m_picture->size());
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
