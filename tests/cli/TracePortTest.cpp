#include "cli/TracePort.h"
#include "engine/RunError.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePort.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tavo::test {
namespace {

TEST(QuoteBytesTest, BytesAreQuotedSoEveryByteCanBeReadBack) {
    using flash::QuoteBytes;
    EXPECT_EQ(QuoteBytes(":100000000C94"), "\":100000000C94\"");
    EXPECT_EQ(QuoteBytes("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(QuoteBytes("\r\n\t"), "\"\\r\\n\\t\"");
    EXPECT_EQ(QuoteBytes(std::string("\x00\x11\x13\x7f\xff", 5)), "\"\\x00\\x11\\x13\\x7F\\xFF\"");
    EXPECT_EQ(QuoteBytes(""), "\"\"");
}

class TracePortTest : public ::testing::Test {
protected:
    FakeClock clock;
    FakePort port{clock};
    std::ostringstream log;
    std::chrono::microseconds now{5'000'000};
    flash::TracePort trace{port, log, [this] { return now; }};
};

TEST_F(TracePortTest, LogsBothDirectionsWithTheTimeSinceTheStart) {
    trace.setXonXoff();
    trace.setLineSettings("56000,n,8,1");
    trace.setPortNumber(2);
    trace.open();
    now += std::chrono::microseconds(1'234);
    trace.write("$@&$");
    port.deliverIn(Millis(0), "^?V1.28");
    EXPECT_EQ(trace.takeWaiting(), "^?V1.28");
    EXPECT_EQ(trace.takeWaiting(), ""); // nothing taken, nothing logged
    now += std::chrono::seconds(2);
    trace.close();

    EXPECT_EQ(log.str(), "     0.000000 # xon/xoff\n"
                         "     0.000000 # line settings 56000,n,8,1\n"
                         "     0.000000 # port number 2\n"
                         "     0.000000 # open\n"
                         "     0.001234 > \"$@&$\"\n"
                         "     0.001234 < \"^?V1.28\"\n"
                         "     2.001234 # close\n");
    // The port behind it saw everything.
    EXPECT_EQ(port.written(), "$@&$");
    EXPECT_EQ(port.lineSettings(), "56000,n,8,1");
}

TEST_F(TracePortTest, FailuresAreLoggedAndPassedOn) {
    trace.open();
    port.vanishAfterWrites(0);
    EXPECT_THROW(trace.write(":10000000"), engine::RunError);
    EXPECT_NE(log.str().find("> \":10000000\"\n"), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("# write failed: "), std::string::npos) << log.str();
}

} // namespace
} // namespace tavo::test
