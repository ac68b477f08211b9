#include "tools/device/DeviceTool.h"

#include "monitor/DeviceMonitor.h"
#include "support/SimulatedPlatform.h"
#include "tools/device/CommandLine.h"
#include "tools/device/Console.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <memory>
#include <string>

namespace keldo {
namespace {

using ::testing::HasSubstr;

class DeviceToolTest : public testing::SimulatedPlatform {
protected:
    DeviceToolTest() { DeviceMonitor::resetSingletonForTesting(); }
    ~DeviceToolTest() override {
        if (tool) tool->release();
        DeviceMonitor::resetSingletonForTesting();
    }

    void startList(const std::string& udid) {
        Invocation invocation;
        invocation.command = "list";
        if (!udid.empty()) invocation.udid = udid;
        tool = std::make_shared<DeviceTool>(std::move(invocation), console, [] {});
        tool->start();
    }
    // Attaches a phone once the virtual clock reaches `at` seconds.
    void attachAt(double at, const std::string& name) {
        am_device phone = addPhone(name);
        timers.push_back(loop->scheduleTimer(at, [this, phone] { sim->attach(phone); }));
    }
    std::string output() {
        std::fflush(out.get());
        std::rewind(out.get());
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), out.get()));
        return text;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out{std::tmpfile(), std::fclose};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> err{std::tmpfile(), std::fclose};
    Console console{out.get(), err.get()};
    std::vector<std::shared_ptr<RunLoopTimer>> timers;
    std::shared_ptr<DeviceTool> tool;
};

// The platform lists the devices attached now (the phones added here), before their attach events
// have come: the run goes on as soon as the last listed one has been heard of, not after a pause.
TEST_F(DeviceToolTest, GoesOnOnceEveryListedDeviceHasBeenHeardOf) {
    attachAt(0.05, "first");
    attachAt(0.1, "second");
    startList("");
    loop->advance(0.09);
    EXPECT_FALSE(tool->finished());
    loop->advance(0.02);
    ASSERT_TRUE(tool->finished());
    EXPECT_EQ(tool->exitCode(), 0);
    EXPECT_THAT(output(), HasSubstr("udid-1"));
    EXPECT_THAT(output(), HasSubstr("udid-2"));
}

// A device asked for that the list does not name is not waited for.
TEST_F(DeviceToolTest, SaysAtOnceThatTheDeviceAskedForIsNotListed) {
    attachAt(0.01, "first");
    startList("udid-9");
    loop->advance(0.001);
    ASSERT_TRUE(tool->finished());
    EXPECT_EQ(tool->exitCode(), 1);
}

// Without a list, usbmuxd tells of devices one at a time, and each takes the main loop a while:
// the device asked for may be heard of only after others, later than the first wait alone would
// allow.
TEST_F(DeviceToolTest, WithoutAListWaitsOnWhileOtherDevicesAreStillBeingHeardOf) {
    sim->forceStatus("AMDCreateDeviceList", kAMDUndefinedError, -1);
    attachAt(0.4, "first");
    attachAt(0.6, "second");
    startList("udid-2");
    loop->advance(0.8);
    EXPECT_FALSE(tool->finished());
    loop->advance(0.2);
    ASSERT_TRUE(tool->finished());
    EXPECT_EQ(tool->exitCode(), 0);
    EXPECT_THAT(output(), HasSubstr("udid-2"));
}

} // namespace
} // namespace keldo
