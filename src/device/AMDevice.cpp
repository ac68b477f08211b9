#include "device/AMDevice.h"

#include "platform/RunLoop.h"
#include "platform/SystemLog.h"

#include <fmt/format.h>

namespace keldo {

namespace {

const char* orNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// "%#x": 0 prints without the prefix.
std::string alternateHex(std::uint32_t value) { return value == 0 ? "0" : fmt::format("{:#x}", value); }

constexpr const char* kPowerAssertionType = "AMDPowerAssertionTypeWirelessSync";
constexpr const char* kPowerAssertionName = "com.apple.iTunes";
constexpr double kPowerAssertionDuration = 600.0;
constexpr double kPowerAssertionRenewal = 300.0;

} // namespace

AMDevice::AMDevice(am_device device) : _device(device) {}

std::shared_ptr<AMDevice> AMDevice::initWithDeviceOrBust(am_device device, std::optional<std::string>& bust) {
    std::shared_ptr<AMDevice> handle(new AMDevice(device));
    if (!handle->deviceConnect()) {
        bust = handle->_lasterror.load();
        // The reference stays the caller's: the discarded handle must not release it.
        handle->_device = nullptr;
        return nullptr;
    }
    (void)handle->startSession();  // on failure the reads below simply yield none
    handle->_interfaceType = AMDeviceGetInterfaceType(handle->_device);
    handle->_udid.store(textOf(handle->deviceCopyValueForKeyInDomain("UniqueDeviceID", std::nullopt)));
    handle->_deviceName.store(textOf(handle->deviceCopyValueForKeyInDomain("DeviceName", std::nullopt)));
    handle->_productVersion = textOf(handle->deviceCopyValueForKeyInDomain("ProductVersion", std::nullopt));
    handle->isPair_ = AMDeviceIsPaired(handle->_device) == 1;
    (void)handle->stopSession();
    (void)handle->deviceDisconnect();
    return handle;
}

AMDevice::~AMDevice() {
    powerAssertionPtr.reset();
    if (powerAssertionTimer) {
        powerAssertionTimer->invalidate();
        powerAssertionTimer.reset();
    }
    if (_device) {
        if (_insession) (void)stopSession();
        if (_connected) (void)deviceDisconnect();
        AMDeviceRelease(_device);
        _device = nullptr;
    }
}

std::string AMDevice::description() const {
    // A nameless device prints as the platform's "%@" prints none.
    auto name = _deviceName.load();
    return fmt::format("AMDevice('{}')", name ? *name : "(null)");
}

bool AMDevice::checkStatusFrom(std::int32_t status, const char* operation) {
    if (status == 0) {
        clearLastError();
        return true;
    }
    setLastError(fmt::format("{} failed: {:x}", operation, static_cast<std::uint32_t>(status)));
    return false;
}

bool AMDevice::deviceConnect() {
    if (!checkStatusFrom(AMDeviceConnect(_device), "AMDeviceConnect")) return false;
    _connected = true;
    return true;
}

bool AMDevice::deviceDisconnect() {
    if (!checkStatusFrom(AMDeviceDisconnect(_device), "AMDeviceDisconnect")) return false;
    _connected = false;
    return true;
}

bool AMDevice::startSession() {
    if (!checkStatusFrom(AMDeviceStartSession(_device), "AMDeviceStartSession")) return false;
    _insession = true;
    return true;
}

bool AMDevice::stopSession() {
    if (!checkStatusFrom(AMDeviceStopSession(_device), "AMDeviceStopSession")) return false;
    _insession = false;
    return true;
}

PlistRef AMDevice::deviceCopyValueForKeyInDomain(const std::optional<std::string>& key,
                                                 const std::optional<std::string>& domain) {
    return AMDeviceCopyValue(_device, orNull(domain), orNull(key));
}

PlistRef AMDevice::deviceValueForKeyInDomain(const std::optional<std::string>& key,
                                             const std::optional<std::string>& domain) {
    bool didConnect = false;
    bool didStartSession = false;
    if (!_connected) {
        if (!deviceConnect()) return nullptr;
        didConnect = true;
    }
    if (!_insession) {
        if (!startSession()) {
            if (didConnect) (void)deviceDisconnect();
            return nullptr;
        }
        didStartSession = true;
    }
    PlistRef value = deviceCopyValueForKeyInDomain(key, domain);
    if (didStartSession) (void)stopSession();
    if (didConnect) (void)deviceDisconnect();
    return value;
}

PlistRef AMDevice::deviceValueForKey(const std::optional<std::string>& key) {
    return deviceValueForKeyInDomain(key, std::nullopt);
}

PlistRef AMDevice::allDeviceValuesForDomain(const std::optional<std::string>& domain) {
    return deviceValueForKeyInDomain(std::nullopt, domain);
}

std::optional<std::string> AMDevice::productType() { return textOf(deviceValueForKey("ProductType")); }

std::optional<std::string> AMDevice::productVersion() {
    if (!_productVersion) _productVersion = textOf(deviceValueForKey("ProductVersion"));
    return _productVersion;
}

std::optional<std::string> AMDevice::deviceClass() { return textOf(deviceValueForKey("DeviceClass")); }

std::optional<std::string> AMDevice::serialNumber() { return textOf(deviceValueForKey("SerialNumber")); }

bool AMDevice::isPair() {
    if (isPair_) return true;
    if (AMDeviceIsPaired(_device) == 1) isPair_ = true;
    return isPair_;
}

bool AMDevice::pair() { return pairingStep(AMDevicePair, "AMDevicePair"); }

bool AMDevice::unpair() {
    if (!pairingStep(AMDeviceUnpair, "AMDeviceUnpair")) return false;
    // Kept true once the platform said so; after this the platform says otherwise.
    isPair_ = false;
    return true;
}

bool AMDevice::validatePairing() { return pairingStep(AMDeviceValidatePairing, "AMDeviceValidatePairing"); }

bool AMDevice::pairingStep(std::int32_t (*call)(am_device), const char* operation) {
    const bool didConnect = !_connected;
    if (didConnect && !deviceConnect()) return false;
    const std::int32_t status = call(_device);
    if (didConnect) (void)deviceDisconnect();
    return checkStatusFrom(status, operation);
}

service_handle AMDevice::_startService(const std::string& name) {
    service_handle service = 0;
    std::int32_t status;
    if (interfaceType() == 2) {
        status = AMDeviceSecureStartService(_device, name.c_str(), nullptr, &service);
    } else {
        std::uint32_t unused = 0;
        status = AMDeviceStartService(_device, name.c_str(), &service, &unused);
    }
    if (status == 0) return service;
    // The Mach error layout: system, subsystem, code.
    auto bits = static_cast<std::uint32_t>(status);
    logLine("AMDeviceStartService failed: {},{},{}", alternateHex(bits >> 26), alternateHex((bits >> 14) & 0xfff),
            alternateHex(bits & 0x3fff));
    return 0;
}

void AMDevice::powerAssertion() {
    PlistRef details;
    PlatformObjectRef assertion = AMDevicePowerAssertionCreate(_device, kPowerAssertionType, kPowerAssertionName,
                                                               nullptr, &details, kPowerAssertionDuration);
    if (!assertion) {
        logLine("!! AMDevicePowerAssertionCreate=NULL: iOS 5 ?");
        return;
    }
    // Releases the superseded assertion, so none is left without an owner.
    powerAssertionPtr = std::move(assertion);
    // A renewal still pending would start a second chain beside the new one.
    if (powerAssertionTimer) {
        powerAssertionTimer->invalidate();
        powerAssertionTimer.reset();
    }
    auto loop = RunLoop::current();
    if (!loop) return;
    // The pending renewal owns the handle until it fires.
    auto self = shared_from_this();
    powerAssertionTimer = loop->scheduleTimer(kPowerAssertionRenewal, [self] { self->powerAssertion(); });
}

PlistRef AMDevice::wakeUpToken() {
    PlistRef token;
    (void)AMDeviceCreateWakeupToken(_device, nullptr, &token);
    if (!token) return nullptr;
    return PlistValue::make(*token);
}

void AMDevice::forgetDevice() {
    if (_device) AMDeviceRelease(_device);
    _device = nullptr;
}

void AMDevice::applicationWillTerminate(const Notification&) {
    if (!_device) return;
    if (_insession) (void)stopSession();
    if (_connected) (void)deviceDisconnect();
}

} // namespace keldo
