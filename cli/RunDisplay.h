#pragma once

#include "engine/RunHost.h"

#include <optional>
#include <string>

namespace tavo::flash {

// Where the headless host shows what the window would show. The console implements it for
// tavo-flash; the benchmark and the tests record the events instead.
class RunDisplay {
public:
    virtual ~RunDisplay() = default;

    virtual void status(const std::string& text) = 0;         // the window's status line
    virtual void versionLabel(const std::string& text) = 0;   // "BootLoader Version: ..."
    virtual void sendingStarted(int progressMax) = 0;         // a file's first line is next
    virtual void progress(int value, int max) = 0;            // once per line
    virtual void linesRemaining(const std::string& text) = 0; // the once-a-second count
    virtual void sendingEnded() = 0;                          // a file's lines are all sent
    virtual void message(const engine::Message& message) = 0;
    // Asks the technician; nothing when no answer can be had (end of input, Ctrl+C).
    virtual std::optional<bool> ask(const std::string& question) = 0;
    // A question answered by --on-error without asking.
    virtual void answered(const std::string& question, bool yes) = 0;
    virtual void cancelRequested() = 0;
    virtual void idle() = 0;
    // Free text for --verbose (settings in use, timing); not every display shows it.
    virtual void note(const std::string&) {}
};

// Shows nothing and answers no question.
class NullDisplay : public RunDisplay {
public:
    void status(const std::string&) override {}
    void versionLabel(const std::string&) override {}
    void sendingStarted(int) override {}
    void progress(int, int) override {}
    void linesRemaining(const std::string&) override {}
    void sendingEnded() override {}
    void message(const engine::Message&) override {}
    std::optional<bool> ask(const std::string&) override { return std::nullopt; }
    void answered(const std::string&, bool) override {}
    void cancelRequested() override {}
    void idle() override {}
};

} // namespace tavo::flash
