#include "http/device_access_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

namespace skylark {
namespace {

bool isKey(std::string_view text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == text.npos;
}

}  // namespace

std::filesystem::path deviceAccessFile() {
    std::filesystem::path folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        folder = std::filesystem::path(home) / ".config";
    } else {
        return {};
    }
    return folder / "skylark" / "allowed-tvs.conf";
}

DeviceAccess::Saved readDeviceAccess(const std::filesystem::path& file) {
    DeviceAccess::Saved saved;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "ask no") {
            saved.asks = false;
        } else if (line == "ask yes") {
            saved.asks = true;
        } else if (line.starts_with("allow ")) {
            const std::string rest = line.substr(6);
            const auto space = rest.find(' ');
            const std::string key = rest.substr(0, space);
            if (isKey(key)) {
                saved.allowed.push_back(
                    {key, space == std::string::npos ? key.substr(0, 8) : rest.substr(space + 1)});
            }
        }
    }
    return saved;
}

std::string writeDeviceAccess(const std::filesystem::path& file, const DeviceAccess::Saved& saved) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    const std::filesystem::path temporary = file.string() + ".new";
    {
        const mode_t old = ::umask(077);
        std::ofstream out(temporary, std::ios::trunc);
        ::umask(old);
        out << "# Devices allowed to watch this computer's screen in Skylark (kept by Skylark).\n"
            << "ask " << (saved.asks ? "yes" : "no") << '\n';
        for (const DeviceAccess::Device& device : saved.allowed) {
            std::string name = device.name;
            std::replace(name.begin(), name.end(), '\n', ' ');
            out << "allow " << device.key << ' ' << name << '\n';
        }
        out.close();
        if (!out) {
            return "cannot write " + temporary.string() + ": " + std::strerror(errno);
        }
    }
    std::filesystem::rename(temporary, file, error);
    return error ? "cannot write " + file.string() + ": " + error.message() : std::string();
}

std::shared_ptr<DeviceAccess> loadDeviceAccess(const std::filesystem::path& file) {
    DeviceAccess::Options options;
    if (!file.empty()) {
        options.saved = readDeviceAccess(file);
        options.save = [file](const DeviceAccess::Saved& saved) {
            if (const std::string error = writeDeviceAccess(file, saved); !error.empty()) {
                std::fprintf(stderr, "Skylark could not keep the allowed TVs: %s\n", error.c_str());
            }
        };
    }
    return std::make_shared<DeviceAccess>(std::move(options));
}

}  // namespace skylark
