#include "platform/ReplacementFile.h"

#include "support/ChildProcess.h"

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
namespace fs = std::filesystem;

constexpr ReplacementFile::Options kReplace{true, true};

// A file system that refuses unnamed files, as some do.
class WithoutUnnamedFiles : public ReplacementFile {
public:
    using ReplacementFile::ReplacementFile;

protected:
    int openUnnamed(int, mode_t) override {
        errno = EOPNOTSUPP;
        return -1;
    }
};

// A file system that makes unnamed files but won't name them (no /proc, no AT_EMPTY_PATH rights).
class WithoutLinking : public ReplacementFile {
public:
    using ReplacementFile::ReplacementFile;

protected:
    bool linkUnnamed(int, int, const std::string&) override {
        errno = EPERM;
        return false;
    }
};

// Each way a file can take its place.
std::unique_ptr<ReplacementFile> made(int way, const std::string& path, ReplacementFile::Options options) {
    if (way == 0) return std::make_unique<ReplacementFile>(path, options);
    if (way == 1) return std::make_unique<WithoutUnnamedFiles>(path, options);
    return std::make_unique<WithoutLinking>(path, options);
}

class ReplacementFileTest : public ::testing::Test {
protected:
    ReplacementFileTest() {
        char scratch[] = "/tmp/keldo-replacement-XXXXXX";
        dir = ::mkdtemp(scratch);
        target = dir + "/old";
        std::ofstream(target) << "previous contents";
        // Bits that a file made anew would not get under the usual umask.
        previousMask = ::umask(022);
        ::chmod(target.c_str(), 0666);
    }
    ~ReplacementFileTest() override {
        ::umask(previousMask);
        TemporaryFiles::removeAll();
        fs::remove_all(dir);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(dir)) out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string contents() const { return contents(target); }
    static std::string contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
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
    mode_t previousMask = 0;
};

TEST_F(ReplacementFileTest, NothingShowsBesideTheTargetUntilTheCommitReplacesIt) {
    {
        ReplacementFile file(target, kReplace);
        ASSERT_TRUE(file.open());
        ASSERT_TRUE(write(file, "new contents"));
        EXPECT_THAT(names(), ElementsAre("old"));
        EXPECT_EQ(contents(), "previous contents");
        ASSERT_TRUE(file.commit());
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "new contents");
    EXPECT_EQ(modeOf(target), 0666u);

    {
        ReplacementFile abandoned(dir + "/new", {});
        ASSERT_TRUE(abandoned.open());
        ASSERT_TRUE(write(abandoned, "half"));
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    // Written in ranges, the last one first, as several connections may bring them.
    ReplacementFile fresh(dir + "/new", {});
    ASSERT_TRUE(fresh.open() && fresh.writesAnywhere());
    const std::string whole = "whole";
    EXPECT_EQ(fresh.writeAt(reinterpret_cast<const std::uint8_t*>(whole.data()) + 2, 3, 2), 0);
    EXPECT_EQ(fresh.writeAt(reinterpret_cast<const std::uint8_t*>(whole.data()), 2, 0), 0);
    ASSERT_TRUE(fresh.commit());
    EXPECT_THAT(names(), ElementsAre("new", "old"));
    EXPECT_EQ(contents(dir + "/new"), "whole");
}

TEST_F(ReplacementFileTest, WithoutUnnamedFilesANamedTemporaryIsTrackedUntilItsCommitOrEnd) {
    {
        WithoutUnnamedFiles file(target, kReplace);
        ASSERT_TRUE(file.open());
        ASSERT_TRUE(write(file, "new contents"));
        ASSERT_EQ(names().size(), 2u);
        EXPECT_THAT(names()[0], StartsWith(".old.keldo-"));
        ASSERT_TRUE(file.commit());
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "new contents");
    EXPECT_EQ(modeOf(target), 0666u);

    {
        WithoutUnnamedFiles abandoned(target, kReplace);
        ASSERT_TRUE(abandoned.open());
    }
    EXPECT_THAT(names(), ElementsAre("old"));
    // One that could not be tracked would outlive a signal: it is not made at all.
    std::vector<TemporaryFiles::Ticket> taken;
    for (auto t = TemporaryFiles::track("/nonexistent"); t != TemporaryFiles::kNone; t = TemporaryFiles::track("/nonexistent"))
        taken.push_back(t);
    WithoutUnnamedFiles untracked(target, kReplace);
    EXPECT_FALSE(untracked.open());
    EXPECT_EQ(untracked.error(), ENFILE);
    EXPECT_THAT(names(), ElementsAre("old"));
    for (auto t : taken) TemporaryFiles::untrack(t);

    WithoutUnnamedFiles interrupted(target, kReplace);
    ASSERT_TRUE(interrupted.open());
    TemporaryFiles::removeAll();  // what a signal handler does
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_FALSE(interrupted.commit());
    EXPECT_EQ(contents(), "new contents");
}

TEST_F(ReplacementFileTest, WhatIsNoRegularFileIsWrittenAsItStandsAndKeepsItsTime) {
    auto timeOf = [](const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    };
    const timespec time{1, 2};
    // A pipe of the test's own, never a device of the system's: a fault here that replaced the
    // target would replace it with a plain file, and the tests may run as root.
    const std::string pipe = dir + "/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const FileDescriptor reader(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK));  // so that opening to write won't wait
    ASSERT_TRUE(reader);
    // What is no regular file keeps its own time.
    const auto before = timeOf(pipe);
    ReplacementFile special(pipe, kReplace);
    ASSERT_TRUE(special.open());
    EXPECT_FALSE(special.writesAnywhere());  // a pipe has no offsets: written in order only
    ASSERT_TRUE(special.setModificationTime(time) && special.commit());
    struct stat after {};
    ASSERT_EQ(::lstat(pipe.c_str(), &after), 0);
    EXPECT_TRUE(S_ISFIFO(after.st_mode));
    EXPECT_EQ(timeOf(pipe), before);
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
            WithoutUnnamedFiles file(target, kReplace);
            if (file.open() && write(file, std::string(1 << 20, 'n'))) tell();
            ::_exit(2);
        },
        SIGTERM);
    ASSERT_TRUE(told);
    EXPECT_THAT(names(), ElementsAre("old"));
    EXPECT_EQ(contents(), "previous contents");
}

TEST_F(ReplacementFileTest, EveryWayIntoPlaceKeepsTheBitsTheTimeAndWhatCameMeanwhile) {
    // Before 1970, with nanoseconds: nothing on the way (a link, a rename, a copy) changes it.
    const timespec time{-86400 * 365 - 1, 123456789};
    // 80 three-byte characters: no room for the temporary's suffix without a cut.
    std::string longName;
    for (int i = 0; i < 80; ++i) longName += "\u6587";
    std::ofstream(dir + "/" + longName) << "long";
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        for (const std::string& name : {std::string("old"), longName}) {
            auto file = made(way, dir + "/" + name, kReplace);
            ASSERT_TRUE(file->open() && write(*file, "way " + std::to_string(way)));
            ASSERT_TRUE(file->setModificationTime(time));
            ASSERT_TRUE(file->commit()) << std::strerror(file->error());
        }
        EXPECT_THAT(names(), ElementsAre("old", longName));
        EXPECT_EQ(contents(), "way " + std::to_string(way));
        EXPECT_EQ(modeOf(target), 0666u);
        struct stat info {};
        ::stat(target.c_str(), &info);
        EXPECT_EQ(std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec), std::pair(time.tv_sec, time.tv_nsec));

        // Without replace, a free name is taken; a file saved at the name before the commit is
        // kept, and so is one there from the start.
        auto other = made(way, dir + "/other", {});
        ASSERT_TRUE(other->open() && write(*other, "other") && other->commit());
        EXPECT_EQ(modeOf(dir + "/other"), 0644u);  // a new file: what the umask leaves of 0666
        fs::remove(dir + "/other");
        auto fresh = made(way, dir + "/new", {});
        ASSERT_TRUE(fresh->open() && write(*fresh, "downloaded"));
        std::ofstream(dir + "/new") << "saved meanwhile";
        EXPECT_FALSE(fresh->commit());
        EXPECT_EQ(fresh->error(), EEXIST);
        auto existing = made(way, target, {});
        ASSERT_TRUE(existing->open() && existing->existing());
        EXPECT_FALSE(existing->commit());
        fresh.reset();
        existing.reset();
        std::ifstream in(dir + "/new");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "saved meanwhile");
        EXPECT_EQ(contents(), "way " + std::to_string(way));
        EXPECT_THAT(names(), ElementsAre("new", "old", longName));
        fs::remove(dir + "/new");
    }
}

TEST_F(ReplacementFileTest, ALinkAsTargetIsWrittenThroughUnlessTheLinkIsWhatIsReplaced) {
    fs::create_directory(dir + "/sub");
    std::ofstream(dir + "/sub/real") << "real";
    fs::create_symlink("sub/real", dir + "/latest");
    ReplacementFile through(dir + "/latest", kReplace);
    ASSERT_TRUE(through.open() && write(through, "through") && through.commit());
    EXPECT_EQ(fs::read_symlink(dir + "/latest"), "sub/real");
    std::ifstream real(dir + "/sub/real");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(real), {}), "through");

    ReplacementFile entry(dir + "/latest", {true, false});
    ASSERT_TRUE(entry.open() && write(entry, "entry") && entry.commit());
    EXPECT_FALSE(fs::is_symlink(dir + "/latest"));
    std::ifstream again(dir + "/sub/real");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "through");
}

// The temporary names it is given, the first of them taken by someone else.
class WithATakenName : public WithoutUnnamedFiles {
public:
    using WithoutUnnamedFiles::WithoutUnnamedFiles;

protected:
    std::string nextTemporaryName() override { return taken_++ == 0 ? ".taken" : ".free"; }

private:
    int taken_ = 0;
};

// A signal that removes the temporaries just after the unnamed file got its temporary name.
class InterruptedAfterTheLink : public ReplacementFile {
public:
    using ReplacementFile::ReplacementFile;
    std::vector<std::string> left;

protected:
    bool linkUnnamed(int fd, int directory, const std::string& name) override {
        const bool linked = ReplacementFile::linkUnnamed(fd, directory, name);
        TemporaryFiles::removeAll();
        for (const auto& entry : fs::directory_iterator(fs::path(fmt::format("/proc/self/fd/{}", directory))))
            left.push_back(entry.path().filename());
        return linked;
    }
};

TEST_F(ReplacementFileTest, ATemporaryIsOursAloneAndTrackedBeforeItExists) {
    std::ofstream(dir + "/.taken") << "someone else's";
    WithATakenName file(target, kReplace);
    ASSERT_TRUE(file.open() && write(file, "new") && file.commit());
    EXPECT_THAT(names(), ElementsAre(".taken", "old"));
    std::ifstream taken(dir + "/.taken");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(taken), {}), "someone else's");
    EXPECT_EQ(contents(), "new");
    fs::remove(dir + "/.taken");

    InterruptedAfterTheLink interrupted(target, kReplace);
    ASSERT_TRUE(interrupted.open() && write(interrupted, "newer"));
    EXPECT_FALSE(interrupted.commit());
    EXPECT_THAT(interrupted.left, ElementsAre("old"));
    EXPECT_EQ(contents(), "new");
}

} // namespace
} // namespace keldo
