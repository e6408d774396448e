#include "ui/make_dlg.h"

#include "ui/services.h"
#include "ui/strings.h"
#include "ui/templates.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QTextLayout>
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
    // The room below the page line is too low for the bar's text: the bar stands at the
    // bottom at its own height, and the path keeps to the whole lines above it.
    const QRect line = m_pageLine->geometry();
    const int barHeight = m_bar->sizeHint().height();
    const int barTop = height() - units.toPixelsY(2) - barHeight;
    m_bar->setGeometry(line.x(), barTop, line.width(), barHeight);
    m_pageLines = std::max(1, (barTop - line.top()) / units.baseY);
    m_bar->hide();
}

void CMakeDlg::ShowPath(const QString& path) {
    m_pageLine->setText(fitToLines(path, m_pageLine->font(), m_pageLine->width(), m_pageLines));
}

QString fitToLines(const QString& text, const QFont& font, int width, int maxLines) {
    const auto wrap = [&](const QString& t) {
        QStringList lines;
        QTextLayout layout(t, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
            l.setLineWidth(width);
            lines << t.mid(l.textStart(), l.textLength());
        }
        layout.endLayout();
        return lines;
    };
    QStringList lines = wrap(text);
    const QFontMetricsF fm(font);
    for (qreal budget = qreal(width) * maxLines; lines.size() > maxLines && budget > 1;
         budget *= 0.9)
        lines = wrap(fm.elidedText(text, Qt::ElideMiddle, budget));
    return lines.join(QLatin1Char('\n'));
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
    m_dlg->ShowPath(fromNative(path));
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
