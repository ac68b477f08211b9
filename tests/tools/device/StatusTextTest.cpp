#include "tools/device/StatusText.h"

#include "tools/device/ToolFixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace keldo {
namespace {

TEST(StatusText, ReadsTheStatusInEachLibraryClasssForm) {
    // AFCDirectoryAccess "0x%04X", AMDevice "%x", AFCFileReference "%d" (signed).
    EXPECT_EQ(StatusText::explain("AFCRemovePath failed: Return code = 0xE8004021"),
              "directory not empty [AFCRemovePath 0xE8004021]");
    EXPECT_EQ(StatusText::explain("AFCFileInfoOpen failed: Return code = 0x0008"),
              "no such file or directory [AFCFileInfoOpen 0x0008]");
    EXPECT_EQ(StatusText::explain("AMDeviceStartSession failed: e8006005"),
              "not paired with this computer [AMDeviceStartSession 0xE8006005]");
    EXPECT_EQ(StatusText::explain("AFCFileRefRead failed: -402628600"), "timed out [AFCFileRefRead 0xE8006008]");
    EXPECT_EQ(StatusText::explain("AFCFileRefWrite failed: 20"), "I/O error [AFCFileRefWrite 0x0014]");
    EXPECT_EQ(StatusText::explain("AFCRemovePath failed: Return code = 0x0018"), "failed [AFCRemovePath 0x0018]");
}

TEST(StatusText, LeavesTextsWithoutAStatusAsTheyAre) {
    for (const char* text : {"Won't overwrite existing file", "Connection is not open", "X failed: Return code = 0x",
                             "AFCFileRefRead failed: 0", "AFCFileRefRead failed: 12abc", "AMDeviceConnect failed: -5",
                             "Can't write output file: open failed: 12", " failed: 12"}) {
        EXPECT_EQ(StatusText::explain(text), text);
    }
}

class StatusTextLocal : public testing::ToolFixture {};

TEST_F(StatusTextLocal, SaysWhyALocalPathCantBeWritten) {
    EXPECT_EQ(StatusText::whyNotWritable(local("missing/file")), local("missing") + ": no such file or directory");
    std::ofstream(local("plain")) << "x";
    EXPECT_EQ(StatusText::whyNotWritable(local("plain/file")), local("plain") + " is not a directory");
    EXPECT_FALSE(StatusText::whyNotWritable(local("file")));
    EXPECT_FALSE(StatusText::whyNotWritable(dir));
}

} // namespace
} // namespace keldo
