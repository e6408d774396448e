#include "ui/services.h"

#include "ui/strings.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <algorithm>
#include <cstdint>

namespace folio::ui {

QString fromNative(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

std::string toNative(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

namespace {
int runBox(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& details,
           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton def) {
    QMessageBox box(icon, kAppName, text, buttons, parent);
    box.setDefaultButton(def);
    if (!details.isEmpty()) box.setDetailedText(details);
    return box.exec();
}
} // namespace

void QtMessageBoxes::information(QWidget* parent, const QString& text, const QString& details) {
    runBox(parent, QMessageBox::NoIcon, text, details, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtMessageBoxes::question(QWidget* parent, const QString& text) {
    return runBox(parent, QMessageBox::NoIcon, text, {}, QMessageBox::Yes | QMessageBox::No,
                  QMessageBox::Yes) == QMessageBox::Yes;
}

void QtMessageBoxes::critical(QWidget* parent, const QString& text) {
    runBox(parent, QMessageBox::Critical, text, {}, QMessageBox::Ok, QMessageBox::Ok);
}

QString chooserFilter(const std::string& filter) {
    const QString text = QString::fromStdString(filter);
    QString patterns = text;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return QStringLiteral("%1 (%2)").arg(text, patterns);
}

std::optional<std::vector<std::string>> QtFileChooser::chooseFiles(const std::string& title,
                                                                   const std::string& filter) {
    const QString filters = chooserFilter(filter) + QStringLiteral(";;") +
                            QString::fromUtf8(kChooserPictureFilter) + QStringLiteral(";;") +
                            QString::fromUtf8(kChooserContainerFilter) + QStringLiteral(";;") +
                            QString::fromUtf8(kChooserAllFilter);
    const QStringList names =
        QFileDialog::getOpenFileNames(parent_, QString::fromStdString(title), QString(), filters);
    if (names.isEmpty()) return std::nullopt;
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& n : names)
        paths.push_back(toNative(n));
    return paths;
}

bool QtBookPlatform::fileExists(const std::string& name) {
    return QFileInfo::exists(fromNative(name));
}

bool QtBookPlatform::askOverwrite(const std::string& question) {
    return boxes_.question(parent_, QString::fromStdString(question));
}

QString skippedDetails(const std::vector<SkippedRow>& rows) {
    QStringList lines;
    for (const SkippedRow& row : rows)
        lines << QStringLiteral("%1: %2").arg(fromNative(row.path),
                                              QString::fromStdString(row.reason));
    return lines.join(QLatin1Char('\n'));
}

QString successDetails(const MakeReport& report, const std::vector<SkippedRow>& notAdded) {
    QStringList lines;
    if (report.volumes.size() > 1) {
        // Too many pages for one book: every volume written, with its pages and size.
        lines << QStringLiteral("分为 %1 册:").arg(report.volumes.size());
        for (const auto& volume : report.volumes) {
            const QFileInfo file(fromNative(volume.name));
            const auto bytes = static_cast<std::uint64_t>(std::max<qint64>(file.size(), 0));
            lines << QStringLiteral("%1: %2 页, %3")
                         .arg(file.absoluteFilePath())
                         .arg(volume.pages)
                         .arg(QString::fromStdString(fileSizeText(bytes)));
        }
    } else {
        const QFileInfo book(fromNative(report.outputName));
        const auto bytes = static_cast<std::uint64_t>(std::max<qint64>(book.size(), 0));
        lines << QStringLiteral("文件: %1").arg(book.absoluteFilePath())
              << QStringLiteral("大小: %1 字节 (%2)")
                     .arg(bytes)
                     .arg(QString::fromStdString(fileSizeText(bytes)));
    }
    if (!report.skipped.empty())
        lines << QStringLiteral("跳过的页 (%1):").arg(report.skipped.size())
              << skippedDetails(report.skipped);
    if (!notAdded.empty())
        lines << QStringLiteral("添加时未加入的文件 (%1):").arg(notAdded.size())
              << skippedDetails(notAdded);
    return lines.join(QLatin1Char('\n'));
}

void QtBookPlatform::reportSuccess(const std::string& message, const MakeReport& report) {
    boxes_.information(parent_, QString::fromStdString(message), successDetails(report, notAdded_));
}

void QtBookPlatform::reportFailure(const MakeReport& report) {
    boxes_.critical(parent_, fromNative(report.error));
}

} // namespace folio::ui
