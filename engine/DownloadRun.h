#pragma once

#include "engine/Clock.h"
#include "engine/RunHost.h"
#include "engine/RunState.h"
#include "engine/SerialPort.h"

#include <optional>
#include <string>

namespace tavo::engine {

// How a run ended. The window shows the messages itself (through the host); front ends that
// have no eyes on the messages (the command-line flasher, tests) read this instead.
enum class RunEnd {
    Refused,             // an entry check refused: a chosen image has no path
    Cancelled,           // Cancel at a checkpoint
    Declined,            // No to a line question
    NoResponse,          // the bootloader never became ready
    EepromRefused,       // the bootloader is too old for EEPROM writes
    NoFileChosen,        // neither image chosen: handshake only
    Success,             // File Complete, No Errors
    CompletedWithErrors, // File Complete with Errors
    NoEndOfFileAnswer,   // no usable answer at the end of the file
    PortError,           // the port could not be set up or opened
    DownloadError,       // a run-time error during handshake or transfer
    ImageTooLong,        // an image of more than 32,767 lines (shown as a DownloadError)
    OpenError,           // an image file could not be opened
    CloseError,          // the port could not be closed
    TimedOut,            // the run's time limit ended it as a cancel does
    VerifyFailed,        // the board's check found memory that does not hold the image
};

// Whether the board checked what it holds against the images (extended protocol only).
enum class Verify {
    NotOffered, // the board announced no extension
    Passed,     // every range of every image checked equal
    Failed,     // a range differs
    NotReached, // offered, but the run ended before every image was checked
};

struct RunResult {
    RunResult() = default;
    RunResult(RunEnd e, std::string r = {}) : end(e), reason(std::move(r)) {}

    RunEnd end = RunEnd::Refused;
    std::string reason; // the error's reason (OS or other), when a failure handler ended the run
    // The capabilities the board announced, e.g. "X1,P128,L128,A30720,E1024,R500000"; empty
    // when it announced none (or an announcement that does not parse).
    std::string offered;
    Verify verify = Verify::NotOffered;
    std::string verifyDetail; // the first range that differs, or why nothing was checked
};

// The line rate after the handshake, with a board that offers faster ones: the highest offered
// rate the port takes (Auto), one given rate, or none.
struct FastBaud {
    enum class Mode { Off, Auto, Rate };
    Mode mode = Mode::Auto;
    long rate = 0;
};

// Limits a front end may set for a run nobody watches. The window sets none.
struct RunOptions {
    // A reading of the run's clock at which the run is out of time: from then on every cancel
    // checkpoint acts as if Cancel had been pressed, and a run that then ends cancelled or
    // declined ends TimedOut.
    std::optional<Millis> deadline;
    // The request loop gives up when the ready string has not come this long after the
    // handshake's start, with the no-response ending, even while the application's active
    // string would keep it asking for ever.
    std::optional<Millis> readyLimit;
    FastBaud fastBaud;
    // Off: every board is spoken to as a plain one, whatever it announces (the handshake's pause
    // runs its time, nothing new is sent); the report still names what it offered.
    bool extension = true;
};

// One download run, from the press of "Start Programming" to the final message. Leaves the
// window idle and the port closed on every way out. Every exception derived from std::exception
// lands in the failure handler of the stage it happened in; RunAbandoned passes untouched.
RunResult DownloadFirmware(RunState& state, RunHost& host, SerialPort& port, const Clock& clock,
                           const RunOptions& options = {});

} // namespace tavo::engine
