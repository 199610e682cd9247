#pragma once

#include <functional>

#include <QTimer>
#include <QWidget>

class QLabel;
class QMenu;

namespace skylark {

// The status menu as a small window, for desktops without a tray host (a plain GNOME session,
// for one): the same items, bound to the same actions, so they behave alike, and a note that
// says why the window is there. The information lines follow their items' texts; the commands
// are buttons, and their shortcuts work while the window is active.
//
// The address line is refreshed whenever the window is shown and every few seconds while it
// is, as opening the menu refreshes it. Closing the window minimizes it while there is still
// no tray, so Skylark never becomes invisible. When a tray host appears (a panel that starts
// after Skylark), the tray icon docks by itself and the window hides. Main thread only.
class NoTrayWindow : public QWidget {
  public:
    NoTrayWindow(QMenu& menu, std::function<void(QMenu&)> refreshAddress,
                 std::function<bool()> trayAvailable);

    QString note() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void refresh();

    QMenu& menu_;
    std::function<void(QMenu&)> refreshAddress_;
    std::function<bool()> trayAvailable_;
    QLabel* note_ = nullptr;
    QTimer refreshTimer_;
};

}  // namespace skylark
