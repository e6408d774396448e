// The preview window (template 129): one page's image at its natural size.
#pragma once

#include <QDialog>
#include <QImage>
#include <QSize>

#include <string>

class QLabel;
class QScrollArea;

namespace folio::ui {

// The client size the preview takes for a picture: at least 100 wide, never past avail
// (the room left for the client area); a scroll bar takes its room when the other side scrolls.
QSize previewClientSize(QSize picture, QSize avail, int scrollBarExtent);

class CShowPicDlg : public QDialog {
    Q_OBJECT
  public:
    CShowPicDlg(); // no window yet
    // Creates the window from its template, hidden, as an owned window of owner.
    void Create(QWidget* owner);

    std::string m_strPath;

    void ShowPicture();
    bool hasPicture() const;
    QLabel* picture() const { return m_picture; }
    QScrollArea* scrollArea() const { return m_scroll; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void fitClientTo(QSize picture);
    QSize frameExtra() const;
    void keepOnScreen();

    QLabel* m_picture = nullptr;
    QScrollArea* m_scroll = nullptr;
    QSize m_content; // what the client area was last fitted to; empty: the template's size
};

} // namespace folio::ui
