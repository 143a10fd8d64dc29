#pragma once

#include "engine/DownloadRun.h"

#include <string>
#include <vector>

// The process exit codes of tavo-flash: one per way a run can end, so that scripts can tell a
// board that rejected the image from a cable that is not plugged in.
namespace tavo::flash {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitCompletedWithErrors = 1, // the board reported the file complete with errors
    kExitLineErrorStopped = 2,    // a line error was answered with stop (No)
    kExitNoEndOfFileAnswer = 3,   // no usable answer at the end of the file
    kExitNoResponse = 4,          // the bootloader never became ready
    kExitEepromUnsupported = 5,   // the bootloader is too old for EEPROM writes
    kExitPortError = 6,           // the port could not be set up, opened or closed
    kExitConnectionLost = 7,      // a port failure during the handshake or the transfer
    kExitFileError = 8,           // an image path is missing, cannot be opened or is too long
    kExitNothingToSend = 9,       // neither image chosen: only the handshake ran
    kExitVerifyFailed = 10,       // the chip does not hold what was written
    kExitRecordFailed = 11,       // the board succeeded, but --report could not keep its record
    kExitNoIdentity = 12,         // no identity value could be taken; nothing was sent
    kExitUsage = 64,              // bad command line
    kExitInternal = 70,           // an unexpected failure of the program itself
    kExitTimedOut = 124,          // --timeout reached (the code timeout(1) uses)
    kExitCancelled = 130,         // Ctrl+C
};

// The exit code for how a run ended. A run stopped by Ctrl+C counts as cancelled even when it
// ended through a declined question (Ctrl+C while a question was asked).
int ExitCodeFor(engine::RunEnd end, bool interrupted);

// A board that succeeded but whose --report record was lost is no success: a script that sees 0
// must find the record. A failed board keeps its own code (its failure is the bigger news; the
// lost record is said on stderr).
int WithRecordOutcome(int exitCode, bool recorded);

struct ExitCodeDoc {
    int code;
    std::string meaning;
};

// Every code with its meaning, in ascending order, for --help.
std::vector<ExitCodeDoc> ExitCodeTable();

// The meaning of `code` from the table ("exit N" for a code it does not list).
std::string ExitCodeMeaning(int code);

} // namespace tavo::flash
