#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "http/device_access.hpp"

namespace skylark {

// Where the allowed devices are kept: $XDG_CONFIG_HOME/skylark/allowed-tvs.conf, or
// ~/.config/skylark/allowed-tvs.conf; empty when neither variable is set.
std::filesystem::path deviceAccessFile();

// The file is text: "ask yes" or "ask no", then one "allow <key> <name>" line per device (the
// key 32 lowercase hex digits). Other lines are ignored; a missing file is the default (asking,
// nobody allowed).
DeviceAccess::Saved readDeviceAccess(const std::filesystem::path& file);
// Writes it whole (readable by its owner only) through a temporary file, so a crash never
// leaves half a list. Returns an empty text, or why it could not.
std::string writeDeviceAccess(const std::filesystem::path& file, const DeviceAccess::Saved& saved);

// The access list read from `file`, saving itself there after every change (a failure to save
// is written to standard error: the change still holds until Skylark ends).
std::shared_ptr<DeviceAccess> loadDeviceAccess(const std::filesystem::path& file);

}  // namespace skylark
