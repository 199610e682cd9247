#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace skylark::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argvIn, Options options) {
    std::vector<std::string> argv = argvIn, env = options.extraEnv;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e), name = entry.substr(0, entry.find('=') + 1);
        auto named = [&](const std::string& x) { return x.rfind(name, 0) == 0; };
        if (std::none_of(options.extraEnv.begin(), options.extraEnv.end(), named)) {
            env.push_back(entry);
        }
    }
    std::vector<char*> argvPtrs, envPtrs;
    for (auto [from, to] : {std::pair{&argv, &argvPtrs}, std::pair{&env, &envPtrs}}) {
        for (auto& s : *from) {
            to->push_back(s.data());
        }
        to->push_back(nullptr);
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {  // only async-signal-safe calls between fork and exec
        dup2(devNull, 0);
        dup2(out[1], 1);
        if (options.quiet) {
            dup2(devNull, 2);
        }
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test takes its servers with it
        execvpe(argvPtrs[0], argvPtrs.data(), envPtrs.data());
        _exit(127);
    }
    close(devNull);
    close(out[1]);
    out_ = out[0];
}

ChildProcess::~ChildProcess() {
    stop(SIGTERM);
    close(out_);
}

bool ChildProcess::running() {
    reaped_ = reaped_ || waitpid(pid_, &status_, WNOHANG) == pid_;
    return !reaped_;
}

int ChildProcess::stop(int signal, milliseconds grace) {
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

int ChildProcess::waitExit(milliseconds timeout) {
    if (!pollUntil([&] { return !running(); }, timeout)) {
        stop(SIGKILL);
        return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string ChildProcess::readLine(milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t newline;
    while ((newline = buffered_.find('\n')) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
            (n = read(out_, chunk, sizeof chunk)) <= 0) {
            return {};
        }
        buffered_.append(chunk, size_t(n));
    }
    std::string line = buffered_.substr(0, newline);
    buffered_.erase(0, newline + 1);
    return line;
}

int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
             milliseconds timeout) {
    return ChildProcess(argv, {extraEnv, true}).waitExit(timeout);
}

TempDir::TempDir(const std::string& prefix) : path_("/tmp/" + prefix + "XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace skylark::testing
