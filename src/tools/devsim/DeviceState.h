#pragma once

#include "platform/plist/PlistValue.h"
#include "platform/simulated/SimulatedBackend.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class DeviceKey;

// What one simulated device knows, shared by all its lockdownd connections and kept by the
// simulator for its udid across attachments, as a phone keeps it across cables: its values, its
// key, the hosts it trusts, whether a passcode locks it, and how its user answered the trust
// prompt. Thread-safe.
class DeviceState {
public:
    // How the user answered "Trust this computer?"; the question is asked again at every attach.
    enum class Prompt { Unanswered, Trusted, Denied };
    // The certificates (DER) of a host's pairing, its root's and its host certificate: it may show
    // either in a TLS handshake, as clients differ in which one they show.
    using Certificates = std::vector<std::string>;

    DeviceState(SimulatedDeviceInfo info, std::shared_ptr<const DeviceKey> key);

    // The device is attached again, with these values; the trust prompt is asked anew.
    void reattach(SimulatedDeviceInfo info);
    SimulatedDeviceInfo info() const;
    const DeviceKey& key() const { return *key_; }

    // A value of the default domain ("" or none) or of another one; no key gives the whole domain.
    // Outside a session only the identity a host needs to tell devices apart and pair with one
    // is given (kPublicValues); everything else is withheld. What a device gives and the
    // description leaves out is made up to match it (build, addresses, disk usage, battery,
    // language); TimeIntervalSince1970, TimeZone and TimeZoneOffsetFromUTC are the host's clock's.
    std::optional<PlistValue> value(const std::optional<std::string>& domain, const std::optional<std::string>& key,
                                    bool inSession) const;
    // Sets a value a host may set: the device's name. False for any other.
    [[nodiscard]] bool setValue(const std::optional<std::string>& domain, const std::string& key, const PlistValue& value);

    // Trust.
    void answerPrompt(Prompt answer);
    void setLocked(bool locked);
    // Sessions in plain text: StartSession answers EnableSessionSSL false and the conversation
    // carries on unencrypted, as a device (or a relay between it and the host) that turns
    // encryption off would.
    void setCleartextSessions(bool cleartext);
    bool cleartextSessions() const;
    // The error name that a pairing request from the host with these certificates gets now, or
    // none when the device may pair with it: a locked device asks for its passcode first; a host
    // it trusts (by its HostID, or by its SystemBUID: a host makes a new HostID each time it
    // pairs) pairs again at once with the same certificates. With others it is a new host to the
    // device, as is any host it does not know: it waits for the user's answer, and under a name
    // the device trusts (which anyone may read and claim) the user is asked anew, whatever they
    // answered before.
    std::optional<std::string> pairingRefusal(const std::string& hostId, const std::string& systemBuid,
                                              const Certificates& certificates);
    // Trusts the host, whose certificates it will ask for in each TLS handshake; the escrow bag
    // that it hands the host.
    PlistValue::Data trust(const std::string& hostId, Certificates certificates, std::string systemBuid = {});
    // The certificates of a trusted host.
    std::optional<Certificates> certificatesOf(const std::string& hostId) const;
    // Forgets the host; false when it was not trusted.
    bool forget(const std::string& hostId);
    void forgetAll();

    // What a device answers before a session: enough for a host to tell devices apart, show
    // them by name and pair with one.
    static const char* const kPublicValues[];

private:
    PlistValue::Dictionary publicDomain(const PlistValue::Dictionary& all) const;

    const std::shared_ptr<const DeviceKey> key_;
    mutable std::mutex mutex_;
    SimulatedDeviceInfo info_;
    struct Host {
        Certificates certificates;
        std::string systemBuid;
    };
    std::map<std::string, Host> trusted_;  // by HostID
    Prompt prompt_ = Prompt::Unanswered;
    // Whether the prompt asks about a claim to a trusted name now: the host's next attempts may
    // bring new certificates again (libimobiledevice makes new ones for each), so it is the
    // claim that is asked about, until one passes.
    bool askingAboutClaim_ = false;
    bool locked_ = false;
    bool cleartextSessions_ = false;
};

} // namespace keldo
