#include "afc/AfcFixture.h"

#include <gmock/gmock.h>

#include <cstring>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Fault = SimulatedFileSystem::Fault;

class AFCFileReferenceTest : public testing::AfcFixture {
protected:
    std::string readAll(AFCFileReference& file, std::uint64_t chunk = 4) {
        std::string out;
        char buffer[64];
        while (std::uint64_t n = file.readNBytes(chunk, buffer)) out.append(buffer, n);
        return out;
    }
};

using AFCFileOpening = AFCFileReferenceTest;

TEST_F(AFCFileOpening, PassesTheModeThroughAndClearsTheConnectionsText) {
    files->addFile("/f", "abc");
    afc->setLastError("earlier");
    auto written = afc->openForWrite("/new");
    ASSERT_TRUE(written);
    EXPECT_FALSE(afc->lastError());
    EXPECT_FALSE(written->lasterror());
    EXPECT_EQ(files->kind("/new"), SimulatedFileSystem::Kind::File);
    EXPECT_TRUE(afc->openForRead("/f"));
    EXPECT_TRUE(afc->openForReadWrite("/f"));
    EXPECT_THAT(calls(), ElementsAre("AFCFileRefOpen(afc#1, \"/new\", 2)", "AFCFileRefOpen(afc#1, \"/f\", 1)",
                                     "AFCFileRefClose(afc#1, 2)", "AFCFileRefOpen(afc#1, \"/f\", 3)",
                                     "AFCFileRefClose(afc#1, 3)"));
}

TEST_F(AFCFileOpening, ARefusalANullPathOrAClosedConnectionGivesNoFile) {
    EXPECT_FALSE(afc->openForRead("/missing"));
    EXPECT_EQ(afc->lastError(), "AFCFileRefOpen failed: Return code = 0x0008");
    sim->clearCalls();
    EXPECT_FALSE(afc->openForWrite(std::nullopt));
    EXPECT_EQ(afc->lastError(), "Input path is nil");
    afc->close();
    EXPECT_FALSE(afc->openForReadWrite("/f"));
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_THAT(sim->callNames(), ElementsAre("AFCConnectionClose"));
}

using AFCFileAccess = AFCFileReferenceTest;

TEST_F(AFCFileAccess, WritesReadsSeeksTellsAndSizes) {
    auto file = afc->openForReadWrite("/f");
    ASSERT_TRUE(file);
    const std::string text = "hello world";
    EXPECT_TRUE(file->writeNSData({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
    std::uint64_t position = 0;
    EXPECT_TRUE(file->tell(position));
    EXPECT_EQ(position, 11u);
    EXPECT_TRUE(file->seek(6));
    EXPECT_EQ(readAll(*file), "world");
    EXPECT_FALSE(file->lasterror());  // the end of the file is no failure
    EXPECT_TRUE(file->seekMode(-5, 2));
    EXPECT_EQ(readAll(*file, 2), "world");
    EXPECT_TRUE(file->setFileSize(5));
    EXPECT_EQ(files->contents("/f"), "hello");
}

TEST_F(AFCFileAccess, AWriteOfNothingMakesNoCallAndLeavesTheText) {
    auto file = afc->openForWrite("/f");
    file->setLastError("earlier");
    sim->clearCalls();
    EXPECT_TRUE(file->writeNBytes(0, nullptr));
    EXPECT_TRUE(file->writeNSData({}));
    EXPECT_EQ(file->lasterror(), "earlier");
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

TEST_F(AFCFileAccess, AFailureSetsTheSignedStatusAndLeavesTheFileOpen) {
    files->addFile("/f", "abc");
    auto file = afc->openForRead("/f");
    files->inject(Fault("AFCFileRefRead", -1));
    char buffer[8];
    EXPECT_EQ(file->readNBytes(sizeof buffer, buffer), 0u);
    EXPECT_EQ(file->lasterror(), "AFCFileRefRead failed: -1");
    EXPECT_EQ(file->readNBytes(sizeof buffer, buffer), 3u);
    EXPECT_FALSE(file->lasterror());
    EXPECT_FALSE(file->writeNBytes(1, "x"));
    EXPECT_EQ(file->lasterror(), "AFCFileRefWrite failed: 10");
}

TEST_F(AFCFileAccess, LocksGoToTheDevice) {
    files->addFile("/f");
    auto first = afc->openForRead("/f");
    auto second = afc->openForRead("/f");
    EXPECT_TRUE(first->lockFile());
    EXPECT_FALSE(second->lockFile());
    EXPECT_EQ(second->lasterror(), "AFCFileRefLock failed: 17");
    EXPECT_TRUE(first->unLockFile());
    EXPECT_TRUE(second->lockFile());
    second.reset();
    EXPECT_FALSE(files->isLocked("/f"));
}

using AFCFileClosing = AFCFileReferenceTest;

TEST_F(AFCFileClosing, AFailedCloseKeepsTheFileOpenForAnotherTry) {
    auto file = afc->openForWrite("/f");
    void* reference = file->pointer();
    files->inject(Fault("AFCFileRefClose", 7));
    EXPECT_FALSE(file->closeFile());
    EXPECT_EQ(file->lasterror(), "AFCFileRefClose failed: 7");
    EXPECT_EQ(file->pointer(), reference);
    EXPECT_TRUE(file->closeFile());
    EXPECT_EQ(file->pointer(), nullptr);
    sim->clearCalls();
    EXPECT_FALSE(file->closeFile());
    EXPECT_EQ(file->lasterror(), "File is not open");
    std::uint64_t position = 42;
    EXPECT_FALSE(file->tell(position));
    EXPECT_EQ(position, 42u);
    EXPECT_EQ(file->readNBytes(1, &position), 0u);
    EXPECT_FALSE(file->writeNBytes(0, nullptr));
    file.reset();
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

TEST_F(AFCFileClosing, DestructionClosesAnOpenFile) {
    afc->openForWrite("/f").reset();
    EXPECT_EQ(count("AFCFileRefClose"), 1);
    EXPECT_EQ(files->openFiles(), 0u);
}

TEST_F(AFCFileClosing, AFileOutlivingItsConnectionFailsWithoutReachingThePlatform) {
    files->addFile("/f", "abc");
    auto file = afc->openForRead("/f");
    auto other = afc->openForRead("/f");
    afc->close();
    sim->clearCalls();
    char buffer[4];
    EXPECT_EQ(file->readNBytes(sizeof buffer, buffer), 0u);
    EXPECT_EQ(file->lasterror(), "Connection is not open");
    EXPECT_FALSE(file->closeFile());
    afc.reset();
    EXPECT_FALSE(other->lockFile());
    EXPECT_EQ(other->lasterror(), "Connection is not open");
    file.reset();
    other.reset();
    EXPECT_THAT(sim->callNames(), IsEmpty());
    EXPECT_EQ(files->openFiles(), 0u);  // the device ended them with the connection
}

} // namespace
} // namespace keldo
