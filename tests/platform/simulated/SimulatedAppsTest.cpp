#include "platform/simulated/SimulatedApps.h"

#include <gmock/gmock.h>

#include <thread>

namespace keldo {
namespace {

TEST(SimulatedApps, AnUpdateKeepsTheFilesAndARemovalTakesThem) {
    SimulatedApps apps;
    apps.install({"org.example.player", "Player", "1.0", true});
    auto container = apps.container("org.example.player");
    container->addFile("/Documents/film.mp4", "frames");
    apps.install({"org.example.player", "Player", "2.0", false});
    EXPECT_EQ(apps.find("org.example.player")->version, "2.0");
    EXPECT_EQ(apps.container("org.example.player")->contents("/Documents/film.mp4"), "frames");
    EXPECT_TRUE(apps.remove("org.example.player"));
    EXPECT_FALSE(apps.remove("org.example.player"));
    apps.install({"org.example.player", "Player", "2.0", true});
    EXPECT_FALSE(apps.container("org.example.player")->kind("/Documents/film.mp4"));
    EXPECT_EQ(apps.container("org.example.player")->names("/"), (std::vector<std::string>{"Documents", "Library", "tmp"}));
}

TEST(SimulatedAppsConcurrency, InstallsRemovalsAndLookupsFromManyThreads) {
    SimulatedApps apps;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&apps, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string id = "org.example.app" + std::to_string((i + t) % 7);
                apps.install({id, "App", std::to_string(i), true});
                if (auto container = apps.container(id)) container->addFile("/Documents/f" + std::to_string(t));
                (void)apps.list();
                (void)apps.remove(id);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(apps.list().size(), 7u);
}

} // namespace
} // namespace keldo
