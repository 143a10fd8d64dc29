#include "cli/ExitCode.h"

namespace tavo::flash {

using engine::RunEnd;

int ExitCodeFor(RunEnd end, bool interrupted) {
    switch (end) {
    case RunEnd::Success:
        return kExitSuccess;
    case RunEnd::CompletedWithErrors:
        return kExitCompletedWithErrors;
    case RunEnd::Declined:
        return interrupted ? kExitCancelled : kExitLineErrorStopped;
    case RunEnd::NoEndOfFileAnswer:
        return kExitNoEndOfFileAnswer;
    case RunEnd::NoResponse:
        return kExitNoResponse;
    case RunEnd::EepromRefused:
        return kExitEepromUnsupported;
    case RunEnd::PortError:
    case RunEnd::CloseError:
        return kExitPortError;
    case RunEnd::DownloadError:
        return kExitConnectionLost;
    case RunEnd::Refused:
    case RunEnd::OpenError:
    case RunEnd::ImageTooLong:
        return kExitFileError;
    case RunEnd::NoFileChosen:
        return kExitNothingToSend;
    case RunEnd::Cancelled:
        return kExitCancelled;
    case RunEnd::TimedOut:
        return kExitTimedOut;
    case RunEnd::VerifyFailed:
        return kExitVerifyFailed;
    }
    return kExitInternal;
}

int WithRecordOutcome(int exitCode, bool recorded) {
    return exitCode == kExitSuccess && !recorded ? kExitRecordFailed : exitCode;
}

std::string ExitCodeMeaning(int code) {
    for (const auto& doc : ExitCodeTable())
        if (doc.code == code)
            return doc.meaning;
    return "exit " + std::to_string(code);
}

std::vector<ExitCodeDoc> ExitCodeTable() {
    return {
        {kExitSuccess, "success: the board reported the image(s) complete without errors"},
        {kExitCompletedWithErrors, "the board reported the file complete with errors"},
        {kExitLineErrorStopped, "the board reported an error on a line and the answer was stop"},
        {kExitNoEndOfFileAnswer, "no answer from the bootloader at the end of the file"},
        {kExitNoResponse, "no response from the target bootloader"},
        {kExitEepromUnsupported, "the bootloader is too old for EEPROM writes (below 1.3)"},
        {kExitPortError, "the port could not be opened (missing, busy) or closed"},
        {kExitConnectionLost, "the port failed during the download (board or cable gone)"},
        {kExitFileError,
         "an image path is missing, the image cannot be opened or has more than 32,767 lines"},
        {kExitNothingToSend, "no image chosen: only the handshake ran"},
        {kExitVerifyFailed,
         "the chip does not hold what was written (verify failed); the application was not "
         "started"},
        {kExitRecordFailed, "the --report file could not take the record: the board's run "
                            "succeeded, or never started when the file could not be opened"},
        {kExitNoIdentity, "no identity value: counter unusable, number too big or list used up"},
        {kExitUsage, "usage error on the command line"},
        {kExitInternal, "internal error"},
        {kExitTimedOut, "the --timeout limit was reached; the run was cancelled"},
        {kExitCancelled, "cancelled with Ctrl+C (a second Ctrl+C ends at once)"},
    };
}

} // namespace tavo::flash
