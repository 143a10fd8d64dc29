#include "tools/bootsim/Board.h"

#include <algorithm>
#include <cctype>

namespace tavo::bootsim {

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Keeps just enough of the recent input to recognise the longest command string.
void KeepTail(std::string& pending, std::size_t longest) {
    if (pending.size() > longest + 64)
        pending.erase(0, pending.size() - longest);
}

} // namespace

Board::Board(BoardConfig config) : config_(std::move(config)) {
    // A board without a jump command has nothing to jump from: it sits in its bootloader.
    if (config_.jump.empty())
        stage_ = Stage::Bootloader;
}

std::vector<std::string> Board::receive(std::string_view bytes) {
    std::vector<std::string> out;
    for (char c : bytes) {
        if (dropRequested_)
            break;
        receiveByte(c, out);
    }
    return out;
}

void Board::receiveByte(char c, std::vector<std::string>& out) {
    switch (stage_) {
    case Stage::Application:
        if (config_.neverJump)
            return;
        pending_.push_back(c);
        if (EndsWith(pending_, config_.jump)) {
            pending_.clear();
            stage_ = Stage::Bootloader;
            out.push_back(config_.active);
        } else {
            KeepTail(pending_, config_.jump.size());
        }
        return;
    case Stage::Bootloader:
        pending_.push_back(c);
        if (!config_.activeOnly && EndsWith(pending_, config_.start)) {
            pending_.clear();
            stage_ = Stage::Ready;
            startFile(Memory::Flash);
            out.push_back(config_.ready);
        } else {
            KeepTail(pending_, config_.start.size());
        }
        return;
    case Stage::Ready:
        if (inRecord_) {
            if (c == ':') {
                // A line cut short: the next one has begun.
                finishRecord(out);
                beginRecord();
                return;
            }
            record_.push_back(c);
            auto length = record_.size() >= 3 ? RecordLength(record_) : std::nullopt;
            bool broken =
                (record_.size() >= 3 && !length) || !std::isxdigit(static_cast<unsigned char>(c));
            if (broken || (length && record_.size() == *length))
                finishRecord(out);
            return;
        }
        betweenRecords(c, out);
        return;
    }
}

void Board::betweenRecords(char c, std::vector<std::string>& out) {
    if (eepromCommandSeen_) {
        eepromCommandSeen_ = false;
        flashFollows_ = c == '!';
        startFile(Memory::Eeprom);
        if (flashFollows_)
            return;
    }
    if (c == ':') {
        pending_.clear();
        beginRecord();
        return;
    }
    pending_.push_back(c);
    if (!config_.start.empty() && EndsWith(pending_, config_.start)) {
        // The loader asks again (a new run, or its answer came late): start over, ready.
        pending_.clear();
        startFile(Memory::Flash);
        out.push_back(config_.ready);
        return;
    }
    if (!config_.eepromWrite.empty() && EndsWith(pending_, config_.eepromWrite)) {
        pending_.clear();
        eepromCommandSeen_ = true;
        return;
    }
    KeepTail(pending_, std::max(config_.start.size(), config_.eepromWrite.size()));
}

void Board::beginRecord() {
    inRecord_ = true;
    record_.assign(1, ':');
}

void Board::startFile(Memory memory) {
    if (memory == Memory::Flash)
        flashFollows_ = false;
    target_ = memory;
    loader_.reset();
    lineNumber_ = 0;
    attempt_ = 0;
    lastRecord_.clear();
    lastNeedsRetry_ = false;
    failedLines_.clear();
}

bool Board::faultsApply() const {
    return !config_.faultMemory || *config_.faultMemory == target_;
}

void Board::finishRecord(std::vector<std::string>& out) {
    inRecord_ = false;
    std::string text = std::move(record_);
    record_.clear();

    // A line written again after an error or a missing answer is the same line once more.
    if (lastNeedsRetry_ && text == lastRecord_) {
        ++attempt_;
    } else {
        ++lineNumber_;
        attempt_ = 1;
    }
    lastRecord_ = text;

    bool faults = faultsApply();
    auto hits = [&](const std::vector<LineFault>& list) {
        return faults && std::any_of(list.begin(), list.end(), [&](const LineFault& f) {
                   return f.appliesTo(lineNumber_, attempt_);
               });
    };
    bool silent = hits(config_.silentLines);
    if (hits(config_.checksumFaults)) {
        failedLines_.insert(lineNumber_);
        answerLine(config_.checksumError, true, silent, out);
        return;
    }
    if (hits(config_.pageFaults)) {
        failedLines_.insert(lineNumber_);
        answerLine(config_.pageError, true, silent, out);
        return;
    }
    auto record = DecodeRecord(text);
    if (!record.valid()) {
        failedLines_.insert(lineNumber_);
        answerLine(config_.checksumError, true, silent, out);
        return;
    }
    failedLines_.erase(lineNumber_);
    if (!loader_.apply(record, target_ == Memory::Flash ? flash_ : eeprom_)) {
        answerLine(config_.lineComplete, false, silent, out);
        return;
    }
    answerLine(failedLines_.empty() ? config_.fileOk : config_.fileErrors, false, silent, out);
    if (target_ == Memory::Eeprom && flashFollows_) {
        startFile(Memory::Flash);
        return;
    }
    // The download is over; the board starts its (new) application.
    ++completedDownloads_;
    startFile(Memory::Flash);
    stage_ = config_.jump.empty() ? Stage::Bootloader : Stage::Application;
}

void Board::answerLine(const std::string& answer, bool error, bool silent,
                       std::vector<std::string>& out) {
    lastNeedsRetry_ = silent || error;
    if (!silent)
        out.push_back(config_.noise + answer);
    if (config_.dropAfterLine > 0 && lineNumber_ == config_.dropAfterLine && faultsApply())
        dropRequested_ = true;
}

} // namespace tavo::bootsim
