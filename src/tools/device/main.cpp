// keldo-device: attached iOS devices and their AFC file system from the command line, over the
// same device-access library as the agent. See --help and man keldo-device.
#include "monitor/DeviceMonitor.h"
#include "platform/host/Application.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"
#include "platform/imobiledevice/UsbmuxdProbe.h"
#include "platform/SystemLog.h"
#include "tools/device/CommandLine.h"
#include "tools/device/Console.h"
#include "tools/device/DeviceTool.h"
#include "tools/device/ExitCode.h"
#include "tools/device/RootedBackend.h"
#include "tools/device/TracingBackend.h"

#include <fmt/format.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kAppDocuments = "/Documents";

} // namespace

int main(int argc, char** argv) {
    using namespace keldo;
    Console console(stdout, stderr);
    std::string error;
    const auto invocation = CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!invocation) {
        console.error(error);
        return kExitUsage;
    }
    if (invocation->version) {
        console.write(CommandLine::version());
        return kExitSuccess;
    }
    if (invocation->help) {
        console.write(invocation->command.empty() ? CommandLine::usage() : *CommandLine::helpFor(invocation->command));
        return kExitSuccess;
    }

    // Real devices, through the usbmuxd that USBMUXD_SOCKET_ADDRESS names (else the system's).
    ImobiledeviceBackend::installNew();
    if (invocation->verbose) TracingBackend::installOverCurrent();
    // --app shows the app's Documents folder as the root, as ifuse --documents does; house_arrest
    // hands out the container it lies in. A verbose run shows the paths the device is given.
    if (invocation->app && !invocation->container) RootedBackend::installOverCurrent(kAppDocuments);
    int code = kExitSuccess;
    {
        Application application;
        // The library's diagnostics are for --verbose; failures reach the user as one message.
        const bool verbose = invocation->verbose;
        SystemLog::setSink([&console, verbose](const std::string& line) {
            if (verbose) console.error(fmt::format("log: {}", line));
        });
        // With no device found: is there a usbmuxd to ask at all?
        auto probe = [] {
            auto usbmuxd = std::make_shared<UsbmuxdProbe>();
            return [usbmuxd] {
                const auto outcome = usbmuxd->outcome();
                if (outcome == UsbmuxdProbe::Outcome::Reached) return DeviceTool::SourceState{true, std::nullopt};
                return DeviceTool::SourceState{outcome == UsbmuxdProbe::Outcome::Unreachable, usbmuxd->failure()};
            };
        };
        auto tool = std::make_shared<DeviceTool>(*invocation, console, [&application] { application.terminate(); },
                                                 probe);
        application.setDelegate(tool);
        application.run();
        code = tool->exitCode();

        // Handles and connections go while the platform is still there.
        tool->release();
        auto monitor = DeviceMonitor::singleton();
        monitor->setListener(nullptr);
        monitor->sleepMode();
        application.setDelegate(nullptr);
    }
    Backend::install(nullptr);
    if (std::fflush(stdout) != 0 && code == kExitSuccess) {
        console.error("can't write to standard output");
        code = kExitDeviceError;
    }
    return code;
}
