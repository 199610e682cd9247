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

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

// The log's folder is world-writable: what another user planted there is never written through
// (and the line still reaches standard error); lines from many threads stay whole, in UTC.
TEST(TraceLog, WritesOnlyItsOwnRegularFileInWholeLines) {
    const fs::path dir = fs::temp_directory_path() / ("trace-test-" + std::to_string(::getpid()));
    fs::create_directory(dir);
    const int errorFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::ofstream(dir / "victim") << "precious\n";
    fs::create_symlink(dir / "victim", dir / "symlink.log");
    fs::create_hard_link(dir / "victim", dir / "hardlink.log");
    ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);  // never waited on
    for (const char* name : {"symlink.log", "hardlink.log", "fifo.log"}) {
        TraceLog((dir / name).string(), errorFd).trace(name);
    }
    EXPECT_EQ(readFile(dir / "victim"), "precious\n");

    ::setenv("TZ", "Asia/Kathmandu", 1);
    TraceLog log((dir / "native.log").string(), errorFd);
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
        ASSERT_EQ(line.size(), 21u + 300u) << line;
        EXPECT_EQ(line.substr(21), std::string(300, line[21]));
        EXPECT_EQ(line.substr(19, 2), "Z ");
    }
    EXPECT_EQ(count, 400);
    EXPECT_EQ(formatTraceLine(std::chrono::sys_days{std::chrono::March / 7 / 2026}, "x"),
              "2026-03-07T00:00:00Z x\n");
    ::unsetenv("TZ");
    ::close(errorFd);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace skylark
