#include "platform/PathNames.h"

#include "platform/Utf8.h"

#include <gmock/gmock.h>

#include <string>

namespace keldo {
namespace {

using ::testing::StartsWith;

TEST(PathNamesNormalise, NormaliseLexicallyWithTheRootAsFloor) {
    for (const char* root : {"", "/", ".", "/./", "//", "/..", "a/..", "/a/b/../../..", "../a/.."})
        EXPECT_EQ(PathNames::normalise(root), "/") << root;
    EXPECT_EQ(PathNames::normalise("DCIM"), "/DCIM");
    EXPECT_EQ(PathNames::normalise("/a//b/./c/"), "/a/b/c");
    EXPECT_EQ(PathNames::normalise("/a/b/../c/.."), "/a");
    EXPECT_EQ(PathNames::normalise("/../..a/.b"), "/..a/.b");
}

TEST(PathNamesTemporary, HiddenUniqueAndWithinANameCutAtAWholeCharacter) {
    const std::string first = PathNames::temporaryName("Welcome.txt");
    EXPECT_THAT(first, StartsWith(".Welcome.txt.keldo-"));
    EXPECT_NE(PathNames::temporaryName("Welcome.txt"), first);
    EXPECT_EQ(PathNames::temporaryBeside("/Books/Welcome.txt").rfind("/Books/.Welcome.txt.keldo-", 0), 0u);

    // Each length of character, and bytes that begin none, against every place the cut can fall.
    for (const std::string unit : {"a", "\xC3\xA9", "\xE6\x96\x87", "\xF0\x9F\x93\xB7", "\xFF"}) {
        for (std::size_t shift = 0; shift < 4; ++shift) {
            std::string name(shift, 'x');
            while (name.size() < PathNames::kNameMax) name += unit;
            const std::string made = PathNames::temporaryName(name);
            SCOPED_TRACE(made);
            EXPECT_LE(made.size(), PathNames::kNameMax);
            const std::string kept = made.substr(1, made.find(".keldo-") - 1);
            EXPECT_EQ(name.compare(0, kept.size(), kept), 0);
            EXPECT_TRUE(unit == "\xFF" || Utf8::isValid(kept));
            // Nothing more is cut than the suffix needs.
            EXPECT_GT(made.size() + unit.size(), PathNames::kNameMax);
        }
    }
    EXPECT_THAT(PathNames::temporaryBeside(std::string(300, 'n')), ::testing::SizeIs(PathNames::kNameMax));
}

} // namespace
} // namespace keldo
