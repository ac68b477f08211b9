#include "agent/AppDelegate.h"
#include "platform/host/Application.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/host/DesktopWorkspace.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "platform/Version.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

int main(int argc, char** argv) {
    using namespace keldo;
    if (argc > 1) {
        if (argc == 2 && std::string_view(argv[1]) == "--version") {
            std::fputs(version::text("keldo-agent", version::kDeviceAccessLibraries).c_str(), stdout);
            return 0;
        }
        std::fprintf(stderr, "keldo-agent: it takes no arguments but --version (see man keldo-agent)\n");
        return 2;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    // Real devices, through the usbmuxd that USBMUXD_SOCKET_ADDRESS names (else the system's).
    ImobiledeviceBackend::installNew();

    Application application;
    logLine("keldo-agent {} started", version::kKeldo);
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto workspace = std::make_shared<DesktopWorkspace>();
    auto delegate = std::make_shared<AppDelegate>(center, workspace);
    application.setDelegate(delegate);

    const int status = application.run();
    Backend::install(nullptr);
    return status;
}
