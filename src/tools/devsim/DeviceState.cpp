#include "tools/devsim/DeviceState.h"

#include "tools/devsim/DeviceKey.h"

#include <chrono>
#include <random>

namespace keldo {

namespace {

constexpr const char* kTimeKey = "TimeIntervalSince1970";

PlistValue now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

} // namespace

const char* const DeviceState::kPublicValues[] = {
    "BuildVersion",    "CPUArchitecture", "DeviceClass",   "DeviceColor",     "DeviceName",
    "DevicePublicKey", "HardwareModel",   "ProductName",   "ProductType",     "ProductVersion",
    "ProtocolVersion", "UniqueChipID",    "UniqueDeviceID", "WiFiAddress",    nullptr,
};

DeviceState::DeviceState(SimulatedDeviceInfo info, std::shared_ptr<const DeviceKey> key)
    : key_(std::move(key)), info_(std::move(info)) {}

void DeviceState::reattach(SimulatedDeviceInfo info) {
    std::lock_guard lock(mutex_);
    info_ = std::move(info);
    prompt_ = Prompt::Unanswered;
    askingAboutClaim_ = false;
}

SimulatedDeviceInfo DeviceState::info() const {
    std::lock_guard lock(mutex_);
    return info_;
}

PlistValue::Dictionary DeviceState::publicDomain(const PlistValue::Dictionary& all) const {
    PlistValue::Dictionary shown;
    for (const char* const* key = kPublicValues; *key; ++key) {
        if (auto it = all.find(*key); it != all.end()) shown.insert(*it);
    }
    return shown;
}

std::optional<PlistValue> DeviceState::value(const std::optional<std::string>& domain,
                                             const std::optional<std::string>& key, bool inSession) const {
    const std::string name = domain.value_or("");
    std::lock_guard lock(mutex_);
    auto found = info_.domains.find(name);
    if (found == info_.domains.end() || (!inSession && !name.empty())) return std::nullopt;
    PlistValue::Dictionary values = found->second;
    if (name.empty()) {
        const std::string& pem = key_->publicKeyPem();
        values["DevicePublicKey"] = PlistValue::Data(pem.begin(), pem.end());
        values[kTimeKey] = now();
    }
    if (!inSession) values = publicDomain(values);
    if (!key) return values;
    auto value = values.find(*key);
    if (value == values.end()) return std::nullopt;
    return value->second;
}

bool DeviceState::setValue(const std::optional<std::string>& domain, const std::string& key, const PlistValue& value) {
    if (domain.value_or("") != "" || key != "DeviceName" || !value.text()) return false;
    std::lock_guard lock(mutex_);
    info_.domains[""][key] = value;
    return true;
}

void DeviceState::answerPrompt(Prompt answer) {
    std::lock_guard lock(mutex_);
    prompt_ = answer;
}

void DeviceState::setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    locked_ = locked;
}

void DeviceState::setCleartextSessions(bool cleartext) {
    std::lock_guard lock(mutex_);
    cleartextSessions_ = cleartext;
}

bool DeviceState::cleartextSessions() const {
    std::lock_guard lock(mutex_);
    return cleartextSessions_;
}

std::optional<std::string> DeviceState::pairingRefusal(const std::string& hostId, const std::string& systemBuid,
                                                       const Certificates& certificates) {
    std::lock_guard lock(mutex_);
    if (locked_) return "PasswordProtected";
    bool claimed = false;  // a trusted name, with other certificates
    for (const auto& [id, host] : trusted_) {
        if (id != hostId && (systemBuid.empty() || host.systemBuid != systemBuid)) continue;
        if (host.certificates == certificates) return std::nullopt;
        claimed = true;
    }
    if (claimed && !askingAboutClaim_) {
        askingAboutClaim_ = true;
        prompt_ = Prompt::Unanswered;
    }
    switch (prompt_) {
    case Prompt::Trusted:
        if (claimed) askingAboutClaim_ = false;
        return std::nullopt;
    case Prompt::Denied: return "UserDeniedPairing";
    case Prompt::Unanswered: break;
    }
    return "PairingDialogResponsePending";
}

PlistValue::Data DeviceState::trust(const std::string& hostId, Certificates certificates, std::string systemBuid) {
    // The bag's contents mean nothing to the simulator: the host keeps it and hands it back.
    PlistValue::Data escrowBag(32);
    std::random_device random;
    for (auto& byte : escrowBag) byte = static_cast<std::uint8_t>(random());
    std::lock_guard lock(mutex_);
    trusted_[hostId] = {std::move(certificates), std::move(systemBuid)};
    return escrowBag;
}

std::optional<DeviceState::Certificates> DeviceState::certificatesOf(const std::string& hostId) const {
    std::lock_guard lock(mutex_);
    auto it = trusted_.find(hostId);
    if (it == trusted_.end()) return std::nullopt;
    return it->second.certificates;
}

bool DeviceState::forget(const std::string& hostId) {
    std::lock_guard lock(mutex_);
    return trusted_.erase(hostId) > 0;
}

void DeviceState::forgetAll() {
    std::lock_guard lock(mutex_);
    trusted_.clear();
}

} // namespace keldo
