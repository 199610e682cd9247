#include "http/web_resources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace skylark {
namespace {

std::optional<Bytes> readRegularFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<Bytes> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes.emplace();
        bytes->reserve(static_cast<std::size_t>(info.st_size));
        std::uint8_t chunk[65536];
        while (true) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n == 0) {
                break;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                bytes.reset();
                break;
            }
            bytes->insert(bytes->end(), chunk, chunk + n);
        }
    }
    ::close(fd);
    return bytes;
}

}  // namespace

ByteBuffer readWebFile(const std::filesystem::path& webRoot, std::string_view name) {
    if (auto bytes = readRegularFile(webRoot / name)) {
        return makeBuffer(std::move(*bytes));
    }
    return makeBuffer("Skylark resources missing");
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
