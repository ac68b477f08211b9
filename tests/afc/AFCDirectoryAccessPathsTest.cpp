#include "afc/AfcFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Fault = SimulatedFileSystem::Fault;

PlistDate dateAt(double secondsSince1970) { return PlistDate{secondsSince1970 - 978307200.0}; }

class AFCPathsTest : public testing::AfcFixture {};

using AFCPathArguments = AFCPathsTest;

TEST_F(AFCPathArguments, NullsAreRefusedFirstToLastAndBeforeTheConnectionGuard) {
    afc->close();
    sim->clearCalls();
    auto textAfter = [&](bool result) {
        EXPECT_FALSE(result);
        return afc->lastError().value_or("(none)");
    };
    EXPECT_EQ(textAfter(afc->directoryContents(std::nullopt).has_value()), "Input path is nil");
    EXPECT_EQ(textAfter(afc->recursiveDirectoryContents(std::nullopt).has_value()), "Input path is nil");
    EXPECT_EQ(textAfter(afc->mkdir(std::nullopt)), "Input path is nil");
    EXPECT_EQ(textAfter(afc->unlink(std::nullopt)), "Input path is nil");
    EXPECT_EQ(textAfter(afc->renameTo(std::nullopt, std::nullopt)), "Old path is nil");
    EXPECT_EQ(textAfter(afc->renameTo("/a", std::nullopt)), "New path is nil");
    EXPECT_EQ(textAfter(afc->linkTo(std::nullopt, std::nullopt)), "Path is nil");
    EXPECT_EQ(textAfter(afc->symlinkTo("/a", std::nullopt)), "Target is nil");
    EXPECT_EQ(textAfter(afc->setmodtimeTo(std::nullopt, std::nullopt)), "Path is nil");
    EXPECT_EQ(textAfter(afc->setmodtimeTo("/a", std::nullopt)), "timestamp is nil");
    EXPECT_EQ(textAfter(afc->renameTo("/a", "/b")), "Connection is not open");
    EXPECT_EQ(textAfter(afc->setmodtimeTo("/a", dateAt(0))), "Connection is not open");
    EXPECT_EQ(textAfter(afc->recursiveDirectoryContents("/").has_value()), "Connection is not open");
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

using AFCPathOperations = AFCPathsTest;

TEST_F(AFCPathOperations, EachMakesItsPlatformCallAndReportsItsStatus) {
    afc->setLastError("earlier");
    EXPECT_TRUE(afc->mkdir("/D"));
    EXPECT_FALSE(afc->lastError());
    EXPECT_FALSE(afc->mkdir("/D"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryCreate failed: Return code = 0x0010");
    files->addFile("/D/f", "data");
    EXPECT_TRUE(afc->renameTo("/D/f", "/D/g"));
    EXPECT_TRUE(afc->linkTo("/D/hard", "/D/g"));
    EXPECT_TRUE(afc->symlinkTo("/D/soft", "g"));
    EXPECT_TRUE(afc->unlink("/D/g"));
    EXPECT_FALSE(afc->unlink("/D/g"));
    EXPECT_EQ(afc->lastError(), "AFCRemovePath failed: Return code = 0x0008");
    EXPECT_THAT(calls(), ElementsAre("AFCDirectoryCreate(afc#1, \"/D\")", "AFCDirectoryCreate(afc#1, \"/D\")",
                                     "AFCRenamePath(afc#1, \"/D/f\", \"/D/g\")",
                                     "AFCLinkPath(afc#1, 1, \"/D/g\", \"/D/hard\")",
                                     "AFCLinkPath(afc#1, 2, \"g\", \"/D/soft\")", "AFCRemovePath(afc#1, \"/D/g\")",
                                     "AFCRemovePath(afc#1, \"/D/g\")"));
    EXPECT_EQ(files->contents("/D/hard"), "data");
    EXPECT_EQ(files->linkTarget("/D/soft"), "g");
}

using AFCDirectoryListing = AFCPathsTest;

TEST_F(AFCDirectoryListing, KeepsTheDeviceOrderAndDotNamesButSkipsDotAndDotDot) {
    for (auto name : {"b", ".hidden", "...", "a"}) files->addFile(std::string("/D/") + name);
    files->addDirectory("/E");
    afc->setLastError("earlier");
    EXPECT_THAT(*afc->directoryContents("/D"), ElementsAre("b", ".hidden", "...", "a"));
    EXPECT_FALSE(afc->lastError());
    EXPECT_THAT(*afc->directoryContents("/E"), IsEmpty());
    EXPECT_EQ(sim->openDirectories(), 0);
}

TEST_F(AFCDirectoryListing, APlainFileFailsWithTheOpenStatus) {
    files->addFile("/f");
    EXPECT_FALSE(afc->directoryContents("/f"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x0004");
}

TEST_F(AFCDirectoryListing, AFailedReadEndsTheListingWithWhatWasRead) {
    for (auto name : {"a", "b", "c"}) files->addFile(std::string("/D/") + name);
    files->inject(Fault("AFCDirectoryRead", 20).after(3));  // ".", ".." and "a"
    EXPECT_THAT(*afc->directoryContents("/D"), ElementsAre("a"));
    EXPECT_EQ(sim->openDirectories(), 0);
}

using AFCTreeListing = AFCPathsTest;

TEST_F(AFCTreeListing, ListsEveryPathOnceSortedWithDirectoriesMarked) {
    files->addFile("/A/f");
    files->addDirectory("/A/D");
    files->addFile("/A/x.txt");
    files->addFile("/A/x/y");
    files->addFile("/A/B");
    files->addFile("/A/a");
    afc->setLastError("earlier");
    EXPECT_THAT(*afc->recursiveDirectoryContents("/A"),
                ElementsAre("/A/", "/A/B", "/A/D/", "/A/a", "/A/f", "/A/x.txt", "/A/x/", "/A/x/y"));
    EXPECT_EQ(afc->lastError(), "earlier");
    EXPECT_EQ(count("AFCDirectoryOpen"), 8);
    EXPECT_EQ(sim->peakOpenDirectories(), 1);
    EXPECT_EQ(sim->openDirectories(), 0);
}

TEST_F(AFCTreeListing, StartsOnAFileOrOnTheRootAsGiven) {
    files->addFile("/f");
    EXPECT_THAT(*afc->recursiveDirectoryContents("/f"), ElementsAre("/f"));
    EXPECT_THAT(*afc->recursiveDirectoryContents("/"), ElementsAre("//", "//f"));
}

TEST_F(AFCTreeListing, SortsByUtf16CodeUnitsAndKeepsNamesThatAreNotUtf8) {
    files->addFile("/A/\xef\xbc\xa1");      // U+FF21
    files->addFile("/A/\xf0\x9f\x98\x80");  // U+1F600, a surrogate pair in UTF-16
    files->addFile("/A/\xff");
    files->addFile("/A/z");
    EXPECT_THAT(*afc->recursiveDirectoryContents("/A"),
                ElementsAre("/A/", "/A/z", "/A/\xf0\x9f\x98\x80", "/A/\xff", "/A/\xef\xbc\xa1"));
}

TEST_F(AFCTreeListing, ADirectoryThatCannotBeOpenedFailsTheWholeListingAtOnce) {
    files->addFile("/A/a");
    files->addFile("/A/B/b");
    files->addFile("/A/C/c");
    files->inject(Fault("AFCDirectoryOpen", 10).onPath("/A/B"));
    afc->setLastError("earlier");
    EXPECT_FALSE(afc->recursiveDirectoryContents("/A"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x000A");
    for (const auto& call : calls()) EXPECT_EQ(call.find("/A/C"), std::string::npos) << call;
}

TEST_F(AFCTreeListing, AnEntryThatCannotBeFoundIsALeafButAMissingStartFails) {
    files->addFile("/A/f");
    files->addSymbolicLink("/A/dangling", "/A/nowhere");
    files->addSymbolicLink("/A/D/deeper", "missing");
    files->addFile("/A/gone");
    files->inject(Fault("AFCDirectoryOpen", 8).onPath("/A/gone"));  // removed once listed
    EXPECT_THAT(afc->recursiveDirectoryContents("/A").value_or(AFCDirectoryAccess::Names{}),
                ElementsAre("/A/", "/A/D/", "/A/D/deeper", "/A/dangling", "/A/f", "/A/gone"));
    for (const char* start : {"/A/nowhere", "/A/dangling"}) {
        EXPECT_FALSE(afc->recursiveDirectoryContents(start));
        EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x0008");
    }
}

TEST_F(AFCTreeListing, ALinkBackToAnEnclosingDirectoryEndsInAFailure) {
    files->addFile("/A/f");
    files->addSymbolicLink("/A/loop", "/A");
    EXPECT_FALSE(afc->recursiveDirectoryContents("/A"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x0001");
    EXPECT_EQ(sim->openDirectories(), 0);
}

TEST_F(AFCTreeListing, ATreeDeeperThanTheBoundFailsWithoutRecursingForIt) {
    std::string deepest = "/t";
    for (int i = 0; i < 600; ++i) deepest += "/d";
    files->addDirectory(deepest);
    files->setKeepsLimits(false);  // no device's paths reach that deep
    EXPECT_FALSE(afc->recursiveDirectoryContents("/t"));
    std::string bound = "/t";
    for (int i = 0; i < AFCDirectoryAccess::kMaxTreeDepth; ++i) bound += "/d";
    EXPECT_EQ(afc->lastError(), "Directory tree deeper than 512 levels at " + bound);
    EXPECT_EQ(count("AFCDirectoryOpen"), AFCDirectoryAccess::kMaxTreeDepth + 1);
}

using AFCSetModTime = AFCPathsTest;

TEST_F(AFCSetModTime, SendsTheDateInNanosecondsOverTheWholeUnsignedRange) {
    files->addFile("/f");
    auto sent = [&](double seconds) {
        sim->clearCalls();
        EXPECT_TRUE(afc->setmodtimeTo("/f", dateAt(seconds)));
        return sim->calls().at(0).args.at(1);
    };
    EXPECT_EQ(sent(0), "0");
    EXPECT_EQ(sent(1.5), "1500000000");
    EXPECT_EQ(sent(-1), "18446744072709551616");            // 2^64 - 10^9
    EXPECT_EQ(sent(1e10), "10000000000000000000");         // past 2^63, top bit set
    EXPECT_EQ(sent(2e10), "0");                            // past 2^64
    EXPECT_EQ(sent(-1e10), "9223372036854775808");         // at or below -2^63
    EXPECT_EQ(files->modificationTime("/f"), 9223372036854775808ull);
    EXPECT_THAT(sim->callNames(), ElementsAre("AFCOperationCreateSetModTime", "AFCConnectionGetIOTimeout",
                                              "AFCConnectionProcessOperation", "AFCOperationGetResultStatus"));
    EXPECT_EQ(sim->calls()[0].args[2], fmt::format("{}", static_cast<void*>(afc.get())));
    EXPECT_EQ(sim->calls()[2].args[2], "30");  // the connection's I/O time-out
    EXPECT_EQ(sim->liveOperations(), 0);
}

TEST_F(AFCSetModTime, AFailedResultTakesTheDevicesMessageOrSaysThereIsNone) {
    auto failure = [&](SimulatedFileSystem::ErrorInfo info, std::int32_t status) {
        files->setErrorInfo(info);
        files->inject(Fault("AFCSetModTime", status));
        EXPECT_FALSE(afc->setmodtimeTo("/", dateAt(0)));
        return afc->lastError().value_or("(none)");
    };
    EXPECT_EQ(failure(SimulatedFileSystem::ErrorInfo::WithDescription, 8), "No such file or directory");
    EXPECT_EQ(failure(SimulatedFileSystem::ErrorInfo::WithoutDescription, 8), "Error 8 occurred, no message");
    EXPECT_EQ(failure(SimulatedFileSystem::ErrorInfo::None, -1), "Error 4294967295 occurred, no error info");
    EXPECT_EQ(sim->liveOperations(), 0);
}

TEST_F(AFCSetModTime, AnOperationThatCannotBeMadeOrProcessedFailsWithItsText) {
    sim->forceStatus("AFCOperationCreateSetModTime", 1);
    EXPECT_FALSE(afc->setmodtimeTo("/", dateAt(0)));
    EXPECT_EQ(afc->lastError(), "AFCOperationCreateSetModTime() failed");
    sim->forceStatus("AFCConnectionProcessOperation", 5);
    EXPECT_FALSE(afc->setmodtimeTo("/", dateAt(0)));
    EXPECT_EQ(afc->lastError(), "AFCConnectionProcessOperation failed: Return code = 0x0005");
    EXPECT_EQ(sim->liveOperations(), 0);
}

} // namespace
} // namespace keldo
