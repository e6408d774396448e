// The About box (template 100).
#pragma once

#include <QDialog>

namespace folio::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent);
};

} // namespace folio::ui
