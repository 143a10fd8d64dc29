// The run's entry checks and the port set-up before the handshake.
#include "tests/engine/Scenario.h"

namespace tavo::test {
namespace {

class RunStart : public Scenario {
protected:
    // A run with neither box checked: the handshake only.
    void RunWithoutFile() {
        host.controls().flashCheck = 0;
        Run();
        EXPECT_EQ(result.end, RunEnd::NoFileChosen);
    }
};

const Strings kPortFailureLog{"busy", Status("Initializing the com port"),
                              std::string("message: ") + kPortError + " [warning]", "idle"};

// One row of the entry checks: which boxes are ticked, the two paths, the refusal expected (empty:
// the run goes on) and the file the run takes first.
struct EntryRow {
    const char* name;
    int flash;
    int eeprom;
    const char* applicationPath;
    const char* eepromPath;
    const char* refusal;
    int currentFile;
};

class EntryChecks : public Scenario, public ::testing::WithParamInterface<EntryRow> {};

TEST_P(EntryChecks, RefuseAMissingPathBeforeTouchingAnything) {
    const auto& row = GetParam();
    host.controls().flashCheck = row.flash;
    host.controls().eepromCheck = row.eeprom;
    host.controls().applicationFile = row.applicationPath;
    host.controls().eepromFile = row.eepromPath;

    EXPECT_EQ(Run().end, RunEnd::Refused);
    EXPECT_EQ(host.log(), (Strings{std::string("message: ") + row.refusal, "focus: Command1"}));
    EXPECT_TRUE(port.log().empty()) << "the port is untouched";
    EXPECT_EQ(host.state().CurrentFile, row.currentFile);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EntryChecks,
    ::testing::Values(
        EntryRow{"EepromOnlyEmpty", 0, 1, "app.hex", "", "Select EEPROM file to download.", 1},
        EntryRow{"FlashOnlyEmpty", 1, 0, "", "data.eep", "Select Application file to download.", 2},
        EntryRow{"FlashOnlyOneCharacter", 1, 0, "x", "", "Select Application file to download.", 2},
        // One character written as two bytes is still one character.
        EntryRow{"FlashOnlyOneWideCharacter", 1, 0, "\xC3\xA9", "",
                 "Select Application file to download.", 2},
        EntryRow{"BothEmptyReportsTheApplicationOnly", 1, 1, "", "",
                 "Select Application file to download.", 1},
        EntryRow{"BothEepromMissing", 1, 1, "app.hex", "e", "Select EEPROM file to download.", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunStart, NeitherBoxCheckedRunsTheHandshakeOnTheDefaultPortAndSendsNothing) {
    Target();
    RunWithoutFile();
    EXPECT_EQ(host.state().CurrentFile, 0);
    EXPECT_EQ(port.log(), (Strings{"setXonXoff", "setLineSettings 19200,n,8,1", "setPortNumber 1",
                                   "open", "write $@&$", "write $@&$", "close"}));
    EXPECT_TRUE(InOrder(host.log(), {"busy", Status("Initializing the com port"), Status(kTry1),
                                     "label16: BootLoader Version: 1.3", "idle",
                                     "message: Check box to download code.", "focus: Command1"}));
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(RunStart, NeitherBoxCheckedWithAnOldBootloaderEndsTheSameWay) {
    TargetReporting("?V1.0");
    RunWithoutFile();
    EXPECT_EQ(Messages(), Strings{"Check box to download code."});
    EXPECT_EQ(host.versionLabel(), kVersionCaption);
}

TEST_F(RunStart, BaudAndPortListsChooseLineSettingsAndPortNumber) {
    // No baud chosen keeps the line settings; the port number is the list position plus one.
    const std::tuple<int, int, Strings> cases[] = {
        {9, 0, {"setXonXoff", "setLineSettings 115200,n,8,1", "setPortNumber 1", "open"}},
        {7, 7, {"setXonXoff", "setLineSettings 56000,n,8,1", "setPortNumber 8", "open"}},
        {-1, 0, {"setXonXoff", "setPortNumber 1", "open"}}};
    for (const auto& [baud, portIndex, expected] : cases) {
        SCOPED_TRACE(baud);
        Rig run(clock);
        run.host.controls().flashCheck = 0;
        run.host.controls().baudIndex = baud;
        run.host.controls().comPortIndex = portIndex;
        EXPECT_EQ(run.Run(), RunEnd::NoFileChosen);
        const auto& log = run.port.log();
        ASSERT_GE(log.size(), expected.size());
        EXPECT_EQ(Strings(log.begin(), log.begin() + std::ssize(expected)), expected);
    }
}

// A failure at each set-up step ends in the port error, with nothing written and the port left as
// it was. No port chosen gives port number 0, which the port refuses.
struct SetUpFailure {
    const char* name;
    std::optional<PortOp> op; // none: no port chosen
    bool portOpenBefore;
    const char* failedEntry;
};

class PortSetUpFailure : public Scenario, public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(PortSetUpFailure, EndsWithTheComPortMessage) {
    const auto& step = GetParam();
    Flash(2);
    if (step.portOpenBefore)
        port.open();
    std::string reason = step.op ? "Device or resource busy" : "Invalid argument";
    if (step.op)
        port.failOn(*step.op, 1, reason);
    else
        host.controls().comPortIndex = -1;

    EXPECT_EQ(Run(/*expectPortClosed=*/false).end, RunEnd::PortError);
    EXPECT_EQ(result.reason, reason);
    EXPECT_TRUE(port.writes().empty());
    EXPECT_EQ(port.log().back(), step.failedEntry);
    EXPECT_EQ(port.opens(), step.portOpenBefore ? 1 : 0);
    EXPECT_EQ(host.log(), kPortFailureLog);
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_NE(host.messages()[0].detail.find(reason), std::string::npos);
    // Only a port found open and failing to close stays open.
    EXPECT_EQ(port.isOpen(), step.op == PortOp::Close);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PortSetUpFailure,
    ::testing::Values(SetUpFailure{"Close", PortOp::Close, true, "close FAILED"},
                      SetUpFailure{"Flow", PortOp::SetXonXoff, false, "setXonXoff FAILED"},
                      SetUpFailure{"Settings", PortOp::SetLineSettings, false,
                                   "setLineSettings 19200,n,8,1 FAILED"},
                      SetUpFailure{"PortNumber", PortOp::SetPortNumber, false,
                                   "setPortNumber 1 FAILED"},
                      SetUpFailure{"OpenInUse", PortOp::Open, false, "open FAILED"},
                      SetUpFailure{"NoPortChosen", std::nullopt, false, "setPortNumber 0 FAILED"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunStart, APortLeftOpenIsClosedFirstAndAnEarlierCancelIsCleared) {
    Target();
    port.open();
    host.state().CancelRequested = true;
    RunWithoutFile();
    EXPECT_EQ(port.log()[1], "close");
    EXPECT_EQ(port.log()[2], "setXonXoff");
}

TEST_F(RunStart, ExitDuringTheRunPassesThrough) {
    Target({.neverReady = true});
    FlashImage(ImageLines(2));
    host.at(clock.now() + 20s, [] { throw engine::RunAbandoned{}; });
    EXPECT_THROW(engine::DownloadFirmware(host.state(), host, port, clock), engine::RunAbandoned);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RunStart, ExitPassesEvenTheEndWaitThatKeepsAVerdict) {
    Flash(2, LineScript().finalLine(2));
    port.throwOn(PortOp::WaitForInput, 1, std::make_exception_ptr(engine::RunAbandoned{}));
    EXPECT_THROW(engine::DownloadFirmware(host.state(), host, port, clock), engine::RunAbandoned);
    EXPECT_TRUE(Messages().empty());
}

} // namespace
} // namespace tavo::test
