#pragma once

#include <memory>

namespace keldo {

class AMDevice;

// The device monitor's listener. Both operations are optional: a listener says which ones it
// provides, and the monitor asks before it calls.
class DeviceListener {
public:
    virtual ~DeviceListener() = default;

    virtual bool providesDeviceConnected() const { return false; }
    virtual void deviceConnected(const std::shared_ptr<AMDevice>& /*device*/) {}

    virtual bool providesDeviceDisconnected() const { return false; }
    virtual void deviceDisconnected(const std::shared_ptr<AMDevice>& /*device*/) {}
};

} // namespace keldo
