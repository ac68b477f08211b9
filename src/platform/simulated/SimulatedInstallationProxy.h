#pragma once

#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedMessageService.h"

#include <cstddef>
#include <memory>

namespace keldo {

// A simulated device's installation_proxy, for listing apps as a device lists them:
// {Command: "Browse", ClientOptions: {ApplicationType, BundleIDs, ReturnAttributes}} is answered with pages
// of at most kPageSize apps, {Status: "BrowsingApplications", Total, CurrentIndex, CurrentAmount,
// CurrentList: [...]}, then {Status: "Complete"}. Each app is a dictionary of
// CFBundleIdentifier, CFBundleDisplayName, CFBundleName, CFBundleShortVersionString,
// CFBundleVersion and ApplicationType ("User"), with UIFileSharingEnabled true when it shares its
// documents; ReturnAttributes keeps only the keys it names. Every simulated app is a user's: an
// ApplicationType of "System" or "Internal" finds none.
// {Command: "Lookup", ClientOptions: {BundleIDs, ApplicationType, ReturnAttributes}} is answered
// in one message, {LookupResult: {BUNDLE_ID: {...}, ...}, Status: "Complete"}, with the apps of
// the identifiers listed that are installed (both commands: all apps without a list) described
// as by Browse.
// Any other command is answered with an "Error" and an "ErrorDescription".
class SimulatedInstallationProxy : public SimulatedMessageService {
public:
    explicit SimulatedInstallationProxy(std::shared_ptr<const SimulatedApps> apps);

    static constexpr const char* kServiceName = "com.apple.mobile.installation_proxy";
    static constexpr std::size_t kPageSize = 10;

protected:
    std::vector<PlistValue> answer(const PlistRef& request) override;

private:
    std::vector<PlistValue> browse(const PlistValue* options) const;
    PlistValue lookup(const PlistValue* options) const;
    // The apps that the options' ApplicationType and BundleIDs (when given) select, by their
    // identifiers, described with the ReturnAttributes asked for.
    PlistValue::Dictionary select(const PlistValue* options) const;

    std::shared_ptr<const SimulatedApps> apps_;
};

} // namespace keldo
