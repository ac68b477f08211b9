#include "tools/device/TransferReport.h"

#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"

#include <gtest/gtest.h>

namespace keldo {
namespace {

class TransferReportTest : public testing::ToolFixture {};

// Items finish in any order on several connections; what is said of them comes in the plan's.
TEST_F(TransferReportTest, SaysWhatItemsHaveToSayInTheirOrderWhateverFinishesFirst) {
    TransferReport report(console, true, false, {});
    report.start(30, 3);
    report.refused(2, "c", 1, 10, "in the way");
    report.complete(2);
    report.incomplete(1, "push b: no time");
    report.complete(1);
    EXPECT_EQ(errors(), "");
    report.refused(0, "a", 1, 10, "in the way");
    report.complete(0);
    EXPECT_EQ(errors(), "keldo-device: push a: in the way\nkeldo-device: push b: no time\n"
                        "keldo-device: push c: in the way\n");
    EXPECT_EQ(report.finish(), kExitPartial);
}

// A failure is the last word, below what the items before and after it had to say.
TEST_F(TransferReportTest, AFailureStopsTheJobAndComesLast) {
    TransferReport report(console, false, false, {});
    report.start(30, 3);
    report.failed(1, "/b", "I/O error");
    report.complete(1);
    EXPECT_TRUE(report.stopped());
    report.refused(2, "/c", 1, 10, "in the way");
    report.complete(2);
    report.moved(0, 1, 10);
    report.complete(0);
    EXPECT_EQ(report.finish(), kExitPartial);
    EXPECT_EQ(errors(), "keldo-device: pull /c: in the way\nkeldo-device: pull /b: I/O error\n");
}

} // namespace
} // namespace keldo
