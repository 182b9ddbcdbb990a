#pragma once
// One characteristic of a virtual peripheral's GATT table, as the device model sees it.
#include <cstdint>
#include <functional>
#include <memory>
#include <variant>

#include "Platform/BlePlatform.h"
#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

/// Device side of a characteristic. Handlers run on the main queue, when the request reaches the
/// device (after its link delay). Configure it before a central connects; main queue only.
class VirtualCharacteristic {
public:
    /// Receives each write that reaches the device. For a write with response the returned error
    /// (if any) is the answer the central gets; for a write without response it is ignored.
    using WriteHandler = std::function<OptError(const Bytes& value, WriteType type)>;
    /// Answers a read: the value, or an error the central gets instead.
    using ReadHandler = std::function<std::variant<Bytes, Error>()>;
    /// Told when the connected central turns notifications on or off; an error refuses the change
    /// and is the answer the central gets. isSubscribed() already shows the new state while it runs,
    /// so a notify() from inside it reaches the central right after the answer.
    using SubscribeHandler = std::function<OptError(bool enabled)>;

    /// `properties` is a mask of CharacteristicProperty bits. The stack enforces them: a write with
    /// response needs kPropertyWrite, one without kPropertyWriteWithoutResponse, a read kPropertyRead,
    /// a notification-state change kPropertyNotify or kPropertyIndicate.
    static std::shared_ptr<VirtualCharacteristic> create(BleUUID uuid, uint32_t properties);
    VirtualCharacteristic(BleUUID uuid, uint32_t properties) : uuid_(std::move(uuid)), properties_(properties) {}

    const BleUUID& uuid() const { return uuid_; }
    uint32_t properties() const { return properties_; }

    void setWriteHandler(WriteHandler handler) { onWrite_ = std::move(handler); }
    void setReadHandler(ReadHandler handler) { onRead_ = std::move(handler); }
    void setSubscribeHandler(SubscribeHandler handler) { onSubscribe_ = std::move(handler); }

    /// The value served to reads when there is no read handler (empty at first). Without a write
    /// handler, each write that reaches the device replaces it.
    void setValue(Bytes value) { value_ = std::move(value); }
    const Bytes& value() const { return value_; }

    /// True while the connected central has notifications on. Reset when the link ends.
    bool isSubscribed() const { return subscribed_; }

    // ---- Used by the stack ----
    OptError deliverWrite(const Bytes& value, WriteType type);
    std::variant<Bytes, Error> deliverRead();
    /// Runs the subscribe handler; on success records the new state.
    OptError deliverSubscribe(bool enabled);
    void resetSubscription() { subscribed_ = false; }

private:
    BleUUID uuid_;
    uint32_t properties_;
    WriteHandler onWrite_;
    ReadHandler onRead_;
    SubscribeHandler onSubscribe_;
    Bytes value_;
    bool subscribed_ = false;
};

}  // namespace vexa
