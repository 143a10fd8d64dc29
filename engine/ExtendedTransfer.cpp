// The transfer with a board that announced its capabilities: a faster line rate, records as long
// as a page, a check of every written range, and no fixed waits (docs/extension.md). The plain
// transfer stays in FileTransfer.cpp; the two meet only at the run's stages.
#include "engine/Run.h"
#include "engine/SerialLink.h"

#include <algorithm>
#include <cstdio>

namespace tavo::engine::detail {

namespace {
constexpr int kRecordTries = 3;
constexpr Millis kAnswerLimit{1000};
constexpr Millis kConfirmLimit{100};
constexpr Millis kFallbackAfter{300};
constexpr Millis kIdleResync{1500};
constexpr Millis kBoardIdleFallback{2100}; // the board's 2 s, and a little
constexpr char kTaken = '~';
constexpr char kRefused = '%';
constexpr char kChecksum = '-';

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// The answer to a CHECK: '~' or '%' and eight hex digits, or '-'.
struct CheckAnswer {
    char verdict = 0;
    std::optional<std::uint32_t> crc;
};

std::optional<CheckAnswer> ReadCheckAnswer(const std::string& buffer) {
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        char c = buffer[i];
        if (c == kChecksum)
            return CheckAnswer{c, std::nullopt};
        if (c != kTaken && c != kRefused)
            continue;
        if (buffer.size() < i + 9)
            return std::nullopt; // its digits are still on their way
        auto digits = buffer.substr(i + 1, 8);
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char d) { return (d >= '0' && d <= '9') || (d >= 'A' && d <= 'F'); }))
            return CheckAnswer{c, std::nullopt};
        return CheckAnswer{c, static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16))};
    }
    return std::nullopt;
}
} // namespace

template <class Done>
std::string Run::exchange(const std::string& record, Millis limit, Done done) {
    // A board at a switched rate goes back to the handshake's after 2 s without input (a
    // question to the technician can take that long): first find out where it is.
    if (fastRate_ && clock_.now() - lastExchange_ >= kIdleResync)
        resumeRate();
    port_.write(record);
    std::string buffer = port_.takeWaiting();
    auto end = clock_.now() + limit;
    while (!done(buffer) && !cancelRequested() && clock_.now() < end) {
        auto received = port_.takeWaiting();
        buffer += received;
        if (received.empty())
            host_.waitForEvents(capped(end - clock_.now()));
        else
            host_.yield();
    }
    lastExchange_ = clock_.now();
    return buffer;
}

void Run::resumeRate() {
    auto confirmed = [](const std::string& b) { return b.find(kTaken) != std::string::npos; };
    auto fast = *fastRate_;
    fastRate_.reset(); // the exchanges below are the check itself
    if (confirmed(exchange(ConfirmRecord(), kConfirmLimit, confirmed))) {
        fastRate_ = fast;
        return;
    }
    // It has gone back: follow it.
    port_.setBaudRate(handshakeRate_);
    port_.takeWaiting();
    if (!confirmed(exchange(ConfirmRecord(), kAnswerLimit, confirmed)) && !cancelRequested())
        throw RunError("No answer from the bootloader at " + std::to_string(fast) + " or " +
                           std::to_string(handshakeRate_) + " Bd after a pause",
                       "");
}

FileEnd Run::extendedTransfer() {
    if (!switchRate())
        return FileEnd::NoResponse;
    if (cancelRequested())
        return FileEnd::Cancelled;
    bool eepromChecked = true;
    if (state_.CurrentFile == 1) {
        auto command = host_.settings().eepromWrite;
        port_.write(FlashFollows ? command + "!" : command);
        auto end = extendedImage(Memory::Eeprom);
        if (!FlashFollows || end == FileEnd::Cancelled || end == FileEnd::Declined ||
            end == FileEnd::VerifyFailed || end == FileEnd::NoResponse)
            return end;
        // As in the plain transfer, the Flash image follows whatever the EEPROM's end answer.
        eepromChecked = verify_ == Verify::Passed;
        file_.close();
    }
    FlashFollows = false;
    state_.CurrentFile = 2;
    auto end = extendedImage(Memory::Flash);
    if (verify_ == Verify::Passed && !eepromChecked)
        verify_ = Verify::NotReached;
    return end;
}

std::optional<long> Run::chooseRate(long handshakeRate) {
    const auto& offered = capabilities_->rates;
    const auto& fast = options_.fastBaud;
    if (fast.mode == FastBaud::Mode::Off)
        return std::nullopt;
    if (fast.mode == FastBaud::Mode::Rate) {
        if (fast.rate == handshakeRate)
            return std::nullopt;
        if (std::find(offered.begin(), offered.end(), fast.rate) == offered.end()) {
            host_.setStatus("The bootloader does not offer " + std::to_string(fast.rate) +
                            " Bd: staying at " + std::to_string(handshakeRate) + " Bd.");
            return std::nullopt;
        }
        return fast.rate;
    }
    // The highest offered rate above the handshake's that the port takes; trying a rate on an
    // idle line sends nothing.
    std::vector<long> rates(offered);
    std::sort(rates.rbegin(), rates.rend());
    for (long rate : rates) {
        if (rate <= handshakeRate)
            break;
        try {
            port_.setBaudRate(rate);
            port_.setBaudRate(handshakeRate);
            return rate;
        } catch (const RunError&) {
            port_.setBaudRate(handshakeRate);
        }
    }
    return std::nullopt;
}

bool Run::switchRate() {
    auto settings = LineSettingsForBaudIndex(host_.settings().baudIndex);
    auto handshakeRate = settings ? BaudFromLineSettings(*settings) : std::nullopt;
    if (!handshakeRate)
        return true; // the line's rate is not ours to know: stay on it
    auto rate = chooseRate(*handshakeRate);
    if (!rate)
        return true;

    auto taken = [](const std::string& b) {
        return b.find(kTaken) != std::string::npos || b.find(kRefused) != std::string::npos;
    };
    std::string answer;
    for (int tries = 0; tries < kRecordTries && !taken(answer); ++tries)
        answer = exchange(SetRateRecord(*rate), kAnswerLimit, [&](const std::string& b) {
            return taken(b) || b.find(kChecksum) != std::string::npos;
        });
    if (answer.find(kTaken) == std::string::npos)
        return true; // refused or unanswered: the board did not switch
    auto answered = clock_.now();

    port_.drainOutput();
    bool switched = true;
    try {
        port_.setBaudRate(*rate);
    } catch (const RunError&) {
        switched = false; // the board falls back by itself
    }
    auto confirmed = [](const std::string& b) { return b.find(kTaken) != std::string::npos; };
    if (switched && confirmed(exchange(ConfirmRecord(), kConfirmLimit, confirmed))) {
        fastRate_ = *rate;
        handshakeRate_ = *handshakeRate;
        return true;
    }

    // Back to the handshake rate, once the board has surely gone back too.
    port_.setBaudRate(*handshakeRate);
    while (clock_.now() < answered + kFallbackAfter && !cancelRequested()) {
        port_.takeWaiting(); // garbage from the rates that did not meet
        host_.waitForEvents(capped(answered + kFallbackAfter - clock_.now()));
    }
    port_.takeWaiting();
    return confirmed(exchange(ConfirmRecord(), kAnswerLimit, confirmed)) || cancelRequested();
}

FileEnd Run::extendedImage(Memory memory) {
    auto settings = host_.settings();
    openImage(memory == Memory::Flash ? settings.applicationFile : settings.eepromFile);

    // Count the lines as the plain transfer does, keeping them for the parse.
    std::vector<std::string> lines;
    state_.LinesRemaining = 0;
    while (!file_.atEnd()) {
        lines.push_back(file_.readLine());
        try {
            state_.LinesRemaining += 1;
        } catch (const RunError&) {
            throw LineLimitError();
        }
    }

    verify_ = Verify::NotReached;
    auto image = ParseImage(lines);
    long size = memory == Memory::Flash ? capabilities_->flashSize : capabilities_->eepromSize;
    if (!image ||
        (image->size() > 0 && image->address.back() >= static_cast<std::uint32_t>(size))) {
        // Not an image the extension can carry: its lines go the plain way, and the board
        // refuses what it must. It is not checked.
        verifyDetail_ = std::string(memory == Memory::Flash ? "Flash" : "EEPROM") +
                        " image sent line by line, not checked";
        if (fastRate_) {
            // The plain transfer waits seconds for answers, longer than a board stays at a
            // switched rate without input: back to the handshake rate, once the board is too.
            port_.setBaudRate(handshakeRate_);
            fastRate_.reset();
            auto until = clock_.now() + kBoardIdleFallback;
            while (clock_.now() < until && !cancelRequested()) {
                port_.takeWaiting();
                host_.waitForEvents(capped(until - clock_.now()));
            }
            port_.takeWaiting();
        }
        bool follows = FlashFollows;
        FlashFollows = false;
        file_.rewind();
        auto end = sendFile();
        FlashFollows = follows;
        return end;
    }

    showLines();

    const Answers answers{settings.lineComplete, settings.pageError,
                          settings.fileCompleteWithErrors, settings.fileCompleteNoErrors,
                          settings.checksumError};
    for (const auto& record : Reblock(*image, capabilities_->page, capabilities_->recordMax)) {
        // Lines before the one that holds the record's first byte count as sent.
        state_.LinesRemaining = Int16::From(state_.LineNumberBase.value() - (record.line - 1));
        host_.setProgressValue(linesProgress());
        if (cancelRequested())
            return FileEnd::Cancelled;
        if (!sendRecord(record.text, record.line, answers))
            return FileEnd::Declined;
        host_.yield();
    }
    if (cancelRequested())
        return FileEnd::Cancelled;
    if (auto failed = checkRanges(memory, RangesOf(*image)))
        return *failed;
    verify_ = Verify::Passed;
    return extendedEndOfFile(answers);
}

bool Run::sendRecord(const std::string& record, int line, const Answers& answers) {
    for (int tries = 0; tries < kRecordTries; ++tries) {
        ReceiveBuffer =
            exchange(record, kAnswerLimit, [&](const std::string& b) { return answers.any(b); });
        if (Contains(ReceiveBuffer, answers.pageError) || answers.accepted(ReceiveBuffer) ||
            cancelRequested())
            break;
    }
    return askAboutLine(line, answers, !answers.accepted(ReceiveBuffer) && !cancelRequested());
}

std::optional<FileEnd> Run::checkRanges(Memory memory, const std::vector<WrittenRange>& ranges) {
    for (const auto& range : ranges) {
        if (cancelRequested())
            return FileEnd::Cancelled;
        // The board finishes its pages first, then reads the range: 1 ms per 128 bytes.
        Millis limit = kAnswerLimit + Millis(range.length / 128);
        std::optional<CheckAnswer> answer;
        for (int tries = 0; tries < kRecordTries && !(answer && answer->crc); ++tries) {
            auto buffer =
                exchange(CheckRecord(memory, range.start, range.length, range.crc), limit,
                         [](const std::string& b) { return ReadCheckAnswer(b).has_value(); });
            answer = ReadCheckAnswer(buffer);
        }
        if (cancelRequested())
            return FileEnd::Cancelled;
        if (!answer || !answer->crc) {
            verifyDetail_ = "no answer to the check of " + DescribeRange(memory, range);
            return FileEnd::NoResponse;
        }
        if (answer->verdict != kTaken || *answer->crc != range.crc) {
            verify_ = Verify::Failed;
            verifyDetail_ = DescribeRange(memory, range) +
                            " does not hold what was written (image CRC " + Hex8(range.crc) +
                            ", chip CRC " + Hex8(*answer->crc) + ")";
            return FileEnd::VerifyFailed;
        }
    }
    return std::nullopt;
}

FileEnd Run::extendedEndOfFile(const Answers& answers) {
    host_.setLinesRemaining("0");
    host_.setLinesTimerEnabled(false);
    ReceiveBuffer.clear();
    auto verdict = [&](const std::string& b) {
        return Contains(b, answers.fileCompleteNoErrors) ||
               Contains(b, answers.fileCompleteWithErrors);
    };
    for (int tries = 0; tries < kRecordTries && !verdict(ReceiveBuffer); ++tries) {
        ReceiveBuffer = exchange(kEndOfFileRecord, kAnswerLimit, [&](const std::string& b) {
            return verdict(b) || Contains(b, answers.checksumError);
        });
        if (cancelRequested())
            break;
    }
    if (Contains(ReceiveBuffer, answers.fileCompleteNoErrors))
        return FileEnd::FileCompleteOK;
    if (Contains(ReceiveBuffer, answers.fileCompleteWithErrors))
        return FileEnd::FileCompleteWithErrors;
    return FileEnd::NoEndOfFileAnswer;
}

} // namespace tavo::engine::detail
