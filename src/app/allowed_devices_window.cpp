#include "app/allowed_devices_window.hpp"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "http/access_routes.hpp"

namespace skylark {

AllowedDevicesWindow::AllowedDevicesWindow(std::shared_ptr<DeviceAccess> access,
                                           std::function<std::string()> serverAddress)
    : access_(std::move(access)), serverAddress_(std::move(serverAddress)) {
    setWindowTitle(QStringLiteral("Allowed TVs"));
    auto* layout = new QVBoxLayout(this);
    asks_ = new QCheckBox(QStringLiteral("Ask on this computer before a new TV can watch"), this);
    connect(asks_, &QCheckBox::toggled, this, [this](bool asks) { access_->setAsks(asks); });
    layout->addWidget(asks_);
    auto* rows = new QWidget(this);
    rows_ = new QVBoxLayout(rows);
    rows_->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(rows);
    auto* add = new QPushButton(QStringLiteral("Add a Media Player"), this);
    add->setToolTip(
        QStringLiteral("A player that opens a playlist address cannot ask: it gets "
                       "an address of its own, copied to the clipboard."));
    connect(add, &QPushButton::clicked, this, [this] {
        const std::string name =
            "Media player " + std::to_string(access_->saved().allowed.size() + 1);
        copy(access_->addDevice(name), QString::fromStdString(name));
    });
    layout->addWidget(add);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(message_);
    setMinimumWidth(420);
    refresh();
}

std::string AllowedDevicesWindow::playerAddress(const std::string& key) const {
    return serverAddress_() + std::string(kDevicePathPrefix) + key + "/live/stream.m3u8";
}

QString AllowedDevicesWindow::message() const {
    return message_->text();
}

void AllowedDevicesWindow::copy(const std::string& key, const QString& what) {
    const QString address = QString::fromStdString(playerAddress(key));
    QGuiApplication::clipboard()->setText(address);
    message_->setText(QStringLiteral("Copied the player address of %1: %2. Keep it private: "
                                     "whoever has it can watch.")
                          .arg(what, address));
}

void AllowedDevicesWindow::refresh() {
    const DeviceAccess::Saved saved = access_->saved();
    const QSignalBlocker quiet(asks_);
    asks_->setChecked(saved.asks);
    while (QLayoutItem* item = rows_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (saved.allowed.empty()) {
        rows_->addWidget(new QLabel(QStringLiteral("No TV is allowed yet."), this));
    }
    for (const DeviceAccess::Device& device : saved.allowed) {
        auto* row = new QWidget(this);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        const QString name = QString::fromStdString(device.name);
        line->addWidget(new QLabel(name, row), 1);
        auto* copyButton = new QPushButton(QStringLiteral("Copy Player Address"), row);
        connect(copyButton, &QPushButton::clicked, this,
                [this, key = device.key, name] { copy(key, name); });
        line->addWidget(copyButton);
        auto* forget = new QPushButton(QStringLiteral("Forget"), row);
        connect(forget, &QPushButton::clicked, this, [this, key = device.key, name] {
            access_->forget(key);
            message_->setText(QStringLiteral("%1 must ask again to watch.").arg(name));
        });
        line->addWidget(forget);
        rows_->addWidget(row);
    }
}

}  // namespace skylark
