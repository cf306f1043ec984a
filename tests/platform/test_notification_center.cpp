#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <thread>

using platform::NotificationCenter;

TEST(NotificationCenter, DeliversSynchronouslyToObserversOfTheName) {
    NotificationCenter center;
    std::vector<std::string> seen;
    auto a = center.addObserver("A", [&](const std::string& name) { seen.push_back("a:" + name); });
    auto b = center.addObserver("A", [&](const std::string&) { seen.push_back("b"); });
    center.addObserver("B", [&](const std::string&) { seen.push_back("other"); });

    center.post("A");
    EXPECT_EQ(seen, (std::vector<std::string>{"a:A", "b"})); // before post returns, in order
    center.removeObserver(a);
    center.post("A");
    EXPECT_EQ(seen.back(), "b");
    EXPECT_EQ(seen.size(), 3u);
    center.removeObserver(b);
    center.post("A");
    EXPECT_EQ(seen.size(), 3u);

    // Delivered on the posting thread.
    std::thread::id deliveredOn;
    center.addObserver("T", [&](const std::string&) { deliveredOn = std::this_thread::get_id(); });
    std::thread::id worker;
    std::thread t([&] {
        worker = std::this_thread::get_id();
        center.post("T");
    });
    t.join();
    EXPECT_EQ(deliveredOn, worker);
}

TEST(NotificationCenter, ObserversMayPostAndUnregisterWhileBeingCalled) {
    NotificationCenter center;
    int inner = 0;
    NotificationCenter::Token self = 0;
    self = center.addObserver("outer", [&](const std::string&) {
        center.removeObserver(self);
        center.post("inner");
    });
    center.addObserver("inner", [&](const std::string&) { ++inner; });
    center.post("outer");
    center.post("outer");
    EXPECT_EQ(inner, 1);

    int scoped = 0;
    {
        platform::ScopedObserver o(
            "S", [&](const std::string&) { ++scoped; }, center);
        center.post("S");
    }
    center.post("S");
    EXPECT_EQ(scoped, 1);
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}
