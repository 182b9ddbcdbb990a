#pragma once
// A virtual token behind a fake BlueZ device: the fake calls this model from its D-Bus thread;
// the token's protocol end (VirtualTokenEndpoint) runs on the main queue the model was made on,
// and its reply frames go back through the device link as notifications on the notify
// characteristic. Switching the token off (0x40, powerOff) drops the link from the device side.
#include <memory>
#include <mutex>

#include "Emulator/VirtualTokenEndpoint.h"
#include "tests/fakebluez/FakeDeviceModel.h"

namespace vexa::test {

class VirtualTokenDeviceModel final : public FakeDeviceModel {
public:
    /// Call on the main queue's thread; the endpoint runs there.
    static std::shared_ptr<VirtualTokenDeviceModel> create(VirtualTokenConfig config = {});
    explicit VirtualTokenDeviceModel(VirtualTokenConfig config);
    ~VirtualTokenDeviceModel() override;

    /// The token's protocol end: session, faults, records, device state. Main queue only.
    VirtualTokenEndpoint& endpoint() { return *endpoint_; }

    void connected(FakeDeviceLink& link) override;
    void disconnected() override;
    void written(const std::string& uuid, const Bytes& value, FakeDeviceLink& link) override;

private:
    // The current link, shared with the endpoint's frame sink; cleared when the link goes.
    struct LinkSlot {
        std::mutex mutex;
        FakeDeviceLink* link = nullptr;
    };

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<VirtualTokenEndpoint> endpoint_;
    std::shared_ptr<LinkSlot> slot_ = std::make_shared<LinkSlot>();
};

}  // namespace vexa::test
