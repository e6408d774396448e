#include "ui_test_support.h"

#include "ui/templates.h"

#include <QApplication>
#include <QDialog>
#include <QDropEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionProgressBar>
#include <QTableWidget>
#include <QTest>
#include <QTextLayout>
#include <QTimer>

namespace folio::ui::test {

void FakeBoxes::information(QWidget*, const QString& text, const QString& details) {
    calls.push_back({QStringLiteral("information"), text, details});
    if (onBox) onBox();
}

bool FakeBoxes::question(QWidget*, const QString& text) {
    calls.push_back({QStringLiteral("question"), text, {}});
    if (onBox) onBox();
    return answer;
}

void FakeBoxes::critical(QWidget*, const QString& text) {
    calls.push_back({QStringLiteral("critical"), text, {}});
    if (onBox) onBox();
}

std::optional<std::vector<std::string>> FakeChooser::chooseFiles(const std::string& t,
                                                                 const std::string& f) {
    ++calls;
    title = t;
    filter = f;
    return next;
}

QRgb patternColor(int x, int y) {
    return qRgb((x * 7) & 0xff, (y * 13) & 0xff, ((x + y) * 5) & 0xff);
}

std::string writePicture(const QTemporaryDir& dir, const QString& name, int w, int h,
                         const char* format) {
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, patternColor(x, y));
    const QString path = dir.filePath(name);
    if (!img.save(path, format)) qFatal("cannot write test picture %s", qPrintable(path));
    return toNative(path);
}

UiServices fakeServices(FakeBoxes& boxes, FakeChooser& chooser) {
    UiServices s;
    s.boxes = &boxes;
    s.chooser = &chooser;
    return s;
}

MainWindowRig::MainWindowRig() : dlg(fakeServices(boxes, chooser)) {
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg)) qWarning("main window not exposed");
}

MainWindowRig::MainWindowRig(UiServices services)
    : dlg([&] {
          if (!services.boxes) services.boxes = &boxes;
          if (!services.chooser) services.chooser = &chooser;
          return services;
      }()) {
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg)) qWarning("main window not exposed");
}

QPoint rowCentre(const CPageListDlg& dlg, int row) {
    const QRect r = dlg.m_list->visualRect(dlg.m_list->model()->index(row, 0));
    return r.center();
}

void clickRow(CPageListDlg& dlg, int row, Qt::KeyboardModifiers mods) {
    QTest::mouseClick(dlg.m_list->viewport(), Qt::LeftButton, mods, rowCentre(dlg, row));
}

void selectRows(CPageListDlg& dlg, const std::vector<int>& rows) {
    dlg.m_list->clearSelection();
    for (int r : rows)
        clickRow(dlg, r, Qt::ControlModifier);
}

void doubleClickAt(CPageListDlg& dlg, QPoint viewportPos) {
    QTest::mouseDClick(dlg.m_list->viewport(), Qt::LeftButton, Qt::NoModifier, viewportPos);
}

void clickButton(const QWidget& dlg, int id) {
    auto* b = control<QPushButton>(dlg, id);
    if (!b) qFatal("no button %d", id);
    QTest::mouseClick(b, Qt::LeftButton);
}

QStringList modelColumn(const CPageListDlg& dlg, int cell) {
    QStringList out;
    for (int i = 0; i < dlg.pages().rowCount(); ++i)
        out << fromNative(dlg.pages().cellText(i, cell));
    return out;
}

QStringList viewColumn(const CPageListDlg& dlg, int cell) {
    QStringList out;
    for (int i = 0; i < dlg.m_list->rowCount(); ++i) {
        const QTableWidgetItem* item = dlg.m_list->item(i, cell);
        out << (item ? item->text() : QStringLiteral("<none>"));
    }
    return out;
}

std::vector<int> modelSelection(const CPageListDlg& dlg) {
    std::vector<int> out;
    for (int s = dlg.pages().nextSelected(-1); s != -1; s = dlg.pages().nextSelected(s))
        out.push_back(s);
    return out;
}

std::vector<int> viewSelection(const CPageListDlg& dlg) {
    std::vector<int> out;
    for (int i = 0; i < dlg.m_list->rowCount(); ++i)
        if (dlg.m_list->selectionModel()->isRowSelected(i, QModelIndex())) out.push_back(i);
    return out;
}

namespace {
// The room the text takes as the label or button lays it out, fallback fonts for CJK included.
QSizeF laidOutSize(const QString& text, const QFont& font, qreal wrapWidth) {
    QSizeF size;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(wrapWidth > 0 ? QTextOption::WordWrap : QTextOption::NoWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(wrapWidth > 0 ? wrapWidth : 1e6);
            size.setWidth(std::max(size.width(), line.naturalTextWidth()));
            size.setHeight(size.height() + line.height());
        }
        layout.endLayout();
    }
    return size;
}

QString misfit(const QString& text, QSizeF needs, QSize has) {
    if (needs.width() <= has.width() + 0.01 && needs.height() <= has.height() + 0.01) return {};
    return QStringLiteral("%1: needs %2x%3, has %4x%5")
        .arg(text)
        .arg(needs.width(), 0, 'f', 1)
        .arg(needs.height(), 0, 'f', 1)
        .arg(has.width())
        .arg(has.height());
}
} // namespace

QStringList clippedTexts(const QWidget& window) {
    QStringList out;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->window() != &window || label->text().isEmpty() || !label->isVisibleTo(&window))
            continue;
        const QRect room = label->contentsRect();
        const QSizeF needs =
            laidOutSize(label->text(), label->font(), label->wordWrap() ? room.width() : 0);
        const QString m = misfit(label->text(), needs, room.size());
        if (!m.isEmpty()) out << m;
    }
    for (const QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->window() != &window || button->text().isEmpty() ||
            !button->isVisibleTo(&window))
            continue;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        if (button->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        const QRect room =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        QString text = button->text();
        text.remove(QLatin1Char('&'));
        const QString m = misfit(text, laidOutSize(text, button->font(), 0), room.size());
        if (!m.isEmpty()) out << m;
    }
    for (const QProgressBar* bar : window.findChildren<QProgressBar*>()) {
        if (bar->window() != &window || !bar->isTextVisible() || !bar->isVisibleTo(&window))
            continue;
        QStyleOptionProgressBar option;
        option.initFrom(bar);
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.progress = bar->value();
        option.text = bar->text();
        option.textVisible = true;
        const QRect room = bar->style()->subElementRect(QStyle::SE_ProgressBarLabel, &option, bar);
        const QString m =
            misfit(bar->text(), laidOutSize(bar->text(), bar->font(), 0), room.size());
        if (!m.isEmpty()) out << m;
    }
    return out;
}

void closeNextModal(std::function<void(QWidget*)> inspect) {
    QTimer::singleShot(0, [inspect] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            closeNextModal(inspect); // not up yet
            return;
        }
        if (inspect) inspect(modal);
        if (auto* d = qobject_cast<QDialog*>(modal)) d->accept();
    });
}

// A drop let go over the page list, delivered as a real drag would be: to the widget under the
// pointer, from where Qt hands it on to the window.
bool dropOnList(CPageListDlg& dlg, const QMimeData& mime) {
    QWidget* target = dlg.m_list->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

} // namespace folio::ui::test
