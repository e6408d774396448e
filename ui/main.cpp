#include "cli/cli.h"
#include "ui/book_app.h"
#include "ui/strings.h"

#include <QApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr char kNoDisplay[] = "no display";

bool envSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// A platform named outright (offscreen, minimal, eglfs, ...) is tried as it is; otherwise the
// default ones need an X or Wayland display to talk to.
bool mayHaveDisplay() {
    return envSet("QT_QPA_PLATFORM") || envSet("DISPLAY") || envSet("WAYLAND_DISPLAY");
}

// While the application object starts, Qt reports a platform that cannot start with a few
// warnings and then a fatal message that aborts with a core dump. Hold the warnings, and turn
// the fatal message into our one line and exit status 1.
QtMessageHandler previousHandler = nullptr;
QStringList heldMessages;

void startingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fputs(folio::cli::noWindowMessage(kNoDisplay).c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    heldMessages << qFormatLogMessage(type, context, message);
}

} // namespace

int main(int argc, char** argv) {
    // Titles typed in the terminal arrive in its character set.
    std::setlocale(LC_CTYPE, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> files;
    if (const auto code = folio::cli::runUnlessWindow(args, files, std::cout, std::cerr))
        return *code;
    if (!mayHaveDisplay()) {
        std::cerr << folio::cli::noWindowMessage(kNoDisplay);
        return 1;
    }

    // Qt sees the program name only: every other word has been read as a file above.
    int qtArgc = 1;
    previousHandler = qInstallMessageHandler(startingHandler);
    QApplication app(qtArgc, argv);
    qInstallMessageHandler(previousHandler);
    for (const QString& held : heldMessages)
        std::fprintf(stderr, "%s\n", qPrintable(held));

    QApplication::setApplicationName(folio::ui::kAppName);
    // Ties the window to its desktop entry (and its icon) on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.folioforge.Folioforge"));
    folio::ui::CBookApp bookApp;
    return bookApp.InitInstance(files);
}
