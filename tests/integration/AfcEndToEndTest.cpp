// The AFC client through the real-device backend: AFCDirectoryAccess and AFCFileReference over
// libimobiledevice, to keldo-devsim's AFC service over its usbmuxd socket (USB) or loopback TCP
// (network), down to the simulated device's file system.
#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "device/AMDevice.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"
#include "support/LogCapture.h"
#include "tools/devsim/AfcPacket.h"
#include "tools/devsim/AppServices.h"
#include "tools/devsim/DeviceSimulator.h"

#include <glib.h>
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace keldo {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using Fault = SimulatedFileSystem::Fault;

constexpr const char* kUdid = "afc-0001";

class AfcOverTheWire : public ::testing::TestWithParam<std::int32_t> {
protected:
    AfcOverTheWire() {
        char pattern[] = "/tmp/keldo-afc-XXXXXX";
        dir = mkdtemp(pattern);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir + "/usbmuxd").c_str(), 1);
        backend = ImobiledeviceBackend::installNew();
        ServiceRegistry services;
        AppServices::addTo(services, apps);
        simulator = std::make_unique<DeviceSimulator>(dir + "/usbmuxd", std::move(services));
        files = &simulator->fileSystem(kUdid);
        files->addFile("/DCIM/100APPLE/IMG_0001.JPG", "photo");
        files->setTimes("/DCIM/100APPLE/IMG_0001.JPG", 1'300'000'000'000'000'000ull, 1'418'301'234'500'000'000ull);
        EXPECT_TRUE(simulator->start());
        EXPECT_NE(simulator->attach(SimulatedDeviceInfo::iPhone(kUdid, "Ada's iPhone", "9.3", GetParam())), 0u);
        EXPECT_EQ(AMDeviceNotificationSubscribe(record, 0, 0, &events, &subscription), 0);
        EXPECT_TRUE(pumpUntil([&] { return !events.empty(); }));
        if (events.empty()) return;
        std::optional<std::string> bust;
        device = AMDevice::initWithDeviceOrBust(events[0].dev, bust);
        afc = device ? device->directoryForName("com.apple.afc") : nullptr;
    }
    ~AfcOverTheWire() override {
        afc.reset();
        device.reset();
        if (subscription) (void)AMDeviceNotificationUnsubscribe(subscription);
        Backend::install(nullptr);
        backend.reset();
        simulator.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        unsetenv("USBMUXD_SOCKET_ADDRESS");
    }
    void SetUp() override { ASSERT_TRUE(afc) << (device ? device->lasterror().value_or("") : "no device"); }

    static void record(am_device_notification_callback_info* info, void* events) {
        static_cast<std::vector<am_device_notification_callback_info>*>(events)->push_back(*info);
    }
    template <typename Condition>
    static bool pumpUntil(Condition done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            while (g_main_context_iteration(nullptr, FALSE)) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::string readAll(AFCFileReference& file, std::uint64_t size) {
        std::string out(size, '\0');
        out.resize(file.readNBytes(size, out.data()));
        return out;
    }
    bool write(AFCFileReference& file, const std::string& bytes) { return file.writeNBytes(bytes.size(), bytes.data()); }

    std::string dir;
    std::shared_ptr<ImobiledeviceBackend> backend;
    std::shared_ptr<AppServices> apps = std::make_shared<AppServices>();
    std::unique_ptr<DeviceSimulator> simulator;
    SimulatedFileSystem* files = nullptr;
    _am_device_notification* subscription = nullptr;
    std::vector<am_device_notification_callback_info> events;
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> afc;
    testing::LogCapture log;
};

INSTANTIATE_TEST_SUITE_P(UsbAndNetwork, AfcOverTheWire, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 2 ? "Network" : "Usb"; });

TEST_P(AfcOverTheWire, ListingsAndInformationComeFromTheDevicesFileSystem) {
    files->addFile("/DCIM/100APPLE/.hidden");
    EXPECT_THAT(afc->directoryContents("/DCIM/100APPLE").value(), ElementsAre("IMG_0001.JPG", ".hidden"));
    EXPECT_THAT(afc->recursiveDirectoryContents("/DCIM").value(),
                ElementsAre("/DCIM/", "/DCIM/100APPLE/", "/DCIM/100APPLE/.hidden", "/DCIM/100APPLE/IMG_0001.JPG"));

    auto info = afc->getFileInfo("/DCIM/100APPLE/IMG_0001.JPG");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->find("st_size")->signedInteger(), 5);
    EXPECT_EQ(*info->find("st_ifmt")->text(), "S_IFREG");
    EXPECT_EQ(info->find("st_mtime")->date()->secondsSince2001, 1418301234.0 - 978307200.0);
    EXPECT_EQ(*info->find("path")->text(), "/DCIM/100APPLE/IMG_0001.JPG");

    auto device = afc->deviceInfo();
    ASSERT_TRUE(device);
    EXPECT_EQ(*device->find("Model")->text(), "iPhone4,1");
    EXPECT_EQ(device->find("FSBlockSize")->signedInteger(), 4096);

    EXPECT_TRUE(afc->fileExistsAtPath("/DCIM"));
    EXPECT_FALSE(afc->fileExistsAtPath("/Nowhere"));
    EXPECT_FALSE(afc->directoryContents("/DCIM/100APPLE/IMG_0001.JPG"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x0004");
    EXPECT_FALSE(afc->getFileInfo("/Nowhere"));
    EXPECT_EQ(afc->lastError(), "AFCFileInfoOpen failed: Return code = 0x0008");
}

TEST_P(AfcOverTheWire, ATreeListingTakesALinkThatLeadsNowhereAsALeaf) {
    files->addSymbolicLink("/DCIM/100APPLE/broken", "/nowhere");
    EXPECT_THAT(afc->recursiveDirectoryContents("/DCIM").value_or(AFCDirectoryAccess::Names{}),
                ElementsAre("/DCIM/", "/DCIM/100APPLE/", "/DCIM/100APPLE/IMG_0001.JPG", "/DCIM/100APPLE/broken"));
    EXPECT_THAT(afc->recursiveDirectoryContents("/").value_or(AFCDirectoryAccess::Names{}),
                Contains("//DCIM/100APPLE/broken"));
    EXPECT_FALSE(afc->recursiveDirectoryContents("/nowhere"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryOpen failed: Return code = 0x0008");
}

TEST_P(AfcOverTheWire, PathOperationsChangeTheFileSystemAndFailuresCarryTheDevicesCode) {
    EXPECT_TRUE(afc->mkdir("/Books"));
    EXPECT_TRUE(afc->renameTo("/DCIM/100APPLE/IMG_0001.JPG", "/Books/photo.jpg"));
    EXPECT_TRUE(afc->symlinkTo("/Books/latest", "photo.jpg"));
    EXPECT_TRUE(afc->linkTo("/Books/again.jpg", "/Books/photo.jpg"));
    EXPECT_TRUE(afc->unlink("/DCIM/100APPLE"));
    EXPECT_TRUE(afc->setmodtimeTo("/Books/photo.jpg", PlistDate{1.5 - 978307200.0}));
    EXPECT_THAT(files->names("/Books"), ElementsAre("photo.jpg", "latest", "again.jpg"));
    EXPECT_EQ(files->linkTarget("/Books/latest"), "photo.jpg");
    EXPECT_EQ(files->contents("/Books/again.jpg"), "photo");
    EXPECT_EQ(files->modificationTime("/Books/photo.jpg"), 1'500'000'000u);
    EXPECT_EQ(*afc->getFileInfo("/Books/latest")->find("LinkTarget")->text(), "photo.jpg");

    // The device's "unknown error" for a directory that is not empty becomes libimobiledevice's
    // own "directory not empty" (33), a client-side code.
    EXPECT_FALSE(afc->unlink("/Books"));
    EXPECT_EQ(afc->lastError(), "AFCRemovePath failed: Return code = 0xE8004021");
    EXPECT_FALSE(afc->mkdir("/Books"));
    EXPECT_EQ(afc->lastError(), "AFCDirectoryCreate failed: Return code = 0x0010");
    EXPECT_FALSE(afc->setmodtimeTo("/Nowhere", PlistDate{0}));
    EXPECT_THAT(afc->lastError().value_or(""), StartsWith("afc_set_file_time failed"));
}

TEST_P(AfcOverTheWire, FilesReadWriteSeekTellSizeAndLock) {
    auto file = afc->openForWrite("/notes.txt");
    ASSERT_TRUE(file);
    EXPECT_TRUE(write(*file, "hello world"));
    EXPECT_TRUE(file->closeFile());
    EXPECT_EQ(files->contents("/notes.txt"), "hello world");

    file = afc->openForReadWrite("/notes.txt");
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->seek(6));
    EXPECT_TRUE(write(*file, "there"));
    std::uint64_t position = 0;
    EXPECT_TRUE(file->tell(position));
    EXPECT_EQ(position, 11u);
    EXPECT_TRUE(file->seekMode(-5, 2));
    EXPECT_EQ(readAll(*file, 100), "there");
    EXPECT_EQ(readAll(*file, 100), "");  // the end: no bytes and no failure
    EXPECT_FALSE(file->lasterror());
    EXPECT_TRUE(file->setFileSize(5));
    EXPECT_EQ(files->contents("/notes.txt"), "hello");

    EXPECT_TRUE(file->lockFile());
    EXPECT_TRUE(files->isLocked("/notes.txt"));
    auto other = afc->openForRead("/notes.txt");
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->lockFile());
    EXPECT_EQ(other->lasterror(), "AFCFileRefLock failed: 17");
    EXPECT_TRUE(file->unLockFile());
    EXPECT_FALSE(files->isLocked("/notes.txt"));

    EXPECT_FALSE(write(*other, "no"));  // opened for reading
    EXPECT_EQ(other->lasterror(), "AFCFileRefWrite failed: 10");
    EXPECT_FALSE(afc->openForRead("/missing"));
    EXPECT_EQ(afc->lastError(), "AFCFileRefOpen failed: Return code = 0x0008");
}

// The wire numbers its modes differently from the framework: passed through, an upload would keep
// the old file's tail, and an open for reading and writing would empty the file.
TEST_P(AfcOverTheWire, WriteEmptiesALongerFileAndReadWriteKeepsIt) {
    files->addFile("/long", std::string(100, 'o'));
    auto upload = afc->openForWrite("/long");
    ASSERT_TRUE(upload);
    EXPECT_TRUE(write(*upload, "new"));
    EXPECT_TRUE(upload->closeFile());
    EXPECT_EQ(files->contents("/long"), "new");

    auto both = afc->openForReadWrite("/long");
    ASSERT_TRUE(both);
    EXPECT_EQ(files->contents("/long"), "new");
    EXPECT_EQ(readAll(*both, 10), "new");
}

TEST_P(AfcOverTheWire, ReadsAndWritesLargerThanOnePacketArriveWhole) {
    // More than the simulator takes in one packet, as a device takes packets of limited size.
    std::string big(AfcPacket::kMaxPayload + ImobiledeviceBackend::kAfcChunk / 2 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    auto file = afc->openForWrite("/big");
    ASSERT_TRUE(file);
    EXPECT_TRUE(write(*file, big)) << file->lasterror().value_or("");
    EXPECT_TRUE(files->contents("/big") == big);

    EXPECT_TRUE(file->closeFile());
    file = afc->openForRead("/big");
    ASSERT_TRUE(file);
    EXPECT_TRUE(readAll(*file, big.size() + 10) == big);  // one call, many requests
}

TEST_P(AfcOverTheWire, AReadThatFailsAfterSomeBytesHandsThemOver) {
    const std::string contents(ImobiledeviceBackend::kAfcChunk + 1000, 'r');
    files->addFile("/f", contents);
    auto file = afc->openForRead("/f");
    ASSERT_TRUE(file);
    files->inject(Fault("AFCFileRefRead", 20).after(1).times(2));
    EXPECT_EQ(readAll(*file, contents.size()).size(), ImobiledeviceBackend::kAfcChunk);
    EXPECT_FALSE(file->lasterror());
    EXPECT_EQ(readAll(*file, contents.size()), "");  // the failure shows at the next read
    EXPECT_EQ(file->lasterror(), "AFCFileRefRead failed: 20");
    EXPECT_EQ(readAll(*file, contents.size()), std::string(1000, 'r'));
}

TEST_P(AfcOverTheWire, AClosedConnectionLeavesTheNextOneAlone) {
    // Kept connected, so that the next service's socket takes the closed one's number.
    ASSERT_TRUE(device->deviceConnect());
    afc->close();
    auto next = device->directoryForName("com.apple.afc");
    ASSERT_TRUE(next);
    EXPECT_FALSE(afc->sendXMLRequest(PlistValue(PlistValue::Dictionary{{"Request", "Stray"}})));
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_TRUE(next->directoryContents("/DCIM")) << next->lastError().value_or("");
}

TEST_P(AfcOverTheWire, ADeviceThatDetachesMidTransferFailsItWithATextAndNothingElse) {
    auto file = afc->openForWrite("/upload");
    ASSERT_TRUE(file);
    const std::string chunk(8 * 1024 * 1024, 'u');
    std::atomic<bool> detached{false};
    std::thread pull([&] {
        // The cable goes once the device holds some of the upload.
        while (files->contents("/upload").value_or("").size() < 1024 * 1024) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        detached = simulator->detach(kUdid);
    });
    bool failed = false;
    for (int i = 0; i < 64 && !failed; ++i) failed = !write(*file, chunk);
    pull.join();
    ASSERT_TRUE(detached);
    ASSERT_TRUE(failed);
    EXPECT_THAT(file->lasterror().value_or(""), StartsWith("AFCFileRefWrite failed: -"));

    EXPECT_FALSE(file->closeFile());
    EXPECT_THAT(file->lasterror().value_or(""), StartsWith("AFCFileRefClose failed: -"));
    EXPECT_FALSE(afc->directoryContents("/"));
    EXPECT_THAT(afc->lastError().value_or(""), StartsWith("AFCDirectoryOpen failed: Return code = 0xE"));
    // The device let go of the file its connection had open.
    EXPECT_TRUE(pumpUntil([&] { return files->openFiles() == 0; }));
    // Once the backend has heard of the detach, the connection's socket is not used either.
    EXPECT_TRUE(pumpUntil([&] {
        return !afc->sendXMLRequest(PlistValue(1)) && afc->lastError() == "Connection is not open";
    }));
    file.reset();
    afc.reset();
}

// house_arrest over the wire: the request in the service's framing, then AFC on the same
// connection, down to the app's container.
TEST_P(AfcOverTheWire, AnAppsDocumentsComeThroughHouseArrestOnTheSameConnection) {
    auto installed = apps->appsOf(kUdid);
    installed->install({"org.example.player", "Player", "2.1", true});
    installed->install({"org.example.private", "Private", "1.0", false});
    auto documents = device->documentsForApp("org.example.player");
    ASSERT_TRUE(documents) << device->lasterror().value_or("");
    ASSERT_TRUE(documents->mkdir("/Documents/Films"));
    EXPECT_EQ(installed->container("org.example.player")->kind("/Documents/Films"), SimulatedFileSystem::Kind::Directory);
    EXPECT_THAT(*documents->directoryContents("/"), ElementsAre("Documents", "Library", "tmp"));
    EXPECT_FALSE(device->documentsForApp("org.example.private"));
    EXPECT_EQ(device->lasterror(), "InstallationLookupFailed");
    EXPECT_TRUE(device->containerForApp("org.example.player"));
}

} // namespace
} // namespace keldo
