#pragma once

#include <stdexcept>
#include <string>

namespace tavo::engine {

// A run-time error: anything that fails inside a download run (a port operation, a file, a
// counter overflow). The run's failure handlers catch exactly this type. `reason()` carries
// the operating system's explanation, for diagnostics next to the fixed messages.
class RunError : public std::runtime_error {
public:
    explicit RunError(const std::string& what, std::string reason = {})
        : std::runtime_error(what), reason_(std::move(reason)) {}

    const std::string& reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

} // namespace tavo::engine
