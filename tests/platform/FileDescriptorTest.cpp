#include "platform/FileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace keldo {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A number closed once is free for the next open: a second close would take that file away.
TEST(FileDescriptorOwner, ClosesWhatItHoldsExactlyOnceWhetherMovedReplacedClosedOrEnded) {
    int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        FileDescriptor owner(first);
        FileDescriptor moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_EQ(moved.get(), first);
        owner = FileDescriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        const int second = owner.get();
        owner = std::move(moved);  // what it held is closed
        EXPECT_FALSE(isOpen(second));
        EXPECT_EQ(owner.get(), first);
    }
    EXPECT_FALSE(isOpen(first));

    FileDescriptor closed(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int number = closed.get();
    EXPECT_TRUE(closed.close());
    EXPECT_FALSE(closed);
    // Another file takes the number; the owner that closed it leaves it alone at its end.
    const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other, number);
    closed = FileDescriptor();
    { FileDescriptor ended = std::move(closed); }
    EXPECT_TRUE(isOpen(other));
    ::close(other);
}

} // namespace
} // namespace keldo
