#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace skylark {

// Where the caster writes its diagnostic lines. Safe to call from any
// thread; never throws and never reports a failure.
class Trace {
  public:
    virtual ~Trace() = default;
    virtual void trace(std::string_view message) = 0;
};

// The trace log: each call writes "<UTC time stamp> <message>\n" (time stamp
// YYYY-MM-DDTHH:MM:SSZ) as one write to standard error and then as one write appended to the
// log file, opened anew for every line. A lock around both writes keeps lines whole and in
// order across threads.
//
// The product's path lies in a world-writable folder, so the file is opened without following
// a symbolic link (O_NOFOLLOW), without blocking (a FIFO planted there is not waited on), and a
// line is written only when the opened file is a regular file owned by this user with a single
// link. Otherwise, as for any failure to create, open or write it, the line reaches standard
// error alone.
class TraceLog : public Trace {
  public:
    static constexpr const char* kDefaultPath = "/tmp/skylark-native.log";

    // `path`: the log file (tests use their own). `errorFd`: standard error, or a test's
    // descriptor; it is not closed.
    explicit TraceLog(std::string path = kDefaultPath, int errorFd = 2);

    void trace(std::string_view message) override;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int errorFd_;
    std::mutex lock_;
};

// The time stamp of a trace line: the UTC date and time in whole seconds, 20 characters,
// e.g. "2026-03-07T09:05:03Z".
std::string formatTraceTimestamp(std::chrono::system_clock::time_point time);

// The whole line of a trace call at `time`: time stamp, " ", message, "\n".
std::string formatTraceLine(std::chrono::system_clock::time_point time, std::string_view message);

}  // namespace skylark
