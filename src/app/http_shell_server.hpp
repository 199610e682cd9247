#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/shell_services.hpp"
#include "http/http_server.hpp"
#include "http/local_address.hpp"

namespace skylark {

// The system's interface list, read afresh on every call.
using InterfaceLister = std::function<std::vector<InterfaceEntry>()>;

// The shell's server: an HTTPServer serving `webRoot` and the store. The TV's address is
// chosen from `interfaces` (empty: the system's list) each time it is asked for.
std::unique_ptr<ShellServer> makeHTTPShellServer(std::filesystem::path webRoot,
                                                 std::shared_ptr<LiveHLSStore> store,
                                                 HTTPServer::Options options,
                                                 InterfaceLister interfaces = {});

}  // namespace skylark
