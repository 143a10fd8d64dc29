#include "PtyFixture.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tavo::serial::testing {

Pty::Pty() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = name;
    // The port under test is to be the slave's only user.
    ::close(slave);
}

Pty::~Pty() {
    hangUp();
}

bootsim::LineSettings Pty::lineState() const {
    bootsim::LineSettings settings;
    if (!bootsim::ReadLineSettings(master_, settings))
        throw std::runtime_error("cannot read the line settings of the pty");
    return settings;
}

void Pty::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("write to pty master failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string Pty::receive(int timeoutMs) {
    std::string data;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN))
        return data;
    // Take what is there now plus whatever follows within a moment.
    for (;;) {
        char buffer[4096];
        auto n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
        if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
            break;
    }
    return data;
}

void Pty::hangUp() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

double CpuMillis() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void RemoveStaleLockFiles() {
    for (const char* folder : {"/var/lock", "/run/lock", "/tmp"}) {
        DIR* dir = ::opendir(folder);
        if (!dir)
            continue;
        while (auto* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.rfind("LCK..", 0) != 0)
                continue;
            std::string path = std::string(folder) + "/" + name;
            std::ifstream in(path);
            long pid = 0;
            if (!(in >> pid) || pid <= 0)
                continue;
            if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                ::unlink(path.c_str());
        }
        ::closedir(dir);
    }
}

} // namespace tavo::serial::testing
