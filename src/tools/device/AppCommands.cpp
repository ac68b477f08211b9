#include "tools/device/AppCommands.h"

#include "device/AMDevice.h"
#include "device/AMService.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/JsonWriter.h"
#include "tools/device/StatusText.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace keldo {

namespace {

constexpr const char* kInstallationProxy = "com.apple.mobile.installation_proxy";

std::optional<std::string> textOf(const PlistValue& entry, const char* key) {
    const PlistValue* value = entry.find(key);
    if (!value || !value->text() || value->text()->empty()) return std::nullopt;
    return *value->text();
}

// An Info.plist flag: a boolean, as it should be, or the text or number some apps carry instead.
bool flagOf(const PlistValue& entry, const char* key) {
    const PlistValue* value = entry.find(key);
    if (!value) return false;
    if (const bool* flag = value->boolean()) return *flag;
    if (const std::string* text = value->text()) return *text == "YES" || *text == "true" || *text == "1";
    return value->signedInteger().value_or(0) != 0;
}

PlistValue browseRequest() {
    PlistValue::Array attributes{"CFBundleIdentifier", "CFBundleDisplayName", "CFBundleName",
                                 "CFBundleShortVersionString", "CFBundleVersion", "UIFileSharingEnabled"};
    PlistValue::Dictionary options;
    options["ApplicationType"] = "User";
    options["ReturnAttributes"] = std::move(attributes);
    PlistValue::Dictionary request;
    request["Command"] = "Browse";
    request["ClientOptions"] = std::move(options);
    return request;
}

void optionalText(JsonWriter& json, const char* key, const std::optional<std::string>& value) {
    if (value) {
        json.field(key, *value);
    } else {
        json.key(key).null();
    }
}

} // namespace

AppCommands::AppCommands(Console& console, bool json) : console_(console), json_(json) {}

std::optional<std::vector<AppCommands::App>> AppCommands::browse(AMDevice& device, std::string& error) {
    auto failed = [&](std::string text) -> std::optional<std::vector<App>> {
        error = std::move(text);
        return std::nullopt;
    };
    if (!device.deviceConnect()) return failed(device.lasterror().value_or("can't connect to the device"));
    if (!device.startSession()) {
        std::string why = device.lasterror().value_or("can't start a session");
        (void)device.deviceDisconnect();
        return failed(why);
    }
    auto service = AMService::serviceWithNameOnDevice(kInstallationProxy, device.shared_from_this());
    (void)device.stopSession();
    (void)device.deviceDisconnect();
    if (!service) return failed(fmt::format("{} could not be started", kInstallationProxy));
    if (!service->sendXMLRequest(browseRequest())) return failed(service->lastError().value_or("can't ask"));

    std::vector<App> apps;
    for (std::size_t answers = 0; answers < kMaxAnswers; ++answers) {
        PlistRef answer = service->readXMLReply();
        if (!answer) return failed(service->lastError().value_or("the device's answer is empty"));
        if (auto refusal = textOf(*answer, "Error")) {
            auto description = textOf(*answer, "ErrorDescription");
            return failed(description ? fmt::format("{}: {}", *refusal, *description) : *refusal);
        }
        const PlistValue* list = answer->find("CurrentList");
        for (const PlistValue& entry : list && list->array() ? *list->array() : PlistValue::Array{}) {
            auto identifier = textOf(entry, "CFBundleIdentifier");
            if (!identifier) continue;
            auto name = textOf(entry, "CFBundleDisplayName");
            auto version = textOf(entry, "CFBundleShortVersionString");
            apps.push_back(App{*identifier, name ? name : textOf(entry, "CFBundleName"),
                               version ? version : textOf(entry, "CFBundleVersion"),
                               flagOf(entry, "UIFileSharingEnabled")});
        }
        if (textOf(*answer, "Status") == "Complete") {
            std::sort(apps.begin(), apps.end(),
                      [](const App& a, const App& b) { return a.bundleIdentifier < b.bundleIdentifier; });
            return apps;
        }
    }
    return failed(fmt::format("the device's list of apps did not end after {} answers", kMaxAnswers));
}

int AppCommands::apps(AMDevice& device, bool all) {
    std::string error;
    auto found = browse(device, error);
    if (!found) {
        console_.error(fmt::format("apps: can't list the apps of {}: {}", device.udid().value_or("the device"),
                                   StatusText::explain(error)));
        return kExitDeviceError;
    }
    if (!all) std::erase_if(*found, [](const App& app) { return !app.sharesDocuments; });
    if (json_) {
        JsonWriter json;
        json.beginArray();
        for (const auto& app : *found) {
            json.beginObject();
            json.field("bundleIdentifier", app.bundleIdentifier);
            optionalText(json, "name", app.name);
            optionalText(json, "version", app.version);
            json.key("sharesDocuments").boolean(app.sharesDocuments);
            json.endObject();
        }
        json.endArray();
        console_.json(json);
        return kExitSuccess;
    }
    if (found->empty()) return kExitSuccess;
    // Columns as wide as their widest cell, the header first; with all, whether each shares.
    std::vector<std::array<std::string, 4>> table{{"BUNDLE ID", "NAME", "VERSION", "DOCUMENTS"}};
    for (const auto& app : *found) {
        table.push_back({app.bundleIdentifier, app.name.value_or("-"), app.version.value_or("-"),
                         app.sharesDocuments ? "shared" : "-"});
    }
    const std::size_t columns = all ? 4 : 3;
    std::array<std::size_t, 4> widths{};
    for (const auto& row : table) {
        for (std::size_t c = 0; c < columns; ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    for (const auto& row : table) {
        std::string text;
        for (std::size_t c = 0; c < columns; ++c) {
            text += c + 1 == columns ? row[c] : fmt::format("{:<{}}  ", row[c], widths[c]);
        }
        console_.line(text);
    }
    return kExitSuccess;
}

} // namespace keldo
