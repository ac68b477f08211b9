#include "platform/ReplacementFile.h"

#include "support/ChildProcess.h"

#include <gmock/gmock.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
namespace fs = std::filesystem;

// A file system that refuses unnamed files, as some do.
class WithoutUnnamedFiles : public ReplacementFile {
public:
    using ReplacementFile::ReplacementFile;

protected:
    int openUnnamed(const std::string&, mode_t) override {
        errno = EOPNOTSUPP;
        return -1;
    }
};

class ReplacementFileTest : public ::testing::Test {
protected:
    ReplacementFileTest() {
        char scratch[] = "/tmp/keldo-replacement-XXXXXX";
        dir = ::mkdtemp(scratch);
        target = dir + "/old";
        std::ofstream(target) << "previous contents";
        ::chmod(target.c_str(), 0640);
    }
    ~ReplacementFileTest() override {
        TemporaryFiles::removeAll();
        fs::remove_all(dir);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(dir)) out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string contents() const {
        std::ifstream in(target, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static bool write(ReplacementFile& file, const std::string& bytes) {
        return file.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    mode_t modeOf(const std::string& path) const {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_mode & 07777;
    }

    std::string dir;
    std::string target;
};

TEST_F(ReplacementFileTest, NothingShowsBesideTheTargetUntilTheCommitReplacesIt) {
    {
        ReplacementFile file(target);
        ASSERT_TRUE(file.open());
        ASSERT_TRUE(write(file, "new contents"));
        EXPECT_THAT(names(), ElementsAre("old"));
        EXPECT_EQ(contents(), "previous contents");
        ASSERT_TRUE(file.commit());
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "new contents");
    EXPECT_EQ(modeOf(target), 0640u);

    {
        ReplacementFile abandoned(dir + "/new");
        ASSERT_TRUE(abandoned.open());
        ASSERT_TRUE(write(abandoned, "half"));
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    ReplacementFile fresh(dir + "/new");
    ASSERT_TRUE(fresh.open() && write(fresh, "whole") && fresh.commit());
    EXPECT_THAT(names(), ElementsAre("new", "old"));
}

TEST_F(ReplacementFileTest, WithoutUnnamedFilesANamedTemporaryIsTrackedUntilItsCommitOrEnd) {
    {
        WithoutUnnamedFiles file(target);
        ASSERT_TRUE(file.open());
        ASSERT_TRUE(write(file, "new contents"));
        ASSERT_EQ(names().size(), 2u);
        EXPECT_THAT(names()[0], StartsWith(".old.keldo-"));
        ASSERT_TRUE(file.commit());
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "new contents");
    EXPECT_EQ(modeOf(target), 0640u);

    {
        WithoutUnnamedFiles abandoned(target);
        ASSERT_TRUE(abandoned.open());
    }
    EXPECT_THAT(names(), ElementsAre("old"));

    WithoutUnnamedFiles interrupted(target);
    ASSERT_TRUE(interrupted.open());
    TemporaryFiles::removeAll();  // what a signal handler does
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_FALSE(interrupted.commit());
    EXPECT_EQ(contents(), "new contents");
}

TEST_F(ReplacementFileTest, TakesItsPlaceWithTheModificationTimeGivenToTheNanosecond) {
    // Before 1970, with nanoseconds: nothing on the way (a link, a rename) changes it.
    const timespec time{-86400 * 365 - 1, 123456789};
    auto timeOf = [](const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    };
    ReplacementFile unnamed(target);
    ASSERT_TRUE(unnamed.open() && write(unnamed, "new") && unnamed.setModificationTime(time) && unnamed.commit());
    EXPECT_EQ(timeOf(target), std::pair(time.tv_sec, time.tv_nsec));
    WithoutUnnamedFiles named(dir + "/other");
    ASSERT_TRUE(named.open() && write(named, "new") && named.setModificationTime(time) && named.commit());
    EXPECT_EQ(timeOf(dir + "/other"), std::pair(time.tv_sec, time.tv_nsec));
    // What is no regular file keeps its own time.
    const auto devNull = timeOf("/dev/null");
    ReplacementFile device("/dev/null");
    ASSERT_TRUE(device.open() && device.setModificationTime(time) && device.commit());
    EXPECT_EQ(timeOf("/dev/null"), devNull);
}

TEST_F(ReplacementFileTest, ANamedTemporaryGoesWithAProcessThatASignalEnds) {
    bool told = testing::endChildOnceTold(
        [&](const auto& tell) {
            // The contract of TemporaryFiles: the handler removes what is tracked, then ends.
            struct sigaction ending {};
            ending.sa_handler = [](int) {
                TemporaryFiles::removeAll();
                ::_exit(143);
            };
            ::sigaction(SIGTERM, &ending, nullptr);
            WithoutUnnamedFiles file(target);
            if (file.open() && write(file, std::string(1 << 20, 'n'))) tell();
            ::_exit(2);
        },
        SIGTERM);
    ASSERT_TRUE(told);
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "previous contents");
}

} // namespace
} // namespace keldo
