#include "platform/NotificationCenter.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;

TEST(NotificationCenter, CallsMatchingObserversSynchronouslyInOrder) {
    NotificationCenter center;
    std::vector<std::string> heard;
    int sender = 0, other = 0;
    center.addObserver(&heard, "N", nullptr, [&](const Notification& n) { heard.push_back("any " + n.name); });
    center.addObserver(&heard, "N", &sender, [&](const Notification&) { heard.push_back("from sender"); });
    center.addObserver(&heard, "M", nullptr, [&](const Notification&) { heard.push_back("M"); });

    center.post("N", &other);
    EXPECT_THAT(heard, ElementsAre("any N"));
    heard.clear();
    center.post("N", &sender);
    EXPECT_THAT(heard, ElementsAre("any N", "from sender"));
}

TEST(NotificationCenter, ObserverRemovedDuringAPostIsNotCalledByIt) {
    NotificationCenter center;
    int first = 0, second = 0;
    int calledSecond = 0;
    center.addObserver(&first, "N", nullptr, [&](const Notification&) { center.removeObserver(&second); });
    center.addObserver(&second, "N", nullptr, [&](const Notification&) { ++calledSecond; });
    center.post("N");
    EXPECT_EQ(calledSecond, 0);
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenter, RemovesByNameOrAltogether) {
    NotificationCenter center;
    int observer = 0;
    int calls = 0;
    center.addObserver(&observer, "A", nullptr, [&](const Notification&) { ++calls; });
    center.addObserver(&observer, "B", nullptr, [&](const Notification&) { ++calls; });
    center.removeObserver(&observer, "A");
    center.post("A");
    center.post("B");
    EXPECT_EQ(calls, 1);
    center.removeObserver(&observer);
    center.post("B");
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace keldo
