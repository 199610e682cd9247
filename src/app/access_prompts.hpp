#pragma once

#include <map>
#include <memory>
#include <string>

#include <QObject>

#include "http/device_access.hpp"

class QMessageBox;

namespace skylark {

// One question on the desktop for every device waiting to watch: "Let <address> watch your
// screen?" with the code the TV shows, and Allow and Deny. A question whose request has gone
// (answered, replaced, or asking turned off) closes by itself. Main thread only: call update()
// there after every change of the access list.
class AccessPrompts : public QObject {
  public:
    explicit AccessPrompts(std::shared_ptr<DeviceAccess> access);
    ~AccessPrompts() override;

    void update();
    // The open questions by key, for tests.
    const std::map<std::string, std::unique_ptr<QMessageBox>>& open() const { return open_; }

  private:
    std::shared_ptr<DeviceAccess> access_;
    std::map<std::string, std::unique_ptr<QMessageBox>> open_;
};

// "Let <name> watch your screen?"
std::string accessQuestion(const std::string& name);

}  // namespace skylark
