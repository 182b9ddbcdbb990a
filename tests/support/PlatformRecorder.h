#pragma once
// A central and peripheral delegate that records every platform callback with what it carried
// (the characteristic's value during a value callback, the loop's time) and notes any callback
// made off the loop it belongs to. Shared by the simulated-stack and BlueZ backend tests.
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "Platform/BlePlatform.h"
#include "Platform/RunLoop.h"

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

class PlatformRecorder final : public PlatformCentralDelegate, public PlatformPeripheralDelegate {
public:
    using P = std::shared_ptr<PlatformPeripheral>;
    using C = std::shared_ptr<PlatformCharacteristic>;
    explicit PlatformRecorder(std::shared_ptr<RunLoop> loop) : loop_(std::move(loop)) {}

    std::vector<Event> events;
    bool offQueue = false;

    std::vector<Event> of(Ev kind, size_t from = 0) const {
        std::vector<Event> out;
        std::copy_if(events.begin() + static_cast<std::ptrdiff_t>(std::min(from, events.size())), events.end(), std::back_inserter(out),
                     [&](const Event& e) { return e.kind == kind; });
        return out;
    }
    size_t count(Ev kind) const { return of(kind).size(); }
    std::vector<Ev> kinds() const {
        std::vector<Ev> out;
        for (auto& e : events) out.push_back(e.kind);
        return out;
    }
    /// The last event of that kind, or null.
    const Event* last(Ev kind) const {
        auto it = std::find_if(events.rbegin(), events.rend(), [&](const Event& e) { return e.kind == kind; });
        return it == events.rend() ? nullptr : &*it;
    }
    /// Index of the first event of that kind at or after `from`, or -1.
    int indexOf(Ev kind, size_t from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].kind == kind) return static_cast<int>(i);
        return -1;
    }
    void clear() { events.clear(); }

    void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& c) override { record({.kind = Ev::State, .state = c->state()}); }
    void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>&, const P& p, const AdvertisementData& adv, int64_t rssi) override {
        record({.kind = Ev::Discover, .peripheral = p, .rssi = rssi, .advertisement = adv});
    }
    void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P& p) override { record({.kind = Ev::Connect, .peripheral = p}); }
    void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P& p, const OptError& error) override {
        record({.kind = Ev::FailConnect, .peripheral = p, .error = error});
    }
    void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>&, const P& p, const OptError& error) override {
        record({.kind = Ev::Disconnect, .peripheral = p, .error = error});
    }
    void peripheralDidDiscoverServices(const P& p, const OptError& error) override { record({.kind = Ev::Services, .peripheral = p, .error = error}); }
    void peripheralDidDiscoverCharacteristicsForService(const P& p, const std::shared_ptr<PlatformService>& s, const OptError& error) override {
        record({.kind = Ev::Characteristics, .peripheral = p, .service = s, .error = error});
    }
    void peripheralDidUpdateValueForCharacteristic(const P& p, const C& c, const OptError& error) override {
        record({.kind = Ev::Value, .peripheral = p, .characteristic = c, .value = c ? c->value() : Bytes{}, .error = error});
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const P& p, const C& c, const OptError& error) override {
        record({.kind = Ev::NotifyState, .peripheral = p, .characteristic = c, .error = error});
    }
    void peripheralDidWriteValueForCharacteristic(const P& p, const C& c, const OptError& error) override {
        record({.kind = Ev::Write, .peripheral = p, .characteristic = c, .error = error});
    }
    void peripheralDidReadRSSI(const P& p, int64_t rssi, const OptError& error) override {
        record({.kind = Ev::Rssi, .peripheral = p, .error = error, .rssi = rssi});
    }

private:
    void record(Event e) {
        if (!loop_->isCurrent()) offQueue = true;
        e.at = loop_->clock()->now();
        events.push_back(std::move(e));
    }
    std::shared_ptr<RunLoop> loop_;
};

}  // namespace vexa::test
