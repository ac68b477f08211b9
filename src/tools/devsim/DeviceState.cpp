#include "tools/devsim/DeviceState.h"

#include "tools/devsim/DeviceKey.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string_view>
#include <unistd.h>

namespace keldo {

namespace {

constexpr std::uint64_t kGigabyte = 1'000'000'000;

std::string textIn(const PlistValue::Dictionary& values, const char* key) {
    auto it = values.find(key);
    return it != values.end() && it->second.text() ? *it->second.text() : "";
}

// A build of the version in the form devices give ("21A100" for 17.0: the major number plus
// four, a letter for the minor one).
std::string buildOf(const std::string& version) {
    int major = 0, minor = 0, patch = 0;
    std::sscanf(version.c_str(), "%d.%d.%d", &major, &minor, &patch);
    return fmt::format("{}{}{}", std::clamp(major, 1, 95) + 4, static_cast<char>('A' + std::clamp(minor, 0, 25)),
                       100 + std::clamp(patch, 0, 899));
}

// What a device gives in a session that its description leaves out, made of its udid and version
// so that it stays the same across attachments. Values the description gives are kept.
void complete(SimulatedDeviceInfo& info) {
    PlistValue::Dictionary& main = info.domains[""];
    const std::size_t hash = std::hash<std::string>{}(textIn(main, "UniqueDeviceID"));
    const PlistValue::Dictionary defaults{
        {"ActivationState", "Activated"},
        {"BluetoothAddress", fmt::format("02:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", (hash >> 40) & 0xFF, (hash >> 32) & 0xFF,
                                         (hash >> 24) & 0xFF, (hash >> 16) & 0xFF, ((hash >> 8) & 0xFF) ^ 0x5A)},
        {"BuildVersion", buildOf(textIn(main, "ProductVersion"))},
        {"DeviceColor", "black"},
        {"PasswordProtected", false},
        {"ProductName", "iPhone OS"},
        {"ProtocolVersion", "2"},
        {"SupportedDeviceFamilies", PlistValue::Array{1}},
        {"TelephonyCapability", true},
        {"UniqueChipID", static_cast<std::int64_t>(hash & 0xFFFFFFFFFFFF)},
    };
    main.insert(defaults.begin(), defaults.end());
    const std::map<std::string, PlistValue::Dictionary> domains{
        {"com.apple.disk_usage",
         {{"TotalDiskCapacity", std::int64_t{64 * kGigabyte}}, {"TotalSystemCapacity", std::int64_t{8 * kGigabyte}},
          {"TotalSystemAvailable", std::int64_t{kGigabyte}}, {"TotalDataCapacity", std::int64_t{56 * kGigabyte}},
          {"TotalDataAvailable", std::int64_t{40 * kGigabyte}}, {"AmountDataAvailable", std::int64_t{40 * kGigabyte}},
          {"AmountDataReserved", std::int64_t{200'000'000}}}},
        {"com.apple.mobile.battery",
         {{"BatteryCurrentCapacity", 100}, {"BatteryIsCharging", false}, {"ExternalChargeCapable", true},
          {"ExternalConnected", true}, {"FullyCharged", true}, {"HasBattery", true}}},
        {"com.apple.international", {{"Language", "en"}, {"Locale", "en_US"}, {"Keyboard", "en_US"}}},
    };
    for (const auto& [name, values] : domains) info.domains[name].insert(values.begin(), values.end());
}

// The name in the tz database of a zone file's path, or none.
std::optional<std::string> zoneOfPath(std::string_view path) {
    const auto at = path.find("zoneinfo/");
    if (at == std::string_view::npos || at + 9 == path.size()) return std::nullopt;
    return std::string(path.substr(at + 9));
}

// The host's time zone, which the simulated device is set to, by its name in the tz database: the
// one TZ names (as the clock's offset follows it), else the one /etc/localtime links to; UTC when
// none can be told (a TZ that spells out its rules has no name).
std::string zoneName() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) {
        std::string_view name(tz);
        if (name.front() == ':') name.remove_prefix(1);
        if (name.empty()) return "UTC";
        if (name.front() == '/') return zoneOfPath(name).value_or("UTC");
        const std::string file = "/usr/share/zoneinfo/" + std::string(name);
        return ::access(file.c_str(), R_OK) == 0 && name.find("..") == std::string_view::npos ? std::string(name) : "UTC";
    }
    char target[256];
    const ssize_t n = ::readlink("/etc/localtime", target, sizeof(target) - 1);
    return zoneOfPath(std::string_view(target, n > 0 ? static_cast<std::size_t>(n) : 0)).value_or("UTC");
}

// What changes with the clock: the time, and the zone with its current offset.
void addClock(PlistValue::Dictionary& values) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    values["TimeIntervalSince1970"] = std::chrono::duration<double>(since).count();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    values.try_emplace("TimeZone", zoneName());
    values.try_emplace("TimeZoneOffsetFromUTC", static_cast<double>(local.tm_gmtoff));
    values.try_emplace("Uses24HourClock", true);
}

} // namespace

const char* const DeviceState::kPublicValues[] = {
    "BuildVersion",    "CPUArchitecture", "DeviceClass",   "DeviceColor",     "DeviceName",
    "DevicePublicKey", "HardwareModel",   "ProductName",   "ProductType",     "ProductVersion",
    "ProtocolVersion", "UniqueChipID",    "UniqueDeviceID", "WiFiAddress",    nullptr,
};

DeviceState::DeviceState(SimulatedDeviceInfo info, std::shared_ptr<const DeviceKey> key)
    : key_(std::move(key)), info_(std::move(info)) {
    complete(info_);
}

void DeviceState::reattach(SimulatedDeviceInfo info) {
    complete(info);
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
        addClock(values);
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
