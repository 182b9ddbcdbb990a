#include "Platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

TEST(NotificationCenter, DeliversByNameAndSenderInRegistrationOrder) {
    NotificationCenter center;
    auto senderA = std::make_shared<int>(1);
    auto senderB = std::make_shared<int>(2);
    int ownerX = 0, ownerY = 0, ownerZ = 0;
    std::vector<std::string> calls;
    center.addObserver(&ownerX, "Ping", nullptr, [&](const Notification&) { calls.push_back("x-any"); });
    center.addObserver(&ownerY, "Ping", senderA.get(), [&](const Notification&) { calls.push_back("y-a"); });
    center.addObserver(&ownerZ, "Pong", nullptr, [&](const Notification&) { calls.push_back("z-pong"); });
    center.addObserver(&ownerZ, "Ping", senderB.get(), [&](const Notification&) { calls.push_back("z-b"); });

    center.post("Ping", senderA);
    EXPECT_EQ(calls, (std::vector<std::string>{"x-any", "y-a"}));
    calls.clear();
    center.post("Ping", senderB);
    EXPECT_EQ(calls, (std::vector<std::string>{"x-any", "z-b"}));
    calls.clear();
    center.post("Ping", nullptr);  // no sender: only observers without a filter
    EXPECT_EQ(calls, (std::vector<std::string>{"x-any"}));
    calls.clear();
    center.post("Other", senderA);
    EXPECT_TRUE(calls.empty());
}

TEST(NotificationCenter, RemovalByOwnerAndByName) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(0);
    int owner = 0, other = 0;
    int hits = 0, otherHits = 0;
    center.addObserver(&owner, "A", nullptr, [&](const Notification&) { ++hits; });
    center.addObserver(&owner, "B", nullptr, [&](const Notification&) { ++hits; });
    center.addObserver(&owner, "B", sender.get(), [&](const Notification&) { ++hits; });
    center.addObserver(&other, "A", nullptr, [&](const Notification&) { ++otherHits; });
    EXPECT_EQ(center.observerCount(&owner), 3u);

    center.removeObserver(&owner, "B", sender.get());  // only the filtered registration
    EXPECT_EQ(center.observerCount(&owner), 2u);
    center.post("B", sender);
    EXPECT_EQ(hits, 1);

    center.removeObserver(&owner, "B");  // no sender given: every "B" of that owner
    EXPECT_EQ(center.observerCount(&owner), 1u);
    center.post("B", sender);
    EXPECT_EQ(hits, 1);

    center.removeObserver(&owner);
    EXPECT_EQ(center.observerCount(&owner), 0u);
    center.post("A", nullptr);
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(otherHits, 1);  // other owners keep theirs
}

TEST(NotificationCenter, ChangesDuringDelivery) {
    NotificationCenter center;
    int first = 0, second = 0, third = 0, late = 0;
    std::vector<std::string> calls;
    center.addObserver(&first, "N", nullptr, [&](const Notification&) {
        calls.push_back("first");
        center.removeObserver(&first);   // removes itself while running
        center.removeObserver(&second);  // and a later one, which must then not be called
        center.addObserver(&late, "N", nullptr, [&](const Notification&) { calls.push_back("late"); });
    });
    center.addObserver(&second, "N", nullptr, [&](const Notification&) { calls.push_back("second"); });
    center.addObserver(&third, "N", nullptr, [&](const Notification&) {
        calls.push_back("third");
        if (calls.size() < 4) center.post("Nested", nullptr);  // re-entrant post
    });
    center.addObserver(&third, "Nested", nullptr, [&](const Notification&) { calls.push_back("nested"); });

    center.post("N", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "third", "nested"}));
    calls.clear();
    center.post("N", nullptr);  // the observer added during delivery hears the next post
    EXPECT_EQ(calls, (std::vector<std::string>{"third", "nested", "late"}));
}

}  // namespace
}  // namespace vexa
