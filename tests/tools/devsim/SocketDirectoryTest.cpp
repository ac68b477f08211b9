#include "tools/devsim/SocketDirectory.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace keldo {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class SocketDirectoryTest : public ::testing::Test {
protected:
    SocketDirectoryTest() {
        char pattern[] = "/tmp/keldo-socketdir-XXXXXX";
        base = ::mkdtemp(pattern);
    }
    ~SocketDirectoryTest() override {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }
    // The error for `path`, empty when it is fit.
    std::string refusal(const std::string& path, uid_t owner = ::getuid()) {
        std::string error;
        return SocketDirectory::prepare(path, owner, error) ? std::string() : error;
    }
    mode_t modeOf(const std::string& path) {
        struct stat status {};
        ::lstat(path.c_str(), &status);
        return status.st_mode & 07777;
    }

    std::string base;
};

TEST_F(SocketDirectoryTest, IsMadePrivateAndRefusedWhenOthersOwnOrCanWriteItOrItIsNoDirectory) {
    const std::string dir = base + "/dir";
    const mode_t before = ::umask(0);
    EXPECT_EQ(refusal(dir), "");
    ::umask(before);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(refusal(dir), "");  // and taken as it is the next time
    EXPECT_THAT(refusal(dir, ::getuid() + 1), HasSubstr(dir + " belongs to another user (uid "));

    ::chmod(dir.c_str(), 0777);
    EXPECT_THAT(refusal(dir), HasSubstr(dir + " can be written by other users"));
    ::chmod(dir.c_str(), 0720);
    EXPECT_THAT(refusal(dir), HasSubstr("can be written by other users"));
    ::chmod(dir.c_str(), 0755);
    EXPECT_EQ(refusal(dir), "");  // readable is fine: a socket is reached by writing to it

    const std::string link = base + "/link";
    fs::create_directory_symlink(dir, link);
    EXPECT_THAT(refusal(link), HasSubstr(link + " is not a directory"));
    std::ofstream(base + "/file") << "x";
    EXPECT_THAT(refusal(base + "/file"), HasSubstr("is not a directory"));
    EXPECT_THAT(refusal(base + "/missing/dir"), HasSubstr("can't make " + base + "/missing/dir: No such file"));
}

} // namespace
} // namespace keldo
