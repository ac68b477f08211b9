#pragma once

#include "device/AMDevice.h"
#include "support/SimulatedPlatform.h"

namespace keldo::testing {

// The simulated platform plus device handles made the way the monitor makes them.
class DeviceFixture : public SimulatedPlatform {
protected:
    // Hands the handle a reference, as an attach event does; the call log starts empty afterwards.
    std::shared_ptr<AMDevice> makeHandle(am_device device) {
        AMDeviceRetain(device);
        std::optional<std::string> error;
        auto handle = AMDevice::initWithDeviceOrBust(device, error);
        EXPECT_TRUE(handle) << error.value_or("");
        sim->clearCalls();
        return handle;
    }
    // A new phone's handle, connected and in a session, as services and AFC want it.
    std::shared_ptr<AMDevice> makeOpenHandle(std::int32_t interfaceType = 1) {
        auto handle = makeHandle(addPhone("Anna's iPhone", "6.1.3", interfaceType));
        if (handle) {
            (void)handle->deviceConnect();
            (void)handle->startSession();
        }
        sim->clearCalls();
        return handle;
    }
};

} // namespace keldo::testing
