#include "app/no_tray_window.hpp"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace skylark {
namespace {

constexpr int kRefreshIntervalMs = 3000;

const QString kNoTrayNote = QStringLiteral(
    "This desktop has no system tray, so Skylark shows its menu here. Closing this window "
    "minimizes it; choose Quit Skylark to quit.");

// A disabled line of the menu, kept in step with its item's text.
QLabel* informationLine(QAction* item, QWidget* parent) {
    auto* label = new QLabel(item->text(), parent);
    QObject::connect(item, &QAction::changed, label,
                     [label, item] { label->setText(item->text()); });
    return label;
}

QPushButton* commandButton(QAction* item, QWidget* parent) {
    auto* button = new QPushButton(item->text(), parent);
    button->setToolTip(item->shortcut().toString(QKeySequence::NativeText));
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, item, &QAction::trigger);
    QObject::connect(item, &QAction::changed, button, [button, item] {
        button->setText(item->text());
        button->setEnabled(item->isEnabled());
    });
    return button;
}

}  // namespace

NoTrayWindow::NoTrayWindow(QMenu& menu, std::function<void(QMenu&)> refreshAddress,
                           std::function<bool()> trayAvailable)
    : menu_(menu),
      refreshAddress_(std::move(refreshAddress)),
      trayAvailable_(std::move(trayAvailable)) {
    setWindowTitle(QStringLiteral("Skylark"));
    auto* layout = new QVBoxLayout(this);

    note_ = new QLabel(kNoTrayNote, this);
    note_->setWordWrap(true);
    layout->addWidget(note_);

    for (QAction* item : menu.actions()) {
        if (item->isSeparator()) {
            auto* line = new QFrame(this);
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Sunken);
            layout->addWidget(line);
        } else if (!item->isEnabled()) {
            layout->addWidget(informationLine(item, this));
        } else {
            layout->addWidget(commandButton(item, this));
        }
    }
    // The same actions, so their shortcuts work while this window is active.
    addActions(menu.actions());

    refreshTimer_.setInterval(kRefreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &NoTrayWindow::refresh);
    setMinimumWidth(360);
}

QString NoTrayWindow::note() const {
    return note_->text();
}

void NoTrayWindow::showEvent(QShowEvent* event) {
    refresh();
    refreshTimer_.start();
    QWidget::showEvent(event);
}

void NoTrayWindow::closeEvent(QCloseEvent* event) {
    // Only the person's own close (the window manager's) minimizes: quitting closes every
    // window first, and a refused close would cancel Quit Skylark.
    if (trayAvailable_() || !event->spontaneous()) {
        refreshTimer_.stop();
        event->accept();
        return;
    }
    event->ignore();
    showMinimized();
}

void NoTrayWindow::refresh() {
    if (refreshAddress_) {
        refreshAddress_(menu_);
    }
    // A panel that starts after Skylark (at login, say) brings the tray: the icon docks by
    // itself and carries this same menu, so the stand-in steps aside.
    if (trayAvailable_()) {
        refreshTimer_.stop();
        hide();
    }
}

}  // namespace skylark
