#pragma once

#include "platform/UserNotificationCenter.h"
#include "platform/Workspace.h"

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace keldo::testing {

// A notification centre that keeps what it was handed and lets a test answer as the user.
class FakeUserNotificationCenter : public UserNotificationCenter {
public:
    void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> d) override { delegate = std::move(d); }
    void scheduleNotification(const UserNotification& notification) override {
        auto d = delegate.lock();
        presented.push_back(d && d->userNotificationCenterShouldPresentNotification(*this, notification));
        scheduled.push_back(notification);
    }

    void activate(UserNotificationActivationType type, std::size_t which = 0) {
        UserNotification answered = scheduled.at(which);
        answered.activationType = type;
        if (auto d = delegate.lock()) d->userNotificationCenterDidActivateNotification(*this, answered);
    }

    std::weak_ptr<UserNotificationCenterDelegate> delegate;
    std::vector<UserNotification> scheduled;
    std::vector<bool> presented;
};

struct Launch {
    std::string path;
    std::vector<std::string> arguments;
};

// A workspace whose running applications and files are whatever the test says. It answers the
// running check at once, or, with holdAnswers, only when the test says so (a slow bus).
class FakeWorkspace : public Workspace {
public:
    void isApplicationRunning(const std::string& id, std::function<void(bool)> answer) override {
        ++runningQueries;
        held.push_back([this, id, answer = std::move(answer)] { answer(running.count(id) > 0); });
        if (!holdAnswers) answerHeld();
    }
    // Answers the oldest question held, with what `running` says now.
    void answerHeld() {
        auto answer = std::move(held.front());
        held.pop_front();
        answer();
    }
    bool fileExistsAtPath(const std::string& path) override { return files.count(path) > 0; }
    bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) override {
        launches.push_back({path, arguments});
        return true;
    }

    std::set<std::string> running;
    std::set<std::string> files;
    std::vector<Launch> launches;
    int runningQueries = 0;
    bool holdAnswers = false;
    std::deque<std::function<void()>> held;
};

} // namespace keldo::testing
