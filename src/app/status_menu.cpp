#include "app/status_menu.hpp"

#include <QAction>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>

namespace skylark {
namespace {

// Qt matches a menu's shortcuts only through a menu bar, so a popup menu on its own ignores
// them; this one answers its items' shortcuts while it is open, as a status menu does.
class ShortcutMenu final : public QMenu {
  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QKeySequence pressed(event->keyCombination());
        for (QAction* item : actions()) {
            if (item->isEnabled() && !item->shortcut().isEmpty() &&
                item->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
                close();
                item->trigger();
                return;
            }
        }
        QMenu::keyPressEvent(event);
    }
};

QAction* addInformationLine(QMenu& menu, const QString& title, int tag) {
    QAction* item = menu.addAction(title);
    if (tag != 0) {
        item->setData(tag);
    }
    item->setEnabled(false);
    return item;
}

void addCommand(QMenu& menu, const QString& title, QKeyCombination key,
                std::function<void()> command) {
    QAction* item = menu.addAction(title);
    item->setShortcut(QKeySequence(key));
    // Desktops differ in whether context menus show shortcuts; ours always do.
    item->setShortcutVisibleInContextMenu(true);
    QObject::connect(item, &QAction::triggered, item, [command = std::move(command)] {
        if (command) {
            command();
        }
    });
}

}  // namespace

std::unique_ptr<QMenu> buildStatusMenu(const QString& addressLine, StatusMenuCommands commands) {
    std::unique_ptr<QMenu> menu = std::make_unique<ShortcutMenu>();
    // Connected first, so the address line is fresh before anything else reacts to the opening.
    QObject::connect(menu.get(), &QMenu::aboutToShow, menu.get(),
                     [menu = menu.get(), willOpen = std::move(commands.menuWillOpen)] {
                         if (willOpen) {
                             willOpen(*menu);
                         }
                     });

    addInformationLine(*menu, QStringLiteral("Skylark"), 0);
    addInformationLine(*menu, addressLine, kAddressItemTag);
    addInformationLine(*menu, QStringLiteral("Ready"), kStatusItemTag);
    menu->addSeparator();
    addCommand(*menu, QStringLiteral("Share Screen or App + Audio\u2026"), Qt::CTRL | Qt::Key_S,
               std::move(commands.shareScreen));
    addCommand(*menu, QStringLiteral("Low Latency Sharing\u2026"), Qt::CTRL | Qt::Key_O,
               std::move(commands.openSender));
    addCommand(*menu, QStringLiteral("Copy Fire TV Address"), Qt::CTRL | Qt::Key_C,
               std::move(commands.copyAddress));
    addCommand(*menu, QStringLiteral("Stop Casting"), Qt::CTRL | Qt::Key_Period,
               std::move(commands.stopCasting));
    if (commands.allowedDevices) {
        addCommand(*menu, QStringLiteral("Allowed TVs\u2026"), Qt::CTRL | Qt::Key_T,
                   std::move(commands.allowedDevices));
    }
    menu->addSeparator();
    addCommand(*menu, QStringLiteral("Quit Skylark"), Qt::CTRL | Qt::Key_Q,
               std::move(commands.quit));
    return menu;
}

QAction* itemWithTag(const QMenu& menu, int tag) {
    for (QAction* item : menu.actions()) {
        bool isInt = false;
        if (item->data().toInt(&isInt) == tag && isInt) {
            return item;
        }
    }
    return nullptr;
}

}  // namespace skylark
