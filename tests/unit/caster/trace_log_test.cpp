#include "caster/trace_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// A private folder, and a file standing in for standard error.
class TraceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/skylark-trace-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        errorPath = dir / "stderr";
        errorFd = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(errorFd, 0);
    }
    void TearDown() override {
        ::close(errorFd);
        fs::permissions(dir, fs::perms::owner_all);
        fs::remove_all(dir);
    }

    fs::path dir;
    fs::path errorPath;
    int errorFd = -1;
};

// Whether `text` has the form YYYY-MM-DDTHH:MM:SSZ.
bool isTimestamp(std::string_view text) {
    const std::string_view pattern = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool ok =
            pattern[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The lines of `content` (each ended by a line feed) as time stamp + " " + message; fails
// the test for a line of another form.
std::vector<std::string> messages(const std::string& content) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << content.substr(start);
            break;
        }
        const std::string line = content.substr(start, end - start);
        EXPECT_TRUE(line.size() >= 21 && isTimestamp(line.substr(0, 20)) && line[20] == ' ')
            << line;
        result.push_back(line.size() >= 21 ? line.substr(21) : "");
        start = end + 1;
    }
    return result;
}

TEST(TraceTimestamp, LeadingZerosAndZ) {
    // 7 March 2026, 09:05:03 UTC, with a fraction of a second that is not written.
    const sys_days day = year{2026} / March / 7;
    const auto time = day + hours{9} + minutes{5} + seconds{3} + milliseconds{999};
    EXPECT_EQ(formatTraceTimestamp(time), "2026-03-07T09:05:03Z");
    EXPECT_EQ(formatTraceLine(time, ""), "2026-03-07T09:05:03Z \n");
    EXPECT_EQ(formatTraceLine(time, "x y"), "2026-03-07T09:05:03Z x y\n");
}

TEST(TraceTimestamp, UtcWhateverTheTimeZone) {
    ::setenv("TZ", "Asia/Kathmandu", 1);
    ::tzset();
    const sys_days day = year{2026} / January / 1;
    EXPECT_EQ(formatTraceTimestamp(day + hours{23} + minutes{59} + seconds{59}),
              "2026-01-01T23:59:59Z");
    ::unsetenv("TZ");
    ::tzset();
}

TEST_F(TraceLogTest, CreatesTheFileWithTheFirstLine) {
    TraceLog log((dir / "native.log").string(), errorFd);
    log.trace("presenting content picker");
    const std::string content = readFile(dir / "native.log");
    EXPECT_EQ(messages(content), std::vector<std::string>{"presenting content picker"});
    EXPECT_EQ(readFile(errorPath), content);  // the same bytes on both
    EXPECT_EQ(content.size(), 20u + 1u + 25u + 1u);
}

TEST_F(TraceLogTest, AppendsAfterEarlierContent) {
    const fs::path path = dir / "native.log";
    std::ofstream(path, std::ios::binary) << "earlier run\nno newline at end";
    TraceLog log(path.string(), errorFd);
    log.trace("one");
    log.trace("two");
    const std::string content = readFile(path);
    ASSERT_EQ(content.rfind("earlier run\nno newline at end", 0), 0u);
    EXPECT_EQ(messages(content.substr(29)), (std::vector<std::string>{"one", "two"}));
}

TEST_F(TraceLogTest, EmptyAndNonAsciiMessages) {
    const fs::path path = dir / "native.log";
    TraceLog log(path.string(), errorFd);
    log.trace("");
    const std::string text = "capture startup error: \xC3\x89\x63ran \xE2\x80\xA6 \xF0\x9F\x93\xBA";
    log.trace(text);
    const std::string content = readFile(path);
    EXPECT_EQ(messages(content), (std::vector<std::string>{"", text}));
    EXPECT_EQ(content.substr(22 + 21), text + "\n");
    EXPECT_EQ(readFile(errorPath), content);
}

TEST_F(TraceLogTest, UnwritablePathsReachStandardErrorOnly) {
    // A directory at the path; a folder that does not exist; a file without write permission
    // (root may write anyway, so that case is checked only for other users).
    fs::create_directory(dir / "is-a-dir");
    for (const fs::path& path : {dir / "is-a-dir", dir / "missing" / "native.log"}) {
        TraceLog log(path.string(), errorFd);
        log.trace("still on stderr");
    }
    EXPECT_TRUE(fs::is_directory(dir / "is-a-dir"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    if (::geteuid() != 0) {
        const fs::path readOnly = dir / "read-only.log";
        std::ofstream(readOnly) << "kept\n";
        fs::permissions(readOnly, fs::perms::owner_read);
        TraceLog log(readOnly.string(), errorFd);
        log.trace("still on stderr");
        EXPECT_EQ(readFile(readOnly), "kept\n");
    }
    const std::string errors = readFile(errorPath);
    EXPECT_NE(errors.find("Z still on stderr\n"), std::string::npos);
}

TEST_F(TraceLogTest, DoesNotFollowASymbolicLink) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, dir / "native.log");
    TraceLog log((dir / "native.log").string(), errorFd);
    log.trace("not for the victim");
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_NE(readFile(errorPath).find("not for the victim"), std::string::npos);
}

TEST_F(TraceLogTest, DoesNotWriteThroughAHardLinkOrIntoAFifo) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_hard_link(victim, dir / "native.log");
    TraceLog linked((dir / "native.log").string(), errorFd);
    linked.trace("not for the victim");
    EXPECT_EQ(readFile(victim), "precious\n");

    ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);
    TraceLog fifo((dir / "fifo.log").string(), errorFd);
    fifo.trace("does not block");  // no reader: the open fails at once
    EXPECT_NE(readFile(errorPath).find("does not block"), std::string::npos);
}

TEST_F(TraceLogTest, ConcurrentLinesStayWhole) {
    const fs::path path = dir / "native.log";
    TraceLog log(path.string(), errorFd);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                log.trace("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                          std::string(200, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int count = 0;
    for (const std::string& message : messages(readFile(path))) {
        // "thread T line I " + 200 times the letter of thread T, whole.
        ASSERT_GE(message.size(), 7u + 1u);
        const int t = message[7] - '0';
        ASSERT_TRUE(t >= 0 && t < 4) << message;
        const std::string tail(200, static_cast<char>('a' + t));
        EXPECT_EQ(message.rfind("thread " + std::to_string(t) + " line ", 0), 0u) << message;
        EXPECT_EQ(message.substr(message.size() - 201), " " + tail) << message;
        ++count;
    }
    EXPECT_EQ(count, 400);
    EXPECT_EQ(readFile(errorPath), readFile(path));
}

}  // namespace
}  // namespace skylark
