#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"
#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/imobiledevice/UsbmuxdSocketWatch.h"
#include "platform/imobiledevice/UsbmuxdDeviceList.h"
#include "platform/imobiledevice/UsbmuxdListener.h"
#include "platform/SystemLog.h"

namespace keldo {

using namespace imobiledevice;
using Status = ImobiledeviceStatus;

// Events ----------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::notificationSubscribe(am_device_notification_callback callback, void* context,
                                                         _am_device_notification** subscription) {
    if (!callback || !subscription) return Status::backend(Status::kInvalidArgument);
    auto deliver = [callback, context](const am_device_notification_callback_info& event) {
        am_device_notification_callback_info copy = event;
        callback(&copy, context);
    };
    // An attach that is never delivered still carries its reference: give it back.
    auto discard = [this](const am_device_notification_callback_info& event) {
        if (event.msg == ADNCI_MSG_CONNECTED) release(event.dev);
    };
    auto sub = std::make_shared<Subscription>();
    sub->queue = std::make_shared<EventQueue>(deliver, discard);
    auto queue = sub->queue;
    std::vector<am_device> present;
    {
        std::lock_guard lock(mutex_);
        // A later subscriber hears of the devices that are already there, as the first one did.
        for (auto& [id, d] : devices_) {
            if (!d->present) continue;
            ++d->references;
            present.push_back(toHandle<am_device>(id));
        }
        *subscription = toHandle<_am_device_notification*>(subscriptions_.add(std::move(sub)));
    }
    for (auto device : present) queue->push({device, ADNCI_MSG_CONNECTED});
    followSubscriptions();
    return 0;
}

std::int32_t ImobiledeviceBackend::notificationUnsubscribe(_am_device_notification* subscription) {
    std::shared_ptr<Subscription> sub;
    {
        std::lock_guard lock(mutex_);
        sub = subscriptions_.take(idOf(subscription));
        if (!sub) return Status::backend(Status::kInvalidArgument);
    }
    sub->queue->close();
    followSubscriptions();
    return 0;
}

std::int32_t ImobiledeviceBackend::deviceList(std::vector<AMDeviceListEntry>& devices) {
    std::chrono::milliseconds timeout;
    {
        std::lock_guard lock(mutex_);
        timeout = timeouts_.deviceList;
    }
    std::string failure;
    const auto listed = UsbmuxdDeviceList::ask(timeout, failure);
    if (!listed) {
        logLine("the list of attached devices failed: {}", failure);
        return Status::backend(Status::kNoAnswer);
    }
    for (const auto& device : *listed) devices.push_back({device.udid, device.connectionType});
    return 0;
}

void ImobiledeviceBackend::followSubscriptions() {
    // Starting and stopping take turns, and each looks at the subscriptions as they are once its
    // turn comes: a last unsubscribe and a first subscribe on two threads end with usbmuxd
    // followed exactly when a subscription is there, whichever runs first.
    std::lock_guard turn(following_);
    bool wanted = false;
    {
        std::lock_guard lock(mutex_);
        wanted = subscriptions_.size() > 0;
    }
    if (wanted == watching_) return;
    watching_ = wanted;
    if (wanted) {
        watchAndSubscribe();
    } else {
        socketWatch_.reset();
        dropLibrary(false);
    }
}

void ImobiledeviceBackend::watchAndSubscribe() {
    const auto path = UsbmuxdSocketWatch::socketPath();
    if (!path) {
        subscribeLibrary();
        return;
    }
    socketWatch_ = std::make_unique<UsbmuxdSocketWatch>(*path, [this](bool up) {
        // On the watch's main context. Once the turn is ours the watch may have been stopped (and
        // destroyed: it touches nothing of its own after this returns).
        std::lock_guard turn(following_);
        if (!watching_) return;
        if (up) {
            subscribeLibrary();
        } else {
            dropLibrary(true);
        }
    });
    if (!socketWatch_->watching() || socketWatch_->up()) subscribeLibrary();
}

void ImobiledeviceBackend::subscribeLibrary() {
    {
        std::lock_guard lock(mutex_);
        if (librarySubscribed_) return;
        librarySubscribed_ = true;
    }
    // Our own listener rather than idevice_event_subscribe: libusbmuxd's event thread leaks a
    // descriptor on every Listen that a daemon accepts and drops, until one is beyond FD_SETSIZE
    // and its select() aborts the process (see UsbmuxdListener).
    auto listener = std::make_unique<UsbmuxdListener>(
        [this](int event, const std::string& udid, int connectionType) { libraryEvent(event, udid, connectionType); });
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void ImobiledeviceBackend::dropLibrary(bool tell) {
    std::unique_ptr<UsbmuxdListener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = std::move(listener_);
        librarySubscribed_ = false;
    }
    // Never from the listener's own thread: this waits for that thread to end.
    listener.reset();
    detachEverything(tell);
}

void ImobiledeviceBackend::detachEverything(bool tell) {
    std::vector<std::pair<std::shared_ptr<EventQueue>, am_device>> pushes;
    std::vector<std::shared_ptr<Device>> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, id] : present_) {
            auto d = devices_.find(id);
            if (!d) continue;
            d->present = false;
            gone.push_back(d);
            if (!tell) continue;
            for (auto& [subId, s] : subscriptions_) pushes.emplace_back(s->queue, toHandle<am_device>(id));
        }
        present_.clear();
    }
    for (auto& [queue, device] : pushes) queue->push({device, ADNCI_MSG_DISCONNECTED});
    for (auto& d : gone) detached(d);
}

void ImobiledeviceBackend::libraryEvent(int type, const std::string& udid, int connectionType) {
    std::vector<std::pair<std::shared_ptr<EventQueue>, am_device_notification_callback_info>> pushes;
    std::shared_ptr<Device> removed;
    {
        std::lock_guard lock(mutex_);
        const auto key = std::make_pair(udid, connectionType);
        auto it = present_.find(key);
        std::shared_ptr<Device> device = it == present_.end() ? nullptr : devices_.find(it->second);
        std::uint32_t message = 0;
        if (type == IDEVICE_DEVICE_ADD) {
            if (device || udid.empty()) return;  // already known: a replay after a reconnect
            device = std::make_shared<Device>();
            device->udid = udid;
            device->connectionType = connectionType;
            device->references = static_cast<int>(subscriptions_.size());  // one per receiver
            device->id = devices_.add(device);
            present_[key] = device->id;
            message = ADNCI_MSG_CONNECTED;
        } else if (type == IDEVICE_DEVICE_REMOVE) {
            if (!device) return;
            device->present = false;
            present_.erase(key);
            removed = device;
            message = ADNCI_MSG_DISCONNECTED;
        } else if (type == IDEVICE_DEVICE_PAIRED) {
            if (!device) return;
            message = ADNCI_MSG_UNKNOWN;
        } else {
            return;
        }
        for (auto& [id, s] : subscriptions_)
            pushes.emplace_back(s->queue, am_device_notification_callback_info{toHandle<am_device>(device->id), message});
    }
    for (auto& [queue, event] : pushes) queue->push(event);
    if (removed) detached(removed);
}

} // namespace keldo
