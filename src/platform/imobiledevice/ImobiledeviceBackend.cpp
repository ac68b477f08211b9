#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"
#include "platform/imobiledevice/UsbmuxdListener.h"
#include "platform/imobiledevice/UsbmuxdSocketWatch.h"

namespace keldo {

using namespace imobiledevice;

ImobiledeviceBackend::ImobiledeviceBackend() = default;

ImobiledeviceBackend::~ImobiledeviceBackend() {
    std::vector<std::shared_ptr<EventQueue>> queues;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, s] : subscriptions_) queues.push_back(s->queue);
        subscriptions_ = {};
    }
    for (auto& q : queues) q->close();
    {
        std::lock_guard turn(following_);
        watching_ = false;
        socketWatch_.reset();
        dropLibrary(false);
    }
    // Devices still referenced close their lockdownd connections under a deadline too.
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, d] : devices_) devices.push_back(d);
    }
    for (auto& d : devices) {
        std::lock_guard io(d->io);
        closeLockdown(*d);
    }
}

std::shared_ptr<ImobiledeviceBackend> ImobiledeviceBackend::installNew() {
    auto backend = std::make_shared<ImobiledeviceBackend>();
    Backend::install(backend);
    return backend;
}

void ImobiledeviceBackend::setTimeouts(const Timeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
}

std::size_t ImobiledeviceBackend::recordCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size() + services_.size() + afcConnections_.size() + keyValues_.size();
}

bool ImobiledeviceBackend::followingUsbmuxd() const {
    std::lock_guard lock(mutex_);
    return librarySubscribed_;
}

std::shared_ptr<ImobiledeviceBackend::Device> ImobiledeviceBackend::find(am_device device) const {
    std::lock_guard lock(mutex_);
    return devices_.find(idOf(device));
}

} // namespace keldo
