#include "ui/templates.h"

#include "ui/app_icon.h"
#include "ui/strings.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

#include <map>

namespace folio::ui {

QString loadString(int id) {
    switch (id) {
    case kIdsAboutBox:
        return QStringLiteral("关于 Folioforge(&A)...");
    case kIdsSocketsInitFailed:
        return QStringLiteral("Windows 套接字初始化失败。");
    default:
        return {};
    }
}

namespace {

using CC = ControlClass;
const QString kShellDlg = QStringLiteral("MS Shell Dlg");

std::map<int, DialogTemplate> makeTemplates() {
    std::map<int, DialogTemplate> t;
    t.emplace(
        kIddAbout,
        DialogTemplate{
            kIddAbout,
            QStringLiteral("关于 Folioforge"),
            235,
            55,
            kShellDlg,
            9,
            kPopup | kCaption | kSysMenu | kDialogFrame,
            {
                {kIdStatic, CC::Static, {}, 11, 17, 20, 20, kIconImage},
                {kIdStatic, CC::Static, QStringLiteral("Folioforge Version 1.0"), 40, 10, 119, 8,
                 kAlignLeft | kNoPrefix},
                {kIdStatic, CC::Static, QStringLiteral("版权所有 (C) 2024 作者 · GPLv3+"), 40, 25,
                 119, 8, kAlignLeft},
                {1, CC::Button, QStringLiteral("确定"), 178, 7, 50, 16, kDefaultButton | kTabStop},
            }});
    const std::uint32_t edit = kBorder | kAutoHScroll | kTabStop;
    const std::uint32_t slider = kHorizontal | kNoTicks | kTabStop;
    t.emplace(
        kIddMain,
        DialogTemplate{
            kIddMain,
            QStringLiteral("Folioforge0.8  by the Folioforge developers"),
            435,
            267,
            kShellDlg,
            9,
            kPopup | kCaption | kSysMenu | kDialogFrame | kVisible | kAppWindow,
            {
                {1, CC::Button, QStringLiteral("MAKE"), 371, 222, 57, 16,
                 kDefaultButton | kTabStop},
                {2, CC::Button, QStringLiteral("EXIT"), 371, 245, 57, 16, kTabStop},
                {1000, CC::ListView, {}, 7, 7, 356, 198, kReportView | kBorder | kTabStop},
                {1001, CC::Edit, {}, 40, 209, 132, 14, edit},
                {1002, CC::Edit, {}, 40, 228, 132, 14, edit},
                {1003, CC::Edit, {}, 40, 247, 132, 14, edit},
                {1005, CC::Button, QStringLiteral("ADD FILE"), 371, 7, 57, 14, kTabStop},
                {1006, CC::Button, QStringLiteral("MOVE TOP"), 371, 49, 57, 14, kTabStop},
                {1007, CC::Button, QStringLiteral("UP"), 371, 91, 57, 14, kTabStop},
                {1008, CC::Button, QStringLiteral("MOVE BOTTOM"), 371, 70, 57, 14, kTabStop},
                {1009, CC::Button, QStringLiteral("DOWN"), 371, 112, 57, 14, kTabStop},
                {1010, CC::Button, QStringLiteral("DEL FILE"), 371, 28, 57, 14, kTabStop},
                {1011, CC::Button, QStringLiteral("Color/Gray"), 371, 146, 57, 14, kTabStop},
                {kIdStatic, CC::Static, QStringLiteral("书名："), 7, 212, 22, 8, kAlignLeft},
                {kIdStatic, CC::Static, QStringLiteral("作者："), 7, 231, 22, 8, kAlignLeft},
                {kIdStatic, CC::Static, QStringLiteral("文件名："), 7, 250, 28, 8, kAlignLeft},
                {1018, CC::Static, QStringLiteral("黑白品质(50)："), 178, 212, 49, 8, kAlignLeft},
                {1019, CC::Static, QStringLiteral("彩色品质(80)："), 179, 231, 49, 8, kAlignLeft},
                {1016, CC::Trackbar, {}, 230, 210, 100, 15, slider},
                {1017, CC::Trackbar, {}, 230, 228, 100, 15, slider},
            }});
    t.emplace(kIddPreview, DialogTemplate{kIddPreview,
                                          QStringLiteral("Dialog"),
                                          186,
                                          94,
                                          kShellDlg,
                                          8,
                                          kPopup | kCaption | kSysMenu | kDialogFrame,
                                          {
                                              {1006, CC::Static, {}, 0, 0, 21, 20, kBitmapImage},
                                          }});
    t.emplace(kIddProgress,
              DialogTemplate{
                  kIddProgress,
                  {},
                  186,
                  67,
                  kShellDlg,
                  8,
                  kPopup | kDialogFrame,
                  {
                      {1020, CC::Static, QStringLiteral("正在处理："), 7, 15, 172, 8, kAlignCenter},
                      {1021, CC::Static, {}, 7, 31, 172, 29, kAlignCenter | kWordWrap},
                  }});
    return t;
}

QWidget* makeControl(QDialog& dialog, const ControlTemplate& c) {
    QWidget* w = nullptr;
    switch (c.cls) {
    case CC::Button: {
        auto* b = new QPushButton(c.text, &dialog);
        b->setAutoDefault(true);
        if (c.style & kDefaultButton) b->setDefault(true);
        w = b;
        break;
    }
    case CC::Edit: {
        auto* e = new QLineEdit(&dialog);
        e->setText(c.text);
        e->setFrame((c.style & kBorder) != 0);
        w = e;
        break;
    }
    case CC::Static: {
        auto* l = new QLabel(&dialog);
        l->setTextFormat(Qt::PlainText);
        if (c.style & kIconImage) {
            l->setPixmap(appIcon().pixmap(32, 32));
        } else if (!(c.style & kBitmapImage)) {
            l->setText(c.text);
        }
        Qt::Alignment align = (c.style & kAlignCenter) ? Qt::AlignHCenter : Qt::AlignLeft;
        l->setAlignment(align | Qt::AlignTop);
        l->setWordWrap((c.style & kWordWrap) != 0);
        w = l;
        break;
    }
    case CC::ListView: {
        auto* v = new QTableWidget(&dialog);
        v->setFrameShape((c.style & kBorder) ? QFrame::StyledPanel : QFrame::NoFrame);
        v->verticalHeader()->hide();
        w = v;
        break;
    }
    case CC::Trackbar: {
        auto* s = new QSlider((c.style & kHorizontal) ? Qt::Horizontal : Qt::Vertical, &dialog);
        if (c.style & kNoTicks) s->setTickPosition(QSlider::NoTicks);
        w = s;
        break;
    }
    }
    w->setFocusPolicy((c.style & kTabStop) ? Qt::StrongFocus : Qt::NoFocus);
    return w;
}

} // namespace

const DialogTemplate& dialogTemplate(int id) {
    static const std::map<int, DialogTemplate> templates = makeTemplates();
    return templates.at(id);
}

QFont templateFont(const DialogTemplate& t) {
    QFont font = QApplication::font();
    if (t.fontFace != kShellDlg) font.setFamily(t.fontFace);
    font.setPointSize(t.pointSize);
    return font;
}

DialogUnits DialogUnits::forFont(const QFont& font) {
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits u;
    // The average width rounded to whole pixels, as dialog managers do.
    u.baseX = std::max(1, (letters / 26 + 1) / 2);
    // The tool's texts are Chinese. Where the font has no CJK glyphs they come from a fallback
    // font whose line is taller, and a static text eight units high must still hold one line.
    QTextLayout layout(QStringLiteral("文字Ag"), font);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    qreal lineHeight = 0;
    if (line.isValid()) {
        line.setLineWidth(1e6);
        lineHeight = line.height();
    }
    layout.endLayout();
    u.baseY = std::max({1, fm.height(), static_cast<int>(std::ceil(lineHeight))});
    return u;
}

namespace {
int mulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>((p >= 0 ? p + c / 2 : p - c / 2) / c);
}
} // namespace

int DialogUnits::toPixelsX(int units) const {
    return mulDiv(units, baseX, 4);
}
int DialogUnits::toPixelsY(int units) const {
    return mulDiv(units, baseY, 8);
}
QRect DialogUnits::toPixels(int x, int y, int w, int h) const {
    return {toPixelsX(x), toPixelsY(y), toPixelsX(w), toPixelsY(h)};
}

DialogUnits buildDialog(QDialog& dialog, const DialogTemplate& t) {
    const QFont font = templateFont(t);
    dialog.setFont(font);
    const DialogUnits units = DialogUnits::forFont(font);

    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (t.style & kCaption) {
        flags |= Qt::WindowTitleHint;
        if (t.style & kSysMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    } else {
        flags |= Qt::FramelessWindowHint;
    }
    dialog.setWindowFlags(flags);
    dialog.setWindowTitle(t.caption);
    dialog.setFixedSize(units.toPixelsX(t.w), units.toPixelsY(t.h));

    for (const ControlTemplate& c : t.controls) {
        QWidget* w = makeControl(dialog, c);
        if (c.id != kIdStatic) w->setObjectName(QString::number(c.id));
        w->setGeometry(units.toPixels(c.x, c.y, c.w, c.h));
    }
    return units;
}

namespace {
// Stays inside one window: owned windows (the preview under the main window) keep their own
// identifiers.
QWidget* findControl(const QWidget& parent, const QString& name) {
    for (QObject* child : parent.children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && !w->isWindow() && w->objectName() == name) return w;
    }
    for (QObject* child : parent.children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow()) continue;
        if (QWidget* found = findControl(*w, name)) return found;
    }
    return nullptr;
}
} // namespace

QWidget* controlById(const QWidget& dialog, int id) {
    return findControl(dialog, QString::number(id));
}

} // namespace folio::ui
