// The string table and the fixed window texts of the tool.
#pragma once

#include <QString>

namespace folio::ui {

inline constexpr int kIdsAboutBox = 101;
inline constexpr int kIdsSocketsInitFailed = 103;
inline constexpr int kIdmAboutBox = 16; // system command of the About item
inline constexpr int kIdrMainFrame = 128;

// Empty for an identifier that names no string.
QString loadString(int id);

// Every message box bears the application name.
inline const QString kAppName = QStringLiteral("Folioforge");

inline QString grayQualityText(int p) {
    return QStringLiteral("灰色品质(%1):").arg(p);
}
inline QString colorQualityText(int p) {
    return QStringLiteral("彩色品质(%1):").arg(p);
}
inline const QString kProcessingHeading = QStringLiteral("正在处理:");
inline const QString kRegistryKey = QStringLiteral("应用程序向导生成的本地应用程序");

} // namespace folio::ui
