#include "agent/AppDelegate.h"
#include "platform/host/Application.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/host/DesktopWorkspace.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "platform/simulated/SimulatedBackend.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// KELDO_DEMO_DEVICE=1 attaches one simulated device shortly after start, so a first run shows a
// real reminder without a phone at hand.
bool demoDeviceWanted() {
    const char* value = std::getenv("KELDO_DEMO_DEVICE");
    return value && std::strcmp(value, "1") == 0;
}

} // namespace

int main() {
    using namespace keldo;
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    // Until the real-device backend exists, the simulated one stands in, with no devices.
    auto backend = SimulatedBackend::installNew();

    Application application;
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto workspace = std::make_shared<DesktopWorkspace>();
    auto delegate = std::make_shared<AppDelegate>(center, workspace);
    application.setDelegate(delegate);

    std::shared_ptr<RunLoopTimer> demo;
    if (demoDeviceWanted()) {
        demo = RunLoop::main()->scheduleTimer(2.0, [backend] {
            // Monotonic time of the attach, so a measurement can compare it with the server's arrival.
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            logLine("demo device attached at {}.{:09}", now.tv_sec, now.tv_nsec);
            backend->attach(backend->addDevice(SimulatedDeviceInfo::iPhone("demo-0000", "Demo iPhone", "7.1", 1)));
        });
    }

    const int status = application.run();
    if (demo) demo->invalidate();
    Backend::install(nullptr);
    return status;
}
