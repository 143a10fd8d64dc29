// Bringing the target from its application to a ready bootloader, and the version it reports.
#include "tests/engine/Scenario.h"

#include <algorithm>

namespace tavo::test {
namespace {

class Handshake : public Scenario {
protected:
    // A Flash-only run with a two-line image, so that a ready bootloader gets a file.
    void SetUp() override { FlashImage(ImageLines(2)); }
};

TEST_F(Handshake, SilentTargetGetsThreeTriesThenNoResponse) {
    auto start = clock.now();

    EXPECT_EQ(Run().end, RunEnd::NoResponse);
    EXPECT_EQ(port.writes(), (Strings{kHandshakeWrite, kHandshakeWrite, kHandshakeWrite}));
    // Each try: the write, a 1-second pause, then up to 6 seconds for an answer.
    EXPECT_EQ(port.writeTimes(), (std::vector<Millis>{start, start + 7s, start + 14s}));
    EXPECT_EQ(clock.now(), start + 21s);
    EXPECT_EQ(host.statuses(), (Strings{"Initializing the com port", kTry1, kTry2, kTry3}));
    EXPECT_EQ(Messages(), Strings{"No response from target bootloader."});
    EXPECT_EQ(port.log().back(), "close");
    EXPECT_TRUE(InOrder(host.log(), {"label16: BootLoader Version: ", "label16 shown",
                                     "message: No response from target bootloader.", "idle"}));
    EXPECT_EQ(host.versionLabel(), kVersionCaption);
    EXPECT_TRUE(host.versionLabelVisible());
    EXPECT_FALSE(host.logHas("label16 hidden"));
}

TEST_F(Handshake, TriesStartedLateInASecondAreShorter) {
    clock.advanceBy(900ms);
    auto start = clock.now();
    Run();
    // The pause ends on the next whole second (0.1 s), the answer wait 6 s after that. Later tries
    // start on whole seconds and last the full 7 seconds.
    EXPECT_EQ(port.writeTimes(), (std::vector<Millis>{start, start + 6100ms, start + 13100ms}));
    EXPECT_EQ(clock.now(), start + 20100ms);
}

TEST_F(Handshake, ApplicationAnswersThenBootloaderIsReady) {
    Target({}, LineScript().finalLine(2));

    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(target->handshakeChunks(), (Strings{kHandshakeWrite, kHandshakeWrite}));
    // The "^" is still in the buffer at the second try.
    EXPECT_TRUE(
        InOrder(host.log(), {"label16: BootLoader Version: ", "label16 shown", Status(kTry1),
                             Status(kSwitching), Status(kTry2), Status(kSwitching),
                             "label16: BootLoader Version: 1.3", "label16 shown"}));
    EXPECT_EQ(host.versionLabel(), "BootLoader Version: 1.3");
    // The answer ends the 6-second wait at once: the second try follows the 1-second pause.
    EXPECT_EQ(port.writeTimes()[1] - port.writeTimes()[0], 1000ms);
}

TEST_F(Handshake, ActiveWithoutReadyKeepsTryingUntilCancel) {
    Target({.neverReady = true});
    host.clickCancelAt(clock.now() + 60s);

    EXPECT_EQ(Run().end, RunEnd::Cancelled);
    EXPECT_TRUE(Messages().empty());
    EXPECT_GE(port.writeCount(), 55) << "one try a second, never giving up";
    auto statuses = host.statuses();
    EXPECT_EQ(statuses[1], kTry1);
    for (std::size_t i = 2; i < statuses.size(); i += 2) {
        EXPECT_EQ(statuses[i], kSwitching);
        if (i + 1 < statuses.size()) {
            EXPECT_EQ(statuses[i + 1], kTry2) << "every later try shows #2";
        }
    }
    EXPECT_EQ(host.log().back(), "idle");
    EXPECT_EQ(port.log().back(), "close");
}

TEST_F(Handshake, CancelIsSeenAtTheTopOfTheNextTry) {
    Target({.neverReady = true});
    host.clickCancelOnStatus(kSwitching);
    EXPECT_EQ(Run().end, RunEnd::Cancelled);
    EXPECT_EQ(port.writeCount(), 1);
    EXPECT_EQ(host.statuses().back(), kSwitching);
}

TEST_F(Handshake, SettingsChangedDuringTheHandshakeApplyFromTheNextTry) {
    // As if File > Open loaded other protocol strings while the run waits.
    host.at(clock.now() + 3s, [this] { host.controls().jumpCommand = "!"; });
    Run();
    EXPECT_EQ(port.writes(), (Strings{kHandshakeWrite, "!@&$", "!@&$"}));
}

TEST_F(Handshake, CancelDuringThePauseActsAtTheAnswerWait) {
    auto start = clock.now();
    host.clickCancelAt(start + 500ms);
    EXPECT_EQ(Run().end, RunEnd::Cancelled);
    EXPECT_EQ(port.writeCount(), 1);
    EXPECT_EQ(clock.now(), start + 1s) << "the pause has no cancel test";
    EXPECT_TRUE(Messages().empty());
}

TEST_F(Handshake, VersionIsReadAfterTheFirstMarkerAndShownFromOnePointThree) {
    // A marker in the application's answer comes first. "?V1" ends the answer wait and ".3" comes
    // after the version was taken; version 1 gets the old line protocol, so every row sends each
    // line once. Below 1.3 the label keeps the bare caption.
    const std::tuple<const char*, FakeBootloader::Options, Strings> cases[] = {
        {"NoVersion", {.ready = Answer("?")}, {kVersionCaption}},
        {"MarkerBeforeReady",
         {.active = Answer("^V2.0"), .ready = Answer("?V1.0")},
         {kVersionCaption, "BootLoader Version: 2"}},
        {"SplitOverTwoReads",
         {.ready = {Delivery{20ms, "?V1"}, Delivery{1500ms, ".3"}}},
         {kVersionCaption}}};
    for (const auto& [name, options, labels] : cases) {
        SCOPED_TRACE(name);
        Rig run(clock, options, LineScript().finalLine(2));
        run.host.controls() = host.controls();
        EXPECT_EQ(run.Run(), RunEnd::Success);
        EXPECT_EQ(run.host.entries("label16: "), labels);
        EXPECT_EQ(run.host.versionLabel(), labels.back());
        EXPECT_EQ(run.LinesSent(), ImageLines(2));
    }
}

TEST_F(Handshake, AVersionBeyondSinglePrecisionIsADownloadError) {
    Target({.ready = Answer("?V1e39")});
    EXPECT_EQ(Run().end, RunEnd::DownloadError);
    EXPECT_EQ(Messages(), Strings{std::string(kDownloadError) + " [warning]"});
    EXPECT_EQ(port.writeCount(), 2) << "nothing after the handshake";
}

TEST_F(Handshake, AReadyLimitEndsTheEndlessWaitAsNoResponse) {
    // Set by a front end with nobody to press Cancel; seen at the latest after a try's pause.
    Target({.neverReady = true});
    runOptions.readyLimit = 60s;
    auto start = clock.now();
    EXPECT_EQ(Run().end, RunEnd::NoResponse);
    EXPECT_EQ(Messages(), Strings{"No response from target bootloader."});
    EXPECT_GE(clock.now() - start, 60s);
    EXPECT_LE(clock.now() - start, 61s);
}

TEST_F(Handshake, VersionBelowEepromSupportRefusesAndSendsNothing) {
    // A port that fails to close after the refusal adds no second message.
    for (const char* version : {"?V1.29", "?V0", "?", "?V1.28 close fails"}) {
        SCOPED_TRACE(version);
        const bool closeFails = std::string_view(version).ends_with("fails");
        Rig run(clock, {.ready = Answer(version)});
        if (closeFails)
            run.port.failOn(PortOp::Close, 1);
        run.host.controls() = host.controls();
        run.host.controls().eepromFile = dir.write("e.eep", Join(ImageLines(2, 'E')));
        run.host.controls().eepromCheck = 1;
        EXPECT_EQ(RunChecked(run.host, run.port, clock, !closeFails, {}).end,
                  RunEnd::EepromRefused);
        EXPECT_TRUE(InOrder(run.host.log(),
                            {"eeprom controls off", "uncheck eeprom",
                             "message: Embedded Bootloader Version does not support EEPROM write.",
                             "idle"}));
        ASSERT_EQ(run.host.messages().size(), 1u);
        EXPECT_EQ(run.host.messages()[0].icon, MessageIcon::None);
        EXPECT_EQ(run.host.controls().eepromCheck, 0);
        EXPECT_TRUE(run.host.eepromControlsEnabled());
        EXPECT_TRUE(run.port.log().back().starts_with("close"));
        EXPECT_EQ(run.port.writes().size(), run.target.handshakeChunks().size())
            << "nothing after the handshake, not even the application file";
        EXPECT_EQ(run.host.versionLabel(), kVersionCaption);
    }
}

TEST_F(Handshake, VersionOnePointThreeAcceptsEeprom) {
    TargetReporting("?V1.3", LineScript().finalLine(4));
    EepromImage(ImageLines(2, 'E'));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(host.controls().eepromCheck, 1);
    EXPECT_EQ(host.versionLabel(), "BootLoader Version: 1.3");
}

TEST_F(Handshake, ProtocolStringsAreUsedWhole) {
    host.controls().jumpCommand = "JUMP";
    host.controls().startDownloadSequence = "GO!";
    host.controls().bootloaderActive = "ACTIVE";
    host.controls().bootloaderReady = "READY";
    // A lone "A" or "R" is not the active or ready string.
    Target({.active = Answer("A"), .ready = Answer("R")});
    EXPECT_EQ(Run().end, RunEnd::NoResponse);
    EXPECT_EQ(port.writes(), (Strings{"JUMPGO!", "JUMPGO!", "JUMPGO!"}));
    EXPECT_EQ(host.statuses(), (Strings{"Initializing the com port", kTry1, kTry2, kTry3}));
}

TEST_F(Handshake, LongActiveAndReadyStringsAreFound) {
    host.controls().bootloaderActive = "HELLO";
    host.controls().bootloaderReady = "READY";
    Target({.active = Answer("xHELLOx"), .ready = Answer("READY V1.3")}, LineScript().finalLine(2));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_TRUE(host.logHas(Status(kSwitching)));
    EXPECT_EQ(host.versionLabel(), "BootLoader Version: 1.3");
}

TEST_F(Handshake, EmptyReadySettingIsMetByAnyAnswer) {
    host.controls().bootloaderReady = "";
    Target();
    Run();
    // The application's "^" already counts as ready: one try, version 0.
    EXPECT_EQ(std::count(port.writes().begin(), port.writes().end(), kHandshakeWrite), 1);
    EXPECT_FALSE(host.logHas(Status(kTry2)));
    EXPECT_EQ(host.versionLabel(), kVersionCaption);
    EXPECT_EQ(port.writes().size(), 3u) << "one handshake write, then both lines";
}

TEST_F(Handshake, AWriteFailureIsADownloadError) {
    Target();
    port.failOn(PortOp::Write, 1, "Input/output error");
    EXPECT_EQ(Run().end, RunEnd::DownloadError);
    EXPECT_EQ(Messages(), Strings{std::string(kDownloadError) + " [warning]"});
    EXPECT_EQ(host.log().back(), "idle");
}

} // namespace
} // namespace tavo::test
