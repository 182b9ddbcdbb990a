#include "tests/fakebluez/VirtualTokenDeviceModel.h"

#include <utility>

#include "Emulator/VirtualToken.h"
#include "Platform/MainQueue.h"

namespace vexa::test {

std::shared_ptr<VirtualTokenDeviceModel> VirtualTokenDeviceModel::create(VirtualTokenConfig config) {
    return std::make_shared<VirtualTokenDeviceModel>(std::move(config));
}

VirtualTokenDeviceModel::VirtualTokenDeviceModel(VirtualTokenConfig config)
    : queue_(mainQueue()), endpoint_(VirtualTokenEndpoint::create(std::move(config), queue_)) {
    endpoint_->setFrameSink([slot = slot_](const Bytes& frame) {
        std::lock_guard lock(slot->mutex);
        if (!slot->link) return false;
        slot->link->notify(kVirtualTokenNotifyUUID, frame);
        return true;
    });
    // Notifications and the disconnect travel through the fake's queue in order: no wait needed.
    endpoint_->setPowerOffHandler([slot = slot_] {
        std::lock_guard lock(slot->mutex);
        if (slot->link) slot->link->disconnect();
    });
}

VirtualTokenDeviceModel::~VirtualTokenDeviceModel() {
    std::lock_guard lock(slot_->mutex);
    slot_->link = nullptr;
}

void VirtualTokenDeviceModel::connected(FakeDeviceLink& link) {
    {
        std::lock_guard lock(slot_->mutex);
        slot_->link = &link;
    }
    queue_->async([endpoint = endpoint_] { endpoint->connected(); });
}

void VirtualTokenDeviceModel::disconnected() {
    {
        std::lock_guard lock(slot_->mutex);
        slot_->link = nullptr;
    }
    queue_->async([endpoint = endpoint_] { endpoint->disconnected(); });
}

void VirtualTokenDeviceModel::written(const std::string& uuid, const Bytes& value, FakeDeviceLink&) {
    if (uuid != kVirtualTokenWriteUUID) return;
    queue_->async([endpoint = endpoint_, value] { endpoint->receiveFrame(value); });
}

}  // namespace vexa::test
