#pragma once
// Central and peripheral delegate that records every callback (thread-safe), with the virtual time
// and the values the platform objects showed at that moment.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "Platform/BlePlatform.h"
#include "Platform/Clock.h"

namespace vexa::test {

enum class Ev { State, Discover, Connect, FailConnect, Disconnect, Services, Characteristics, Value, NotifyState, Write, Rssi };

struct Event {
    Ev kind = Ev::State;
    std::shared_ptr<PlatformPeripheral> peripheral{};
    std::shared_ptr<PlatformService> service{};
    std::shared_ptr<PlatformCharacteristic> characteristic{};
    Bytes value{};  // the characteristic's value() during a Value callback
    OptError error{};
    int64_t rssi = 0;
    AdvertisementData advertisement{};
    ManagerState state = ManagerState::Unknown;
    Duration at{0};
};

class RecordingDelegate : public PlatformCentralDelegate, public PlatformPeripheralDelegate {
public:
    explicit RecordingDelegate(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

    /// Extra work done on the callback thread for each event (after it is recorded).
    std::function<void(const Event&)> onEvent;

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> of(Ev kind) const {
        std::vector<Event> out;
        for (auto& e : events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    size_t count(Ev kind) const { return of(kind).size(); }
    std::vector<Ev> kinds() const {
        std::vector<Ev> out;
        for (auto& e : events()) out.push_back(e.kind);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    /// Waits (real time, for callbacks on another thread) until `n` events of `kind` were recorded.
    bool waitFor(Ev kind, size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            size_t c = 0;
            for (auto& e : events_) c += e.kind == kind;
            return c >= n;
        });
    }

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central) override {
        record({.kind = Ev::State, .state = central->state()});
    }
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& p,
                                             const AdvertisementData& adv, int64_t rssi) override {
        record({.kind = Ev::Discover, .peripheral = p, .rssi = rssi, .advertisement = adv});
    }
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& p) override {
        record({.kind = Ev::Connect, .peripheral = p});
    }
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& p,
                                                  const OptError& error) override {
        record({.kind = Ev::FailConnect, .peripheral = p, .error = error});
    }
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&, const std::shared_ptr<PlatformPeripheral>& p,
                                               const OptError& error) override {
        record({.kind = Ev::Disconnect, .peripheral = p, .error = error});
    }
    void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& p, const OptError& error) override {
        record({.kind = Ev::Services, .peripheral = p, .error = error});
    }
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& p, const std::shared_ptr<PlatformService>& s,
                                                        const OptError& error) override {
        record({.kind = Ev::Characteristics, .peripheral = p, .service = s, .error = error});
    }
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& p, const std::shared_ptr<PlatformCharacteristic>& c,
                                                   const OptError& error) override {
        record({.kind = Ev::Value, .peripheral = p, .characteristic = c, .value = c->value(), .error = error});
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>& p,
                                                               const std::shared_ptr<PlatformCharacteristic>& c, const OptError& error) override {
        record({.kind = Ev::NotifyState, .peripheral = p, .characteristic = c, .error = error});
    }
    void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& p, const std::shared_ptr<PlatformCharacteristic>& c,
                                                  const OptError& error) override {
        record({.kind = Ev::Write, .peripheral = p, .characteristic = c, .error = error});
    }
    void peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>& p, int64_t rssi, const OptError& error) override {
        record({.kind = Ev::Rssi, .peripheral = p, .error = error, .rssi = rssi});
    }

private:
    void record(Event e) {
        e.at = clock_->now();
        {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
        }
        changed_.notify_all();
        if (onEvent) onEvent(e);
    }

    std::shared_ptr<Clock> clock_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

}  // namespace vexa::test
