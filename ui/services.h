// What the windows need from the desktop, behind interfaces so the tests can stand in.
#pragma once

#include "book/making/platform.h"
#include "book/pages/add_pages.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace folio::ui {

// Paths stay the file system's bytes; these convert for display and back.
QString fromNative(const std::string& bytes);
std::string toNative(const QString& text);

// The tool's message boxes, caption "Folioforge".
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // A plain message with OK; details, when not empty, go to a details section.
    virtual void information(QWidget* parent, const QString& text, const QString& details) = 0;
    // Yes and No; true for Yes.
    virtual bool question(QWidget* parent, const QString& text) = 0;
    // An error the user has to know about.
    virtual void critical(QWidget* parent, const QString& text) = 0;
};

class QtMessageBoxes final : public MessageBoxes {
  public:
    void information(QWidget* parent, const QString& text, const QString& details) override;
    bool question(QWidget* parent, const QString& text) override;
    void critical(QWidget* parent, const QString& text) override;
};

// The open-file chooser of ADD FILE.
class QtFileChooser final : public FileChooser {
  public:
    explicit QtFileChooser(QWidget* parent) : parent_(parent) {}
    std::optional<std::vector<std::string>> chooseFiles(const std::string& title,
                                                        const std::string& filter) override;

  private:
    QWidget* parent_;
};

// "*.JPG;*.GIF" as a file-dialog filter line.
QString chooserFilter(const std::string& filter);

// The builder's questions and messages, modal over the main window.
class QtBookPlatform final : public BookPlatform {
  public:
    // notAdded: files the adds before this book left out, told in the success details.
    QtBookPlatform(QWidget* parent, MessageBoxes& boxes, std::vector<SkippedRow> notAdded = {})
        : parent_(parent), boxes_(boxes), notAdded_(std::move(notAdded)) {}
    bool fileExists(const std::string& name) override;
    bool askOverwrite(const std::string& question) override;
    void reportSuccess(const std::string& message, const MakeReport& report) override;
    void reportFailure(const MakeReport& report) override;

  private:
    QWidget* parent_;
    MessageBoxes& boxes_;
    std::vector<SkippedRow> notAdded_;
};

// One line per row that did not become a page, with the reason; empty when none.
QString skippedDetails(const std::vector<SkippedRow>& rows);

// The details of the success message: the book's full path and size, the skipped pages, and
// the files that adding left out.
QString successDetails(const MakeReport& report, const std::vector<SkippedRow>& notAdded);

// What the main window is built with. Empty members mean the real desktop.
struct UiServices {
    MessageBoxes* boxes = nullptr;
    FileChooser* chooser = nullptr;
    FileLookup* lookup = nullptr;
    // The progress display MAKE hands the builder, made for one command.
    std::function<std::unique_ptr<ProgressDisplay>(QWidget* mainWindow)> makeProgress;
};

} // namespace folio::ui
