// The four dialog templates as data, and the one builder that turns a template into widgets.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QDialog;
class QFont;

namespace folio::ui {

// Template identifiers, used unchanged from the resource tables of the tool.
inline constexpr int kIddAbout = 100;
inline constexpr int kIddMain = 102;
inline constexpr int kIddPreview = 129;
inline constexpr int kIddProgress = 131;

// A control without an identifier of its own.
inline constexpr int kIdStatic = -1;

// Control styles that matter to the builder.
enum ControlStyle : std::uint32_t {
    kTabStop = 1u << 0,
    kBorder = 1u << 1,
    kDefaultButton = 1u << 2,
    kAlignLeft = 1u << 3,
    kAlignCenter = 1u << 4,
    kNoPrefix = 1u << 5,
    kAutoHScroll = 1u << 6,
    kIconImage = 1u << 7,
    kBitmapImage = 1u << 8,
    kReportView = 1u << 9,
    kHorizontal = 1u << 10,
    kNoTicks = 1u << 11,
    kWordWrap = 1u << 12,
};

// Dialog styles.
enum DialogStyle : std::uint32_t {
    kPopup = 1u << 0,
    kCaption = 1u << 1,
    kSysMenu = 1u << 2,
    kDialogFrame = 1u << 3,
    kVisible = 1u << 4,
    kAppWindow = 1u << 5, // its own task-bar button
};

enum class ControlClass { Button, Edit, Static, ListView, Trackbar };

struct ControlTemplate {
    int id;
    ControlClass cls;
    QString text;
    int x, y, w, h; // dialog units
    std::uint32_t style;
};

struct DialogTemplate {
    int id;
    QString caption;
    int w, h; // dialog units
    QString fontFace;
    int pointSize;
    std::uint32_t style;
    std::vector<ControlTemplate> controls; // template order is the focus order
};

const DialogTemplate& dialogTemplate(int id);

// "MS Shell Dlg" stands for the platform's own user-interface font.
QFont templateFont(const DialogTemplate& t);

// Pixels per dialog unit as the template's font gives them: the horizontal base is the
// average width of the 52 letters A-Z a-z, the vertical base the height of a line of the
// tool's (Chinese) texts in that font, which may take a taller fallback font.
struct DialogUnits {
    int baseX = 1;
    int baseY = 1;
    static DialogUnits forFont(const QFont& font);
    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(int x, int y, int w, int h) const;
};

// Builds the template's controls on dialog: font, fixed client size, caption, window flags
// and one widget per control, named by its identifier. Returns the units used.
DialogUnits buildDialog(QDialog& dialog, const DialogTemplate& t);

// The widget that stands for control id on dialog, or nullptr.
QWidget* controlById(const QWidget& dialog, int id);

template <typename W> W* control(const QWidget& dialog, int id) {
    return qobject_cast<W*>(controlById(dialog, id));
}

} // namespace folio::ui
