#pragma once
// The in-process Bluetooth LE radio: virtual peripherals in range, the Bluetooth state, link
// timing defaults and a traffic observer. Centrals made on it (SimulatedBackend::createCentral or
// createCentral below) implement the PlatformCentral/PlatformPeripheral interfaces.
//
// How the stack behaves
// - Threads and time. Requests may be called from any thread; each is moved to the main queue
//   (mainQueue(), looked up at the call) and never answered inside the call. All model work,
//   every device handler and every delay runs on the main queue and its clock (asyncAfter), so on
//   a RunLoop with a virtual clock nothing waits for real time. Every delegate callback is then
//   posted to the central's callback queue, in the order the model produced it. Getters of the
//   platform objects (state, value, services, characteristics, name, isNotifying...) are
//   thread-safe; a value callback is published on the callback queue right before the delegate
//   runs, so characteristic->value() inside it is that callback's value.
// - Identity. A central has one PlatformPeripheral object per device for its whole life (across
//   scans and connections), and one object per service and characteristic of that device once
//   discovered. Each discovery replaces the peripheral's services() (or the service's
//   characteristics()) with what it found, published right before its callback.
// - State. PlatformCentral::state() is the radio's state, read live.
// - Scanning. A scan needs the powered-on state (otherwise it is ignored). Each advertising device
//   that matches the filter is heard at the scan start, then, with allowDuplicates, once per
//   advertising interval while the scan runs; without, once per scan. A device that starts
//   advertising during a scan (added, advertising turned on, disconnected) is heard at once.
// - Connecting. connectPeripheral answers after the connection delay with one didConnect or one
//   didFailToConnect (refused by a fault, busy with another central, Bluetooth not powered on). A
//   connect to a device out of range, or one a fault ignores, stays pending until it is cancelled.
//   Connecting an already connected peripheral answers didConnect again; a second connect while
//   one is pending adds nothing. cancelPeripheralConnection ends a pending or live connection and
//   answers didDisconnect with no error; on a peripheral that is neither it does nothing.
// - The link. Each connection has one FIFO timeline (see LinkTiming.h): discoveries, writes, reads,
//   notification-state changes, RSSI reads and notifications take their turn in the order they were
//   made, each occupying the link for its delay (reads, notification-state changes and RSSI reads
//   take none). Every request but a write without response gets exactly one answer: on a
//   peripheral that is not connected, at once with SimulatedBleError::NotConnected; when the link
//   ends with the request still queued, with SimulatedBleError::RequestAborted right after the
//   didDisconnect callback. Requests naming another peripheral's objects are answered with
//   SimulatedBleError::InvalidParameters.
// - Bluetooth state. setState posts centralManagerDidUpdateState to every central. Leaving the
//   powered-on state stops every scan, fails pending connects (didFailToConnect) and drops live
//   links (didDisconnect), both with SimulatedBleError::PoweredOff, after the state callback.
// - Range. removePeripheral takes a device out of range: it stops being heard and a live link is
//   lost with SimulatedBleError::ConnectionTimeout.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Backends/Simulated/LinkTiming.h"
#include "Backends/Simulated/TrafficRecord.h"
#include "Backends/Simulated/VirtualPeripheral.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedCentral;

class SimulatedRadio : public std::enable_shared_from_this<SimulatedRadio> {
public:
    static std::shared_ptr<SimulatedRadio> create();

    // ---- Devices (main queue) ----

    /// Brings a device in range (it starts being heard by scans). A device is on one radio at a time.
    void addPeripheral(const std::shared_ptr<VirtualPeripheral>& peripheral);
    /// Takes a device out of range; a live link is lost (see above).
    void removePeripheral(const std::shared_ptr<VirtualPeripheral>& peripheral);
    /// Devices in range, in the order they were added. Thread-safe.
    std::vector<std::shared_ptr<VirtualPeripheral>> peripherals() const;
    /// The device in range with that identifier, or null. Thread-safe.
    std::shared_ptr<VirtualPeripheral> peripheral(const std::string& identifier) const;

    // ---- Bluetooth state ----

    /// Current state, PoweredOn at first. Thread-safe.
    ManagerState state() const { return state_.load(); }
    /// Changes the state (main queue); no effect when unchanged.
    void setState(ManagerState state);

    // ---- Link timing defaults, traffic ----

    void setLinkTiming(LinkTiming timing);
    LinkTiming linkTiming() const;
    /// Called for every write a device receives and every notification or read value it sends.
    void setTrafficObserver(TrafficObserver observer);

    // ---- Centrals ----

    /// A central that calls `delegate` (held weakly) on `callbackQueue` only. It is told the current
    /// state once through centralManagerDidUpdateState.
    std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                   std::shared_ptr<DispatchQueue> callbackQueue);

    // ---- Used by the stack ----
    void observe(const TrafficRecord& record);
    bool hasTrafficObserver() const { return static_cast<bool>(observer_); }
    /// Tells scanning centrals that a device's advertising changed.
    void advertisingChanged(const std::shared_ptr<VirtualPeripheral>& peripheral);
    bool contains(const VirtualPeripheral* peripheral) const;

private:
    std::vector<std::shared_ptr<SimulatedCentral>> liveCentrals();

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VirtualPeripheral>> peripherals_;
    std::vector<std::weak_ptr<SimulatedCentral>> centrals_;
    LinkTiming timing_;
    std::atomic<ManagerState> state_{ManagerState::PoweredOn};
    TrafficObserver observer_;
};

}  // namespace vexa
