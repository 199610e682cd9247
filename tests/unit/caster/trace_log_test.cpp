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
using namespace std::chrono;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(TraceLog, LineFormatIsUtcWhateverTheTimeZone) {
    ::setenv("TZ", "Asia/Kathmandu", 1);
    ::tzset();
    const auto time =
        sys_days{year{2026} / March / 7} + hours{9} + minutes{5} + seconds{3} + milliseconds{999};
    EXPECT_EQ(formatTraceLine(time, "x y"), "2026-03-07T09:05:03Z x y\n");
    ::unsetenv("TZ");
    ::tzset();
}

// The log's folder is world-writable: what another user planted there is never written through,
// and the line still reaches standard error.
TEST(TraceLog, WritesOnlyItsOwnRegularFileAndKeepsLinesWhole) {
    char pattern[] = "/tmp/skylark-trace-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const int errorFd = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::ofstream(dir / "victim") << "precious\n";
    fs::create_symlink(dir / "victim", dir / "symlink.log");
    fs::create_hard_link(dir / "victim", dir / "hardlink.log");
    ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);
    for (const char* name : {"symlink.log", "hardlink.log", "fifo.log"}) {
        TraceLog((dir / name).string(), errorFd).trace(std::string("not through ") + name);
    }
    EXPECT_EQ(readFile(dir / "victim"), "precious\n");
    EXPECT_NE(readFile(dir / "stderr").find("Z not through fifo.log\n"), std::string::npos);

    TraceLog log((dir / "native.log").string(), errorFd);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                log.trace(std::string(300, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(readFile(dir / "native.log"));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.size(), 21u + 300u);
        EXPECT_EQ(line.substr(21), std::string(300, line[21])) << line;
    }
    EXPECT_EQ(count, 400);
    ::close(errorFd);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace skylark
