#pragma once

#include "device/AtomicText.h"
#include "platform/mobiledevice/MobileDevice.h"
#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace keldo {

class AFCDirectoryAccess;
class RunLoopTimer;
struct Notification;

// The handle of one attached device. It adopts the platform reference it is made with, reads the
// device's identity once, and afterwards answers identity questions from what it stored.
// Conversations with the device are bracketed in a connection and a session.
class AMDevice : public std::enable_shared_from_this<AMDevice> {
public:
    // Connects, starts a session, reads the identity, then stops the session and disconnects.
    // When the connect fails: none, `bust` holds the error text, and the reference stays the
    // caller's (the handle does not release it).
    [[nodiscard]] static std::shared_ptr<AMDevice> initWithDeviceOrBust(am_device device, std::optional<std::string>& bust);
    ~AMDevice();
    AMDevice(const AMDevice&) = delete;
    AMDevice& operator=(const AMDevice&) = delete;

    // Identity, from the stored values. udid, deviceName and lasterror are safe to read from any
    // thread: each read returns its own copy of the text held at that moment.
    std::optional<std::string> udid() const { return _udid.load(); }
    std::optional<std::string> deviceName() const { return _deviceName.load(); }
    std::int64_t interfaceType() const { return _interfaceType; }
    std::string description() const;

    // Read from the device (bracketed); productVersion is kept once it has a value.
    [[nodiscard]] std::optional<std::string> productType();
    [[nodiscard]] std::optional<std::string> productVersion();
    [[nodiscard]] std::optional<std::string> deviceClass();
    [[nodiscard]] std::optional<std::string> serialNumber();
    [[nodiscard]] bool isPair();

    // Pairing with this computer, each in a connection of its own unless the handle has one;
    // lasterror tells the platform's status of a refusal. pair asks the device's user to trust
    // the computer: the prompt not yet answered, answered "Don't Trust" or a device locked with a
    // passcode are kAMDPairingDialogResponsePendingError, kAMDUserDeniedPairingError and
    // kAMDPasswordProtectedError. unpair makes the device forget the computer, and isPair answers
    // false again; validatePairing proves that the device still trusts the computer's record.
    [[nodiscard]] bool pair();
    [[nodiscard]] bool unpair();
    [[nodiscard]] bool validatePairing();

    // Connection and session steps; each makes one platform call and changes its flag on success.
    [[nodiscard]] bool deviceConnect();
    [[nodiscard]] bool deviceDisconnect();
    [[nodiscard]] bool startSession();
    [[nodiscard]] bool stopSession();

    // Reads a value, connecting and starting a session first when needed and undoing only that.
    [[nodiscard]] PlistRef deviceValueForKeyInDomain(const std::optional<std::string>& key, const std::optional<std::string>& domain);
    [[nodiscard]] PlistRef deviceValueForKey(const std::optional<std::string>& key);
    [[nodiscard]] PlistRef allDeviceValuesForDomain(const std::optional<std::string>& domain);
    // Reads a value with no bracket: the caller has the device connected and in a session.
    [[nodiscard]] PlistRef deviceCopyValueForKeyInDomain(const std::optional<std::string>& key,
                                           const std::optional<std::string>& domain);

    bool isDevice(am_device device) const { return device == _device; }
    // Gives up the platform reference; the stored identity stays.
    void forgetDevice();
    // Closes an open session and connection; keeps the reference.
    void applicationWillTerminate(const Notification& notification);

    // Starts a named service (the secure start on interface type 2) while the caller has the
    // device connected and in a session. The caller owns the handle; 0 when the start failed.
    [[nodiscard]] service_handle _startService(const std::string& name);
    // Asks for a wireless-sync power assertion and, when granted, renews it every 300 seconds on
    // the calling thread's run loop. A granted assertion replaces (releases) the one held before,
    // and its renewal replaces (cancels) the one pending, so one handle runs one chain at most.
    void powerAssertion();
    // A copy of the platform's wake-up token, or none.
    [[nodiscard]] PlistRef wakeUpToken();

    // AFC connections; defined in the afc library, which whoever calls them links.
    // Connects and starts a session whatever the state, opens the named AFC service, then always
    // stops the session and disconnects: a handle connected before the call is not after it.
    [[nodiscard]] std::shared_ptr<AFCDirectoryAccess> directoryForName(const std::string& name);
    // The kept connection to "com.apple.afc", made on first use and tried again while there is none.
    [[nodiscard]] std::shared_ptr<AFCDirectoryAccess> mediaDirectory();
    // An app's Documents folder, or its whole container (Documents, Library, tmp), through the
    // device's house_arrest service: the app is asked for by its bundle identifier, and the AFC
    // connection is then opened on the same service. Bracketed as directoryForName is; each call
    // makes a new connection, which the caller keeps. None on failure, with lasterror saying
    // why: the device's own text when it refuses ("InstallationLookupFailed" for an app that is
    // not installed or does not share its documents).
    [[nodiscard]] std::shared_ptr<AFCDirectoryAccess> documentsForApp(const std::string& bundleIdentifier);
    [[nodiscard]] std::shared_ptr<AFCDirectoryAccess> containerForApp(const std::string& bundleIdentifier);
    // The platform's key/value pairs as a dictionary, as AFCDirectoryAccess reads them.
    static PlistValue::Dictionary readAfcDictionary(afc_dictionary dictionary);

    std::optional<std::string> lasterror() const { return _lasterror.load(); }
    [[nodiscard]] bool checkStatusFrom(std::int32_t status, const char* operation);
    void setLastError(std::string text) { _lasterror.store(std::move(text)); }
    void clearLastError() { _lasterror.store(std::nullopt); }

private:
    explicit AMDevice(am_device device);
    // One pairing call in a connection (made for it when there is none); lasterror tells its
    // status, not that of the disconnect after it.
    [[nodiscard]] bool pairingStep(std::int32_t (*call)(am_device), const char* operation);

    am_device _device = nullptr;
    std::shared_ptr<RunLoopTimer> powerAssertionTimer;
    void* ctx = nullptr;
    AtomicText _lasterror;
    AtomicText _deviceName;
    std::optional<std::string> _productVersion;
    AtomicText _udid;
    PlistRef _applAttributes;
    std::int64_t _interfaceType = 0;
    bool _connected = false;
    bool _insession = false;
    PlistRef wakeupTokens;
    PlatformObjectRef powerAssertionPtr;
    std::shared_ptr<AFCDirectoryAccess> media_;
    std::shared_ptr<AFCDirectoryAccess> root_;
    std::shared_ptr<AFCDirectoryAccess> crashLog_;
    bool isPair_ = false;
};

} // namespace keldo
