#include "afc/AfcFixture.h"

#include "platform/NotificationCenter.h"
#include "support/ChildProcess.h"

#include <gmock/gmock.h>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Fault = SimulatedFileSystem::Fault;
namespace fs = std::filesystem;

struct Posted {
    std::string name;
    std::optional<std::int64_t> done;
    bool operator==(const Posted&) const = default;
};
void PrintTo(const Posted& p, std::ostream* os) { *os << p.name << "(" << p.done.value_or(-1) << ")"; }

Posted begin() { return {"AFCFileCopyBegin", std::nullopt}; }
Posted progress(std::int64_t done) { return {"AFCFileCopyProgress", done}; }
Posted finished(std::int64_t done) { return {"AFCFileCopyDone", done}; }

// A connection, a temporary local directory, and the upload notifications it posts.
class AFCTransferTest : public testing::AfcFixture {
protected:
    AFCTransferTest() {
        char scratch[] = "/tmp/keldo-transfer-XXXXXX";
        dir = ::mkdtemp(scratch);
        for (auto name : {kAFCFileCopyBegin, kAFCFileCopyProgress, kAFCFileCopyDone}) {
            NotificationCenter::defaultCenter().addObserver(this, name, afc.get(), [this](const Notification& n) {
                const PlistValue* done = n.userInfo->find("Done");
                posted.push_back({n.name, done ? done->signedInteger() : std::nullopt});
                sizes.push_back(n.userInfo->find("Size")->signedInteger().value_or(-1));
                kept.push_back(n.userInfo);
            });
        }
    }
    ~AFCTransferTest() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        fs::remove_all(dir);
    }

    std::string local(const std::string& name) const { return dir + "/" + name; }
    void write(const std::string& name, const std::string& contents) {
        fs::create_directories(fs::path(local(name)).parent_path());
        std::ofstream(local(name), std::ios::binary) << contents;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(local(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::vector<std::string> localNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir;
    std::vector<Posted> posted;
    std::vector<std::int64_t> sizes;
    std::vector<PlistRef> kept;  // the notifications' dictionaries, kept past their posts
};

using AFCUpload = AFCTransferTest;

TEST_F(AFCUpload, PostsProgressBeforeEveryChunkReadAndDoneWithTheTotal) {
    const std::vector<std::pair<std::size_t, std::vector<Posted>>> cases = {
        {0, {begin(), progress(0), finished(0)}},
        {10240, {begin(), progress(0), progress(10240), finished(10240)}},
        {25000, {begin(), progress(0), progress(10240), progress(20480), progress(25000), finished(25000)}},
    };
    for (const auto& [size, expected] : cases) {
        std::string name = "f" + std::to_string(size);
        std::string contents(size, 'x');
        for (std::size_t i = 0; i < size; ++i) contents[i] = static_cast<char>(i * 7);
        write(name, contents);
        posted.clear();
        sizes.clear();
        kept.clear();
        afc->setLastError("earlier");
        EXPECT_TRUE(afc->copyLocalFileToRemoteFile(local(name), "/" + name));
        EXPECT_EQ(posted, expected);
        EXPECT_EQ(sizes, std::vector<std::int64_t>(expected.size(), static_cast<std::int64_t>(size)));
        EXPECT_EQ(files->contents("/" + name), contents);
        EXPECT_FALSE(afc->lastError());
    }
    // What an observer keeps stays as it was posted.
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const PlistValue* done = kept[i]->find("Done");
        EXPECT_EQ(done ? done->signedInteger() : std::nullopt, posted[i].done);
    }
    EXPECT_EQ(*kept.back()->find("Source"), PlistValue(local("f25000")));
    EXPECT_EQ(*kept.back()->find("Target"), PlistValue("/f25000"));
    EXPECT_EQ(files->openFiles(), 0u);
}

TEST_F(AFCUpload, ALargerChunkOnRequestMakesOneWriteAndOneProgressPerChunk) {
    constexpr std::size_t kMiB = 1 << 20;
    std::string contents(2 * kMiB + 5, 'x');
    for (std::size_t i = 0; i < contents.size(); i += 4096) contents[i] = static_cast<char>(i >> 12);
    write("f", contents);
    afc->setUploadChunk(kMiB);
    EXPECT_TRUE(afc->copyLocalFileToRemoteFile(local("f"), "/f"));
    EXPECT_THAT(posted, ElementsAre(begin(), progress(0), progress(kMiB), progress(2 * kMiB), progress(2 * kMiB + 5),
                                    finished(2 * kMiB + 5)));
    EXPECT_EQ(count("AFCFileRefWrite"), 3);
    EXPECT_EQ(files->contents("/f"), contents);
    // 0 is the default again.
    afc->setUploadChunk(0);
    EXPECT_EQ(afc->uploadChunk(), AFCDirectoryAccess::kUploadChunk);
}

TEST_F(AFCUpload, RefusesAnExistingTargetOrAnUnopenableSourceAndPostsNothing) {
    write("f", "data");
    files->addFile("/taken", "theirs");
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), "/taken"));
    EXPECT_EQ(afc->lastError(), "Won't overwrite existing file");
    EXPECT_EQ(files->contents("/taken"), "theirs");
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("missing"), "/new"));
    EXPECT_EQ(afc->lastError(), "Can't open input file");
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(dir, "/new"));
    EXPECT_EQ(afc->lastError(), "Can't open input file");
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(std::nullopt, std::nullopt));
    EXPECT_EQ(afc->lastError(), "Local path is nil");
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), std::nullopt));
    EXPECT_EQ(afc->lastError(), "Remote path is nil");
    afc->close();
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), "/new"));
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_THAT(posted, IsEmpty());
    EXPECT_EQ(count("AFCFileRefOpen"), 0);
}

TEST_F(AFCUpload, ARefusedRemoteOpenStandsAfterBeginAlone) {
    write("f", "data");
    files->inject(Fault("AFCFileRefOpen", 10));
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), "/new"));
    EXPECT_EQ(afc->lastError(), "AFCFileRefOpen failed: Return code = 0x000A");
    EXPECT_THAT(posted, ElementsAre(begin()));
}

TEST_F(AFCUpload, AFailedChunkWriteFailsTheUploadWithoutDoneAndRemovesThePartialFile) {
    write("f", std::string(30000, 'x'));
    files->inject(Fault("AFCFileRefWrite", 18).after(1));
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), "/new"));
    EXPECT_EQ(afc->lastError(), "AFCFileRefWrite failed: 18");
    EXPECT_THAT(posted, ElementsAre(begin(), progress(0), progress(10240)));
    EXPECT_EQ(files->openFiles(), 0u);
    EXPECT_FALSE(files->kind("/new"));
}

TEST_F(AFCUpload, AFailedCloseIsAFailureWithoutDoneAndRemovesThePartialFile) {
    write("f", "data");
    files->inject(Fault("AFCFileRefClose", 28));
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile(local("f"), "/new"));
    EXPECT_EQ(afc->lastError(), "AFCFileRefClose failed: 28");
    EXPECT_THAT(posted, ElementsAre(begin(), progress(0), progress(4)));
    EXPECT_FALSE(files->kind("/new"));
    EXPECT_EQ(calls().back(), "AFCRemovePath(afc#1, \"/new\")");
}

TEST_F(AFCUpload, ALocalReadErrorFailsTheUploadWithoutDoneAndRemovesThePartialFile) {
    // Opens for reading, and its first bytes (the unmapped page at address 0) can't be read.
    EXPECT_FALSE(afc->copyLocalFileToRemoteFile("/proc/self/mem", "/new"));
    EXPECT_EQ(afc->lastError(), "Can't read input file: Input/output error");
    EXPECT_THAT(posted, ElementsAre(begin(), progress(0)));
    EXPECT_EQ(files->openFiles(), 0u);
    EXPECT_FALSE(files->kind("/new"));
}

TEST_F(AFCUpload, CountsDonePastTwoGigabytes) {
    constexpr std::int64_t kSize = (std::int64_t{1} << 31) + 10240;
    // A hole in memory: reading it copies the zero page, with no disk and no page to fill.
    int big = ::memfd_create("big", MFD_CLOEXEC);
    ASSERT_GE(big, 0);
    ASSERT_EQ(::ftruncate(big, kSize), 0);
    files->setKeepsContents(false);
    std::vector<std::int64_t> past;
    NotificationCenter::defaultCenter().addObserver(&past, kAFCFileCopyDone, afc.get(), [&](const Notification& n) {
        past.push_back(*n.userInfo->find("Done")->signedInteger());
    });
    NotificationCenter::defaultCenter().removeObserver(this);
    EXPECT_TRUE(afc->copyLocalFileToRemoteFile("/proc/self/fd/" + std::to_string(big), "/big"));
    NotificationCenter::defaultCenter().removeObserver(&past);
    ::close(big);
    EXPECT_THAT(past, ElementsAre(kSize));
}

using AFCTreeUpload = AFCTransferTest;

TEST_F(AFCTreeUpload, CopiesFilesDirectoriesAndLinksTheirOwnWay) {
    write("tree/a", "alpha");
    write("tree/sub/b", "beta");
    fs::create_directory(local("tree/empty"));
    fs::create_symlink("a", local("tree/to-file"));
    fs::create_symlink("sub", local("tree/to-dir"));
    std::string longText;
    for (int i = 0; i < 1000; ++i) longText += "./";
    fs::create_symlink(longText + "a", local("tree/long"));
    files->addDirectory("/Up");
    EXPECT_TRUE(afc->copyLocalFileToRemoteDir(local("tree/"), "/Up/"));
    EXPECT_EQ(files->contents("/Up/tree/a"), "alpha");
    EXPECT_EQ(files->contents("/Up/tree/sub/b"), "beta");
    EXPECT_EQ(files->kind("/Up/tree/empty"), SimulatedFileSystem::Kind::Directory);
    EXPECT_EQ(files->linkTarget("/Up/tree/to-file"), "a");
    EXPECT_EQ(files->kind("/Up/tree/to-dir"), SimulatedFileSystem::Kind::Directory);
    EXPECT_EQ(files->contents("/Up/tree/to-dir/b"), "beta");
    EXPECT_EQ(files->linkTarget("/Up/tree/long"), longText.substr(0, 1025));
    EXPECT_EQ(calls().front(), "AFCDirectoryCreate(afc#1, \"/Up/tree\")");
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AFCTreeUpload, AFailureDeepInTheTreeLogsOneLinePerEnclosingDirectory) {
    write("tree/x/y/f", "data");
    files->inject(Fault("AFCFileRefOpen", 10).onPath("/R/tree/x/y/f"));
    files->addDirectory("/R");
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("tree"), "/R"));
    const std::string text = "AFCFileRefOpen failed: Return code = 0x000A";
    EXPECT_THAT(log.lines(), ElementsAre("failed on " + local("tree/x/y") + "/f: " + text,
                                         "failed on " + local("tree/x") + "/y: " + text,
                                         "failed on " + local("tree") + "/x: " + text));
    EXPECT_EQ(files->kind("/R/tree/x/y"), SimulatedFileSystem::Kind::Directory);  // what was made stays
}

TEST_F(AFCTreeUpload, AMissingSourceFailsQuietlyAndADanglingEntryFailsItsDirectory) {
    fs::create_symlink("nowhere", local("dangling"));
    afc->setLastError("earlier");
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("dangling"), "/"));
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("missing"), "/"));
    EXPECT_EQ(afc->lastError(), "earlier");
    EXPECT_THAT(sim->callNames(), IsEmpty());

    fs::create_directory(local("tree"));
    fs::create_symlink("nowhere", local("tree/dangling"));
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("tree"), "/"));
    // The successful mkdir of the enclosing directory left no text.
    EXPECT_THAT(log.lines(), ElementsAre("failed on " + local("tree") + "/dangling: (null)"));
}

TEST_F(AFCTreeUpload, ARemoteDirectoryThatCannotBeMadeFailsWithoutALogLine) {
    fs::create_directory(local("tree"));
    files->addFile("/tree");
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("tree"), "/"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryCreate failed: Return code = 0x0010");
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AFCTreeUpload, ALinkToAnEnclosingDirectoryEndsTheCopy) {
    fs::create_directories(local("tree/sub"));
    fs::create_symlink("..", local("tree/sub/up"));
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("tree"), "/"));
    const std::string text = "Link to an enclosing directory at " + local("tree/sub/up");
    EXPECT_EQ(afc->lastError(), text);
    EXPECT_THAT(log.lines(), ElementsAre("failed on " + local("tree/sub") + "/up: " + text,
                                         "failed on " + local("tree") + "/sub: " + text));
    EXPECT_FALSE(files->kind("/tree/sub/up"));
}

TEST_F(AFCTreeUpload, ALinkTextThatIsNotUtf8HasNoTarget) {
    write("caf\xe9", "");
    fs::create_symlink("caf\xe9", local("link"));
    EXPECT_FALSE(afc->copyLocalFileToRemoteDir(local("link"), "/"));
    EXPECT_EQ(afc->lastError(), "Target is nil");
}

using AFCDownload = AFCTransferTest;

TEST_F(AFCDownload, CopiesInMegabyteReadsAndReplacesAnExistingFileKeepingItsMode) {
    std::string contents(2'500'000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 13);
    files->addFile("/song", contents);
    files->addFile("/empty");
    write("old", "previous contents");
    ASSERT_EQ(::chmod(local("old").c_str(), 0640), 0);
    fs::create_symlink("old", local("link"));
    afc->setLastError("earlier");

    EXPECT_TRUE(afc->copyRemoteFileToLocalFile("/song", local("new")));
    EXPECT_EQ(read("new"), contents);
    EXPECT_FALSE(afc->lastError());
    EXPECT_EQ(sim->calls()[1].toString(), "AFCFileRefRead(afc#1, 1, 1048576)");
    EXPECT_EQ(count("AFCFileRefRead"), 4);

    EXPECT_TRUE(afc->copyRemoteFileToLocalFile("/song", local("link")));
    EXPECT_EQ(read("old"), contents);
    EXPECT_TRUE(fs::is_symlink(local("link")));
    struct stat info {};
    ::stat(local("old").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    EXPECT_TRUE(afc->copyRemoteFileToLocalFile("/empty", local("old")));
    EXPECT_EQ(read("old"), "");
    EXPECT_THAT(localNames(), ElementsAre("link", "new", "old"));
    EXPECT_THAT(posted, IsEmpty());
    EXPECT_EQ(files->openFiles(), 0u);
}

TEST_F(AFCDownload, AFailedReadHalfWayFailsAndKeepsTheExistingFile) {
    files->addFile("/song", std::string(3'000'000, 's'));
    write("old", "previous contents");
    files->inject(Fault("AFCFileRefRead", 20).after(2));
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", local("old")));
    EXPECT_EQ(afc->lastError(), "AFCFileRefRead failed: 20");
    EXPECT_EQ(read("old"), "previous contents");
    EXPECT_THAT(localNames(), ElementsAre("old"));
    EXPECT_EQ(files->openFiles(), 0u);
}

// A device that stops answering at the second read of a file, after telling so.
class StallingBackend : public SimulatedBackend {
public:
    explicit StallingBackend(std::function<void()> tell) : tell_(std::move(tell)) {}
    std::int32_t afcFileRefRead(afc_connection afc, afc_file_ref ref, void* buffer, std::uint64_t* count) override {
        if (++reads_ == 2) tell_();
        return SimulatedBackend::afcFileRefRead(afc, ref, buffer, count);
    }

private:
    std::function<void()> tell_;
    int reads_ = 0;
};

TEST_F(AFCDownload, ADownloadKilledMidWayLeavesNothingBesideItsTarget) {
    write("old", "previous contents");
    bool told = testing::endChildOnceTold(
        [&](const std::function<void()>& tell) {
            auto stalling = std::make_shared<StallingBackend>(tell);
            Backend::install(stalling);
            am_device phone = stalling->addDevice(SimulatedDeviceInfo::iPhone("udid-s", "phone", "7.0"));
            stalling->fileSystem(phone).addFile("/song", std::string(3'000'000, 's'));
            AMDeviceRetain(phone);
            std::optional<std::string> error;
            auto handle = AMDevice::initWithDeviceOrBust(phone, error);
            auto media = handle ? handle->directoryForName("com.apple.afc") : nullptr;
            if (media) (void)media->copyRemoteFileToLocalFile("/song", local("old"));
            ::_exit(2);
        },
        SIGKILL);
    ASSERT_TRUE(told);
    EXPECT_THAT(localNames(), ElementsAre("old"));
    EXPECT_EQ(read("old"), "previous contents");
}

TEST_F(AFCDownload, AFullLocalDiskFailsAndKeepsTheExistingFile) {
    files->addFile("/song", std::string(3'000'000, 's'));
    write("old", "previous contents");
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    rlimit small = limit;
    small.rlim_cur = 1'500'000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    bool copied = afc->copyRemoteFileToLocalFile("/song", local("old"));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(copied);
    EXPECT_EQ(afc->lastError(), "Can't write output file: File too large");
    EXPECT_EQ(read("old"), "previous contents");
    EXPECT_THAT(localNames(), ElementsAre("old"));
}

TEST_F(AFCDownload, WhatCannotBeOpenedOnEitherSideLeavesTheLocalSideAlone) {
    files->addFile("/song", "tune");
    write("old", "previous contents");
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/missing", local("old")));
    EXPECT_EQ(afc->lastError(), "AFCFileRefOpen failed: Return code = 0x0008");
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", local("no-such-dir/f")));
    EXPECT_EQ(afc->lastError(), "Can't open output file");
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", dir));
    EXPECT_EQ(afc->lastError(), "Can't open output file");
    ASSERT_EQ(::mkfifo(local("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", local("pipe")));  // no reader: no wait
    EXPECT_EQ(afc->lastError(), "Can't open output file");
    ::unlink(local("pipe").c_str());
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile(std::nullopt, local("old")));
    EXPECT_EQ(afc->lastError(), "Remote path is nil");
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", std::nullopt));
    EXPECT_EQ(afc->lastError(), "Local path is nil");
    afc->close();
    EXPECT_FALSE(afc->copyRemoteFileToLocalFile("/song", local("old")));
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_EQ(read("old"), "previous contents");
    EXPECT_THAT(localNames(), ElementsAre("old"));
}

} // namespace
} // namespace keldo
