// The preview window (template 129): one page's image at its natural size.
#pragma once

#include "book/making/book_builder.h"

#include <QDialog>
#include <QImage>
#include <QSize>

#include <string>
#include <vector>

class QAction;
class QLabel;
class QScrollArea;
template <typename T> class QFutureWatcher;

namespace folio::ui {

struct BookPicture;
struct BookPages;

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

    // The row shown: its path (into m_strPath) and what else decides its page in the book.
    void SetPage(const PageJob& page);
    const PageJob& page() const { return m_page; }

    void ShowPicture();
    bool hasPicture() const;
    QLabel* picture() const { return m_picture; }
    QScrollArea* scrollArea() const { return m_scroll; }

    // Ours: the page as MAKE writes it for the row instead of the file as stored (key B and
    // the context menu). It stays chosen while the preview follows the list.
    void SetBookView(bool on);
    bool isBookView() const { return m_bookView; }
    QAction* bookViewAction() const { return m_bookAction; }
    // The bytes behind the book view, null in the file view or before they are made.
    PageBytes bookPageBytes() const { return m_shownPage; }
    // The page's size and quality, drawn over the picture's corner in the book view.
    QLabel* pageFacts() const { return m_facts; }
    bool isRendering() const;
    // The rows a strip may join the shown row with (empty: none), for the book view.
    void SetStripRows(std::vector<BookEntry> rows);
    // Which of the pages the row gives the book view shows (from 0), and how many it gives;
    // key N (and the context menu) steps to the next one.
    int bookPageIndex() const { return m_pageIndex; }
    int bookPageCount() const { return m_pageCount; }
    QAction* nextPageAction() const { return m_nextAction; }

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
    void showBookPage();
    void bookPageMade();
    void showMessage(const QString& text);
    void contextMenuEvent(QContextMenuEvent* event) override;

    QLabel* m_picture = nullptr;
    QScrollArea* m_scroll = nullptr;
    QSize m_content; // what the client area was last fitted to; empty: the template's size

    PageJob m_page;
    bool m_bookView = false;
    bool m_renderAgain = false; // the page asked for changed while one was being made
    PageBytes m_shownPage;
    QAction* m_bookAction = nullptr;
    QLabel* m_facts = nullptr;
    QFutureWatcher<BookPages>* m_render = nullptr;
    std::vector<BookEntry> m_strip;
    int m_pageIndex = 0, m_pageCount = 1;
    QAction* m_nextAction = nullptr;
};

} // namespace folio::ui
