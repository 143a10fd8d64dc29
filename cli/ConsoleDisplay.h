#pragma once

#include "cli/Diagnosis.h"
#include "cli/Options.h"
#include "cli/RunDisplay.h"
#include "engine/Clock.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace tavo::flash {

// How far a file has got, for the progress display.
struct ProgressFigures {
    int done = 0;       // lines dealt with
    int total = 0;      // lines in the file
    double seconds = 0; // since the first line
};

// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

// "[##########..........]  50%  150/300 lines  1234 lines/s  ETA 0:01" for a terminal; the rate
// and ETA are left out until a rate can be told.
std::string ProgressBarLine(const ProgressFigures& figures);

// "150/300 lines (50%), 1234 lines/s, ETA 0:01" for logs.
std::string ProgressPlainLine(const ProgressFigures& figures);

// The run on a console: status texts and successes on `out`, failures and questions on `err`.
// On a terminal the progress is one bar redrawn in place; otherwise a line now and then.
class ConsoleDisplay final : public RunDisplay {
public:
    // Reads one line of the technician's answer; nothing at the end of input or on Ctrl+C.
    using LineReader = std::function<std::optional<std::string>()>;
    // Tells why a failure happened; without one the message's own detail is the reason.
    using Explainer = std::function<Explanation(const engine::Message&)>;

    ConsoleDisplay(std::ostream& out, std::ostream& err, Verbosity verbosity, bool outIsTerminal,
                   const engine::Clock& clock, LineReader reader = {});

    void status(const std::string& text) override;
    void versionLabel(const std::string& text) override;
    void sendingStarted(int progressMax) override;
    void progress(int value, int max) override;
    void linesRemaining(const std::string& text) override;
    void sendingEnded() override;
    void message(const engine::Message& message) override;
    std::optional<bool> ask(const std::string& question) override;
    void answered(const std::string& question, bool yes) override;
    void cancelRequested() override;
    void idle() override;

    // Free text for --verbose (settings in use, timing).
    void note(const std::string& text) override;

    // Under every failure message: "  reason: ..." at every verbosity, then the explanation's
    // notes unless --quiet.
    void explainWith(Explainer explainer) { explainer_ = std::move(explainer); }

private:
    ProgressFigures figures() const;
    void drawBar();
    // Ends a bar that is still being redrawn, so the next output starts on a line of its own.
    void endBar();
    bool shows(Verbosity level) const { return verbosity_ >= level; }

    std::ostream& out_;
    std::ostream& err_;
    Verbosity verbosity_;
    bool terminal_;
    const engine::Clock& clock_;
    LineReader reader_;
    Explainer explainer_;

    std::string lastStatus_;
    bool sending_ = false;
    bool barOpen_ = false;
    int value_ = 0;
    int max_ = 0;
    engine::Millis started_{0};
    engine::Millis lastDrawn_{0};
};

} // namespace tavo::flash
