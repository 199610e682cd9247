#pragma once

#include <string>
#include <vector>

#include "support/desktop_session.hpp"

namespace skylark::testing {

// KDE's compositor with one virtual monitor drawn in software, PipeWire, the portal and its KDE
// backend on a private session; clicks and keys reach KWin through its fake-input protocol.
class KdeDesktop : public PortalDesktop {
  public:
    static std::string missing();       // why KDE cannot run here, or ""
    KdeDesktop(int width, int height);  // throws when a program does not start
    void keys(const std::vector<unsigned>& keysyms) override;
    void click(double x, double y) override;
    void share() override;

  private:
    void input(std::vector<std::string> argv);
};

}  // namespace skylark::testing
