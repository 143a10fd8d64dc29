#pragma once

#include "cli/Options.h"
#include "cli/RunDisplay.h"
#include "engine/Clock.h"

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Several boards flashed at once: how their runs show on one console, and the closing summary.
// Each board's run has its own thread, port, host and state; these only gather what they show.
namespace tavo::flash {

// One board's result, as the summary shows it.
struct BoardSummary {
    std::string port;
    std::string version; // empty: none was read
    std::string outcome; // the closing message, or what ended the run without one
    int lines = 0;
    double seconds = 0;
    int exitCode = 0;
};

// The exit code of a gang: 0 when every board succeeded, otherwise that of the first failed
// board in command-line order.
int GangExitCode(const std::vector<BoardSummary>& boards);

// A table of port, bootloader version, outcome, lines, seconds and exit code, then one line that
// names the boards that failed (or says that all succeeded).
std::string SummaryTable(const std::vector<BoardSummary>& boards);

// Output streams whose whole lines go to a shared stream with a prefix, one line at a time, so
// that the lines of boards running at once never mix.
class PrefixedStream {
public:
    PrefixedStream(std::ostream& target, std::mutex& lock, std::string prefix);
    ~PrefixedStream();
    std::ostream& stream();

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
};

// On a terminal: one line per board, redrawn in place by the thread that calls redraw().
class BoardLines {
public:
    // `columns`: the terminal's width; longer lines are cut so that they never wrap.
    BoardLines(std::ostream& out, std::vector<std::string> labels, int columns,
               const engine::Clock& clock);
    ~BoardLines();
    BoardLines(const BoardLines&) = delete;
    BoardLines& operator=(const BoardLines&) = delete;

    // The display of board `index`; any thread may use it.
    RunDisplay& board(std::size_t index);

    // Draws every board's line: the first time below the cursor, then over the last drawing.
    void redraw();

    // The line of one board as it is drawn now (for tests).
    std::string line(std::size_t index) const;

private:
    class Board;
    std::ostream& out_;
    int columns_;
    const engine::Clock& clock_;
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::size_t labelWidth_ = 0;
    bool drawn_ = false;
};

} // namespace tavo::flash
