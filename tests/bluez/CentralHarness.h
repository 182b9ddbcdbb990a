#pragma once
// A central of the fixture's backend with a recording delegate, and the steps most tests share.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/bluez/BlueZFixture.h"
#include "tests/support/PlatformRecorder.h"

namespace vexa::test {

inline BleUUID tokenService() { return BleUUID::fromString(kTokenServiceUuid); }
inline BleUUID tokenWrite() { return BleUUID::fromString(kTokenWriteUuid); }
inline BleUUID tokenNotify() { return BleUUID::fromString(kTokenNotifyUuid); }

class CentralHarness {
public:
    struct Gatt {
        std::shared_ptr<PlatformService> service;
        std::shared_ptr<PlatformCharacteristic> write, notify;
    };

    explicit CentralHarness(BlueZFixture& fixture, std::shared_ptr<BlueZBackend> backend = nullptr)
        : f(fixture), delegate(std::make_shared<PlatformRecorder>(fixture.loop)),
          central((backend ? backend : f.backend)->createCentral(delegate, f.loop)) {}

    /// Waits until the central's state is `state` and its last state callback said so. (After a
    /// change back to an earlier state, a stale callback may still be queued: wait on the events.)
    bool waitForState(ManagerState state) {
        return f.waitFor([&] { return central->state() == state && delegate->last(Ev::State) && delegate->last(Ev::State)->state == state; });
    }
    /// Waits for an event of `kind` recorded at or after index `from`; returns its index or -1.
    int waitForEvent(Ev kind, size_t from) {
        f.waitFor([&] { return delegate->indexOf(kind, from) >= 0; });
        return delegate->indexOf(kind, from);
    }
    /// The error of the first event of `kind` at or after `from`, once it came (a placeholder
    /// error when none came).
    OptError errorOf(Ev kind, size_t from) {
        const int i = waitForEvent(kind, from);
        return i < 0 ? OptError(Error{"test", -1, "no such event"}) : delegate->events[static_cast<size_t>(i)].error;
    }
    bool succeeded(Ev kind, size_t from) { return !errorOf(kind, from); }
    /// Scans (token service filter by default) until the device is reported; its delegate is set.
    std::shared_ptr<PlatformPeripheral> scanFor(const std::string& address,
                                                std::optional<std::vector<BleUUID>> filter = std::vector<BleUUID>{tokenService()}) {
        const size_t mark = delegate->events.size();
        central->scanForPeripherals(filter, ScanOptions{});
        std::shared_ptr<PlatformPeripheral> found;
        f.waitFor([&] {
            for (const auto& e : delegate->of(Ev::Discover, mark))
                if (e.peripheral->identifier() == address) found = e.peripheral;
            return found != nullptr;
        });
        if (found) found->setDelegate(delegate);
        return found;
    }
    bool connect(const std::shared_ptr<PlatformPeripheral>& peripheral) {
        const size_t mark = delegate->events.size();
        central->connectPeripheral(peripheral);
        f.waitFor([&] { return delegate->indexOf(Ev::Connect, mark) >= 0 || delegate->indexOf(Ev::FailConnect, mark) >= 0; });
        return delegate->indexOf(Ev::Connect, mark) >= 0;
    }
    std::optional<Gatt> discoverGatt(const std::shared_ptr<PlatformPeripheral>& peripheral) {
        Gatt gatt;
        size_t mark = delegate->events.size();
        peripheral->discoverServices(std::vector<BleUUID>{tokenService()});
        if (!succeeded(Ev::Services, mark)) return std::nullopt;
        for (const auto& s : peripheral->services())
            if (s->uuid() == tokenService()) gatt.service = s;
        if (!gatt.service) return std::nullopt;
        mark = delegate->events.size();
        peripheral->discoverCharacteristics(std::vector<BleUUID>{tokenWrite(), tokenNotify()}, gatt.service);
        if (!succeeded(Ev::Characteristics, mark)) return std::nullopt;
        for (const auto& c : gatt.service->characteristics()) (c->uuid() == tokenWrite() ? gatt.write : gatt.notify) = c;
        if (!gatt.write || !gatt.notify) return std::nullopt;
        return gatt;
    }
    /// scanFor + stopScan + connect + discoverGatt + notifications on.
    std::optional<Gatt> connectToken(const std::string& address, std::shared_ptr<PlatformPeripheral>* out = nullptr) {
        auto peripheral = scanFor(address);
        if (!peripheral) return std::nullopt;
        central->stopScan();
        if (!connect(peripheral)) return std::nullopt;
        auto gatt = discoverGatt(peripheral);
        const size_t mark = delegate->events.size();
        if (gatt) peripheral->setNotifyValue(true, gatt->notify);
        if (!gatt || !succeeded(Ev::NotifyState, mark)) return std::nullopt;
        if (out) *out = peripheral;
        return gatt;
    }

    BlueZFixture& f;
    std::shared_ptr<PlatformRecorder> delegate;
    std::shared_ptr<PlatformCentral> central;
};

/// A suite of the BlueZ backend: the fixture, one harness, and every callback on its queue.
class BlueZSuite : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(f.started) << f.bus.error(); }
    void TearDown() override { EXPECT_FALSE(h.delegate->offQueue) << "a callback came off the callback queue"; }

    BlueZFixture f;
    CentralHarness h{f};
};

}  // namespace vexa::test
