#include "cli/Gang.h"

#include "cli/ConsoleDisplay.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ostream>
#include <streambuf>

namespace tavo::flash {

namespace {

constexpr int kGangBarWidth = 20;

std::string Fixed1(double value) {
    // Not printf: the locale may want a comma.
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return ec == std::errc() ? std::string(text, end) : std::string("?");
}

// "[##########..........]  50%  150/300 lines  ETA 0:01": narrower than the single board's bar,
// so that a port name fits beside it.
std::string CompactBar(const ProgressFigures& f) {
    int percent =
        f.total <= 0 ? 100 : std::clamp(static_cast<int>(100LL * f.done / f.total), 0, 100);
    int filled = percent * kGangBarWidth / 100;
    std::string line = "[" + std::string(filled, '#') + std::string(kGangBarWidth - filled, '.') +
                       "] " +
                       std::string(percent < 10    ? 2
                                   : percent < 100 ? 1
                                                   : 0,
                                   ' ') +
                       std::to_string(percent) + "%  " + std::to_string(f.done) + "/" +
                       std::to_string(f.total) + " lines";
    if (f.seconds >= 0.001 && f.done > 0 && f.done < f.total)
        line += "  ETA " + FormatDuration((f.total - f.done) * f.seconds / f.done);
    return line;
}

} // namespace

int GangExitCode(const std::vector<BoardSummary>& boards) {
    for (const auto& board : boards)
        if (board.exitCode != 0)
            return board.exitCode;
    return 0;
}

std::string SummaryTable(const std::vector<BoardSummary>& boards) {
    std::vector<std::array<std::string, 6>> rows = {
        {"PORT", "VERSION", "OUTCOME", "LINES", "SECONDS", "EXIT"}};
    for (const auto& b : boards)
        rows.push_back({b.port, b.version.empty() ? "-" : b.version, b.outcome,
                        std::to_string(b.lines), Fixed1(b.seconds), std::to_string(b.exitCode)});
    std::array<std::size_t, 6> width{};
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            // Figures to the right, words to the left.
            bool figure = c >= 3;
            std::string pad(width[c] - row[c].size(), ' ');
            line += figure ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : "");
            if (c + 1 < row.size())
                line += "  ";
        }
        text += line + "\n";
    }
    std::string failed;
    int count = 0;
    for (const auto& b : boards)
        if (b.exitCode != 0) {
            failed += (count++ ? ", " : "") + b.port + " (exit " + std::to_string(b.exitCode) + ")";
        }
    if (count == 0)
        text += "All " + std::to_string(boards.size()) + " boards succeeded.\n";
    else
        text += std::to_string(count) + " of " + std::to_string(boards.size()) +
                " boards failed: " + failed + "\n";
    return text;
}

class PrefixedStream::Buffer final : public std::streambuf {
public:
    Buffer(std::ostream& target, std::mutex& lock, std::string prefix)
        : target_(target), lock_(lock), prefix_(std::move(prefix)) {}
    ~Buffer() override {
        if (!line_.empty())
            emit();
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        line_ += traits_type::to_char_type(c);
        if (c == '\n')
            emit();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            overflow(traits_type::to_int_type(s[i]));
        return n;
    }

private:
    void emit() {
        if (line_.back() != '\n')
            line_ += '\n';
        std::lock_guard guard(lock_);
        target_ << prefix_ << line_ << std::flush;
        line_.clear();
    }

    std::ostream& target_;
    std::mutex& lock_;
    std::string prefix_;
    std::string line_;
};

PrefixedStream::PrefixedStream(std::ostream& target, std::mutex& lock, std::string prefix)
    : buffer_(std::make_unique<Buffer>(target, lock, std::move(prefix))),
      stream_(std::make_unique<std::ostream>(buffer_.get())) {}

PrefixedStream::~PrefixedStream() {
    stream_.reset();
}

std::ostream& PrefixedStream::stream() {
    return *stream_;
}

// One board's line: the last thing its run showed, or its progress while it sends a file.
class BoardLines::Board final : public RunDisplay {
public:
    Board(BoardLines& lines, std::string label) : lines_(lines), label_(std::move(label)) {}

    void status(const std::string& text) override {
        set([&] { text_ = text; });
    }
    void versionLabel(const std::string&) override {}
    void sendingStarted(int progressMax) override {
        set([&] {
            sending_ = true;
            max_ = progressMax;
            value_ = 0;
            started_ = lines_.clock_.now();
        });
    }
    void progress(int value, int max) override {
        set([&] {
            value_ = value;
            max_ = max;
        });
    }
    void linesRemaining(const std::string&) override {}
    void sendingEnded() override {
        set([&] { sending_ = false; });
    }
    void message(const engine::Message& message) override {
        set([&] {
            text_ = message.text;
            sending_ = false;
        });
    }
    std::optional<bool> ask(const std::string&) override { return std::nullopt; }
    void answered(const std::string& question, bool yes) override {
        set([&] {
            text_ = question + (yes ? " Yes" : " No");
            // After a No the run ends without finishing the file.
            sending_ = sending_ && yes;
        });
    }
    void cancelRequested() override {
        set([&] { text_ = "Cancel requested"; });
    }
    // The run is over, whichever way it ended.
    void idle() override {
        set([&] { sending_ = false; });
    }

    // Called with the lines' lock held.
    std::string body() const {
        if (!sending_)
            return text_;
        ProgressFigures f;
        f.total = std::max(0, max_ + 1);
        f.done = std::clamp(value_, 0, f.total);
        f.seconds = std::chrono::duration<double>(lines_.clock_.now() - started_).count();
        return CompactBar(f);
    }
    const std::string& label() const { return label_; }

private:
    template <class F> void set(F change) {
        std::lock_guard guard(lines_.lock_);
        change();
    }

    BoardLines& lines_;
    std::string label_;
    std::string text_ = "Waiting";
    bool sending_ = false;
    int value_ = 0;
    int max_ = 0;
    engine::Millis started_{0};
};

BoardLines::BoardLines(std::ostream& out, std::vector<std::string> labels, int columns,
                       const engine::Clock& clock)
    : out_(out), columns_(columns > 0 ? columns : 80), clock_(clock) {
    for (auto& label : labels) {
        labelWidth_ = std::max(labelWidth_, label.size());
        boards_.push_back(std::make_unique<Board>(*this, std::move(label)));
    }
}

BoardLines::~BoardLines() = default;

RunDisplay& BoardLines::board(std::size_t index) {
    return *boards_.at(index);
}

std::string BoardLines::line(std::size_t index) const {
    std::lock_guard guard(lock_);
    const auto& b = *boards_.at(index);
    auto text = b.label() + std::string(labelWidth_ - b.label().size() + 2, ' ') + b.body();
    // A line that wraps would push the drawing down at every redraw.
    auto limit = static_cast<std::size_t>(std::max(1, columns_ - 1));
    if (text.size() > limit)
        text.resize(limit);
    return text;
}

void BoardLines::redraw() {
    std::string frame;
    if (drawn_)
        frame = "\x1b[" + std::to_string(boards_.size()) + "A";
    for (std::size_t i = 0; i < boards_.size(); ++i)
        frame += "\r" + line(i) + "\x1b[K\n";
    out_ << frame << std::flush;
    drawn_ = true;
}

} // namespace tavo::flash
