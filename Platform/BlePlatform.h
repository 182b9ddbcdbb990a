#pragma once
// The Bluetooth LE central operations the link layer calls, and the callbacks it receives.
// A backend (simulated radio, BlueZ, ...) implements the Platform* classes; nothing here is
// specific to one backend.
//
// Contract every backend keeps:
// - Every delegate callback, of the central and of every peripheral, is called on the callback
//   queue given to BleBackend::createCentral, one at a time, never inside the request call.
// - The same remote device is always the same PlatformPeripheral object (identity matters), and
//   likewise for services and characteristics until a new discovery replaces them.
// - Answers of one kind on one characteristic come in request order.
// - Delegates are held weakly; a callback for a delegate that is gone is dropped.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Bytes.h"
#include "Platform/DispatchQueue.h"
#include "Platform/Error.h"

namespace vexa {

/// A Bluetooth UUID as its 2, 4 or 16 bytes, most significant first.
class BleUUID {
public:
    BleUUID() = default;
    explicit BleUUID(Bytes data) : data_(std::move(data)) {}
    /// Parses "180a", "0000180a" or the 8-4-4-4-12 form (either case). Invalid text gives an empty UUID.
    static BleUUID fromString(std::string_view text);
    const Bytes& data() const { return data_; }
    bool empty() const { return data_.empty(); }
    /// Lower-case text: 4, 8 or 8-4-4-4-12 hex digits.
    std::string str() const;
    /// The 128-bit form (16-bit and 32-bit UUIDs expanded over the Bluetooth base UUID).
    BleUUID to128() const;
    bool operator==(const BleUUID& o) const { return to128().data_ == o.to128().data_; }
    bool operator<(const BleUUID& o) const { return to128().data_ < o.to128().data_; }

private:
    Bytes data_;
};

enum class ManagerState : int {
    Unknown = 0,
    Resetting = 1,
    Unsupported = 2,
    Unauthorized = 3,
    PoweredOff = 4,
    PoweredOn = 5,
};

enum class PeripheralState : int { Disconnected = 0, Connecting = 1, Connected = 2, Disconnecting = 3 };

enum class WriteType : int { WithResponse = 0, WithoutResponse = 1 };

/// Characteristic property bits.
enum CharacteristicProperty : uint32_t {
    kPropertyRead = 0x02,
    kPropertyWriteWithoutResponse = 0x04,
    kPropertyWrite = 0x08,
    kPropertyNotify = 0x10,
    kPropertyIndicate = 0x20,
};

struct ScanOptions {
    bool allowDuplicates = false;  // one discovery callback per advertisement, also for known devices
};

/// What one advertisement carried.
struct AdvertisementData {
    std::optional<std::string> localName;
    std::vector<BleUUID> serviceUUIDs;
    std::map<uint16_t, Bytes> manufacturerData;
    std::map<std::string, Bytes> serviceData;  // keyed by the service UUID's text
    std::optional<int> txPowerLevel;
    bool connectable = true;
    bool operator==(const AdvertisementData&) const = default;
};

/// Values written one after another as one request: their bytes back to back, and their sizes.
struct WriteBatch {
    Bytes bytes;
    std::vector<uint32_t> sizes;

    void add(ByteView value) {
        bytes.insert(bytes.end(), value.begin(), value.end());
        sizes.push_back(static_cast<uint32_t>(value.size()));
    }
    size_t count() const { return sizes.size(); }
    bool empty() const { return sizes.empty(); }
    void clear() {
        bytes.clear();
        sizes.clear();
    }
};

class PlatformPeripheral;
class PlatformService;

class PlatformCharacteristic {
public:
    virtual ~PlatformCharacteristic() = default;
    virtual BleUUID uuid() const = 0;
    virtual uint32_t properties() const = 0;
    /// The service it belongs to; null once that service is gone.
    virtual std::shared_ptr<PlatformService> service() const = 0;
    /// The last value read or notified (empty before any).
    virtual Bytes value() const = 0;
    /// Copies value() into `into`, reusing its storage where the backend can.
    virtual void copyValue(Bytes& into) const { into = value(); }
    virtual bool isNotifying() const = 0;
};

class PlatformService {
public:
    virtual ~PlatformService() = default;
    virtual BleUUID uuid() const = 0;
    virtual bool isPrimary() const { return true; }
    /// The peripheral it belongs to; null once that peripheral is gone.
    virtual std::shared_ptr<PlatformPeripheral> peripheral() const = 0;
    /// Characteristics found by the last discovery (empty before it).
    virtual std::vector<std::shared_ptr<PlatformCharacteristic>> characteristics() const = 0;
};

/// A platform calls its delegate through a reference taken from the weak one it was given, and
/// holds that reference for the whole of each call.
class PlatformPeripheralDelegate {
public:
    virtual ~PlatformPeripheralDelegate() = default;
    virtual void peripheralDidDiscoverServices(const std::shared_ptr<PlatformPeripheral>& peripheral, const OptError& error) = 0;
    virtual void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                const std::shared_ptr<PlatformService>& service,
                                                                const OptError& error) = 0;
    /// A read answer or a notification; the new value is characteristic->value() at this moment.
    virtual void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                           const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                           const OptError& error) = 0;
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                                       const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                                       const OptError& error) = 0;
    /// Answer to one write with response.
    virtual void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                          const std::shared_ptr<PlatformCharacteristic>& characteristic,
                                                          const OptError& error) = 0;
    virtual void peripheralDidReadRSSI(const std::shared_ptr<PlatformPeripheral>& peripheral, int64_t rssi, const OptError& error) = 0;
};

class PlatformPeripheral {
public:
    virtual ~PlatformPeripheral() = default;
    /// Stable text identifier of the remote device (a UUID text or an address).
    virtual std::string identifier() const = 0;
    /// The advertised or GAP name, if known.
    virtual std::optional<std::string> name() const = 0;
    virtual PeripheralState state() const = 0;
    /// Services found by the last discovery (empty before it).
    virtual std::vector<std::shared_ptr<PlatformService>> services() const = 0;

    virtual void setDelegate(std::weak_ptr<PlatformPeripheralDelegate> delegate) = 0;

    /// Each answered by one delegate callback. A null filter means "all".
    virtual void discoverServices(const std::optional<std::vector<BleUUID>>& serviceUUIDs) = 0;
    virtual void discoverCharacteristics(const std::optional<std::vector<BleUUID>>& characteristicUUIDs,
                                         const std::shared_ptr<PlatformService>& service) = 0;
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) = 0;
    virtual void readValue(const std::shared_ptr<PlatformCharacteristic>& characteristic) = 0;
    /// With response: one peripheralDidWriteValueForCharacteristic per write, in order. Without: none.
    virtual void writeValue(const Bytes& data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) = 0;
    /// Writes the batch's values in order, with response, as one request answered by one
    /// peripheralDidWriteValueForCharacteristic: no error once the last is written, otherwise the
    /// error of the first that failed (the values after it are not written). Takes the batch and
    /// returns true; a backend that writes one value per request returns false and leaves it.
    virtual bool writeValues(WriteBatch& batch, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
        (void)batch;
        (void)characteristic;
        return false;
    }
    virtual size_t maximumWriteValueLength(WriteType type) const = 0;
    virtual void readRSSI() = 0;
};

class PlatformCentral;

class PlatformCentralDelegate {
public:
    virtual ~PlatformCentralDelegate() = default;
    virtual void centralManagerDidUpdateState(const std::shared_ptr<PlatformCentral>& central) = 0;
    virtual void centralManagerDidDiscoverPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                     const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                     const AdvertisementData& advertisementData, int64_t rssi) = 0;
    virtual void centralManagerDidConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                    const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    virtual void centralManagerDidFailToConnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                          const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                          const OptError& error) = 0;
    virtual void centralManagerDidDisconnectPeripheral(const std::shared_ptr<PlatformCentral>& central,
                                                       const std::shared_ptr<PlatformPeripheral>& peripheral,
                                                       const OptError& error) = 0;
};

class PlatformCentral {
public:
    virtual ~PlatformCentral() = default;
    /// Current state, read live.
    virtual ManagerState state() const = 0;
    /// One discovery callback per advertisement (per device unless allowDuplicates). Null filter: all.
    virtual void scanForPeripherals(const std::optional<std::vector<BleUUID>>& serviceUUIDs, const ScanOptions& options) = 0;
    virtual void stopScan() = 0;
    /// Later exactly one connect or fail-to-connect callback (unless cancelled first).
    virtual void connectPeripheral(const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    /// Later a disconnect callback, also for a pending connection.
    virtual void cancelPeripheralConnection(const std::shared_ptr<PlatformPeripheral>& peripheral) = 0;
    virtual std::vector<std::shared_ptr<PlatformPeripheral>> retrievePeripheralsWithIdentifiers(const std::vector<std::string>& identifiers) = 0;
    virtual std::vector<std::shared_ptr<PlatformPeripheral>> retrieveConnectedPeripheralsWithServices(const std::vector<BleUUID>& serviceUUIDs) = 0;
};

/// A Bluetooth LE stack the library can run on.
class BleBackend {
public:
    virtual ~BleBackend() = default;
    virtual std::string name() const = 0;
    /// Makes the central; it calls `delegate` (held weakly) on `callbackQueue` only.
    virtual std::shared_ptr<PlatformCentral> createCentral(std::weak_ptr<PlatformCentralDelegate> delegate,
                                                           std::shared_ptr<DispatchQueue> callbackQueue) = 0;
};

/// Chooses the backend for the process; call before LumoCentralManager::sharedInstance() is first used.
/// `callbackQueue` is where the platform calls back; null makes the central manager start its own serial
/// queue (a thread). A test may pass the main RunLoop to keep everything on one thread.
void setBleBackend(std::shared_ptr<BleBackend> backend, std::shared_ptr<DispatchQueue> callbackQueue = nullptr);
/// The chosen backend, or null when none was chosen.
std::shared_ptr<BleBackend> bleBackend();
/// The callback queue chosen with the backend, or null.
std::shared_ptr<DispatchQueue> bleCallbackQueue();

}  // namespace vexa
