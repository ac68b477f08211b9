// 256 MiB uploads and downloads through AFCDirectoryAccess, side by side with the same simulated
// backend driven directly with the same chunk sizes (writes of the upload's chunk up, by default
// 10240 bytes and 1 MiB on request; 1 MiB reads down).
// Each benchmark runs both in turns and reports both rates; the time per iteration covers both.
// Uploads run twice: with the device keeping the bytes (/1) and only counting them (/0), which
// leaves the device's own memory traffic out and so shows the layer's share more sharply.
#include "afc/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "platform/simulated/SimulatedBackend.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace keldo {
namespace {

constexpr std::size_t kTransferSize = 256u * 1024 * 1024;

// A device whose "/down" holds 256 MiB, and a local directory whose "up" holds as much.
struct Transfer {
    std::shared_ptr<SimulatedBackend> sim = SimulatedBackend::installNew();
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> afc;
    SimulatedFileSystem* files = nullptr;
    std::string dir;

    Transfer() {
        am_device phone = sim->addDevice(SimulatedDeviceInfo::iPhone("udid", "phone", "7.0"));
        AMDeviceRetain(phone);
        std::optional<std::string> error;
        device = AMDevice::initWithDeviceOrBust(phone, error);
        afc = device->directoryForName("com.apple.afc");
        files = &sim->fileSystem(phone);
        std::string contents(kTransferSize, '\0');
        for (std::size_t i = 0; i < contents.size(); i += 4096) contents[i] = static_cast<char>(i >> 12);
        files->addFile("/down", contents);
        // In memory where there is a tmpfs, so that the disk's write-back policy stays out of it.
        char shm[] = "/dev/shm/keldo-bench-XXXXXX";
        char tmp[] = "/tmp/keldo-bench-XXXXXX";
        const char* made = ::mkdtemp(shm);
        dir = made ? made : ::mkdtemp(tmp);
        int fd = ::open(local("up").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::write(fd, contents.data(), contents.size());
            ::close(fd);
        }
        sim->clearCalls();
    }
    ~Transfer() {
        std::filesystem::remove_all(dir);
        afc.reset();
        device.reset();
        Backend::install(nullptr);
    }
    std::string local(const std::string& name) const { return dir + "/" + name; }

    // Between transfers: the upload's target goes and the call log is emptied.
    void reset(benchmark::State&) {
        (void)files->removePath("/up");
        sim->clearCalls();
    }
};

// The calling thread's processor time (the kernel's share in its reads and writes included):
// steadier than the wall clock on a machine that other work shares.
double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs the layer's transfer and the direct one in turns, alternating which goes first, and
// reports both rates and what the layer adds.
template <typename Layer, typename Direct>
void sideBySide(benchmark::State& state, Transfer& t, Layer layer, Direct direct) {
    double layerSeconds = 0;
    double directSeconds = 0;
    bool layerFirst = false;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            bool runLayer = (turn == 0) == layerFirst;
            double start = threadSeconds();
            bool done = runLayer ? layer() : direct();
            (runLayer ? layerSeconds : directSeconds) += threadSeconds() - start;
            if (!done) state.SkipWithError("transfer failed");
            t.reset(state);
        }
        layerFirst = !layerFirst;
    }
    double bytes = static_cast<double>(state.iterations()) * kTransferSize;
    state.counters["layer_MBps"] = bytes / layerSeconds / 1e6;
    state.counters["direct_MBps"] = bytes / directSeconds / 1e6;
    state.counters["layer_adds_pct"] = (layerSeconds / directSeconds - 1) * 100;
}

void Upload256MiB(benchmark::State& state) {
    Transfer t;
    t.files->setKeepsContents(state.range(0) != 0);
    t.afc->setUploadChunk(static_cast<std::size_t>(state.range(1)));
    afc_connection afc = t.afc->afc();
    sideBySide(
        state, t, [&] { return t.afc->copyLocalFileToRemoteFile(t.local("up"), "/up"); },
        [&] {
            std::vector<std::uint8_t> chunk(t.afc->uploadChunk());
            int fd = ::open(t.local("up").c_str(), O_RDONLY | O_CLOEXEC);
            afc_file_ref ref = 0;
            bool done = fd >= 0 && AFCFileRefOpen(afc, "/up", 2, &ref) == 0;
            ssize_t n;
            while (done && (n = ::read(fd, chunk.data(), chunk.size())) > 0)
                done = AFCFileRefWrite(afc, ref, chunk.data(), static_cast<std::uint64_t>(n)) == 0;
            (void)AFCFileRefClose(afc, ref);
            ::close(fd);
            return done;
        });
}
// Arguments: whether the device keeps the bytes, and the upload's chunk (the default, or 1 MiB).
BENCHMARK(Upload256MiB)
    ->Args({1, AFCDirectoryAccess::kUploadChunk})
    ->Args({0, AFCDirectoryAccess::kUploadChunk})
    ->Args({1, 1 << 20})
    ->Args({0, 1 << 20})
    ->Iterations(6)
    ->Unit(benchmark::kMillisecond);

void Download256MiB(benchmark::State& state) {
    Transfer t;
    afc_connection afc = t.afc->afc();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[AFCDirectoryAccess::kDownloadBuffer]);
    sideBySide(
        state, t, [&] { return t.afc->copyRemoteFileToLocalFile("/down", t.local("down")); },
        [&] {
            afc_file_ref ref = 0;
            int fd = ::open(t.local("down").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            bool done = fd >= 0 && AFCFileRefOpen(afc, "/down", 1, &ref) == 0;
            while (done) {
                std::uint64_t count = AFCDirectoryAccess::kDownloadBuffer;
                if (AFCFileRefRead(afc, ref, buffer.get(), &count) != 0 || count == 0) break;
                done = ::write(fd, buffer.get(), count) == static_cast<ssize_t>(count);
            }
            (void)AFCFileRefClose(afc, ref);
            ::close(fd);
            return done;
        });
}
BENCHMARK(Download256MiB)->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace keldo
