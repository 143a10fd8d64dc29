#pragma once

#include "engine/Clock.h"
#include "engine/RunHost.h"
#include "engine/RunState.h"
#include "engine/SerialPort.h"

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
    OpenError,           // an image file could not be opened
    CloseError,          // the port could not be closed
};

struct RunResult {
    RunEnd end = RunEnd::Refused;
    std::string reason; // the run-time error's OS reason, when a failure handler ended the run
};

// One download run, from the press of "Start Programming" to the final message. Leaves the
// window idle and the port closed on every way out. Lets RunAbandoned pass.
RunResult DownloadFirmware(RunState& state, RunHost& host, SerialPort& port, const Clock& clock);

} // namespace tavo::engine
