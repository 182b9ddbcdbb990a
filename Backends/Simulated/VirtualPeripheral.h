#pragma once
// A virtual Bluetooth LE device on a SimulatedRadio: what a device model (a virtual token, a test)
// configures and drives. See SimulatedRadio.h for how the stack as a whole behaves.
//
// Threads: every call below, and every handler the model installs, runs on the library's main
// queue (mainQueue()). Handlers are never called inside a central's request call: a request is
// first moved to the main queue, then waits its turn on the link.
//
// Connection: the device accepts one central at a time. While connected it does not advertise
// (unless setAdvertisesWhileConnected(true)). The connected handler runs once the central has been
// sent its connect answer; the disconnected handler runs after the central has been sent its
// disconnect callback, with the reason the central was given (none when the central cancelled).
// At link end every subscription is reset.
//
// Request order, as seen by the model: requests reach the device in the order the central made
// them. A write with response reaches the write handler when its link delay has passed; its
// answer is sent right after the handler returns, so a notify() made inside the handler reaches
// the central after that answer. notify() queues the value on the same link behind everything
// already queued (writes, discoveries, other notifications) and it then takes the notification
// delay.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Backends/Simulated/FaultPlan.h"
#include "Backends/Simulated/LinkTiming.h"
#include "Backends/Simulated/VirtualService.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class SimulatedRadio;
class SimulatedPeripheral;

class VirtualPeripheral : public std::enable_shared_from_this<VirtualPeripheral> {
public:
    static constexpr Duration kDefaultAdvertisingInterval = std::chrono::milliseconds(100);
    static constexpr size_t kDefaultMaxWriteWithoutResponse = 182;
    static constexpr size_t kDefaultMaxWriteWithResponse = 512;

    /// A device with that name (or none) and identifier (a fresh upper-case UUID text when empty).
    /// It is advertising, has RSSI -60, no services, and joins a radio with SimulatedRadio::addPeripheral.
    static std::shared_ptr<VirtualPeripheral> create(std::optional<std::string> name = std::nullopt,
                                                     std::string identifier = {});
    VirtualPeripheral(std::optional<std::string> name, std::string identifier);

    // ---- Identity and advertising ----

    const std::string& identifier() const { return identifier_; }
    /// The GAP name, also advertised as the local name. Thread-safe.
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name);

    /// Signal strength of each advertisement and of readRSSI: a fixed value, or a function called
    /// once per advertisement (and per RSSI read).
    void setRssi(int64_t rssi);
    void setRssiSource(std::function<int64_t()> source);
    int64_t sampleRssi();

    /// Service UUIDs carried by each advertisement; a scan with a service filter finds the device
    /// when one of them is in the filter.
    void setAdvertisedServices(std::vector<BleUUID> uuids);
    const std::vector<BleUUID>& advertisedServices() const { return advertisedServices_; }
    void setManufacturerData(std::map<uint16_t, Bytes> data);
    /// Time between two advertisements. A scan with allowDuplicates hears the device at the scan
    /// start and then once per interval; without, once per scan.
    void setAdvertisingInterval(Duration interval);
    Duration advertisingInterval() const { return advertisingInterval_; }
    /// Turns advertising on (default) or off.
    void setAdvertising(bool on);
    void setAdvertisesWhileConnected(bool on);
    /// Whether an advertisement goes out now (advertising on, on a radio, and not held back by a connection).
    bool isAdvertisingNow() const;
    /// The content of each advertisement: local name, advertised services, manufacturer data.
    AdvertisementData advertisementData() const;

    // ---- GATT table ----

    void addService(std::shared_ptr<VirtualService> service);
    const std::vector<std::shared_ptr<VirtualService>>& services() const { return services_; }
    /// The characteristic `characteristic` of the first service `service`, or null.
    std::shared_ptr<VirtualCharacteristic> characteristic(const BleUUID& service, const BleUUID& characteristic) const;

    // ---- Link ----

    /// Latencies of this device's link; none (default) uses the radio's.
    void setLinkTiming(std::optional<LinkTiming> timing) { linkTiming_ = std::move(timing); }
    const std::optional<LinkTiming>& linkTiming() const { return linkTiming_; }
    /// The timing in force: this device's, else its radio's, else all zero.
    LinkTiming effectiveLinkTiming() const;
    /// Largest value a central may write at once (defaults 182 without response, 512 with). Longer
    /// writes with response are answered with SimulatedAttError::InvalidAttributeValueLength;
    /// longer writes without response are dropped. Thread-safe.
    void setMaximumWriteValueLength(WriteType type, size_t length);
    size_t maximumWriteValueLength(WriteType type) const;
    /// Faults to inject (see FaultPlan.h).
    FaultPlan& faults() { return faults_; }

    // ---- Connection ----

    bool isConnected() const { return connected_.load(); }
    void setConnectedHandler(std::function<void()> handler) { onConnected_ = std::move(handler); }
    void setDisconnectedHandler(std::function<void(const OptError& reason)> handler) { onDisconnected_ = std::move(handler); }

    /// Sends `value` as a notification of `characteristic` to the connected central. Returns false,
    /// sending nothing, when no central is connected or it has not subscribed to that
    /// characteristic. The value is queued on the link (see above); notification faults apply when
    /// it is delivered. A notification still queued when the link ends is lost.
    bool notify(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes value);
    /// The same, taking `value`'s bytes and leaving in it an empty buffer, one the central has
    /// finished with when there is one: a device that notifies often allocates less.
    bool notifyReusing(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes& value);
    /// Drops the link from the device's side now: requests still queued on the link are answered
    /// with SimulatedBleError::RequestAborted after the central's didDisconnect, which carries
    /// `error` (by default SimulatedBleError::PeripheralDisconnected). Called from inside a handler,
    /// the request being handled is answered with RequestAborted too. Nothing happens when not connected.
    void disconnect(OptError error = std::nullopt);

    /// The radio the device is on, or null.
    std::shared_ptr<SimulatedRadio> radio() const { return radio_.lock(); }

    // ---- Used by the stack ----
    void attachRadio(const std::shared_ptr<SimulatedRadio>& radio) { radio_ = radio; }
    /// The radio's timing, kept here by the radio so that the timing in force costs no lock.
    void setRadioTiming(const LinkTiming& timing);
    /// Whether the radio has a traffic observer, kept here by the radio likewise.
    void setRadioObserved(bool observed) { radioObserved_.store(observed, std::memory_order_relaxed); }
    bool radioObserved() const { return radioObserved_.load(std::memory_order_relaxed); }
    void detachRadio() { radio_.reset(); }
    std::shared_ptr<SimulatedPeripheral> peer() const { return peer_.lock(); }
    /// Set by the peer while it hands the device a write: what the write handler notifies goes
    /// straight to it. Returns the one it replaces, for the peer to put back.
    SimulatedPeripheral* enterWrite(SimulatedPeripheral* peer) { return std::exchange(writingPeer_, peer); }
    void linkUp(const std::shared_ptr<SimulatedPeripheral>& peer);
    void linkDown(const OptError& reason);
    void callConnectedHandler();

private:
    void advertisingChanged();

    const std::string identifier_;
    mutable std::mutex nameMutex_;
    std::optional<std::string> name_;
    int64_t rssi_ = -60;
    std::function<int64_t()> rssiSource_;
    std::vector<BleUUID> advertisedServices_;
    std::map<uint16_t, Bytes> manufacturerData_;
    Duration advertisingInterval_ = kDefaultAdvertisingInterval;
    bool advertising_ = true;
    bool advertisesWhileConnected_ = false;
    std::vector<std::shared_ptr<VirtualService>> services_;
    std::optional<LinkTiming> linkTiming_;
    std::atomic<size_t> maxWithoutResponse_{kDefaultMaxWriteWithoutResponse};
    std::atomic<size_t> maxWithResponse_{kDefaultMaxWriteWithResponse};
    FaultPlan faults_;
    std::weak_ptr<SimulatedRadio> radio_;
    // The radio's timing (set under the radio's lock, read on the main queue), field by field.
    struct RadioTiming {
        std::atomic<Duration::rep> connection{0}, discovery{0}, writeWithResponse{0}, writeWithoutResponse{0}, notification{0};
    } radioTiming_;
    std::atomic<bool> radioObserved_{false};
    std::weak_ptr<SimulatedPeripheral> peer_;
    SimulatedPeripheral* writingPeer_ = nullptr;  // main queue only; see enterWrite
    std::atomic<bool> connected_{false};
    std::function<void()> onConnected_;
    std::function<void(const OptError&)> onDisconnected_;
};

}  // namespace vexa
