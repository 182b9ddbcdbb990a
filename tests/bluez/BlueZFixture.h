#pragma once
// Everything a suite needs to run the BlueZ backend against the fake org.bluez: a private
// dbus-daemon, the fake service on its own connection, a steady-clock RunLoop installed as the
// main queue (platform callbacks are delivered there), and a backend on the private bus.
// Waits are bounded: waitFor runs the loop until a condition holds or the bound passes.
#include <chrono>
#include <functional>
#include <memory>

#include "Backends/BlueZ/BlueZBackend.h"
#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"
#include "tests/fakebluez/FakeBluez.h"
#include "tests/fakebluez/PrivateBus.h"

namespace vexa::test {

class BlueZFixture {
public:
    /// Short time-outs so failure paths finish quickly.
    static BlueZOptions testOptions() {
        BlueZOptions options;
        options.connectTimeout = std::chrono::seconds(5);
        options.servicesGracePeriod = std::chrono::milliseconds(600);
        options.resolveTimeout = std::chrono::seconds(5);
        return options;
    }

    explicit BlueZFixture(BlueZOptions options = testOptions()) : fake(bus.address()), loop(std::make_shared<RunLoop>()) {
        setMainQueue(loop);
        started = !bus.address().empty() && fake.start();
        backend = BlueZBackend::createWithBusAddress(bus.address(), std::move(options));
    }
    ~BlueZFixture() {
        loop->runUntilIdle();
        setMainQueue(nullptr);
    }
    BlueZFixture(const BlueZFixture&) = delete;
    BlueZFixture& operator=(const BlueZFixture&) = delete;

    /// Runs the main loop until `done()` holds (checked after every task and every few
    /// milliseconds, so it may depend on the fake's state) or `timeout` has passed.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto tick = std::make_shared<std::function<void()>>();
        auto pending = std::make_shared<DelayedCall>();
        *tick = [this, weak = std::weak_ptr<std::function<void()>>(tick), pending] {
            if (auto again = weak.lock()) *pending = loop->asyncAfter(std::chrono::milliseconds(5), *again);
        };
        (*tick)();
        const bool ok = loop->runUntil(done, timeout);
        pending->cancel();
        return ok;
    }

    PrivateBus bus;
    FakeBluez fake;
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<BlueZBackend> backend;
    bool started = false;
};

}  // namespace vexa::test
