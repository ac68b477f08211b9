#include "platform/simulated/SimulatedHouseArrest.h"

namespace keldo {

namespace {

PlistValue error(const char* text) { return PlistValue::Dictionary{{"Error", text}}; }

} // namespace

SimulatedHouseArrest::SimulatedHouseArrest(std::shared_ptr<const SimulatedApps> apps) : apps_(std::move(apps)) {}

std::vector<PlistValue> SimulatedHouseArrest::answer(const PlistRef& request) {
    const auto command = textIn(request, "Command");
    if (command != "VendDocuments" && command != "VendContainer") return {error("UnknownCommand")};
    const auto identifier = textIn(request, "Identifier");
    if (!identifier) return {error("MissingIdentifier")};
    const auto app = apps_->find(*identifier);
    auto container = apps_->container(*identifier);
    if (!app || !app->sharesDocuments || !container) return {error("InstallationLookupFailed")};
    vended_ = std::move(container);
    return {PlistValue::Dictionary{{"Status", "Complete"}}};
}

} // namespace keldo
