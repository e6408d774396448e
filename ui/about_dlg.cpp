#include "ui/about_dlg.h"

#include "ui/templates.h"

#include <QPushButton>

namespace folio::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    buildDialog(*this, dialogTemplate(kIddAbout));
    connect(control<QPushButton>(*this, 1), &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace folio::ui
