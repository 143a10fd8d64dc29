#include "cli/ExitCode.h"

#include <gtest/gtest.h>

#include <set>

namespace tavo::test {
namespace {

using engine::RunEnd;
using namespace flash;

// Kinds of failure that a script must tell apart get distinct codes, none of them 0 or the usage
// code, and every one of them documented (the table also lists 0 and 64, each once).
TEST(ExitCodeTest, FailuresGetDistinctDocumentedCodes) {
    std::set<int> documented;
    for (const auto& doc : ExitCodeTable()) {
        EXPECT_TRUE(documented.insert(doc.code).second) << doc.code;
        EXPECT_FALSE(doc.meaning.empty());
    }
    EXPECT_TRUE(documented.count(kExitUsage));
    EXPECT_TRUE(documented.count(0));
    EXPECT_EQ(ExitCodeFor(RunEnd::Success, false), 0);
    std::set<int> codes;
    for (auto end : {RunEnd::CompletedWithErrors, RunEnd::Declined, RunEnd::NoEndOfFileAnswer,
                     RunEnd::NoResponse, RunEnd::PortError, RunEnd::DownloadError,
                     RunEnd::OpenError, RunEnd::Cancelled, RunEnd::EepromRefused,
                     RunEnd::NoFileChosen, RunEnd::TimedOut, RunEnd::VerifyFailed}) {
        SCOPED_TRACE(static_cast<int>(end));
        int code = ExitCodeFor(end, false);
        EXPECT_NE(code, 0);
        EXPECT_NE(code, kExitUsage);
        EXPECT_TRUE(codes.insert(code).second) << "shared code " << code;
        EXPECT_TRUE(documented.count(code));
    }
    // A path that is missing and one that cannot be opened are both file errors; a port that
    // cannot be closed is a port error.
    // An image too long to send is the image's fault, not the port's.
    EXPECT_EQ(ExitCodeFor(RunEnd::Refused, false), ExitCodeFor(RunEnd::OpenError, false));
    EXPECT_EQ(ExitCodeFor(RunEnd::ImageTooLong, false), ExitCodeFor(RunEnd::OpenError, false));
    EXPECT_EQ(ExitCodeFor(RunEnd::CloseError, false), ExitCodeFor(RunEnd::PortError, false));
}

// A board that succeeded while its record was lost is no success; a failure keeps its own code.
TEST(ExitCodeTest, ALostRecordTurnsOnlyASuccessIntoItsOwnCode) {
    EXPECT_EQ(WithRecordOutcome(kExitSuccess, true), kExitSuccess);
    EXPECT_EQ(WithRecordOutcome(kExitSuccess, false), kExitRecordFailed);
    EXPECT_EQ(WithRecordOutcome(kExitNoResponse, false), kExitNoResponse);
}

TEST(ExitCodeTest, CtrlCAtAQuestionCountsAsCancelNotAsStop) {
    EXPECT_EQ(ExitCodeFor(RunEnd::Declined, true), kExitCancelled);
    EXPECT_EQ(ExitCodeFor(RunEnd::Cancelled, true), kExitCancelled);
    // A run that got to its end despite Ctrl+C (the end-of-file wait ignores it) reports its
    // real outcome.
    EXPECT_EQ(ExitCodeFor(RunEnd::Success, true), kExitSuccess);
    EXPECT_EQ(ExitCodeFor(RunEnd::NoEndOfFileAnswer, true), kExitNoEndOfFileAnswer);
}

} // namespace
} // namespace tavo::test
