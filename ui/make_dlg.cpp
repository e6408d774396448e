#include "ui/make_dlg.h"

#include "ui/services.h"
#include "ui/strings.h"
#include "ui/templates.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QWindow>

namespace folio::ui {

WinRect outerRect(const QWidget& window) {
    const QRect r = window.frameGeometry();
    return {r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
}

QPoint centredOver(const WinRect& m, const WinRect& p) {
    // Integer division truncating toward zero, as the window system's own centring does.
    const int left = m.left + ((m.right - m.left) - (p.right - p.left)) / 2;
    const int top = m.top + ((m.bottom - m.top) - (p.bottom - p.top)) / 2;
    return {left, top};
}

CMakeDlg::CMakeDlg(QWidget* parent) : QDialog(parent) {
    const DialogUnits units = buildDialog(*this, dialogTemplate(kIddProgress));
    m_heading = control<QLabel>(*this, 1020);
    m_pageLine = control<QLabel>(*this, 1021);
    // Ours: how far the book is, below the page line.
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("pageCount"));
    m_bar->setTextVisible(true);
    m_bar->setFormat(QStringLiteral("%v / %m"));
    m_bar->setAlignment(Qt::AlignCenter);
    m_bar->setRange(0, 0);
    m_bar->setValue(0);
    const QRect line = m_pageLine->geometry();
    m_bar->setGeometry(line.x(), line.bottom() + 1, line.width(),
                       height() - line.bottom() - 1 - units.toPixelsY(2));
    m_bar->hide();
}

void CMakeDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // The dialog frame the window has without a caption.
    QPainter p(this);
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

QString timeLeftText(long long seconds) {
    return QStringLiteral("  剩余 %1").arg(QString::fromStdString(formatDuration(seconds)));
}

MakeProgress::~MakeProgress() = default;

void MakeProgress::StartProgress() {
    m_dlg = std::make_unique<CMakeDlg>(m_main);
    if (m_main) m_dlg->move(centredOver(outerRect(*m_main), outerRect(*m_dlg)));
    m_dlg->show();
    // An X server maps a new window only after a round trip; until then nothing painted shows.
    // Wait for it briefly, leaving the user's input queued: MAKE takes none.
    QElapsedTimer waited;
    waited.start();
    while (m_dlg->windowHandle() && !m_dlg->windowHandle()->isExposed() && waited.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    m_dlg->heading()->setText(kProcessingHeading);
    m_dlg->repaint();
    m_pace.start(m_now());
}

void MakeProgress::ShowCurrentPage(const std::string& path, int done, int total) {
    if (!m_dlg) return;
    m_dlg->pageLine()->setText(fromNative(path));
    QProgressBar* bar = m_dlg->bar();
    bar->setRange(0, std::max(total, 1));
    bar->setValue(std::clamp(done, 0, std::max(total, 1)));
    QString format = QStringLiteral("%v / %m");
    if (const auto e = m_pace.at(done, total, m_now())) format += timeLeftText(e->secondsLeft);
    bar->setFormat(format);
    bar->show();
    // The builder does not return to the event loop until the book is written.
    m_dlg->repaint();
}

void MakeProgress::HideProgress() {
    if (m_dlg) m_dlg->hide();
}

void MakeProgress::DestroyProgress() {
    m_dlg.reset();
}

} // namespace folio::ui
