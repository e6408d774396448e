// Fakes and helpers shared by the window tests.
#pragma once

#include "book/pages/add_pages.h"
#include "ui/page_list_dlg.h"
#include "ui/services.h"

#include <QImage>
#include <QMimeData>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace folio::ui::test {

struct BoxCall {
    QString kind; // "information", "question" or "critical"
    QString text;
    QString details;
};

class FakeBoxes final : public MessageBoxes {
  public:
    void information(QWidget* parent, const QString& text, const QString& details) override;
    bool question(QWidget* parent, const QString& text) override;
    void critical(QWidget* parent, const QString& text) override;

    std::vector<BoxCall> calls;
    bool answer = true;
    std::function<void()> onBox; // runs inside each box, while it would be open
};

class FakeChooser final : public FileChooser {
  public:
    std::optional<std::vector<std::string>> chooseFiles(const std::string& title,
                                                        const std::string& filter) override;
    std::optional<std::vector<std::string>> next; // nullopt: the user cancels
    int calls = 0;
    std::string title, filter;
};

// Writes a w x h picture whose pixel (x, y) is patternColor(x, y).
QRgb patternColor(int x, int y);
std::string writePicture(const QTemporaryDir& dir, const QString& name, int w, int h,
                         const char* format = "PNG");

// The main window with fakes, shown on the offscreen screen.
struct MainWindowRig {
    FakeBoxes boxes;
    FakeChooser chooser;
    CPageListDlg dlg;
    MainWindowRig();
    explicit MainWindowRig(UiServices services);
};

UiServices fakeServices(FakeBoxes& boxes, FakeChooser& chooser);

// The user's ways with the list view.
QPoint rowCentre(const CPageListDlg& dlg, int row);
void clickRow(CPageListDlg& dlg, int row, Qt::KeyboardModifiers mods = Qt::NoModifier);
void selectRows(CPageListDlg& dlg, const std::vector<int>& rows);
void doubleClickAt(CPageListDlg& dlg, QPoint viewportPos);
void clickButton(const QWidget& dlg, int id);
// A drop let go over the page list, as a real drag delivers it; true when it was taken.
bool dropOnList(CPageListDlg& dlg, const QMimeData& mime);

// Column texts of the page list and of the view, row by row.
QStringList modelColumn(const CPageListDlg& dlg, int cell);
QStringList viewColumn(const CPageListDlg& dlg, int cell);
std::vector<int> modelSelection(const CPageListDlg& dlg);
std::vector<int> viewSelection(const CPageListDlg& dlg);

// The labels and push buttons of window whose text does not fit inside the control as the
// style draws it, each as "text: needs WxH, has WxH"; empty when every text is whole.
QStringList clippedTexts(const QWidget& window);

// Closes the next modal dialog that opens (the About box) once it is up.
void closeNextModal(std::function<void(QWidget*)> inspect = {});

} // namespace folio::ui::test
