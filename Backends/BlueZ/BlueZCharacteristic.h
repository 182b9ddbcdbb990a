#pragma once
// A GATT characteristic of a BlueZ device (an org.bluez.GattCharacteristic1 object) and its
// request queues. BlueZ takes one WriteValue per characteristic at a time (a second one gets
// InProgress), so writes of both kinds wait in one FIFO and go out one by one; notification
// switches and reads have a FIFO each. Answers therefore come in request order.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/BlePlatform.h"

namespace sdbus {
class Error;
}

namespace vexa {

class BlueZContext;
class BlueZPeripheral;
class BlueZService;

class BlueZCharacteristic final : public PlatformCharacteristic, public std::enable_shared_from_this<BlueZCharacteristic> {
public:
    BlueZCharacteristic(std::string path, BleUUID uuid, uint32_t properties, std::weak_ptr<BlueZService> service);

    BleUUID uuid() const override { return uuid_; }
    uint32_t properties() const override { return properties_; }
    std::shared_ptr<PlatformService> service() const override;
    Bytes value() const override;
    bool isNotifying() const override { return notifying_.load(); }

    const std::string& path() const { return path_; }
    /// Callback-queue side: set just before the callback that reports them.
    void setValue(Bytes value);
    void setNotifying(bool on) { notifying_ = on; }

    // Loop side. `peripheral` is the owner, passed along to the callbacks.
    void write(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, Bytes data, WriteType type);
    void setNotify(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, bool enable);
    void read(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral);
    /// A Value change signalled by BlueZ: delivered as a value update while notification is on or
    /// being switched on (a notification may come before the StartNotify answer); dropped otherwise.
    void valueSignalled(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, Bytes value);
    /// Answers every waiting request with `error`, in order, and ignores their late D-Bus replies.
    void abandon(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, const Error& error);
    bool wantsNotifications() const { return notifyWanted_; }

private:
    struct WriteOp {
        Bytes data;
        WriteType type;
        int attempts = 0;
    };

    void pumpWrites(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral);
    void sendWrite(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral);
    void writeAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch, const sdbus::Error* error);
    void pumpNotify(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral);
    void notifyAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch, const sdbus::Error* error);
    void pumpReads(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral);
    void readAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch, const sdbus::Error* error,
                      Bytes value);
    void deliverNotifyState(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, bool on, OptError error);

    const std::string path_;
    const BleUUID uuid_;
    const uint32_t properties_;
    const std::weak_ptr<BlueZService> service_;
    mutable std::mutex mutex_;
    Bytes value_;
    std::atomic<bool> notifying_{false};

    // Loop thread only.
    uint64_t epoch_ = 0;  // bumped by abandon(); replies of an older epoch are ignored
    std::deque<WriteOp> writes_;
    bool writing_ = false;
    DelayedCall writeRetry_;
    std::deque<bool> notifyOps_;
    bool notifyBusy_ = false;
    bool notifyWanted_ = false;
    bool notifyOn_ = false;
    size_t reads_ = 0;
    bool reading_ = false;
};

}  // namespace vexa
