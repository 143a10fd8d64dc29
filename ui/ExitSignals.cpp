#include "ui/ExitSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tavo::ui {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP};
struct sigaction gPrevious[std::size(kSignals)];
volatile std::sig_atomic_t gWriteSocket = -1;

extern "C" void OnExitSignal(int number) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // Non-blocking: when the loop has not yet read earlier signals, one more changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(gWriteSocket, &byte, 1);
    errno = savedErrno;
}

} // namespace

ExitSignals::ExitSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets_) != 0)
        return; // the signals keep their default: better than no window
    gWriteSocket = sockets_[1];
    notifier_ = std::make_unique<QSocketNotifier>(sockets_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        unsigned char byte = 0;
        bool any = false;
        while (::read(sockets_[0], &byte, 1) == 1)
            any = true;
        if (any)
            onSignal_();
    });
    struct sigaction action {};
    action.sa_handler = OnExitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &gPrevious[i]);
}

ExitSignals::~ExitSignals() {
    if (sockets_[0] < 0)
        return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    gWriteSocket = -1;
    notifier_.reset();
    ::close(sockets_[0]);
    ::close(sockets_[1]);
}

} // namespace tavo::ui
