#pragma once
// Wraps one platform characteristic and turns its request/answer pairs into one completion per
// request. Each kind of request (notification state, read, write with response) keeps a FIFO of
// pending completions; every answer completes the oldest pending request of its kind. A standing
// update callback receives every value the characteristic reports (reads and notifications).
// Used on the main queue only; the peripheral wrapper delivers the answers there.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "LumoTokenSDK/LumoBluetooth/LumoCallbacks.h"
#include "Platform/BlePlatform.h"

namespace vexa {

class LumoCharacteristic {
public:
    explicit LumoCharacteristic(std::shared_ptr<PlatformCharacteristic> characteristic);
    LumoCharacteristic(const LumoCharacteristic&) = delete;
    LumoCharacteristic& operator=(const LumoCharacteristic&) = delete;

    const std::shared_ptr<PlatformCharacteristic>& cbCharacteristic() const { return cbCharacteristic_; }
    /// Set once a discovery has replaced the wrapper: platform callbacks no longer reach it.
    bool isRetired() const { return retired_; }
    void retire() { retired_ = true; }
    /// Lower-case text form of the characteristic's UUID.
    std::string UUIDString() const;
    /// Largest write without response the platform accepts in one go (0 when the peripheral is gone).
    int64_t payload() const;

    /// Sets the update callback to `onUpdate` (an empty one removes it), queues `completion` (an empty
    /// one still takes its slot) and asks the platform to enable or disable notifications.
    void setNotifyValue(bool enabled, LumoErrorCallback completion, LumoDataCallback onUpdate);
    /// The same with no update callback: also removes an update callback set earlier.
    void setNotifyValue(bool enabled, LumoErrorCallback completion);
    /// With a completion: a write with response whose answer completes it. Without: a write without
    /// response, nothing queued. The bytes go to the platform whole, never split.
    void writeValue(const Bytes& data, LumoErrorCallback completion);
    /// Writes the batch's values in order, with response; `completion` is called once: with no error
    /// after the last, or with the first error. One platform request when the backend batches,
    /// otherwise one write with response per value. The batch is taken (left empty).
    void writeValues(WriteBatch& batch, LumoErrorCallback completion);
    /// Writes the one byte `value` through writeValue.
    void writeByte(int8_t value, LumoErrorCallback completion);
    /// Queues `block` and reads the value; without a block nothing is read.
    void readValueWithBlock(LumoDataCallback block);

    /// Answers, called by the peripheral wrapper on the main queue. An answer with no pending
    /// request is dropped.
    void handleSetNotifiedWithError(const OptError& error);
    /// Every value update: first the update callback, then the oldest pending read, same arguments.
    void handleReadValue(const std::optional<Bytes>& value, const OptError& error);
    void handleWrittenValueWithError(const OptError& error);

    /// Pending completions per kind of request, oldest first.
    std::deque<LumoErrorCallback>& notifyOperationStack() { return notifyOperationStack_; }
    std::deque<LumoDataCallback>& readOperationStack() { return readOperationStack_; }
    std::deque<LumoErrorCallback>& writeOperationStack() { return writeOperationStack_; }
    void setNotifyOperationStack(std::deque<LumoErrorCallback> q) { notifyOperationStack_ = std::move(q); }
    void setReadOperationStack(std::deque<LumoDataCallback> q) { readOperationStack_ = std::move(q); }
    void setWriteOperationStack(std::deque<LumoErrorCallback> q) { writeOperationStack_ = std::move(q); }

    const LumoDataCallback& updateCallback() const { return pendingUpdate_ ? *pendingUpdate_ : updateCallback_; }
    /// Replaces the update callback; from inside the callback itself, once it has returned.
    void setUpdateCallback(LumoDataCallback callback);

    /// Queue primitives: append at the end; take the oldest (nothing when empty).
    template <class Callback>
    static void push(Callback callback, std::deque<Callback>& array) {
        array.push_back(std::move(callback));
    }
    template <class Callback>
    static std::optional<Callback> popFromArray(std::deque<Callback>& array) {
        if (array.empty()) return std::nullopt;
        Callback front = std::move(array.front());
        array.pop_front();
        return front;
    }

private:
    // The platform peripheral that owns this characteristic, or null when it is gone.
    std::shared_ptr<PlatformPeripheral> platformPeripheral() const;

    std::shared_ptr<PlatformCharacteristic> cbCharacteristic_;
    std::deque<LumoErrorCallback> notifyOperationStack_;
    std::deque<LumoDataCallback> readOperationStack_;
    std::deque<LumoErrorCallback> writeOperationStack_;
    LumoDataCallback updateCallback_;
    // The update callback is called in place, not copied per value: a replacement made while it
    // runs waits here until it has returned.
    int updateDepth_ = 0;
    std::optional<LumoDataCallback> pendingUpdate_;
    bool retired_ = false;
};

}  // namespace vexa
