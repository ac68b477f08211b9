#include "platform/NotificationCenter.h"

#include <algorithm>

namespace keldo {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: singletons that observe it (the device monitor) may outlive any static of
    // this file at the process's end and still remove themselves.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, const void* sender, Callback callback) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::make_shared<Entry>(Entry{observer, std::move(name), sender, std::move(callback)}));
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (e->name == notification.name && (!e->sender || e->sender == notification.object))
                matching.push_back(e);
        }
    }
    // Called without the lock, so that an observer may add, remove or post in turn.
    for (const auto& e : matching) {
        bool removed;
        {
            std::lock_guard lock(mutex_);
            removed = e->removed;
        }
        if (!removed) e->callback(notification);
    }
}

void NotificationCenter::post(std::string name, const void* object, PlistRef userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& e) {
        if (e->observer != observer) return false;
        e->removed = true;
        return true;
    });
}

void NotificationCenter::removeObserver(const void* observer, const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& e) {
        if (e->observer != observer || e->name != name) return false;
        e->removed = true;
        return true;
    });
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace keldo
