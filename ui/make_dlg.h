// The progress window of MAKE (template 131) and the progress display built on it.
#pragma once

#include "book/base/pace.h"
#include "book/making/platform.h"

#include <QDialog>
#include <QPoint>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QProgressBar;

namespace folio::ui {

// A window rectangle as the window system gives it: right and bottom exclusive.
struct WinRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};
WinRect outerRect(const QWidget& window);

// Where a window of rectangle p stands when centred over m; not kept on the screen.
QPoint centredOver(const WinRect& m, const WinRect& p);

// What the page count gains once the time left can be told: "  剩余 1:20".
QString timeLeftText(long long seconds);

class CMakeDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CMakeDlg(QWidget* parent);
    QLabel* heading() const { return m_heading; }
    QLabel* pageLine() const { return m_pageLine; }
    QProgressBar* bar() const { return m_bar; }
    // Sets the page line to path, in as many whole lines as stand above the bar.
    void ShowPath(const QString& path);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QLabel* m_heading;
    QLabel* m_pageLine;
    QProgressBar* m_bar;
    int m_pageLines = 1;
};

// text broken into lines of at most width pixels in font, anywhere if need be (a path has few
// spaces), and with its middle left out when maxLines lines cannot hold it all.
QString fitToLines(const QString& text, const QFont& font, int width, int maxLines);

// The window lives from StartProgress to DestroyProgress of one MAKE command.
class MakeProgress : public ProgressDisplay {
  public:
    explicit MakeProgress(QWidget* mainWindow) : m_main(mainWindow) {}
    ~MakeProgress() override;
    void StartProgress() override;
    void ShowCurrentPage(const std::string& path, int done, int total) override;
    void HideProgress() override;
    void DestroyProgress() override;

    CMakeDlg* window() const { return m_dlg.get(); }
    // The clock the time left is measured by; the tests set their own.
    void setClock(std::function<Pace::Clock::time_point()> now) { m_now = std::move(now); }

  private:
    QWidget* m_main;
    std::unique_ptr<CMakeDlg> m_dlg;
    std::function<Pace::Clock::time_point()> m_now = [] { return Pace::Clock::now(); };
    Pace m_pace;
};

} // namespace folio::ui
