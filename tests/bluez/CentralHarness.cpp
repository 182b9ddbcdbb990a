#include "tests/bluez/CentralHarness.h"

namespace vexa::test {

CentralHarness::CentralHarness(BlueZFixture& fixture, std::shared_ptr<BlueZBackend> backend)
    : f(fixture), delegate(std::make_shared<RecordingDelegate>(fixture.loop)) {
    central = (backend ? backend : f.backend)->createCentral(delegate, f.loop);
}

bool CentralHarness::waitForState(ManagerState state) {
    return f.waitFor([&] { return central->state() == state && delegate->last(BleEvent::State) && delegate->last(BleEvent::State)->state == state; });
}

int CentralHarness::waitForEvent(BleEvent::Kind kind, size_t from) {
    f.waitFor([&] { return delegate->indexOf(kind, from) >= 0; });
    return delegate->indexOf(kind, from);
}

std::shared_ptr<PlatformPeripheral> CentralHarness::scanFor(const std::string& address, std::optional<std::vector<BleUUID>> filter) {
    const size_t mark = delegate->events.size();
    central->scanForPeripherals(filter, ScanOptions{});
    std::shared_ptr<PlatformPeripheral> found;
    f.waitFor([&] {
        for (size_t i = mark; i < delegate->events.size(); ++i) {
            const auto& e = delegate->events[i];
            if (e.kind == BleEvent::Discover && e.peripheral->identifier() == address) found = e.peripheral;
        }
        return found != nullptr;
    });
    if (found) found->setDelegate(delegate);
    return found;
}

bool CentralHarness::connect(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    const size_t mark = delegate->events.size();
    central->connectPeripheral(peripheral);
    f.waitFor([&] { return delegate->indexOf(BleEvent::Connect, mark) >= 0 || delegate->indexOf(BleEvent::FailConnect, mark) >= 0; });
    return delegate->indexOf(BleEvent::Connect, mark) >= 0;
}

std::optional<CentralHarness::Gatt> CentralHarness::discoverGatt(const std::shared_ptr<PlatformPeripheral>& peripheral) {
    size_t mark = delegate->events.size();
    peripheral->discoverServices(std::vector<BleUUID>{tokenService()});
    const int services = waitForEvent(BleEvent::Services, mark);
    if (services < 0 || delegate->events[static_cast<size_t>(services)].error) return std::nullopt;
    Gatt gatt;
    for (const auto& s : peripheral->services()) {
        if (s->uuid() == tokenService()) gatt.service = s;
    }
    if (!gatt.service) return std::nullopt;
    mark = delegate->events.size();
    peripheral->discoverCharacteristics(std::vector<BleUUID>{tokenWrite(), tokenNotify()}, gatt.service);
    const int chars = waitForEvent(BleEvent::Characteristics, mark);
    if (chars < 0 || delegate->events[static_cast<size_t>(chars)].error) return std::nullopt;
    for (const auto& c : gatt.service->characteristics()) {
        if (c->uuid() == tokenWrite()) gatt.write = c;
        if (c->uuid() == tokenNotify()) gatt.notify = c;
    }
    if (!gatt.write || !gatt.notify) return std::nullopt;
    return gatt;
}

bool CentralHarness::enableNotify(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                  const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    const size_t mark = delegate->events.size();
    peripheral->setNotifyValue(true, characteristic);
    const int i = waitForEvent(BleEvent::NotifyState, mark);
    return i >= 0 && !delegate->events[static_cast<size_t>(i)].error;
}

std::optional<CentralHarness::Gatt> CentralHarness::connectToken(const std::string& address, std::shared_ptr<PlatformPeripheral>* out) {
    auto peripheral = scanFor(address);
    if (!peripheral) return std::nullopt;
    central->stopScan();
    if (!connect(peripheral)) return std::nullopt;
    auto gatt = discoverGatt(peripheral);
    if (!gatt || !enableNotify(peripheral, gatt->notify)) return std::nullopt;
    if (out) *out = peripheral;
    return gatt;
}

}  // namespace vexa::test
