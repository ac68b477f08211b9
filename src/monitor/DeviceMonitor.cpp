#include "monitor/DeviceMonitor.h"

#include "device/AMDevice.h"
#include "platform/BackgroundQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <mutex>

namespace keldo {

namespace {

std::mutex& singletonMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<DeviceMonitor>& singletonSlot() {
    static std::shared_ptr<DeviceMonitor> instance;
    return instance;
}

} // namespace

std::shared_ptr<DeviceMonitor> DeviceMonitor::singleton() {
    std::lock_guard lock(singletonMutex());
    auto& slot = singletonSlot();
    if (!slot) slot.reset(new DeviceMonitor());
    return slot;
}

void DeviceMonitor::resetSingletonForTesting() {
    std::shared_ptr<DeviceMonitor> old;
    {
        std::lock_guard lock(singletonMutex());
        old = std::move(singletonSlot());
    }
}

DeviceMonitor::DeviceMonitor() {
    NotificationCenter::defaultCenter().addObserver(
        this, kApplicationWillTerminateNotification, nullptr,
        [this](const Notification& notification) { applicationWillTerminate(notification); });
}

DeviceMonitor::~DeviceMonitor() {
    // The platform holds the monitor only as an unowned context value: end the subscription first.
    if (_subscribed) (void)AMDeviceNotificationUnsubscribe(_notification);
    NotificationCenter::defaultCenter().removeObserver(this);
}

void DeviceMonitor::subscriptionCallback(am_device_notification_callback_info* info, void* context) {
    static_cast<DeviceMonitor*>(context)->Notify(info);
}

bool DeviceMonitor::setListener(std::shared_ptr<DeviceListener> listener) {
    _listener = std::move(listener);
    if (!_listener || _subscribed) return true;
    std::int32_t status = AMDeviceNotificationSubscribe(subscriptionCallback, 0, 0, this, &_notification);
    if (status == 0) {
        _subscribed = true;
    } else {
        logLine("AMDeviceNotificationSubscribe failed: {}", status);
    }
    return true;
}

void DeviceMonitor::Notify(const am_device_notification_callback_info* info) {
    if (!info) return;
    switch (info->msg) {
    case ADNCI_MSG_CONNECTED: deviceAttached(info->dev); break;
    case ADNCI_MSG_DISCONNECTED: deviceDetached(info->dev); break;
    case ADNCI_MSG_UNKNOWN: break;
    default: logLine("Ignoring unknown message: {}", static_cast<std::int32_t>(info->msg)); break;
    }
}

void DeviceMonitor::deviceAttached(am_device device) {
    std::optional<std::string> error;
    auto handle = AMDevice::initWithDeviceOrBust(device, error);
    if (!handle) {
        logLine("Failed to create AMDevice: {}", error ? *error : "(null)");
        // The event handed us a reference that nobody will keep: give it back, or it leaks.
        if (device) AMDeviceRelease(device);
        return;
    }
    _devices.push_back(handle);
    // Hold our own copies: the listener may change the listener or the list while it runs.
    if (auto listener = _listener; listener && listener->providesDeviceConnected()) listener->deviceConnected(handle);
}

void DeviceMonitor::deviceDetached(am_device device) {
    auto found = std::find_if(_devices.begin(), _devices.end(),
                              [&](const auto& handle) { return handle->isDevice(device); });
    if (found == _devices.end()) return;
    std::shared_ptr<AMDevice> handle = *found;
    handle->forgetDevice();
    if (auto listener = _listener; listener && listener->providesDeviceDisconnected())
        listener->deviceDisconnected(handle);
    // Removed by identity, not position: the listener may have changed the list meanwhile.
    auto it = std::find(_devices.begin(), _devices.end(), handle);
    if (it != _devices.end()) _devices.erase(it);
}

void DeviceMonitor::applicationWillTerminate(const Notification& notification) {
    auto devices = _devices;
    for (const auto& handle : devices) handle->applicationWillTerminate(notification);
}

void DeviceMonitor::sleepMode() {
    if (_subscribed) {
        (void)AMDeviceNotificationUnsubscribe(_notification);
        _subscribed = false;
    }
    auto devices = _devices;
    if (auto listener = _listener; listener && listener->providesDeviceDisconnected()) {
        for (const auto& handle : devices) listener->deviceDisconnected(handle);
    }
    _devices.clear();
}

void DeviceMonitor::wakeupUsingToken(PlistRef token) {
    if (!token) return;
    BackgroundQueue::shared().async([token = std::move(token)] { (void)AMDeviceWakeupUsingToken(token, -1.0); });
}

} // namespace keldo
