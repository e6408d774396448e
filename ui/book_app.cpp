#include "ui/book_app.h"

#include "ui/app_icon.h"
#include "ui/page_list_dlg.h"
#include "ui/strings.h"

#include <QApplication>

#include <iostream>

namespace folio::ui {

bool startSockets() {
    return true;
}

CBookApp::CBookApp() : CBookApp(Options{}) {}

CBookApp::CBookApp(Options options) : m_options(std::move(options)) {
    if (!m_options.boxes) {
        m_ownBoxes = std::make_unique<QtMessageBoxes>();
        m_options.boxes = m_ownBoxes.get();
    }
    if (!m_options.startSockets) m_options.startSockets = &folio::ui::startSockets;
    if (!m_options.services.boxes) m_options.services.boxes = m_options.boxes;
    if (!m_options.err) m_options.err = &std::cerr;
}

CBookApp::~CBookApp() = default;

int CBookApp::InitInstance(const std::vector<std::string>& files) {
    QApplication::setWindowIcon(appIcon());

    if (!m_options.startSockets()) {
        m_options.boxes->critical(nullptr, loadString(kIdsSocketsInitFailed));
        return 1;
    }

    // The name of the per-user settings key; nothing is ever stored under it.
    QCoreApplication::setOrganizationName(kRegistryKey);

    CPageListDlg dlg(m_options.services);
    // A terminal is there to tell what the window adds without a word.
    for (const SkippedRow& s : dlg.AddFiles(files))
        *m_options.err << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
    if (m_options.onMainWindow) m_options.onMainWindow(dlg);
    dlg.exec();
    return 0;
}

} // namespace folio::ui
