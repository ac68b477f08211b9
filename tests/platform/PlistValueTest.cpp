#include "platform/plist/PlistValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace keldo {
namespace {

TEST(PlistValue, IntegersAreEqualWhenTheyDenoteTheSameNumber) {
    EXPECT_EQ(PlistValue(std::int64_t{5}), PlistValue(std::uint64_t{5}));
    EXPECT_NE(PlistValue(std::int64_t{-1}), PlistValue(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_NE(PlistValue(std::int64_t{1}), PlistValue(1.0));
    EXPECT_NE(PlistValue(true), PlistValue(1));
}

TEST(PlistValue, UnsignedValuesAboveTheSignedRangeStayFaithful) {
    PlistValue big(std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(big.isUnsignedInteger());
    EXPECT_FALSE(big.signedInteger());
    EXPECT_EQ(big.unsignedInteger(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(big.debugDescription(), "18446744073709551615");
    EXPECT_FALSE(PlistValue(std::int64_t{-3}).unsignedInteger());
}

TEST(PlistValue, NestedValuesCompareAndPrintReadably) {
    PlistValue a(PlistValue::Dictionary{
        {"Name", "x\"y"},
        {"List", PlistValue(PlistValue::Array{PlistValue(1), PlistValue(2.5), PlistValue(false)})},
        {"Blob", PlistValue(PlistValue::Data{0x00, 0xff})},
    });
    PlistValue b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.debugDescription(), R"({"Blob" = <00ff>; "List" = (1, 2.5, false); "Name" = "x\"y"})");
    ASSERT_NE(a.find("Name"), nullptr);
    EXPECT_EQ(*a.find("Name")->text(), "x\"y");
    EXPECT_EQ(a.find("Missing"), nullptr);
    EXPECT_EQ(PlistValue("text").find("Name"), nullptr);
}

} // namespace
} // namespace keldo
