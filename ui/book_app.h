// The application object: start-up, then the main window as a modal dialog.
#pragma once

#include "ui/services.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace folio::ui {

class CPageListDlg;

// The sockets layer needs no start-up on POSIX systems.
bool startSockets();

class CBookApp {
  public:
    struct Options {
        MessageBoxes* boxes = nullptr;                   // the real message boxes when empty
        std::function<bool()> startSockets;              // startSockets() when empty
        std::function<void(CPageListDlg&)> onMainWindow; // called before the window runs
        std::ostream* err = nullptr;                     // std::cerr when empty
        UiServices services;
    };

    CBookApp();
    explicit CBookApp(Options options);
    ~CBookApp();

    // Needs the QApplication in place. Runs the main window until it ends, with files added
    // as the command line names them (those left out listed on err). The result is the process's
    // exit code.
    int InitInstance(const std::vector<std::string>& files);

  private:
    Options m_options;
    std::unique_ptr<QtMessageBoxes> m_ownBoxes;
};

} // namespace folio::ui
