#include "common/trace_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace skylark {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

// The log's folder is world-writable: a link or FIFO planted there is never written through nor
// waited on; lines from many threads stay whole.
TEST(TraceLog, WritesOnlyItsOwnRegularFileInWholeLines) {
    const auto dir = std::filesystem::temp_directory_path() / ("trace-" + std::to_string(getpid()));
    std::filesystem::create_directory(dir);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::ofstream(dir / "victim") << "precious\n";
    std::filesystem::create_symlink(dir / "victim", dir / "symlink");
    std::filesystem::create_hard_link(dir / "victim", dir / "hardlink");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const char* name : {"symlink", "hardlink", "fifo"}) {
        TraceLog((dir / name).string(), devNull).trace(name);
    }
    EXPECT_EQ(readFile(dir / "victim"), "precious\n");

    TraceLog log((dir / "native.log").string(), devNull);
    std::vector<std::thread> threads;
    for (char letter : {'a', 'b', 'c', 'd'}) {
        threads.emplace_back([&, letter] {
            for (int i = 0; i < 100; ++i) {
                log.trace(std::string(300, letter));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(readFile(dir / "native.log"));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line.size() == 321 && line.substr(19, 2) == "Z " &&
                    line.substr(21) == std::string(300, line[21]))
            << line;
    }
    EXPECT_EQ(count, 400);
    ::close(devNull);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace skylark
