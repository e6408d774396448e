// The application icon, resource 128: our own drawing, made at build time in three sizes.
#pragma once

#include <QIcon>
#include <QImage>

namespace folio::ui {

inline constexpr int kIconSizes[] = {16, 32, 48};

// The drawing itself, for the build-time generator.
QImage drawAppIcon(int size);

// Icon group 128 from the resources (16, 32 and 48 pixels).
QIcon appIcon();

} // namespace folio::ui
