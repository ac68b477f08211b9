#pragma once

#include "platform/plist/PlistValue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace keldo {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, or null
    PlistRef userInfo;
};

// Posted by the application just before it ends.
inline constexpr const char* kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

// The in-process notification centre: observers by name and optional sender, called synchronously
// on the posting thread, in the order they were added, before post returns.
class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // A null sender observes the name from any sender.
    void addObserver(const void* observer, std::string name, const void* sender, Callback callback);
    void post(const Notification& notification);
    void post(std::string name, const void* object = nullptr, PlistRef userInfo = nullptr);
    // An observer removed while a post runs is not called by that post any more.
    void removeObserver(const void* observer);
    void removeObserver(const void* observer, const std::string& name);

    std::size_t observerCount() const;

private:
    struct Entry {
        const void* observer;
        std::string name;
        const void* sender;
        Callback callback;
        bool removed = false;
    };

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

} // namespace keldo
