#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace skylark::testing {

using std::chrono::milliseconds;

// A program the test starts and ends itself, by its process id, its standard output on a pipe
// and its standard error the test's own unless `quiet`.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> extraEnv;  // "NAME=value", added to (or replacing) ours
        bool quiet = true;
    };
    ChildProcess(const std::vector<std::string>& argv, Options options);  // throws if it can't
    ~ChildProcess();  // SIGTERM, then SIGKILL if it lingers, and reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends `signal` and waits for the exit (SIGKILL after `grace`); the wait status.
    int stop(int signal, milliseconds grace = milliseconds(5000));
    // Waits for a normal exit: its code, or -1 after `timeout` (it is then killed).
    int waitExit(milliseconds timeout);
    // One line of its standard output; empty at its end or after `timeout`.
    std::string readLine(milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    int out_ = -1;
    std::string buffered_;
};

// Runs a program to its end: its exit code, or -1 when it had to be killed.
int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
             milliseconds timeout = milliseconds(10000));

// Polls `ready` every 20 ms until it holds (true) or `timeout` passes (false).
template <class Predicate>
bool pollUntil(Predicate ready, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// A fresh private directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace skylark::testing
