#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "http/device_access.hpp"

class QCheckBox;
class QLabel;
class QVBoxLayout;

namespace skylark {

// "Allowed TVs": the devices allowed to watch, each with its player address and a way to forget
// it; whether a new device must ask; and a new player address for a media player, which cannot
// ask for itself. Main thread only: call refresh() after every change of the access list.
class AllowedDevicesWindow : public QWidget {
  public:
    // `serverAddress` gives "http://<address>:<port>" as the TV opens it, afresh on each call.
    AllowedDevicesWindow(std::shared_ptr<DeviceAccess> access,
                         std::function<std::string()> serverAddress);

    void refresh();
    // The address a player without cookies opens for the device holding `key`.
    std::string playerAddress(const std::string& key) const;
    QString message() const;

  private:
    void copy(const std::string& key, const QString& what);

    std::shared_ptr<DeviceAccess> access_;
    std::function<std::string()> serverAddress_;
    QCheckBox* asks_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    QLabel* message_ = nullptr;
};

}  // namespace skylark
