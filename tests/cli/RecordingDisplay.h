#pragma once

#include "cli/RunDisplay.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::test {

// A RunDisplay that writes every event into one ordered log and answers questions from a script.
// Entries: "status: T", "version: T", "started: N", "progress: V/M", "lines: T", "ended",
// "message: T", "ask: T", "answered: T -> yes|no", "cancel", "idle".
class RecordingDisplay final : public flash::RunDisplay {
public:
    void status(const std::string& text) override { log.push_back("status: " + text); }
    void versionLabel(const std::string& text) override { log.push_back("version: " + text); }
    void sendingStarted(int max) override { log.push_back("started: " + std::to_string(max)); }
    void progress(int value, int max) override {
        log.push_back("progress: " + std::to_string(value) + "/" + std::to_string(max));
    }
    void linesRemaining(const std::string& text) override { log.push_back("lines: " + text); }
    void sendingEnded() override {
        log.push_back("ended");
        if (clock)
            endedAt = clock->now();
    }
    void message(const engine::Message& message) override {
        log.push_back("message: " + message.text);
    }
    std::optional<bool> ask(const std::string& question) override {
        log.push_back("ask: " + question);
        if (answers.empty())
            return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void answered(const std::string& question, bool yes) override {
        log.push_back("answered: " + question + (yes ? " -> yes" : " -> no"));
    }
    void cancelRequested() override {
        log.push_back("cancel");
        if (clock)
            cancelAt = clock->now();
    }
    void idle() override { log.push_back("idle"); }

    std::vector<std::string> entries(std::string_view prefix) const {
        std::vector<std::string> found;
        std::copy_if(log.begin(), log.end(), std::back_inserter(found),
                     [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
        return found;
    }
    bool has(std::string_view entry) const {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }

    std::vector<std::string> log;
    std::deque<std::optional<bool>> answers;
    // When set, the times of the last "ended" and "cancel" are kept.
    const engine::Clock* clock = nullptr;
    engine::Millis endedAt{0};
    engine::Millis cancelAt{0};
};

} // namespace tavo::test
