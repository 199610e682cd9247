#include "http/web_resources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

namespace skylark {
namespace {

// The bytes of a regular file, read again only when `identity` no longer matches what it was.
std::optional<ByteBuffer> readRegularFile(const std::filesystem::path& path, std::string& identity,
                                          const ByteBuffer& cached) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<ByteBuffer> result;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::string now = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
                          std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) +
                          "." + std::to_string(info.st_mtim.tv_nsec);
        if (cached && now == identity) {
            result = cached;
        } else {
            Bytes bytes;
            bytes.reserve(static_cast<std::size_t>(info.st_size));
            std::uint8_t chunk[65536];
            ssize_t n = 0;
            while ((n = ::read(fd, chunk, sizeof chunk)) != 0) {
                if (n < 0 && errno != EINTR) {
                    break;
                }
                bytes.insert(bytes.end(), chunk, chunk + std::max<ssize_t>(n, 0));
            }
            if (n == 0) {
                result = makeBuffer(std::move(bytes));
                identity = std::move(now);
            }
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

WebFiles::WebFiles(std::filesystem::path root) : root_(std::move(root)) {}

ByteBuffer WebFiles::read(std::string_view name) {
    static const ByteBuffer missing = makeBuffer("Skylark resources missing");
    auto entry = cached_.find(name);
    if (entry == cached_.end()) {
        entry = cached_.emplace(std::string(name), Cached{}).first;
    }
    Cached& cached = entry->second;
    if (auto bytes = readRegularFile(root_ / name, cached.identity, cached.bytes)) {
        cached.bytes = std::move(*bytes);
        return cached.bytes;
    }
    cached = {};  // a file that comes back is read anew
    return missing;
}

std::filesystem::path webRootForExecutable(const std::filesystem::path& executable) {
    return executable.parent_path().parent_path() / "share" / "skylark" / "web";
}

std::filesystem::path defaultWebRoot() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return webRootForExecutable(error ? std::filesystem::path("/usr/bin/skylark") : executable);
}

}  // namespace skylark
