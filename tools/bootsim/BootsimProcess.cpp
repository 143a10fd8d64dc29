#include "tools/bootsim/BootsimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tavo::bootsim {

BootsimProcess::BootsimProcess(const std::string& executable,
                               const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> all{executable};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(executable.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);

    // The first line of its output is the device.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buffer[256];
        auto n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    auto end = line.find('\n');
    if (end == std::string::npos || end == 0) {
        stop();
        throw std::runtime_error("tavo-bootsim did not start: " + executable);
    }
    devicePath_ = line.substr(0, end);
}

BootsimProcess::~BootsimProcess() {
    stop();
}

bool BootsimProcess::running() {
    return waitForExit(0) == -1 && pid_ > 0;
}

int BootsimProcess::waitForExit(int timeoutMs) {
    if (pid_ <= 0)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        auto done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int BootsimProcess::stop() {
    if (pid_ <= 0)
        return status_;
    ::kill(pid_, SIGTERM);
    if (waitForExit(5000) != -1)
        return status_;
    ::kill(pid_, SIGKILL);
    return waitForExit(5000);
}

} // namespace tavo::bootsim
