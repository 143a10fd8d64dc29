#include "tools/bootsim/Board.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

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

// The byte the memory holds at `address`: 0xFF where nothing was written, as after an erase.
std::uint8_t ByteAt(const MemoryImage& memory, std::uint32_t address) {
    const auto& segments = memory.segments();
    auto it = segments.upper_bound(address);
    if (it == segments.begin())
        return 0xFF;
    --it;
    auto offset = address - it->first;
    return offset < it->second.size() ? it->second[offset] : 0xFF;
}

bool Holds(const MemoryImage& memory, std::uint32_t address) {
    const auto& segments = memory.segments();
    auto it = segments.upper_bound(address);
    return it != segments.begin() && address - std::prev(it)->first < std::prev(it)->second.size();
}

// zlib's CRC-32.
std::uint32_t Crc32(const MemoryImage& memory, std::uint32_t start, std::uint32_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint32_t i = 0; i < length; ++i) {
        crc ^= ByteAt(memory, start + i);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

std::uint32_t Get32(const std::vector<std::uint8_t>& data, std::size_t at) {
    return static_cast<std::uint32_t>(data[at]) << 24 |
           static_cast<std::uint32_t>(data[at + 1]) << 16 |
           static_cast<std::uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

} // namespace

std::string Board::readyAnswer() const {
    if (!config_.extension)
        return config_.ready;
    // The version as the ready text gives it ("V1.3"), then the capabilities, then "?".
    std::string version = "V1.3";
    if (auto v = config_.ready.find('V'); v != std::string::npos) {
        auto end = config_.ready.find_first_not_of("0123456789.", v + 1);
        version = config_.ready.substr(v, end == std::string::npos ? end : end - v);
    }
    std::string text = version + ";X1,P" + std::to_string(config_.page) + ",L" +
                       std::to_string(config_.recordMax) + ",A" +
                       std::to_string(config_.flashSize) + ",E" +
                       std::to_string(config_.eepromSize);
    for (long rate : config_.rates)
        text += ",R" + std::to_string(rate);
    return text + "?";
}

void Board::startDownload() {
    startFile(Memory::Flash);
    checkFailed_ = false;
    wrotePageZero_ = false;
}

void Board::command(const HexRecord& record, std::vector<std::string>& out) {
    char crcText[9];
    switch (record.type) {
    case 0x80: {
        long rate = record.data.size() == 4 ? static_cast<long>(Get32(record.data, 0)) : 0;
        if (std::find(config_.rates.begin(), config_.rates.end(), rate) == config_.rates.end()) {
            out.push_back(config_.pageError);
            return;
        }
        out.push_back(config_.lineComplete);
        rateSwitch_ = rate;
        rate_ = rate;
        confirmed_ = false;
        return;
    }
    case 0x81:
        confirmed_ = true;
        out.push_back(config_.lineComplete);
        return;
    case 0x82: {
        if (record.data.size() != 13 || record.data[0] > 1) {
            out.push_back(config_.pageError + "00000000");
            checkFailed_ = true;
            return;
        }
        const auto& memory = record.data[0] == 0 ? flash_ : eeprom_;
        auto crc = Crc32(memory, Get32(record.data, 1), Get32(record.data, 5));
        std::snprintf(crcText, sizeof crcText, "%08X", static_cast<unsigned>(crc));
        if (crc == Get32(record.data, 9)) {
            out.push_back(config_.lineComplete + crcText);
            return;
        }
        out.push_back(config_.pageError + crcText);
        checkFailed_ = true;
        // No reset may start a partial application.
        if (wrotePageZero_)
            flash_.write(0,
                         std::vector<std::uint8_t>(static_cast<std::size_t>(config_.page), 0xFF));
        return;
    }
    default:
        out.push_back(config_.pageError);
        return;
    }
}

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
            startDownload();
            out.push_back(readyAnswer());
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
        startDownload();
        out.push_back(readyAnswer());
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

    if (config_.extension) {
        auto record = DecodeRecord(text);
        if (record.valid() && record.type >= 0x80) {
            command(record, out);
            return;
        }
    }

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
    auto& memory = target_ == Memory::Flash ? flash_ : eeprom_;
    if (!loader_.apply(record, memory)) {
        if (target_ == Memory::Flash && record.type == record_type::Data) {
            if (config_.stuckCell && Holds(flash_, *config_.stuckCell))
                flash_.write(*config_.stuckCell, {0xFF});
            if (loader_.base() == 0 && record.address < config_.page)
                wrotePageZero_ = true;
        }
        answerLine(config_.lineComplete, false, silent, out);
        return;
    }
    if (checkFailed_) {
        // A download whose check failed never starts the application.
        answerLine(config_.fileErrors, false, silent, out);
        startDownload();
        stage_ = Stage::Bootloader;
        return;
    }
    answerLine(failedLines_.empty() ? config_.fileOk : config_.fileErrors, false, silent, out);
    if (target_ == Memory::Eeprom && flashFollows_) {
        startFile(Memory::Flash);
        return;
    }
    // The download is over; the board starts its (new) application.
    ++completedDownloads_;
    fallBack(); // the application runs at the handshake's rate
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
