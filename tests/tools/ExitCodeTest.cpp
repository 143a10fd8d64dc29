#include "tools/flash/ExitCode.h"

#include <gtest/gtest.h>

#include <set>

namespace tavo::test {
namespace {

using engine::RunEnd;
using namespace flash;

TEST(ExitCodeTest, KindsOfFailureThatAScriptMustTellApartGetDistinctCodes) {
    EXPECT_EQ(ExitCodeFor(RunEnd::Success, false), 0);
    const RunEnd failures[] = {RunEnd::CompletedWithErrors, RunEnd::Declined,
                               RunEnd::NoEndOfFileAnswer,   RunEnd::NoResponse,
                               RunEnd::PortError,           RunEnd::DownloadError,
                               RunEnd::OpenError,           RunEnd::Cancelled,
                               RunEnd::EepromRefused,       RunEnd::NoFileChosen};
    std::set<int> codes;
    for (auto end : failures) {
        int code = ExitCodeFor(end, false);
        EXPECT_NE(code, 0) << static_cast<int>(end);
        EXPECT_NE(code, kExitUsage) << static_cast<int>(end);
        EXPECT_TRUE(codes.insert(code).second) << "shared code " << code;
    }
    // A path that is missing and one that cannot be opened are both file errors; a port that
    // cannot be closed is a port error.
    EXPECT_EQ(ExitCodeFor(RunEnd::Refused, false), ExitCodeFor(RunEnd::OpenError, false));
    EXPECT_EQ(ExitCodeFor(RunEnd::CloseError, false), ExitCodeFor(RunEnd::PortError, false));
}

TEST(ExitCodeTest, CtrlCAtAQuestionCountsAsCancelNotAsStop) {
    EXPECT_EQ(ExitCodeFor(RunEnd::Declined, true), kExitCancelled);
    EXPECT_EQ(ExitCodeFor(RunEnd::Cancelled, true), kExitCancelled);
    // A run that got to its end despite Ctrl+C (the end-of-file wait ignores it) reports its
    // real outcome.
    EXPECT_EQ(ExitCodeFor(RunEnd::Success, true), kExitSuccess);
    EXPECT_EQ(ExitCodeFor(RunEnd::NoEndOfFileAnswer, true), kExitNoEndOfFileAnswer);
}

TEST(ExitCodeTest, DocumentedCodesAreDistinctAndCoverUsage) {
    std::set<int> codes;
    for (const auto& doc : ExitCodeTable()) {
        EXPECT_TRUE(codes.insert(doc.code).second) << doc.code;
        EXPECT_FALSE(doc.meaning.empty());
    }
    EXPECT_TRUE(codes.count(64));
    EXPECT_TRUE(codes.count(0));
}

} // namespace
} // namespace tavo::test
