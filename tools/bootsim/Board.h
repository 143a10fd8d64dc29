#pragma once

#include "tools/bootsim/IntelHex.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The simulated target board: a running application that jumps into a resident bootloader, which
// then takes Intel HEX images line by line and answers every line with one character. Pure logic:
// bytes in, answers out; timing and the device live in the program around it.
namespace tavo::bootsim {

enum class Memory { Flash, Eeprom };

// A fault at line `line` (1-based, counted per file) for its first `tries` writes; 0 tries: all.
struct LineFault {
    int line = 0;
    int tries = 0;

    bool appliesTo(int lineNumber, int attempt) const {
        return line == lineNumber && (tries == 0 || attempt <= tries);
    }
};

struct BoardConfig {
    // The protocol strings, as the loader's settings name them.
    std::string jump = "$";
    std::string active = "^";
    std::string start = "@&$";
    std::string ready = "?V1.3";
    std::string eepromWrite = "*";
    std::string lineComplete = "~";
    std::string pageError = "%";
    std::string checksumError = "-";
    std::string fileErrors = "#";
    std::string fileOk = "@";

    // Faults.
    std::vector<LineFault> checksumFaults; // answer Checksum Error, write nothing
    std::vector<LineFault> pageFaults;     // answer Page Error, write nothing
    std::vector<LineFault> silentLines;    // take the line but send no answer
    std::optional<Memory> faultMemory;     // faults hit only files for this memory
    int dropAfterLine = 0;                 // drop the connection once line k is answered
    bool neverJump = false;                // the application ignores the jump command
    bool activeOnly = false;               // jumps, but the bootloader never gets ready
    std::string noise;                     // sent before every line answer

    // The extension of the line protocol (docs/extension.md), announced in the ready answer
    // with the values of an ATmega328P at 16 MHz.
    bool extension = false;
    long page = 128;
    long recordMax = 128;
    long flashSize = 28672;
    long eepromSize = 1024;
    std::vector<long> rates{500000, 1000000};
    std::optional<std::uint32_t> stuckCell; // a Flash cell that keeps 0xFF whatever is written
};

class Board {
public:
    enum class Stage { Application, Bootloader, Ready };

    explicit Board(BoardConfig config = {});

    // Takes received bytes in arrival order; returns the answers they cause, in order.
    std::vector<std::string> receive(std::string_view bytes);

    Stage stage() const { return stage_; }
    Memory target() const { return target_; }
    // The connection is to be dropped now; everything received after that is ignored.
    bool dropRequested() const { return dropRequested_; }
    // Downloads that ended with the end-of-file record of their last file.
    int completedDownloads() const { return completedDownloads_; }
    // Lines of the current file seen so far (retries of a line count once).
    int lineNumber() const { return lineNumber_; }

    const MemoryImage& flash() const { return flash_; }
    const MemoryImage& eeprom() const { return eeprom_; }

    // Extension: the rate a SET RATE asked for since the last call (the board switches once its
    // answer has left); the rate in force, nothing for the handshake's; whether the loader
    // confirmed it; back to the handshake's rate.
    std::optional<long> takeRateSwitch() { return std::exchange(rateSwitch_, std::nullopt); }
    std::optional<long> rate() const { return rate_; }
    bool confirmed() const { return confirmed_; }
    void fallBack() {
        rate_.reset();
        confirmed_ = false;
    }

private:
    // The ready answer, with the capabilities when the extension is on.
    std::string readyAnswer() const;
    void command(const HexRecord& record, std::vector<std::string>& out);
    void startDownload();
    void receiveByte(char c, std::vector<std::string>& out);
    void betweenRecords(char c, std::vector<std::string>& out);
    void beginRecord();
    void finishRecord(std::vector<std::string>& out);
    void startFile(Memory memory);
    void answerLine(const std::string& answer, bool error, bool silent,
                    std::vector<std::string>& out);
    bool faultsApply() const;

    BoardConfig config_;
    Stage stage_ = Stage::Application;
    std::string pending_; // recent bytes while looking for a command string

    Memory target_ = Memory::Flash;
    bool flashFollows_ = false;
    bool eepromCommandSeen_ = false; // waiting for the byte that tells "*" from "*!"
    bool inRecord_ = false;
    std::string record_;

    HexLoader loader_;
    int lineNumber_ = 0;
    int attempt_ = 0;
    std::string lastRecord_;
    bool lastNeedsRetry_ = false;
    std::set<int> failedLines_;

    bool dropRequested_ = false;
    int completedDownloads_ = 0;
    MemoryImage flash_;
    MemoryImage eeprom_;

    std::optional<long> rateSwitch_;
    std::optional<long> rate_;
    bool confirmed_ = false;
    bool checkFailed_ = false;   // this download ends '#' and never starts the application
    bool wrotePageZero_ = false; // this download wrote the application's reset vector
};

} // namespace tavo::bootsim
