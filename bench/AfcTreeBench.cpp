// A tree listing through AFCDirectoryAccess against the simulated platform's own cost for the
// same directory opens, reads and closes, made directly in the same order; and keldo-device's
// tree, which asks for each entry's information so as to show links as links. "requests" counts
// the calls of one listing that a real device answers (a directory's names, an entry's
// information, each in one AFC packet); the reads that follow come from the answer.
#include "afc/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "platform/simulated/SimulatedBackend.h"
#include "tools/device/Console.h"
#include "tools/device/FileCommands.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace keldo {
namespace {

// A simulated device whose "/Media" holds `paths` paths in all: directories of 100 files each.
double requests(const SimulatedBackend& sim) {
    double count = 0;
    for (const auto& call : sim.calls()) count += call.name == "AFCDirectoryOpen" || call.name == "AFCFileInfoOpen";
    return count;
}

struct Tree {
    std::shared_ptr<SimulatedBackend> sim = SimulatedBackend::installNew();
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> afc;
    std::vector<std::string> walk;  // every path in the order a depth-first walk opens them

    explicit Tree(int paths) {
        am_device phone = sim->addDevice(SimulatedDeviceInfo::iPhone("udid", "phone", "7.0"));
        AMDeviceRetain(phone);
        std::optional<std::string> error;
        device = AMDevice::initWithDeviceOrBust(phone, error);
        afc = device->directoryForName("com.apple.afc");
        SimulatedFileSystem& files = sim->fileSystem(phone);
        files.addDirectory("/Media");
        walk.push_back("/Media");
        int made = 1;
        for (int d = 0; made < paths; ++d) {
            std::string directory = "/Media/Dir" + std::to_string(d);
            files.addDirectory(directory);
            walk.push_back(directory);
            ++made;
            for (int f = 0; f < 100 && made < paths; ++f, ++made) {
                files.addFile(directory + "/File" + std::to_string(f) + ".m4a");
                walk.push_back(directory + "/File" + std::to_string(f) + ".m4a");
            }
        }
        sim->clearCalls();
    }
    ~Tree() {
        afc.reset();
        device.reset();
        Backend::install(nullptr);
    }
};

void TreeListing_ThroughTheLayer(benchmark::State& state) {
    Tree tree(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto list = tree.afc->recursiveDirectoryContents("/Media");
        if (!list || list->size() != tree.walk.size()) state.SkipWithError("wrong listing");
        benchmark::DoNotOptimize(list);
        state.PauseTiming();
        state.counters["requests"] = requests(*tree.sim);
        tree.sim->clearCalls();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(TreeListing_ThroughTheLayer)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void TreeListing_PlatformAlone(benchmark::State& state) {
    Tree tree(static_cast<int>(state.range(0)));
    afc_connection afc = tree.afc->afc();
    for (auto _ : state) {
        std::size_t names = 0;
        for (const auto& path : tree.walk) {
            afc_directory directory = nullptr;
            if (AFCDirectoryOpen(afc, path.c_str(), &directory) != 0) continue;
            for (;;) {
                char* name = nullptr;
                (void)AFCDirectoryRead(afc, directory, &name);
                if (!name) break;
                names += std::strlen(name);
            }
            (void)AFCDirectoryClose(afc, directory);
        }
        benchmark::DoNotOptimize(names);
        state.PauseTiming();
        tree.sim->clearCalls();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(TreeListing_PlatformAlone)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void TreeListing_KeldoDeviceTree(benchmark::State& state) {
    Tree tree(static_cast<int>(state.range(0)));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> sink(std::fopen("/dev/null", "w"), std::fclose);
    Console console(sink.get(), sink.get());
    FileCommands commands(console, *tree.afc, false);
    for (auto _ : state) {
        if (commands.tree("/Media") != 0) state.SkipWithError("tree failed");
        state.PauseTiming();
        state.counters["requests"] = requests(*tree.sim);
        tree.sim->clearCalls();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(TreeListing_KeldoDeviceTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace keldo
