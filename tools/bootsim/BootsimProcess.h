#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Runs tavo-bootsim as a child process for a test: starts it, learns its device, stops it.
namespace tavo::bootsim {

class BootsimProcess {
public:
    // Starts `executable` with `args` and waits (up to 5 s) for the device path it prints.
    // Throws std::runtime_error when it does not come up.
    BootsimProcess(const std::string& executable, const std::vector<std::string>& args);
    ~BootsimProcess();
    BootsimProcess(const BootsimProcess&) = delete;
    BootsimProcess& operator=(const BootsimProcess&) = delete;

    const std::string& devicePath() const { return devicePath_; }
    pid_t pid() const { return pid_; }

    // Waits up to timeoutMs for the simulator to end by itself; its exit status, or -1 when it
    // is still running.
    int waitForExit(int timeoutMs);
    // SIGTERM, then waits for it (SIGKILL after 5 s); its exit status.
    int stop();
    bool running();

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string devicePath_;
};

} // namespace tavo::bootsim
