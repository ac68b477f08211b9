// AFC upload and download throughput, side by side in one run:
// - WholeStack: AFCFileReference -> the libimobiledevice backend -> libimobiledevice -> the
//   simulator's usbmuxd UNIX socket -> keldo-devsim's AFC session -> the simulated file system;
// - PacketsOverASocket: the same AFC packets, made by hand, over a socket to the same session:
//   the socket and the simulator without the client libraries;
// - SimulatorAlone: the simulator's own handling of the same packets, with no socket at all.
// The argument is the bytes per call of the whole stack; a packet carries at most the backend's
// chunk of them, and the other two send packets of that size.
//
// KeldoDevice_PushBesidePull runs keldo-device's push and pull (Transfer) of one file in turns
// through the whole stack and reports both rates: with the simulated device keeping the bytes
// (first argument 1) and only counting them (0), which leaves its own memory traffic out; over
// the socket alone (second argument 0: 300 MiB) or a modelled link (1: usb2, 2: wifi; 16 MiB),
// against whose rate it reports them too.
#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "device/AMDevice.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"
#include "tools/devsim/AfcSession.h"
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/LinkModel.h"
#include "tools/devsim/SocketStream.h"
#include "tools/device/Console.h"
#include "tools/device/Transfer.h"

#include <benchmark/benchmark.h>
#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace keldo {
namespace {

constexpr std::uint64_t kTotal = 32 * 1024 * 1024;  // bytes moved per iteration
constexpr const char* kUdid = "bench-0001";

std::uint64_t packetSize(const benchmark::State& state) {
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(state.range(0)), ImobiledeviceBackend::kAfcChunk);
}

// A simulated device reached through the real backend, with its AFC connection open.
struct WireDevice {
    std::string dir;
    std::shared_ptr<ImobiledeviceBackend> backend;
    std::unique_ptr<DeviceSimulator> simulator;
    _am_device_notification* subscription = nullptr;
    am_device phone = nullptr;
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> afc;

    explicit WireDevice(std::optional<LinkModel::Figures> link = std::nullopt) {
        char pattern[] = "/tmp/keldo-bench-XXXXXX";
        dir = mkdtemp(pattern);
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir + "/usbmuxd").c_str(), 1);
        backend = ImobiledeviceBackend::installNew();
        DeviceSimulator::Options options;
        options.link = link;
        simulator = std::make_unique<DeviceSimulator>(dir + "/usbmuxd", ServiceRegistry{}, std::move(options));
        (void)simulator->start();
        simulator->fileSystem(kUdid).addFile("/download", std::string(kTotal, 'd'));
        (void)simulator->attach(SimulatedDeviceInfo::iPhone(kUdid, "Bench", "9.3"));
        (void)AMDeviceNotificationSubscribe(record, 0, 0, &phone, &subscription);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!phone && std::chrono::steady_clock::now() < end) {
            while (g_main_context_iteration(nullptr, FALSE)) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::optional<std::string> bust;
        device = phone ? AMDevice::initWithDeviceOrBust(phone, bust) : nullptr;
        afc = device ? device->directoryForName("com.apple.afc") : nullptr;
    }
    ~WireDevice() {
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
    static void record(am_device_notification_callback_info* info, void* phone) {
        if (info->msg == ADNCI_MSG_CONNECTED) *static_cast<am_device*>(phone) = info->dev;
    }
};

void AfcUpload_WholeStack(benchmark::State& state) {
    WireDevice wire;
    auto file = wire.afc ? wire.afc->openForWrite("/upload") : nullptr;
    if (!file) return state.SkipWithError("no AFC connection to the simulator");
    const std::string chunk(static_cast<std::size_t>(state.range(0)), 'u');
    for (auto _ : state) {
        bool ok = file->seek(0);
        for (std::uint64_t done = 0; ok && done < kTotal; done += chunk.size()) ok = file->writeNBytes(chunk.size(), chunk.data());
        if (!ok) return state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void AfcDownload_WholeStack(benchmark::State& state) {
    WireDevice wire;
    auto file = wire.afc ? wire.afc->openForRead("/download") : nullptr;
    if (!file) return state.SkipWithError("no AFC connection to the simulator");
    std::string buffer(static_cast<std::size_t>(state.range(0)), '\0');
    for (auto _ : state) {
        bool ok = file->seek(0);
        for (std::uint64_t done = 0; ok && done < kTotal; done += buffer.size())
            ok = file->readNBytes(buffer.size(), buffer.data()) == buffer.size();
        if (!ok) return state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

// The packets of one iteration, for a file the session opened as handle 1: a seek to the start,
// then writes (with payload) or reads of one packet's size each.
std::vector<std::string> transferPackets(bool upload, std::uint64_t packet) {
    std::vector<std::string> packets;
    std::string arguments;
    std::uint64_t number = 1;
    for (std::uint64_t v : {1, 0, 0}) AfcPacket::appendNumber(arguments, v);
    packets.push_back(AfcPacket::encode(++number, AfcPacket::FileSeek, arguments));
    const std::string payload(upload ? packet : 0, 'u');
    for (std::uint64_t done = 0; done < kTotal; done += packet) {
        arguments.clear();
        AfcPacket::appendNumber(arguments, 1);
        if (!upload) AfcPacket::appendNumber(arguments, packet);
        packets.push_back(AfcPacket::encode(++number, upload ? AfcPacket::FileWrite : AfcPacket::FileRead, arguments, payload));
    }
    return packets;
}

AfcPacket parsed(const std::string& bytes) {
    AfcPacket packet = *AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    packet.setBody(bytes.substr(AfcPacket::kHeaderSize));
    return packet;
}

// A session with "/upload" (to be written) or "/download" (to be read) open as handle 1.
struct SessionWithOpenFile {
    std::shared_ptr<SimulatedFileSystem> files = std::make_shared<SimulatedFileSystem>();
    AfcSession session{files};

    explicit SessionWithOpenFile(bool upload) {
        files->addFile("/download", std::string(kTotal, 'd'));
        std::string arguments;
        AfcPacket::appendNumber(arguments, upload ? 3 : 1);
        arguments += upload ? "/upload" : "/download";
        arguments.push_back('\0');
        session.reply(parsed(AfcPacket::encode(1, AfcPacket::FileOpen, arguments)));
    }
};

void simulatorAlone(benchmark::State& state, bool upload) {
    SessionWithOpenFile open(upload);
    std::vector<AfcPacket> packets;
    for (const auto& bytes : transferPackets(upload, packetSize(state))) packets.push_back(parsed(bytes));
    for (auto _ : state) {
        for (const auto& packet : packets) benchmark::DoNotOptimize(open.session.reply(packet));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
void AfcUpload_SimulatorAlone(benchmark::State& state) { simulatorAlone(state, true); }
void AfcDownload_SimulatorAlone(benchmark::State& state) { simulatorAlone(state, false); }

void packetsOverASocket(benchmark::State& state, bool upload) {
    SessionWithOpenFile open(upload);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return state.SkipWithError("no socket pair");
    std::thread server([&] { open.session.serve(fds[1]); });
    const auto packets = transferPackets(upload, packetSize(state));
    std::string reply;
    for (auto _ : state) {
        for (const auto& packet : packets) {
            // As the client library does: one request, then its whole reply.
            std::uint8_t header[AfcPacket::kHeaderSize];
            if (!SocketStream::writeAll(fds[0], packet.data(), packet.size()) ||
                !SocketStream::readExactly(fds[0], header, sizeof(header)))
                return state.SkipWithError("the session went away");
            const auto answer = AfcPacket::parseHeader(header);
            reply.resize(answer ? answer->bodySize() : 0);
            if (!reply.empty()) (void)SocketStream::readExactly(fds[0], reply.data(), reply.size());
        }
    }
    ::shutdown(fds[0], SHUT_RDWR);
    server.join();
    ::close(fds[0]);
    ::close(fds[1]);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
void AfcUpload_PacketsOverASocket(benchmark::State& state) { packetsOverASocket(state, true); }
void AfcDownload_PacketsOverASocket(benchmark::State& state) { packetsOverASocket(state, false); }

void KeldoDevice_PushBesidePull(benchmark::State& state) {
    const char* linkName = state.range(1) == 1 ? "usb2" : state.range(1) == 2 ? "wifi" : nullptr;
    const auto link = linkName ? LinkModel::named(linkName) : std::nullopt;
    const std::uint64_t kFile = (link ? 16ull : 300ull) << 20;
    WireDevice wire(link);
    if (!wire.afc) return state.SkipWithError("no AFC connection to the simulator");
    // The same bytes on both sides: pushed from a local file, pulled from the device's copy.
    std::string contents(kFile, '\0');
    for (std::uint64_t i = 0; i < kFile; i += 4096) contents[i] = static_cast<char>(i >> 12);
    SimulatedFileSystem& files = wire.simulator->fileSystem(kUdid);
    files.addFile("/source", contents);
    files.setKeepsContents(state.range(0) != 0);
    // Local files in memory where there is a tmpfs, so that the disk stays out of it.
    const std::string local = std::filesystem::exists("/dev/shm") ? "/dev/shm/keldo-bench-" + std::to_string(::getpid())
                                                                  : wire.dir + "/local";
    std::filesystem::create_directory(local);
    std::ofstream(local + "/source", std::ios::binary).write(contents.data(), static_cast<std::streamsize>(kFile));
    contents = {};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> null(std::fopen("/dev/null", "w"), std::fclose);
    Console console(null.get(), null.get());
    Transfer::Options options;
    options.force = true;
    options.progress = false;
    Transfer transfer(console, *wire.afc, options);
    double pushSeconds = 0;
    double pullSeconds = 0;
    bool pushFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool pushing = (turn == 0) == pushFirst;
            const auto start = std::chrono::steady_clock::now();
            const int code = pushing ? transfer.push({local + "/source"}, "/pushed")
                                     : transfer.pull({"/source"}, local + "/pulled");
            (pushing ? pushSeconds : pullSeconds) +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (code != 0) return state.SkipWithError("transfer failed");
        }
        pushFirst = !pushFirst;
    }
    std::filesystem::remove_all(local);
    const double bytes = static_cast<double>(state.iterations() * kFile);
    state.counters["push_MiBps"] = bytes / pushSeconds / (1 << 20);
    state.counters["pull_MiBps"] = bytes / pullSeconds / (1 << 20);
    state.counters["push_of_pull_pct"] = pullSeconds / pushSeconds * 100;
    if (link) {
        const double capacity = link->toDevice.bytesPerSecond;
        state.counters["link_MiBps"] = capacity / (1 << 20);
        state.counters["push_of_link_pct"] = bytes / pushSeconds / capacity * 100;
        state.counters["pull_of_link_pct"] = bytes / pullSeconds / link->toHost.bytesPerSecond * 100;
    }
}
BENCHMARK(KeldoDevice_PushBesidePull)
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

#define KELDO_TRANSFER_BENCHMARK(name) \
    BENCHMARK(name)->Arg(16 * 1024)->Arg(64 * 1024)->Arg(256 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime()
KELDO_TRANSFER_BENCHMARK(AfcUpload_WholeStack);
KELDO_TRANSFER_BENCHMARK(AfcUpload_PacketsOverASocket);
KELDO_TRANSFER_BENCHMARK(AfcUpload_SimulatorAlone);
KELDO_TRANSFER_BENCHMARK(AfcDownload_WholeStack);
KELDO_TRANSFER_BENCHMARK(AfcDownload_PacketsOverASocket);
KELDO_TRANSFER_BENCHMARK(AfcDownload_SimulatorAlone);

} // namespace
} // namespace keldo
