#include "cli/ConsoleDisplay.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace tavo::flash {

namespace {

constexpr int kBarWidth = 30;
// A terminal bar is redrawn at most this often; a log gets a progress line at most this often.
constexpr engine::Millis kBarInterval{100};
constexpr engine::Millis kLogInterval{5000};
constexpr engine::Millis kVerboseLogInterval{1000};

bool IsSuccess(const engine::Message& message) {
    const std::string tail = "successfully downloaded.";
    return message.icon == engine::MessageIcon::None && message.text.size() >= tail.size() &&
           message.text.compare(message.text.size() - tail.size(), tail.size(), tail) == 0;
}

int Percent(const ProgressFigures& f) {
    if (f.total <= 0)
        return 100;
    return std::clamp(static_cast<int>(100LL * f.done / f.total), 0, 100);
}

// Lines per second, once enough time has passed to tell.
std::optional<double> Rate(const ProgressFigures& f) {
    if (f.seconds < 0.001 || f.done <= 0)
        return std::nullopt;
    return f.done / f.seconds;
}

std::string RateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, rate >= 10 ? "%.0f" : "%.1f", rate);
    return text;
}

} // namespace

std::string FormatDuration(double seconds) {
    auto total = static_cast<long long>(std::llround(std::max(0.0, seconds)));
    long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[32];
    if (h > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    return text;
}

std::string ProgressBarLine(const ProgressFigures& f) {
    int percent = Percent(f);
    int filled = percent * kBarWidth / 100;
    char head[32];
    std::snprintf(head, sizeof head, "] %3d%%  ", percent);
    std::string line = "[";
    line.append(filled, '#').append(kBarWidth - filled, '.');
    line += head;
    line += std::to_string(f.done) + "/" + std::to_string(f.total) + " lines";
    if (auto rate = Rate(f)) {
        line += "  " + RateText(*rate) + " lines/s";
        if (f.done < f.total)
            line += "  ETA " + FormatDuration((f.total - f.done) / *rate);
    }
    return line;
}

std::string ProgressPlainLine(const ProgressFigures& f) {
    std::string line = std::to_string(f.done) + "/" + std::to_string(f.total) + " lines (" +
                       std::to_string(Percent(f)) + "%)";
    if (auto rate = Rate(f)) {
        line += ", " + RateText(*rate) + " lines/s";
        if (f.done < f.total)
            line += ", ETA " + FormatDuration((f.total - f.done) / *rate);
    }
    return line;
}

ConsoleDisplay::ConsoleDisplay(std::ostream& out, std::ostream& err, Verbosity verbosity,
                               bool outIsTerminal, const engine::Clock& clock, LineReader reader)
    : out_(out), err_(err), verbosity_(verbosity), terminal_(outIsTerminal), clock_(clock),
      reader_(std::move(reader)) {}

ProgressFigures ConsoleDisplay::figures() const {
    ProgressFigures f;
    // The bar's maximum is the line count minus one; its value counts the lines already dealt
    // with, so the last line is done when the file's end is reached.
    f.total = std::max(0, max_ + 1);
    f.done = sending_ ? std::clamp(value_, 0, f.total) : f.total;
    f.seconds = std::chrono::duration<double>(clock_.now() - started_).count();
    return f;
}

void ConsoleDisplay::drawBar() {
    out_ << '\r' << ProgressBarLine(figures()) << "\x1b[K" << std::flush;
    barOpen_ = true;
    lastDrawn_ = clock_.now();
}

void ConsoleDisplay::endBar() {
    if (!barOpen_)
        return;
    out_ << '\n' << std::flush;
    barOpen_ = false;
}

void ConsoleDisplay::status(const std::string& text) {
    if (text == lastStatus_)
        return;
    lastStatus_ = text;
    if (!shows(Verbosity::Normal))
        return;
    endBar();
    out_ << text << '\n' << std::flush;
}

void ConsoleDisplay::versionLabel(const std::string& text) {
    // The bare caption that the handshake shows first carries no news.
    bool bare = !text.empty() && text.find_last_not_of(' ') == text.find(':');
    if (!shows(bare ? Verbosity::Verbose : Verbosity::Normal))
        return;
    endBar();
    out_ << text << '\n' << std::flush;
}

void ConsoleDisplay::sendingStarted(int progressMax) {
    sending_ = true;
    max_ = progressMax;
    value_ = 0;
    started_ = clock_.now();
    lastDrawn_ = started_;
    if (terminal_ && shows(Verbosity::Normal))
        drawBar();
}

void ConsoleDisplay::progress(int value, int max) {
    value_ = value;
    max_ = max;
    if (!sending_ || !shows(Verbosity::Normal))
        return;
    auto now = clock_.now();
    if (terminal_) {
        if (now - lastDrawn_ >= kBarInterval)
            drawBar();
        return;
    }
    auto interval = shows(Verbosity::Verbose) ? kVerboseLogInterval : kLogInterval;
    if (now - lastDrawn_ >= interval) {
        out_ << "  " << ProgressPlainLine(figures()) << '\n' << std::flush;
        lastDrawn_ = now;
    }
}

void ConsoleDisplay::linesRemaining(const std::string&) {
    // The bar and the progress lines already count the lines.
}

void ConsoleDisplay::sendingEnded() {
    if (!sending_)
        return;
    sending_ = false;
    if (!shows(Verbosity::Normal))
        return;
    if (terminal_) {
        drawBar();
        endBar();
    } else {
        out_ << "  " << ProgressPlainLine(figures()) << " in " << FormatDuration(figures().seconds)
             << '\n'
             << std::flush;
    }
    if (shows(Verbosity::Verbose))
        out_ << "Waiting for the end-of-file answer\n" << std::flush;
}

void ConsoleDisplay::message(const engine::Message& message) {
    bool success = IsSuccess(message);
    if (success && !shows(Verbosity::Normal))
        return;
    endBar();
    (success ? out_ : err_) << message.text << '\n';
    if (!success) {
        auto why = explainer_ ? explainer_(message) : Explanation{message.detail, {}};
        if (!why.reason.empty())
            err_ << "  reason: " << why.reason << '\n';
        if (shows(Verbosity::Normal))
            for (const auto& note : why.notes)
                err_ << "  " << note << '\n';
    }
    (success ? out_ : err_) << std::flush;
}

std::optional<bool> ConsoleDisplay::ask(const std::string& question) {
    endBar();
    out_ << std::flush;
    while (reader_) {
        err_ << question << " [Y/n] " << std::flush;
        auto line = reader_();
        if (!line) {
            err_ << '\n' << std::flush;
            return std::nullopt;
        }
        std::string answer;
        for (char c : *line)
            if (c != ' ' && c != '\t' && c != '\r')
                answer += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // Yes is the default button.
        if (answer.empty() || answer == "y" || answer == "yes")
            return true;
        if (answer == "n" || answer == "no")
            return false;
    }
    return std::nullopt;
}

void ConsoleDisplay::answered(const std::string& question, bool yes) {
    if (!shows(Verbosity::Normal))
        return;
    endBar();
    err_ << question << (yes ? " Yes (--on-error continue)" : " No (--on-error stop)") << '\n'
         << std::flush;
}

void ConsoleDisplay::cancelRequested() {
    if (!shows(Verbosity::Normal))
        return;
    endBar();
    err_ << "Cancel requested; stopping at the next checkpoint (Ctrl+C again ends at once)\n"
         << std::flush;
}

void ConsoleDisplay::idle() {
    endBar();
    if (shows(Verbosity::Verbose))
        out_ << "Idle\n" << std::flush;
}

void ConsoleDisplay::note(const std::string& text) {
    if (!shows(Verbosity::Verbose))
        return;
    endBar();
    out_ << text << '\n' << std::flush;
}

} // namespace tavo::flash
