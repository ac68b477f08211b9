// AMDevice's AFC operations. They live with the AFC layer so that the device layer never links it.
#include "afc/AFCDirectoryAccess.h"
#include "device/AMDevice.h"

namespace keldo {

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

PlistValue::Dictionary AMDevice::readAfcDictionary(afc_dictionary dictionary) {
    return AFCDirectoryAccess::readAfcDictionary(dictionary);
}

} // namespace keldo
