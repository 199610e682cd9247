#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QMenu;

namespace skylark {

// The image `resource` (a monochrome symbolic drawing) tinted in `color` at the sizes trays ask
// for; a null icon when the resource is missing or cannot be drawn.
QIcon tintedMenuImage(const QString& resource, const QColor& color);
// The title "◉" drawn as an icon in `color`: a tray shows only pictures, so this is how the
// title stands in for a missing image.
QIcon titleIcon(const QColor& color);

// Skylark's tray icon, with the tool tip "Skylark" and the status menu.
// It shows the image "SkylarkMenu" in the colour of the desktop's text (white on GNOME, whose
// top bar is always dark), so it suits a light or a dark panel and follows the palette when the
// desktop's theme changes; without the image it
// shows "◉". A left click opens the same menu as a right click. Main thread only.
class StatusItem : public QObject {
  public:
    StatusItem(QMenu& menu, QString imageResource);
    ~StatusItem() override;

    QSystemTrayIcon& trayIcon() { return trayIcon_; }
    // True when the title "◉" stands in for the missing image.
    bool showsTitle() const { return showsTitle_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Where a left click opens the menu.
    QPoint menuPosition() const;
    void updateImage();

    QMenu& menu_;
    const QString imageResource_;
    QSystemTrayIcon trayIcon_;
    bool showsTitle_ = false;
};

}  // namespace skylark
