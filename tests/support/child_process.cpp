#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace skylark::testing {
namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extra) {
            replaced |= x.substr(0, x.find('=')) == name;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argvIn, Options options) {
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> env = mergedEnvironment(options.extraEnv);
    std::vector<char*> argvPtrs = pointers(argv);
    std::vector<char*> envPtrs = pointers(env);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (options.quiet) {
            dup2(devNull, 2);
        }
        setpgid(0, 0);
        // A test that crashes takes its servers with it instead of leaving them running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execvpe(argvPtrs[0], argvPtrs.data(), envPtrs.data());
        _exit(127);
    }
    close(devNull);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        stop(SIGTERM);
    }
    close(stdinFd_);
    close(stdoutFd_);
}

bool ChildProcess::running() {
    if (reaped_) {
        return false;
    }
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

int ChildProcess::stop(int signal, std::chrono::milliseconds grace) {
    if (running()) {
        kill(pid_, signal);
        if (!pollUntil([&] { return !running(); }, grace)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
        }
    }
    return status_;
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (!pollUntil([&] { return !running(); }, timeout)) {
        stop(SIGKILL);
        return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void ChildProcess::writeLine(const std::string& line) {
    const std::string data = line + "\n";
    if (write(stdinFd_, data.data(), data.size()) < 0) {
        // The child has gone; the test notices through what it expected to happen.
    }
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {};
        }
        pollfd p{stdoutFd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char chunk[256];
        const ssize_t n = read(stdoutFd_, chunk, sizeof chunk);
        if (n <= 0) {
            return {};
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
             std::chrono::milliseconds timeout) {
    ChildProcess child(argv, {extraEnv, true});
    return child.waitExit(timeout);
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace skylark::testing
