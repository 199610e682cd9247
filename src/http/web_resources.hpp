#pragma once

#include <filesystem>
#include <string_view>

#include "common/bytes.hpp"

namespace skylark {

// The whole file `name` of the web folder, read afresh on every call so a replaced page is
// served at once; "Skylark resources missing" when it cannot be read.
ByteBuffer readWebFile(const std::filesystem::path& webRoot, std::string_view name);

// The web folder that belongs to an executable: <prefix>/share/skylark/web beside
// <prefix>/bin/<executable>. The build tree uses the same layout.
std::filesystem::path webRootForExecutable(const std::filesystem::path& executable);

// webRootForExecutable() of the running program (/proc/self/exe).
std::filesystem::path defaultWebRoot();

}  // namespace skylark
