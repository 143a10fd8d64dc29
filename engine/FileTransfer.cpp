#include "engine/Run.h"
#include "engine/SerialLink.h"
#include "engine/Version.h"

namespace tavo::engine::detail {

namespace {
constexpr int kLineTries = 3;
constexpr int kLineSeconds = 3;
constexpr int kEndOfFileSeconds = 3;
constexpr int kOldProtocolTicks = 5;
} // namespace

bool Answers::any(const std::string& buffer) const {
    return Contains(buffer, checksumError) || Contains(buffer, fileCompleteNoErrors) ||
           Contains(buffer, fileCompleteWithErrors) || Contains(buffer, pageError) ||
           Contains(buffer, lineComplete);
}

bool Answers::accepted(const std::string& buffer) const {
    return Contains(buffer, lineComplete) || Contains(buffer, fileCompleteWithErrors) ||
           Contains(buffer, fileCompleteNoErrors);
}

bool Run::newProtocol() const {
    return BootloaderVersion >= kLowestRetryingVersion;
}

void Run::openImage(const std::string& path) {
    stage_ = Stage::Open;
    host_.setStatus("Opening the file " + path + ".");
    file_.open(path);
    stage_ = Stage::Download;
}

FileEnd Run::eepromFileStart() {
    openImage(host_.settings().eepromFile);
    // "!" tells the bootloader that a Flash file follows this EEPROM file.
    auto command = host_.settings().eepromWrite;
    port_.write(FlashFollows ? command + "!" : command);
    return sendFile();
}

FileEnd Run::flashFileStart() {
    FlashFollows = false;
    state_.CurrentFile = 2;
    openImage(host_.settings().applicationFile);
    return sendFile();
}

// The counted file on the display: N lines leave N - 1 remaining after the one being sent.
void Run::showLines() {
    state_.LinesRemaining -= 1;
    state_.LineNumberBase = state_.LinesRemaining;
    state_.ProgressTotal = state_.LinesRemaining;
    host_.setProgressMax(state_.ProgressTotal);
    host_.setProgressMin(0);
    host_.setProgressValue(0);
    host_.setStatus(state_.CurrentFile == 1 ? "Sending EEPROM File - lines remaining "
                                            : "Sending FLASH File - lines remaining ");
    host_.setLinesRemaining(std::to_string(state_.LinesRemaining.value()));
    host_.setProgressValue(linesProgress());
    host_.setLinesRemainingVisible(true);
    host_.setLinesTimerEnabled(true);
}

Int16 Run::linesProgress() const {
    return Int16::From(state_.ProgressTotal.value() - state_.LinesRemaining.value());
}

FileEnd Run::sendFile() {
    // Count the lines first (empty ones too); the 16-bit counter refuses a file of more than
    // 32,767 lines before any of it is sent.
    state_.LinesRemaining = 0;
    while (!file_.atEnd()) {
        file_.readLine();
        try {
            state_.LinesRemaining += 1;
        } catch (const RunError&) {
            throw LineLimitError();
        }
    }
    file_.rewind();
    showLines();

    auto settings = host_.settings();
    const Answers answers{settings.lineComplete, settings.pageError,
                          settings.fileCompleteWithErrors, settings.fileCompleteNoErrors,
                          settings.checksumError};

    while (!file_.atEnd()) {
        host_.setProgressValue(linesProgress());
        if (cancelRequested())
            return FileEnd::Cancelled;
        std::string LineText = file_.readLine();
        if (!LineText.empty()) {
            if (!sendLine(LineText, answers))
                return FileEnd::Declined;
            state_.LinesRemaining -= 1;
        }
        host_.yield();
    }
    return endOfFile(answers);
}

// Writes one line (again, while the new protocol gets no usable answer) and asks the technician
// when it ends in an error. False when the answer is No.
bool Run::sendLine(const std::string& LineText, const Answers& answers) {
    Int16 LineTries;
    while (LineTries < kLineTries) {
        port_.write(LineText);
        ReceiveBuffer = port_.takeWaiting();
        waitForAnswer(answers);
        if (Contains(ReceiveBuffer, answers.pageError))
            LineTries = kLineTries;
        else if (answers.accepted(ReceiveBuffer) || !newProtocol())
            LineTries = kLineTries;
        else
            LineTries += 1;
    }

    auto lineNumber = Int16::From(state_.LineNumberBase.value() - state_.LinesRemaining.value());
    lineNumber += 1;
    return askAboutLine(lineNumber.value(), answers,
                        !answers.accepted(ReceiveBuffer) && newProtocol());
}

// The question a line's last answer raises, first match wins; true when there is none or the
// technician goes on (the line is then given up).
bool Run::askAboutLine(int line, const Answers& answers, bool unanswered) {
    auto n = std::to_string(line);
    std::string question;
    if (Contains(ReceiveBuffer, answers.checksumError))
        question = "Checksum error at line " + n + ". Continue with download?";
    else if (Contains(ReceiveBuffer, answers.pageError))
        question = "Error writing to flash at line " + n + ". Continue with download?";
    else if (unanswered)
        question =
            "Did not receive a response after sending line " + n + ". Continue with download?";
    if (question.empty())
        return true;
    if (!host_.askYesNo(question))
        return false;
    ReceiveBuffer.clear();
    return true;
}

// Both protocols test before each collection, so an answer taken with the write ends the wait
// at once. The window is served while waiting; when nothing new has come in, the host blocks
// until something happens instead of polling.
void Run::waitForAnswer(const Answers& answers) {
    if (newProtocol()) {
        WholeSecondWait wait(clock_, kLineSeconds);
        while (!answers.any(ReceiveBuffer) && !cancelRequested() && !wait.expired()) {
            auto received = port_.takeWaiting();
            ReceiveBuffer += received;
            if (received.empty())
                host_.waitForEvents(capped(wait.remaining()));
            else
                host_.yield();
        }
        return;
    }
    // Old protocol: five ticks of the 60 ms timer after the write.
    state_.TickCount = 0;
    while (!answers.any(ReceiveBuffer) && !cancelRequested() &&
           state_.TickCount < kOldProtocolTicks) {
        auto received = port_.takeWaiting();
        ReceiveBuffer += received;
        if (received.empty())
            host_.waitForEvents(capped(std::nullopt));
        else
            host_.yield();
    }
}

FileEnd Run::endOfFile(const Answers& answers) {
    host_.setLinesRemaining("0");
    host_.setLinesTimerEnabled(false);

    // The bootloader's verdict on the file; the answer to the last line counts too. This wait
    // does not serve the window, so it blocks on the port alone.
    WholeSecondWait wait(clock_, kEndOfFileSeconds);
    while (!Contains(ReceiveBuffer, answers.fileCompleteWithErrors) && !wait.expired()) {
        std::string received;
        try {
            received = port_.takeWaiting();
            if (received.empty())
                port_.waitForInput(wait.remaining());
        } catch (const std::exception&) {
            // A board that resets into its new firmware (or whose USB port re-enumerates) drops
            // the line right after its verdict: with the success answer in hand, the failure
            // only ends the wait. Without it, it is the run's failure.
            if (!Contains(ReceiveBuffer, answers.fileCompleteNoErrors))
                throw;
            break;
        }
        ReceiveBuffer += received;
    }

    if (FlashFollows) {
        file_.close();
        return flashFileStart();
    }
    if (Contains(ReceiveBuffer, answers.fileCompleteNoErrors))
        return FileEnd::FileCompleteOK;
    if (Contains(ReceiveBuffer, answers.fileCompleteWithErrors))
        return FileEnd::FileCompleteWithErrors;
    return FileEnd::NoEndOfFileAnswer;
}

} // namespace tavo::engine::detail
