#pragma once

#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedMessageService.h"

#include <memory>

namespace keldo {

// A simulated device's house_arrest: one request hands an app's folders over to AFC on the same
// connection. {Command: "VendDocuments" or "VendContainer", Identifier: BUNDLE_ID} is answered
// {Status: "Complete"} for an installed app that shares its documents, and from then on the
// connection is AFC over the app's container; an app that is not installed, or does not share
// its documents, is refused {Error: "InstallationLookupFailed"}, as a device refuses it, and the
// connection takes further requests.
//
// Both commands serve the whole container, Documents inside it: a device hides the rest from
// VendDocuments, the simulator does not.
class SimulatedHouseArrest : public SimulatedMessageService {
public:
    explicit SimulatedHouseArrest(std::shared_ptr<const SimulatedApps> apps);

    std::shared_ptr<SimulatedFileSystem> handedOver() const override { return vended_; }

    static constexpr const char* kServiceName = "com.apple.mobile.house_arrest";

protected:
    std::vector<PlistValue> answer(const PlistRef& request) override;

private:
    std::shared_ptr<const SimulatedApps> apps_;
    std::shared_ptr<SimulatedFileSystem> vended_;
};

} // namespace keldo
