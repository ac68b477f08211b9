// AMDevice's AFC operations. They live with the AFC layer so that the device layer never links it.
#include "afc/AFCDirectoryAccess.h"
#include "device/AMDevice.h"

#include <fmt/format.h>

namespace keldo {

namespace {

constexpr const char* kHouseArrest = "com.apple.mobile.house_arrest";

// house_arrest's answer: {Status: "Complete"}, or {Error: TEXT} when the device refuses.
std::optional<std::string> refusalOf(const char* command, const PlistValue& answer) {
    const PlistValue* error = answer.find("Error");
    if (error && error->text()) return *error->text();
    const PlistValue* status = answer.find("Status");
    if (status && status->text() && *status->text() == "Complete") return std::nullopt;
    return fmt::format("{} was not completed: {}", command, answer.debugDescription());
}

// Asks house_arrest for an app's folder, then opens AFC on the same service. Every failure keeps
// its own text: the undo steps after it do not overwrite it.
std::shared_ptr<AFCDirectoryAccess> vend(AMDevice& device, const char* command, const std::string& bundleIdentifier) {
    if (bundleIdentifier.empty()) {
        device.setLastError("No bundle identifier given");
        return nullptr;
    }
    if (!device.deviceConnect()) return nullptr;
    if (!device.startSession()) {
        const auto why = device.lasterror();
        (void)device.deviceDisconnect();
        if (why) device.setLastError(*why);
        return nullptr;
    }
    const PlistValue request = PlistValue::Dictionary{{"Command", command}, {"Identifier", bundleIdentifier}};
    std::string why;
    auto folder = AFCDirectoryAccess::initWithNameOnDeviceAfterRequest(
        kHouseArrest, device.shared_from_this(), request,
        [command](const PlistValue& answer) { return refusalOf(command, answer); }, why);
    (void)device.stopSession();
    (void)device.deviceDisconnect();
    if (!folder) device.setLastError(why);
    return folder;
}

} // namespace

std::shared_ptr<AFCDirectoryAccess> AMDevice::directoryForName(const std::string& name) {
    if (!deviceConnect()) return nullptr;
    if (!startSession()) {
        (void)deviceDisconnect();
        return nullptr;
    }
    auto directory = AFCDirectoryAccess::initWithNameOnDevice(name, shared_from_this());
    (void)stopSession();
    (void)deviceDisconnect();
    return directory;
}

std::shared_ptr<AFCDirectoryAccess> AMDevice::mediaDirectory() {
    if (!media_) media_ = directoryForName("com.apple.afc");
    return media_;
}

std::shared_ptr<AFCDirectoryAccess> AMDevice::documentsForApp(const std::string& bundleIdentifier) {
    return vend(*this, "VendDocuments", bundleIdentifier);
}

std::shared_ptr<AFCDirectoryAccess> AMDevice::containerForApp(const std::string& bundleIdentifier) {
    return vend(*this, "VendContainer", bundleIdentifier);
}

PlistValue::Dictionary AMDevice::readAfcDictionary(afc_dictionary dictionary) {
    return AFCDirectoryAccess::readAfcDictionary(dictionary);
}

} // namespace keldo
