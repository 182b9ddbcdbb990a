// Queues and ciphers where real threads meet; also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "Platform/RunLoop.h"
#include "Platform/SerialQueue.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOnItsOwnThreadKeepingEachProducersOrder) {
    SerialQueue queue("org.vexatokenkit.test");
    EXPECT_EQ(queue.label(), "org.vexatokenkit.test");
    EXPECT_FALSE(queue.isCurrent());
    constexpr int kProducers = 4, kEach = 300;
    std::vector<std::vector<int>> seen(kProducers + 1);  // touched only on the queue
    bool onQueue = true;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) queue.async([&, p, i] { onQueue = onQueue && queue.isCurrent(), seen[p].push_back(i); });
        });
    for (auto& t : producers) t.join();
    // Tasks may post tasks; sync waits for everything queued before it.
    queue.async([&] { queue.async([&] { seen[kProducers].push_back(-1); }); });
    queue.sync([] {});
    queue.sync([&] {
        for (int p = 0; p < kProducers; ++p) {
            ASSERT_EQ(seen[p].size(), size_t{kEach});
            for (int i = 0; i < kEach; ++i) EXPECT_EQ(seen[p][i], i);
        }
        EXPECT_EQ(seen[kProducers], std::vector<int>{-1});
        EXPECT_TRUE(onQueue);
    });
}

TEST(SerialQueue, DelayedCallsAndDestructionWithPendingWork) {
    std::promise<void> fired;
    std::atomic<int> ran{0};
    std::atomic<bool> cancelledRan{false}, droppedRan{false};
    {
        SerialQueue queue("timers");
        queue.asyncAfter(1ms, [&] { fired.set_value(); });
        DelayedCall cancelled = queue.asyncAfter(1ms, [&] { cancelledRan = true; });
        cancelled.cancel();
        fired.get_future().wait();
        queue.asyncAfter(24h, [&] { droppedRan = true; });  // dropped at destruction, not waited for
        for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
    }  // runs the 100 tasks already submitted, then joins
    EXPECT_EQ(ran.load(), 100);
    EXPECT_FALSE(cancelledRan.load());
    EXPECT_FALSE(droppedRan.load());
}

TEST(SerialQueue, DestroyedFromItsOwnTask) {
    // The queue's last owner is a task of its own, released once it has run: the queue's thread
    // must finish the tasks already submitted without touching the destroyed object.
    auto queue = std::make_shared<SerialQueue>("self-owned");
    std::promise<void> gate, after;
    SerialQueue* raw = queue.get();
    raw->async([&gate] { gate.get_future().wait(); });
    raw->async([owner = std::move(queue)] {});
    raw->async([&after] { after.set_value(); });
    gate.set_value();
    after.get_future().wait();
}

TEST(RunLoop, CrossThreadAsyncWakesASteadyLoop) {
    RunLoop loop;  // steady clock: waits for real work
    constexpr int kThreads = 3, kEach = 200;
    int count = 0;  // touched only by tasks on the loop
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) loop.async([&] { ++count; });
        });
    bool timerFired = false;
    std::thread timerThread([&] { loop.asyncAfter(1ms, [&] { timerFired = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return count == kThreads * kEach && timerFired; }, 60s));
    for (auto& t : threads) t.join();
    timerThread.join();

    // stop() from another thread ends run().
    std::promise<void> started;
    loop.async([&] { started.set_value(); });
    std::thread stopper([&] {
        started.get_future().wait();
        loop.stop();
    });
    loop.run();
    stopper.join();
}

TEST(Ciphers, ThreadsWithDifferentKeysDoNotShareCipherState) {
    const std::string keys[] = {"first-key", "second-key-0123456789abcdefghijk", "third", "fourth-key"};
    Bytes plain(208);  // whole blocks, so that decryption gives back exactly the plaintext
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
    std::vector<Bytes> expected;
    for (const auto& k : keys) expected.push_back(*AES256EncryptWithKey(plain, k));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < std::size(keys); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const auto c = AES256EncryptWithKey(plain, keys[t]);
                const auto p = c ? AES256DecryptWithKey(*c, keys[t]) : std::nullopt;
                if (!c || *c != expected[t] || !p || *p != plain) ++mismatches;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace vexa
