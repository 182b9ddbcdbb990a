#pragma once
// The device side behind a fake BlueZ device: what the peripheral does with the frames written
// to it and what it notifies back. EchoDeviceModel is the default; the peripheral role is one too.
#include <string>

#include "Platform/Bytes.h"

namespace vexa::test {

/// What a device model may do to its link. Callable from any thread.
class FakeDeviceLink {
public:
    virtual ~FakeDeviceLink() = default;
    /// Sends `value` as a notification on characteristic `uuid`; dropped unless a client switched
    /// notifications on (as a real device's CCCD would).
    virtual void notify(const std::string& uuid, Bytes value) = 0;
    /// Drops the link from the device's side.
    virtual void disconnect() = 0;
};

class FakeDeviceModel {
public:
    virtual ~FakeDeviceModel() = default;
    /// The link came up; `link` stays valid until disconnected().
    virtual void connected(FakeDeviceLink& link) { (void)link; }
    virtual void disconnected() {}
    /// A client wrote `value` to characteristic `uuid` (a request once answered, or a command).
    virtual void written(const std::string& uuid, const Bytes& value, FakeDeviceLink& link) = 0;
};

/// Notifies every value written to `writeUuid` back on `notifyUuid`.
class EchoDeviceModel final : public FakeDeviceModel {
public:
    EchoDeviceModel(std::string writeUuid, std::string notifyUuid) : writeUuid_(std::move(writeUuid)), notifyUuid_(std::move(notifyUuid)) {}
    void written(const std::string& uuid, const Bytes& value, FakeDeviceLink& link) override {
        if (uuid == writeUuid_) link.notify(notifyUuid_, value);
    }

private:
    std::string writeUuid_;
    std::string notifyUuid_;
};

}  // namespace vexa::test
