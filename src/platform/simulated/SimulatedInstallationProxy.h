#pragma once

#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedMessageService.h"

#include <cstddef>
#include <memory>

namespace keldo {

// A simulated device's installation_proxy, for listing apps as a device lists them:
// {Command: "Browse", ClientOptions: {ApplicationType, ReturnAttributes}} is answered with pages
// of at most kPageSize apps, {Status: "BrowsingApplications", Total, CurrentIndex, CurrentAmount,
// CurrentList: [...]}, then {Status: "Complete"}. Each app is a dictionary of
// CFBundleIdentifier, CFBundleDisplayName, CFBundleName, CFBundleShortVersionString,
// CFBundleVersion and ApplicationType ("User"), with UIFileSharingEnabled true when it shares its
// documents; ReturnAttributes keeps only the keys it names. Every simulated app is a user's: an
// ApplicationType of "System" or "Internal" finds none. Any other command is answered with an
// "Error" and an "ErrorDescription".
class SimulatedInstallationProxy : public SimulatedMessageService {
public:
    explicit SimulatedInstallationProxy(std::shared_ptr<const SimulatedApps> apps);

    static constexpr const char* kServiceName = "com.apple.mobile.installation_proxy";
    static constexpr std::size_t kPageSize = 10;

protected:
    std::vector<PlistValue> answer(const PlistRef& request) override;

private:
    std::vector<PlistValue> browse(const PlistValue* options) const;

    std::shared_ptr<const SimulatedApps> apps_;
};

} // namespace keldo
