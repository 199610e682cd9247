#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace skylark::testing {

// A program the test starts and ends itself, by its process id. Its standard input and output
// are pipes the test may use; standard error goes to the test's own unless `quiet`.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> extraEnv;  // "NAME=value", added to (or replacing) ours
        bool quiet = true;
    };

    // Starts `argv`; throws std::runtime_error when it cannot be started.
    ChildProcess(const std::vector<std::string>& argv, Options options);
    ~ChildProcess();  // SIGTERM, then SIGKILL if it lingers, and reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();

    // Sends `signal` and waits for the exit (SIGKILL after `grace`). Returns the wait status.
    int stop(int signal, std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

    // Waits for a normal exit; the exit code, or -1 after `timeout` (it is then killed).
    int waitExit(std::chrono::milliseconds timeout);

    // Writes a line to its standard input.
    void writeLine(const std::string& line);

    // Reads one line of its standard output; empty on end of file or after `timeout`.
    std::string readLine(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string buffered_;
};

// Runs a program to its end and returns its exit code (-1 when it had to be killed).
int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Polls `ready` every few milliseconds until it holds or `timeout` passes.
template <class Predicate>
bool pollUntil(Predicate ready, std::chrono::milliseconds timeout);

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

#include <thread>

template <class Predicate>
bool skylark::testing::pollUntil(Predicate ready, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
