#include "agent/AppDelegate.h"
#include "platform/host/Application.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/host/DesktopWorkspace.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include <cstdlib>
#include <ctime>
#include <memory>

int main() {
    using namespace keldo;
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    // Real devices, through the usbmuxd that USBMUXD_SOCKET_ADDRESS names (else the system's).
    ImobiledeviceBackend::installNew();

    Application application;
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto workspace = std::make_shared<DesktopWorkspace>();
    auto delegate = std::make_shared<AppDelegate>(center, workspace);
    application.setDelegate(delegate);

    const int status = application.run();
    Backend::install(nullptr);
    return status;
}
