#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace skylark {

// The files of the web folder, each read once and its bytes shared by every response (tv.html
// with hls.js inlined is over 400 KiB). A file is read again only when it is replaced or
// changes (device, inode, size or modification time differ), so a new page is served at once.
// Use from one thread at a time.
class WebFiles {
  public:
    explicit WebFiles(std::filesystem::path root);
    // The whole file `name`, or "Skylark resources missing" when it cannot be read.
    ByteBuffer read(std::string_view name);

  private:
    struct Cached {
        ByteBuffer bytes;
        std::string identity;  // what tells a changed file
    };
    std::filesystem::path root_;
    std::map<std::string, Cached, std::less<>> cached_;
};

// The web folder that belongs to an executable: <prefix>/share/skylark/web beside
// <prefix>/bin/<executable>. The build tree uses the same layout.
std::filesystem::path webRootForExecutable(const std::filesystem::path& executable);

// webRootForExecutable() of the running program (/proc/self/exe).
std::filesystem::path defaultWebRoot();

}  // namespace skylark
