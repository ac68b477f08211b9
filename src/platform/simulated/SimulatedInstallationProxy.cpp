#include "platform/simulated/SimulatedInstallationProxy.h"

#include <fmt/format.h>

#include <algorithm>

namespace keldo {

namespace {

PlistValue::Dictionary describe(const SimulatedApps::App& app) {
    PlistValue::Dictionary entry;
    entry["CFBundleIdentifier"] = app.bundleIdentifier;
    entry["CFBundleDisplayName"] = app.name;
    entry["CFBundleName"] = app.name;
    entry["CFBundleShortVersionString"] = app.version;
    entry["CFBundleVersion"] = app.version;
    entry["ApplicationType"] = "User";
    if (app.sharesDocuments) entry["UIFileSharingEnabled"] = true;
    return entry;
}

// Only the keys that the request's list names, when it gives one.
PlistValue::Dictionary only(PlistValue::Dictionary entry, const PlistValue* attributes) {
    const auto* names = attributes ? attributes->array() : nullptr;
    if (!names) return entry;
    std::erase_if(entry, [&](const auto& item) {
        return std::none_of(names->begin(), names->end(), [&](const PlistValue& name) {
            return name.text() && *name.text() == item.first;
        });
    });
    return entry;
}

} // namespace

SimulatedInstallationProxy::SimulatedInstallationProxy(std::shared_ptr<const SimulatedApps> apps)
    : apps_(std::move(apps)) {}

std::vector<PlistValue> SimulatedInstallationProxy::answer(const PlistRef& request) {
    const auto command = textIn(request, "Command");
    if (command == "Browse") return browse(request->find("ClientOptions"));
    if (command == "Lookup") return {lookup(request->find("ClientOptions"))};
    return {PlistValue::Dictionary{
        {"Error", "UnknownCommand"},
        {"ErrorDescription", fmt::format("The command \"{}\" is not known", command.value_or(""))}}};
}

PlistValue::Dictionary SimulatedInstallationProxy::select(const PlistValue* options) const {
    const PlistValue* type = options ? options->find("ApplicationType") : nullptr;
    const bool users = !type || !type->text() || *type->text() == "User" || *type->text() == "Any";
    const PlistValue* listed = options ? options->find("BundleIDs") : nullptr;
    const auto* identifiers = listed ? listed->array() : nullptr;
    const auto isListed = [&](const SimulatedApps::App& app) {
        return !identifiers || std::any_of(identifiers->begin(), identifiers->end(), [&](const PlistValue& id) {
                   return id.text() && *id.text() == app.bundleIdentifier;
               });
    };
    PlistValue::Dictionary found;
    if (!users) return found;
    for (const auto& app : apps_->list()) {
        if (isListed(app)) found[app.bundleIdentifier] = only(describe(app), options ? options->find("ReturnAttributes") : nullptr);
    }
    return found;
}

PlistValue SimulatedInstallationProxy::lookup(const PlistValue* options) const {
    return PlistValue::Dictionary{{"LookupResult", select(options)}, {"Status", "Complete"}};
}

std::vector<PlistValue> SimulatedInstallationProxy::browse(const PlistValue* options) const {
    std::vector<PlistValue> found;
    for (auto& [id, app] : select(options)) found.push_back(std::move(app));
    std::vector<PlistValue> answers;
    const auto total = static_cast<std::int64_t>(found.size());
    for (std::size_t start = 0; start < found.size(); start += kPageSize) {
        const std::size_t end = std::min(found.size(), start + kPageSize);
        PlistValue::Array page(found.begin() + static_cast<std::ptrdiff_t>(start), found.begin() + static_cast<std::ptrdiff_t>(end));
        PlistValue::Dictionary message;
        message["Status"] = "BrowsingApplications";
        message["Total"] = total;
        message["CurrentIndex"] = static_cast<std::int64_t>(start);
        message["CurrentAmount"] = static_cast<std::int64_t>(end - start);
        message["CurrentList"] = std::move(page);
        answers.emplace_back(std::move(message));
    }
    answers.emplace_back(PlistValue::Dictionary{{"Status", "Complete"}});
    return answers;
}

} // namespace keldo
