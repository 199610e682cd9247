#include "common/trace_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace skylark {

namespace {

// Writes all of `bytes` to `fd`, continuing after partial writes and interruptions. Gives up
// silently on any other failure.
void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Appends the line to the log file at `path`, or does nothing. The folder of the product's path
// is world-writable, so whatever is found there is not trusted: a symbolic link is not followed,
// a FIFO is not waited on, and only a regular file of this user's with one link is written.
void appendToFile(const std::string& path, const std::string& line) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
               0666);  // the platform's default for a new file: 0666 less the umask
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        info.st_nlink == 1) {
        writeAll(fd, line);
    }
    ::close(fd);
}

}  // namespace

std::string formatTraceTimestamp(std::chrono::system_clock::time_point time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    if (::gmtime_r(&seconds, &utc) == nullptr) {
        return "0000-00-00T00:00:00Z";
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

std::string formatTraceLine(std::chrono::system_clock::time_point time, std::string_view message) {
    std::string line = formatTraceTimestamp(time);
    line.reserve(line.size() + message.size() + 2);
    line += ' ';
    line += message;
    line += '\n';
    return line;
}

TraceLog::TraceLog(std::string path, int errorFd) : path_(std::move(path)), errorFd_(errorFd) {}

void TraceLog::trace(std::string_view message) {
    const std::string line = formatTraceLine(std::chrono::system_clock::now(), message);
    // One lock around both destinations: lines never interleave, and each file line follows
    // the lines written before it.
    std::lock_guard guard(lock_);
    writeAll(errorFd_, line);
    appendToFile(path_, line);
}

}  // namespace skylark
