#include "tools/bootsim/Terminal.h"

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace tavo::bootsim {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

} // namespace

int WatchStopSignals() {
    if (::pipe(g_signalPipe) != 0)
        return -1;
    for (int fd : g_signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return g_signalPipe[0];
}

bool OpenTerminal(int& master, std::string& slavePath, speed_t speed) {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    slavePath = name;
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    if (speed != 0) {
        ::cfsetispeed(&raw, speed);
        ::cfsetospeed(&raw, speed);
    }
    ::tcsetattr(slave, TCSANOW, &raw);
    ::close(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace tavo::bootsim
