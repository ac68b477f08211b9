#include "platform/simulated/FileBytes.h"

#include <gtest/gtest.h>

#include <string>

namespace keldo {
namespace {

constexpr std::uint64_t kBlock = FileBytes::kBlockSize;

std::string pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i % 251);
    return bytes;
}

std::string readBack(const FileBytes& file, std::uint64_t offset, std::uint64_t count) {
    std::string out(static_cast<std::size_t>(count), '?');
    file.read(offset, out.data(), count);
    return out;
}

TEST(FileBytesTest, WritesAndReadsAcrossBlockBoundariesAsOneString) {
    // A small file that grows into several blocks keeps what it held, and a write or read that
    // straddles a boundary lands whole.
    FileBytes file("head");
    std::string expected = "head";
    const std::string big = pattern(2 * kBlock + 100, 'a');
    file.write(4, big.data(), big.size());
    expected += big;
    const std::string patch = pattern(300, 'z');
    file.write(kBlock - 150, patch.data(), patch.size());
    expected.replace(kBlock - 150, patch.size(), patch);
    EXPECT_EQ(file.toString(), expected);
    EXPECT_EQ(readBack(file, kBlock - 10, 20), expected.substr(kBlock - 10, 20));
}

TEST(FileBytesTest, GapsAndRegrownBytesReadAsZeros) {
    // Reused memory holds whatever it held: only what was written may read as anything but zero.
    FileBytes file(pattern(kBlock + 10, 'q'));
    file.resize(5);
    file.resize(kBlock + 10);
    EXPECT_EQ(readBack(file, 5, kBlock + 5), std::string(kBlock + 5, '\0'));
    file.write(3 * kBlock, "x", 1);
    EXPECT_EQ(file.size(), 3 * kBlock + 1);
    EXPECT_EQ(readBack(file, kBlock, 2 * kBlock), std::string(2 * kBlock, '\0'));
    file.clear();
    file.write(7, "y", 1);
    EXPECT_EQ(file.toString(), std::string(7, '\0') + "y");
}

TEST(FileBytesTest, AWriteBeyondWhatAnAddressHoldsChangesNothing) {
    FileBytes file("kept");
    EXPECT_THROW(file.write(~std::uint64_t{0} - 1, "ab", 2), std::length_error);
    EXPECT_EQ(file.toString(), "kept");
}

} // namespace
} // namespace keldo
