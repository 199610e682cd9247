#include "app/status_item.hpp"

#include <QCursor>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStringList>

namespace skylark {
namespace {

// Trays ask for 16 to 24 pixels; larger ones serve scaled and high-density panels.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

QColor panelTextColor() {
    // GNOME Shell's top bar is dark in the light style as in the dark one, and it draws an
    // item's picture as given: the application's text colour would be black on black there.
    // GNOME Classic's bar is light.
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':');
    if (desktops.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive) &&
        !desktops.contains(QStringLiteral("GNOME-Classic"), Qt::CaseInsensitive)) {
        return Qt::white;
    }
    return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

}  // namespace

QIcon tintedMenuImage(const QString& resource, const QColor& color) {
    if (resource.isEmpty() || !QFile::exists(resource)) {
        return {};
    }
    const QIcon source(resource);
    QIcon tinted;
    for (int size : kIconSizes) {
        QPixmap shape = source.pixmap(size, size);
        if (shape.isNull()) {
            // No engine can draw it (Qt's SVG plugins are missing, say).
            return {};
        }
        QPixmap pixmap(shape.size());
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.drawPixmap(0, 0, shape);
        // Keep the drawing's shape and coverage, replace its colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
        painter.end();
        tinted.addPixmap(pixmap);
    }
    return tinted;
}

QIcon titleIcon(const QColor& color) {
    QIcon icon;
    for (int size : kIconSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::TextAntialiasing);
        QFont font = painter.font();
        font.setPixelSize(size * 9 / 10);
        painter.setFont(font);
        painter.setPen(color);
        painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("\u25C9"));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

StatusItem::StatusItem(QMenu& menu, QString imageResource)
    : menu_(menu), imageResource_(std::move(imageResource)) {
    updateImage();
    trayIcon_.setToolTip(QStringLiteral("Skylark"));
    trayIcon_.setContextMenu(&menu_);
    // Trays open the context menu on a right click only; a person expects a left click on a
    // status item to open it too. A second click soon after the first arrives as a double
    // click instead, and must open it all the same.
    connect(&trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                const bool leftClick =
                    reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick;
                if (leftClick && !menu_.isVisible()) {
                    menu_.popup(menuPosition());
                }
            });
    // A theme change reaches the application object as a new application palette.
    qApp->installEventFilter(this);
}

StatusItem::~StatusItem() {
    qApp->removeEventFilter(this);
}

bool StatusItem::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        updateImage();
    }
    return QObject::eventFilter(watched, event);
}

QPoint StatusItem::menuPosition() const {
    const QRect icon = trayIcon_.geometry();
    const QScreen* screen = icon.isEmpty() ? nullptr : QGuiApplication::screenAt(icon.center());
    if (screen == nullptr) {
        return QCursor::pos();
    }
    // Hang the menu from the icon, above it on a bottom panel and below it on a top one, as a
    // status menu does, instead of over the icon where the pointer is.
    const int menuHeight = menu_.sizeHint().height();
    const bool panelAtTop = icon.center().y() < screen->geometry().center().y();
    return {icon.left(), panelAtTop ? icon.bottom() + 1 : icon.top() - menuHeight};
}

void StatusItem::updateImage() {
    const QColor color = panelTextColor();
    QIcon image = tintedMenuImage(imageResource_, color);
    showsTitle_ = image.isNull();
    trayIcon_.setIcon(showsTitle_ ? titleIcon(color) : image);
}

}  // namespace skylark
