#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tavo::ui {

// SIGTERM and SIGHUP (a logout, a service manager) would end the program on the spot, with the
// settings unsaved and the port left as it was. While an ExitSignals lives they call `onSignal`
// from the event loop instead, like a click would: the handler itself only writes the signal's
// number to a socket pair that the loop watches. One instance at a time; the previous handlers
// come back when it goes.
class ExitSignals {
public:
    explicit ExitSignals(std::function<void()> onSignal);
    ~ExitSignals();
    ExitSignals(const ExitSignals&) = delete;
    ExitSignals& operator=(const ExitSignals&) = delete;

private:
    std::function<void()> onSignal_;
    int sockets_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tavo::ui
