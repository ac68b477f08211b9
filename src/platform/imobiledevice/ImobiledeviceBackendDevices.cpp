#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"

namespace keldo {

using namespace imobiledevice;

// Device table ----------------------------------------------------------------------------------

void ImobiledeviceBackend::detached(const std::shared_ptr<Device>& device) {
    std::vector<std::shared_ptr<Service>> services;
    {
        std::lock_guard lock(mutex_);
        for (auto it = services_.begin(); it != services_.end();) {
            if (it->second->device == device->id) {
                services.push_back(std::move(it->second));
                it = services_.erase(it);
            } else {
                ++it;
            }
        }
    }
    services.clear();  // closed: their handles find nothing from now on
    forgetIfUnused(device);
}

void ImobiledeviceBackend::forgetIfUnused(const std::shared_ptr<Device>& device) {
    {
        std::lock_guard lock(mutex_);
        if (device->present || device->references > 0) return;
        if (!devices_.take(device->id)) return;  // forgotten already
    }
    std::lock_guard io(device->io);
    closeLockdown(*device);
    device->idevice.reset();
}

am_device ImobiledeviceBackend::retain(am_device device) {
    std::lock_guard lock(mutex_);
    if (auto d = devices_.find(idOf(device))) ++d->references;
    return device;
}

void ImobiledeviceBackend::release(am_device device) {
    auto d = find(device);
    if (!d) return;
    {
        std::lock_guard lock(mutex_);
        if (d->references == 0) return;  // not ours to give back: ignored
        --d->references;
    }
    forgetIfUnused(d);
}

std::int32_t ImobiledeviceBackend::interfaceType(am_device device) {
    auto d = find(device);
    if (!d) return 0;
    return d->network() ? 2 : 1;
}

} // namespace keldo
