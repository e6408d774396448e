// The main window (template 102): the page list, the book's fields and the nine commands.
#pragma once

#include "book/making/page_cache.h"
#include "book/pages/add_pages.h"
#include "book/pages/page_list.h"
#include "ui/services.h"
#include "ui/show_pic_dlg.h"

#include <QDialog>
#include <QIcon>

#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QSlider;
class QTableWidget;

namespace folio::ui {

class CPageListDlg : public QDialog, private PageListObserver {
    Q_OBJECT
  public:
    explicit CPageListDlg(UiServices services = {}, QWidget* parent = nullptr);
    ~CPageListDlg() override;

    PageList& pages() { return m_pages; }
    const PageList& pages() const { return m_pages; }
    CShowPicDlg* preview() const { return m_pPreview.get(); }
    QAction* aboutAction() const { return m_aboutAction; }
    // Ours, on the context menu: the gray cells set from the pictures' content, and margins
    // cut in MAKE and the preview's book view (for the session; off at start).
    QAction* autoColorAction() const { return m_autoColorAction; }
    QAction* cropAction() const { return m_cropAction; }
    // Likewise: spreads halved, right to left, strips cut into pages.
    QAction* splitAction() const { return m_splitAction; }
    QAction* rtlAction() const { return m_rtlAction; }
    QAction* stripsAction() const { return m_stripsAction; }
    MemoryPageCache& pageCache() { return m_pageCache; }

    // Files named on the command line or dropped on the window, added as ADD FILE adds chosen
    // files, in the order given; a folder stands for its image files in natural order. Returns
    // what was left out, with the reasons.
    std::vector<SkippedRow> AddFiles(const std::vector<std::string>& paths);
    // Files left out by adds since the last book was made.
    const std::vector<SkippedRow>& notAdded() const { return m_notAdded; }

    // The command handlers.
    void OnAddFile();
    void OnDelFile();
    void OnMoveTop();
    void OnMoveBottom();
    void OnUp();
    void OnDown();
    void OnColorGray();
    void OnAutoColor();
    void OnMake();
    void OnExit();
    void OnDblclkList(int row);
    void OnItemchangedList(int row);
    void OnSysCommand(int id);

    QIcon m_hIcon;
    std::unique_ptr<CShowPicDlg> m_pPreview;
    QTableWidget* m_list = nullptr;
    QLineEdit* m_editTitle = nullptr;
    QLineEdit* m_editAuthor = nullptr;
    QLineEdit* m_editFileName = nullptr;
    QSlider* m_sliderGray = nullptr;
    QSlider* m_sliderColor = nullptr;
    QLabel* m_labelGray = nullptr;
    QLabel* m_labelColor = nullptr;

  public slots:
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    // While one lives, the rows reported to the preview are held and only the last is shown.
    class PreviewBurst {
      public:
        explicit PreviewBurst(CPageListDlg& dlg);
        ~PreviewBurst();
        PreviewBurst(const PreviewBurst&) = delete;
        PreviewBurst& operator=(const PreviewBurst&) = delete;

      private:
        CPageListDlg& dlg_;
    };

    void OnInitDialog();
    void addCommandKeys();
    void addShapeCommands();
    // What decides the page MAKE writes for a row, as the window stands now.
    PageJob pageJobFor(int row) const;
    PageOptions pageOptions() const;
    // The rows a strip may join the row of this page with: its neighbours of one folder.
    std::vector<BookEntry> stripRows(const PageJob& job) const;
    void pointPreviewAtJob(const PageJob& job);
    void fillNameFrom(const std::vector<std::string>& containers);
    void pointPreviewAt(int row);
    void refreshBookPreview();
    void runCommand(void (*command)(PageList&));
    void destroyPreview();
    void noteNotAdded(const std::vector<SkippedRow>& rows);
    void setViewRowSelected(int row, bool selected);
    void syncViewSelection();
    void copyViewSelection();

    // The page list mirrored into the list view.
    void rowInserted(int index) override;
    void rowDeleted(int index) override;
    void cellChanged(int index, int cell) override;
    void selectionChanged(int index) override;

    UiServices m_services;
    std::unique_ptr<QtMessageBoxes> m_ownBoxes;
    std::unique_ptr<QtFileChooser> m_ownChooser;
    DiskFileLookup m_diskLookup;
    PageList m_pages;
    // Pages MAKE wrote this session: a later MAKE encodes only what changed.
    MemoryPageCache m_pageCache;
    std::vector<SkippedRow> m_notAdded;
    bool m_syncing = false; // the view is being set from the list: not a user's selection
    bool m_previewPlaced = false;
    int m_previewHeld = 0;
    PageJob m_previewJob;
    bool m_previewPending = false;
    QAction* m_aboutAction = nullptr;
    QAction* m_autoColorAction = nullptr;
    QAction* m_cropAction = nullptr;
    QAction* m_splitAction = nullptr;
    QAction* m_rtlAction = nullptr;
    QAction* m_stripsAction = nullptr;
    QObject* m_listViewport = nullptr; // compared, never used after the view is gone
};

} // namespace folio::ui
