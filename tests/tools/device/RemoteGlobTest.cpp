#include "tools/device/RemoteGlob.h"

#include "tools/device/ToolFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(RemoteGlobMatch, MatchesAsTheShellDoes) {
    EXPECT_TRUE(RemoteGlob::matches("*.JPG", "IMG_0001.JPG"));
    EXPECT_FALSE(RemoteGlob::matches("*.JPG", "IMG_0001.JPEG"));
    EXPECT_TRUE(RemoteGlob::matches("IMG_000?.*", "IMG_0007.MOV"));
    EXPECT_TRUE(RemoteGlob::matches("[A-C]x[!0-9]", "Bxa"));
    EXPECT_FALSE(RemoteGlob::matches("[A-C]x[!0-9]", "Bx5"));
    EXPECT_TRUE(RemoteGlob::matches("[^a]", "b"));
    EXPECT_TRUE(RemoteGlob::matches("[]a]", "]"));
    EXPECT_TRUE(RemoteGlob::matches("a[-x]", "a-"));
    EXPECT_TRUE(RemoteGlob::matches("[[:digit:]][[:upper:]]", "7Q"));
    EXPECT_FALSE(RemoteGlob::matches("[[:digit:]]", "x"));
    // An unclosed "[" is itself; a backslash makes a special character ordinary.
    EXPECT_TRUE(RemoteGlob::matches("a[b", "a[b"));
    EXPECT_TRUE(RemoteGlob::matches("\\*\\?\\[x]", "*?[x]"));
    EXPECT_FALSE(RemoteGlob::matches("\\*", "a"));
    EXPECT_TRUE(RemoteGlob::matches("**a*b**", "xxaxxbxx"));
}

TEST(RemoteGlobMatch, TakesCharactersNotBytesAndNeverADotUnasked) {
    EXPECT_TRUE(RemoteGlob::matches("Caf?", "Caf\xC3\xA9"));
    EXPECT_TRUE(RemoteGlob::matches("[\xC3\xA0-\xC3\xBF]", "\xC3\xA9"));
    EXPECT_TRUE(RemoteGlob::matches("a?b", "a\xFF" "b"));  // a byte that is no UTF-8 is one character
    EXPECT_FALSE(RemoteGlob::matches("*", ".hidden"));
    EXPECT_FALSE(RemoteGlob::matches("?hidden", ".hidden"));
    EXPECT_TRUE(RemoteGlob::matches(".*", ".hidden"));
    EXPECT_FALSE(RemoteGlob::matches(".*", ".."));
    EXPECT_FALSE(RemoteGlob::matches("*", "."));
}

TEST(RemoteGlobMatch, CostsNoMoreThanThePatternTimesTheName) {
    const std::string name(255, 'a');
    EXPECT_FALSE(RemoteGlob::matches("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
}

TEST(RemoteGlobMatch, TellsAPatternFromAPath) {
    EXPECT_TRUE(RemoteGlob::isPattern("/DCIM/*/IMG_[0-9]*.JPG"));
    EXPECT_FALSE(RemoteGlob::isPattern("/DCIM/a\\*b"));
    EXPECT_FALSE(RemoteGlob::isPattern("/a[b/c]"));  // a "/" ends the part before the "]"
    EXPECT_EQ(RemoteGlob::literal("/a\\*b\\\\c\\d"), "/a*b\\c\\d");
}

class RemoteGlobTest : public testing::ToolFixture {
protected:
    std::vector<std::string> expand(const std::string& pattern) { return RemoteGlob(*afc).expand(pattern).paths; }
};

TEST_F(RemoteGlobTest, ExpandsEveryPartAgainstTheDevicesListings) {
    files->addFile("/DCIM/100APPLE/IMG_1.JPG");
    files->addFile("/DCIM/100APPLE/IMG_2.MOV");
    files->addFile("/DCIM/101APPLE/IMG_3.JPG");
    files->addFile("/DCIM/.hidden/IMG_4.JPG");
    files->addFile("/DCIM/notes.txt");
    EXPECT_THAT(expand("/D*/*/*.JPG"), ElementsAre("/DCIM/100APPLE/IMG_1.JPG", "/DCIM/101APPLE/IMG_3.JPG"));
    EXPECT_THAT(expand("/DCIM/*/"), ElementsAre("/DCIM/100APPLE/", "/DCIM/101APPLE/"));
    EXPECT_THAT(expand("DCIM/*.txt"), ElementsAre("DCIM/notes.txt"));
    EXPECT_THAT(expand("/DCIM/*.PNG"), IsEmpty());
    EXPECT_THAT(expand("/Nowhere/*"), IsEmpty());
    EXPECT_FALSE(RemoteGlob(*afc).expand("/Nowhere/*").failure) << "a missing directory is no failure";
}

TEST_F(RemoteGlobTest, AnEntryThereAsWrittenIsMeantBeforeAnyMatch) {
    files->addFile("/Music/Song [Live].m4a");
    files->addFile("/Music/a*b");
    files->addFile("/Music/photo1.jpg");
    files->addFile("/Music/photo[1].jpg");
    files->addFile("/Music/x\\*");
    EXPECT_THAT(expand("/Music/Song [Live].m4a"), ElementsAre("/Music/Song [Live].m4a"));
    EXPECT_THAT(expand("/Music/photo[1].jpg"), ElementsAre("/Music/photo[1].jpg"));
    EXPECT_THAT(expand("/Music/photo\\[1].jpg"), ElementsAre("/Music/photo[1].jpg"));
    EXPECT_THAT(expand("/Music/photo[12].jpg"), ElementsAre("/Music/photo1.jpg"));
    EXPECT_THAT(expand("/Music/a\\*b"), ElementsAre("/Music/a*b"));
    EXPECT_THAT(expand("/Music/x\\*"), ElementsAre("/Music/x\\*"));
    EXPECT_THAT(expand("/Music/Song [Studio].m4a"), IsEmpty());
}

TEST_F(RemoteGlobTest, NamesAListingThatFailedForAnotherReason) {
    files->addFile("/A/x");
    files->inject(SimulatedFileSystem::Fault("AFCDirectoryOpen", SimulatedFileSystem::kPermissionDenied).onPath("/A"));
    const auto expansion = RemoteGlob(*afc).expand("/A/*");
    EXPECT_THAT(expansion.paths, IsEmpty());
    EXPECT_EQ(expansion.failure, "AFCDirectoryOpen failed: Return code = 0x000A");
}

} // namespace
} // namespace keldo
