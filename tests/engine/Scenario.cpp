#include "tests/engine/Scenario.h"

#include <algorithm>

namespace tavo::test {

::testing::AssertionResult InOrder(const Strings& actual, const Strings& expected) {
    auto at = actual.begin();
    for (const auto& entry : expected) {
        auto found = std::find(at, actual.end(), entry);
        if (found == actual.end()) {
            auto failure = ::testing::AssertionFailure()
                           << "missing in order: \"" << entry << "\"\nactual:";
            for (const auto& line : actual)
                failure << "\n  " << line;
            return failure;
        }
        at = found + 1;
    }
    return ::testing::AssertionSuccess();
}

std::string Scenario::FlashImage(const Strings& lines, const std::string& end) {
    auto path = dir.write("app.hex", Join(lines, end));
    host.controls().applicationFile = path;
    host.controls().flashCheck = 1;
    return path;
}

std::string Scenario::EepromImage(const Strings& lines, const std::string& end) {
    auto path = dir.write("data.eep", Join(lines, end));
    host.controls().eepromFile = path;
    host.controls().eepromCheck = 1;
    return path;
}

RunResult RunChecked(FakeHost& host, FakePort& port, FakeClock& clock, bool expectPortClosed,
                     const engine::RunOptions& options) {
    auto result = engine::DownloadFirmware(host.state(), host, port, clock, options);
    EXPECT_FALSE(host.busy()) << "the window is left busy";
    if (expectPortClosed) {
        EXPECT_FALSE(port.isOpen()) << "the port is left open";
    }
    EXPECT_EQ(host.unansweredQuestions(), 0) << "a scripted answer was never asked for";
    return result;
}

Strings LinesSent(const FakeBootloader& target) {
    Strings lines;
    for (const auto& line : target.lines())
        lines.push_back(line.text);
    return lines;
}

Strings Scenario::WritesAfterHandshake() const {
    auto handshakes = target ? target->handshakeChunks().size() : 0;
    const auto& writes = port.writes();
    return {writes.begin() + static_cast<std::ptrdiff_t>(std::min(handshakes, writes.size())),
            writes.end()};
}

} // namespace tavo::test
