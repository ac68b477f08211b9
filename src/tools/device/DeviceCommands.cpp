#include "tools/device/DeviceCommands.h"

#include "device/AMDevice.h"
#include "platform/mobiledevice/MobileDevice.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/JsonWriter.h"
#include "tools/device/StatusText.h"
#include "tools/device/ValueText.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace keldo {

namespace {

void optionalText(JsonWriter& json, const char* key, const std::optional<std::string>& value) {
    if (value) {
        json.field(key, *value);
    } else {
        json.key(key).null();
    }
}

// What a refusal to pair means to the one who asked, by the platform's status.
std::optional<std::string> pairingRefusal(const std::optional<std::string>& lasterror) {
    const auto failure = lasterror ? StatusText::parse(*lasterror) : std::nullopt;
    if (!failure) return std::nullopt;
    switch (static_cast<std::int32_t>(failure->status)) {
    case kAMDPairingDialogResponsePendingError: return "Trust this computer? Answer on the device, then run pair again";
    case kAMDUserDeniedPairingError:
        return "the device's user chose not to trust this computer (attach the device again to be asked again)";
    case kAMDPasswordProtectedError: return "the device is locked with a passcode: unlock it, then run pair again";
    default: return std::nullopt;
    }
}

} // namespace

DeviceCommands::DeviceCommands(Console& console, bool json) : console_(console), json_(json) {}

const char* DeviceCommands::connectionOf(const AMDevice& device) {
    return device.interfaceType() == 2 ? "network" : "usb";
}

std::optional<std::string> DeviceCommands::sessionRefusal(AMDevice& device) {
    if (!device.deviceConnect()) return StatusText::explain(device.lasterror().value_or("can't connect"));
    std::optional<std::string> text;
    if (device.startSession()) {
        (void)device.stopSession();
    } else {
        text = device.lasterror().value_or("the device refused a session");
    }
    (void)device.deviceDisconnect();
    if (!text) return std::nullopt;
    std::string why = StatusText::explain(*text);
    const auto failure = StatusText::parse(*text);
    const auto meaning = failure ? StatusText::meaning(failure->status) : std::nullopt;
    // The pair record is here, so the device is the one that forgot.
    if (meaning && meaning->rfind("not paired", 0) == 0)
        why += " (the device no longer trusts this computer: run pair, then answer Trust on it)";
    return why;
}

int DeviceCommands::list(const std::vector<std::shared_ptr<AMDevice>>& devices) {
    struct Row {
        std::optional<std::string> udid, name, version, productType, deviceClass;
        const char* connection;
        bool paired;
    };
    std::vector<Row> rows;
    for (const auto& device : devices) {
        rows.push_back({device->udid(), device->deviceName(), device->productVersion(), device->productType(),
                        device->deviceClass(), connectionOf(*device), device->isPair()});
    }
    if (json_) {
        JsonWriter json;
        json.beginArray();
        for (const auto& row : rows) {
            json.beginObject();
            optionalText(json, "udid", row.udid);
            optionalText(json, "name", row.name);
            optionalText(json, "version", row.version);
            optionalText(json, "productType", row.productType);
            optionalText(json, "deviceClass", row.deviceClass);
            json.key("connection").text(row.connection);
            json.key("paired").boolean(row.paired);
            json.endObject();
        }
        json.endArray();
        console_.json(json);
        return kExitSuccess;
    }
    if (rows.empty()) return kExitSuccess;
    // Columns as wide as their widest cell; the header first.
    std::vector<std::array<std::string, 7>> table{{"UDID", "NAME", "VERSION", "PRODUCT", "CLASS", "CONNECTION", "PAIRED"}};
    auto cell = [](const std::optional<std::string>& text) { return text.value_or("-"); };
    for (const auto& row : rows) {
        table.push_back({cell(row.udid), cell(row.name), cell(row.version), cell(row.productType),
                         cell(row.deviceClass), row.connection, row.paired ? "yes" : "no"});
    }
    std::array<std::size_t, 7> widths{};
    for (const auto& r : table) {
        for (std::size_t c = 0; c < r.size(); ++c) widths[c] = std::max(widths[c], r[c].size());
    }
    for (const auto& r : table) {
        std::string text;
        for (std::size_t c = 0; c < r.size(); ++c) {
            text += c + 1 == r.size() ? r[c] : fmt::format("{:<{}}  ", r[c], widths[c]);
        }
        console_.line(text);
    }
    return kExitSuccess;
}

int DeviceCommands::info(AMDevice& device, const std::optional<std::string>& domain,
                         const std::optional<std::string>& key) {
    PlistRef value = key ? device.deviceValueForKeyInDomain(key, domain) : device.allDeviceValuesForDomain(domain);
    if (!value) {
        std::string why;
        if (auto text = device.lasterror()) {
            why = StatusText::explain(*text);
        } else if (!device.isPair()) {
            why = "the device is not paired with this computer";
        } else if (const auto refusal = sessionRefusal(device)) {
            why = *refusal;
        } else if (key) {
            why = fmt::format("no value for {}{}", *key, domain ? " in " + *domain : "");
        } else {
            why = fmt::format("no values{}", domain ? " in " + *domain : "");
        }
        console_.error(fmt::format("info: {}", why));
        return kExitDeviceError;
    }
    if (json_) {
        JsonWriter json;
        ValueText::writeJson(json, *value);
        console_.json(json);
        return kExitSuccess;
    }
    std::vector<std::string> lines;
    ValueText::appendLines(*value, lines);
    for (const auto& l : lines) console_.line(l);
    return kExitSuccess;
}

int DeviceCommands::pairing(AMDevice& device, const std::string& command) {
    bool ok = false;
    if (command == "pair") {
        ok = device.pair();
    } else if (command == "unpair") {
        ok = device.unpair();
    } else {
        ok = device.validatePairing();
    }
    if (!ok) {
        const auto lasterror = device.lasterror();
        const auto refusal = pairingRefusal(lasterror);
        console_.error(fmt::format("{}: {}", command,
                                   refusal ? *refusal : StatusText::explain(lasterror.value_or("the device refused"))));
        return kExitDeviceError;
    }
    const bool paired = command != "unpair";
    if (json_) {
        JsonWriter json;
        json.beginObject();
        optionalText(json, "udid", device.udid());
        json.key("paired").boolean(paired);
        json.endObject();
        console_.json(json);
        return kExitSuccess;
    }
    console_.line(fmt::format("{} \"{}\" is {} with this computer", device.udid().value_or("-"),
                              device.deviceName().value_or(""), paired ? "paired" : "no longer paired"));
    return kExitSuccess;
}

void DeviceCommands::event(AMDevice& device, bool attached) {
    // A detached device is asked nothing: its event tells what was known of it at its attach.
    const AMDevice* handle = &device;
    std::optional<std::string> version;
    if (attached) {
        version = device.productVersion();
        versions_[handle] = version;
    } else if (auto known = versions_.find(handle); known != versions_.end()) {
        version = known->second;
        versions_.erase(known);
    }
    if (json_) {
        JsonWriter json;
        json.beginObject();
        json.key("event").text(attached ? "attached" : "detached");
        optionalText(json, "udid", device.udid());
        optionalText(json, "name", device.deviceName());
        optionalText(json, "version", version);
        json.key("connection").text(connectionOf(device));
        json.endObject();
        console_.json(json);
    } else {
        console_.line(fmt::format("{} {} \"{}\" {}", attached ? "attached" : "detached", device.udid().value_or("-"),
                                  device.deviceName().value_or(""), connectionOf(device)));
    }
    console_.flush();
}

} // namespace keldo
