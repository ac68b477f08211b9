#pragma once

#include "monitor/DeviceListener.h"
#include "platform/mobiledevice/MobileDevice.h"

#include <memory>
#include <vector>

namespace keldo {

class AMDevice;
struct Notification;

// The one point of contact with the platform's attach and detach events. Once it has a listener it
// subscribes; each attach makes a device handle that it keeps in attach order until the detach.
// Events are handled one at a time on the thread that subscribed; the monitor takes no lock.
class DeviceMonitor {
public:
    using DeviceList = std::vector<std::shared_ptr<AMDevice>>;

    // The one monitor, made on the first call, once, also when several threads call at once.
    static std::shared_ptr<DeviceMonitor> singleton();

    // Always true, also when the subscription is refused (a later call with a listener retries).
    bool setListener(std::shared_ptr<DeviceListener> listener);
    // One event record from the platform; the record is read during the call only.
    void Notify(const am_device_notification_callback_info* info);
    void applicationWillTerminate(const Notification& notification);
    // Ends the subscription and drops every device, telling the listener of each.
    void sleepMode();
    // Wakes a device on the background queue; null queues nothing.
    void wakeupUsingToken(PlistRef token);

    const DeviceList& devices() const { return _devices; }
    std::shared_ptr<DeviceListener> listener() const { return _listener; }
    bool isSubscribed() const { return _subscribed; }

    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Tests only: drops the singleton (ending its subscription), so the next call makes a new one.
    static void resetSingletonForTesting();

private:
    DeviceMonitor();
    static void subscriptionCallback(am_device_notification_callback_info* info, void* context);
    void deviceAttached(am_device device);
    void deviceDetached(am_device device);

    std::shared_ptr<DeviceListener> _listener;
    bool _subscribed = false;
    _am_device_notification* _notification = nullptr;
    DeviceList _devices;
};

} // namespace keldo
