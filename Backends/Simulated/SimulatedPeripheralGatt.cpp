// GATT requests of a simulated peripheral: each waits its turn on the link, reaches the device,
// and is answered on the callback queue.
#include <algorithm>
#include <array>
#include <utility>

#include "Backends/Simulated/SimulatedCentral.h"
#include "Backends/Simulated/SimulatedErrors.h"
#include "Backends/Simulated/SimulatedPeripheral.h"

namespace vexa {
namespace {

bool passes(const std::optional<std::vector<BleUUID>>& filter, const BleUUID& uuid) {
    return !filter || std::find(filter->begin(), filter->end(), uuid) != filter->end();
}

// Marks a peer as the one handing its device a write, for the length of the call.
class WritingPeer {
public:
    WritingPeer(VirtualPeripheral& device, SimulatedPeripheral* peer) : device_(device), previous_(device.enterWrite(peer)) {}
    ~WritingPeer() { device_.enterWrite(previous_); }
    WritingPeer(const WritingPeer&) = delete;
    WritingPeer& operator=(const WritingPeer&) = delete;

private:
    VirtualPeripheral& device_;
    SimulatedPeripheral* previous_;
};

}  // namespace

std::shared_ptr<SimulatedService> SimulatedPeripheral::ownService(const std::shared_ptr<PlatformService>& service) const {
    auto sim = std::dynamic_pointer_cast<SimulatedService>(service);
    if (!sim || sim->owner().get() != this) return nullptr;
    return sim;
}

std::shared_ptr<SimulatedCharacteristic> SimulatedPeripheral::ownCharacteristic(
    const std::shared_ptr<PlatformCharacteristic>& characteristic) const {
    auto sim = std::dynamic_pointer_cast<SimulatedCharacteristic>(characteristic);
    if (!sim) return nullptr;
    auto service = sim->owner();
    if (!service || service->owner().get() != this) return nullptr;
    return sim;
}

std::shared_ptr<SimulatedService> SimulatedPeripheral::objectFor(const std::shared_ptr<VirtualService>& service) {
    auto& slot = serviceObjects_[service.get()];
    if (!slot) slot = std::make_shared<SimulatedService>(weak_from_this(), service);
    return slot;
}

void SimulatedPeripheral::postWriteAnswer(const std::shared_ptr<PlatformCharacteristic>& characteristic, OptError error) {
    if (!error) {  // the usual answer, in a closure small enough to be posted without an allocation
        post([characteristic](const auto& self, PlatformPeripheralDelegate* d) {
            if (d) d->peripheralDidWriteValueForCharacteristic(self, characteristic, std::nullopt);
        });
        return;
    }
    post([characteristic = characteristic, error = std::move(error)](const auto& self, PlatformPeripheralDelegate* d) {
        if (d) d->peripheralDidWriteValueForCharacteristic(self, characteristic, error);
    });
}

void SimulatedPeripheral::postNotifyStateAnswer(const std::shared_ptr<PlatformCharacteristic>& characteristic, OptError error) {
    post([characteristic, error = std::move(error)](const auto& self, PlatformPeripheralDelegate* d) {
        if (d) d->peripheralDidUpdateNotificationStateForCharacteristic(self, characteristic, error);
    });
}

void SimulatedPeripheral::postReadError(const std::shared_ptr<PlatformCharacteristic>& characteristic, Error error) {
    post([characteristic, error = std::move(error)](const auto& self, PlatformPeripheralDelegate* d) {
        if (d) d->peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
    });
}

void SimulatedPeripheral::postValue(const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value,
                                    std::shared_ptr<SimulatedPeripheral> owner) {
    std::lock_guard lock(valuesMutex_);
    values_.push_back({valueRunFor(characteristic, std::move(owner)), std::move(value)});
}

void SimulatedPeripheral::postFreeRun(const std::shared_ptr<SimulatedCharacteristic>& characteristic, uint64_t run,
                                      std::shared_ptr<SimulatedPeripheral> owner) {
    std::lock_guard lock(valuesMutex_);
    const uint64_t valueRun = valueRunFor(characteristic, std::move(owner));
    while (!freeNotifications_.empty() && freeNotifications_.front().run == run) {
        values_.push_back({valueRun, std::move(freeNotifications_.front().value)});
        freeNotifications_.pop_front();
    }
}

uint64_t SimulatedPeripheral::valueRunFor(const std::shared_ptr<SimulatedCharacteristic>& characteristic,
                                          std::shared_ptr<SimulatedPeripheral> owner) {
    if (valueRunTicket_ && valueRunCharacteristic_ == characteristic.get() && callbackQueue_->isLastWaiting(valueRunTicket_))
        return valueRuns_;
    const uint64_t run = ++valueRuns_;
    if (!owner) owner = shared_from_this();
    valueRunCharacteristic_ = characteristic.get();
    // The task takes the lock before it reads the values, so they may follow it in.
    valueRunTicket_ = callbackQueue_->asyncWithTicket(
        [self = std::move(owner), run, characteristic] { self->deliverValues(self, run, characteristic); });
    return run;
}

void SimulatedPeripheral::deliverValues(const std::shared_ptr<SimulatedPeripheral>& self, uint64_t run,
                                        const std::shared_ptr<SimulatedCharacteristic>& characteristic) {
    constexpr size_t kSpareBuffers = 32;
    // Values are taken a few at a time under the lock; the slots get back the values they replace,
    // whose buffers go back to the device for new notifications.
    std::array<Bytes, 16> batch;
    size_t taken = 0;
    RunDelegate delegate;
    for (;;) {
        {
            std::lock_guard lock(valuesMutex_);
            for (size_t i = 0; i < taken && spareBuffers_.size() < kSpareBuffers; ++i) {
                if (batch[i].capacity() == 0) continue;
                batch[i].clear();
                spareBuffers_.push_back(std::move(batch[i]));
            }
            while (!values_.empty() && values_.front().run < run) values_.pop_front();  // a run whose task never ran
            taken = 0;
            while (taken < batch.size() && !values_.empty() && values_.front().run == run) {
                batch[taken++] = std::move(values_.front().value);
                values_.pop_front();
            }
        }
        if (taken == 0) return;
        for (size_t i = 0; i < taken; ++i) {
            batch[i] = characteristic->publishValue(std::move(batch[i]));
            if (const auto& d = delegate.current(*this)) d->peripheralDidUpdateValueForCharacteristic(self, characteristic, std::nullopt);
        }
    }
}

const std::shared_ptr<PlatformPeripheralDelegate>& SimulatedPeripheral::RunDelegate::current(const SimulatedPeripheral& peripheral) {
    const uint64_t changes = peripheral.delegateChanges_.load(std::memory_order_acquire);
    if (!looked_ || changes != changes_ || (held_ && held_.use_count() == 1)) {
        held_.reset();
        held_ = peripheral.delegate();
        changes_ = changes;
        looked_ = true;
    }
    return held_;
}

// ---- Discovery ----

void SimulatedPeripheral::doDiscoverServices(const std::optional<std::vector<BleUUID>>& filter) {
    auto answerError = [this](Error error) {
        post([error](const auto& self, PlatformPeripheralDelegate* d) {
            if (d) d->peripheralDidDiscoverServices(self, error);
        });
    };
    if (!linkOpen()) return answerError(simulatedError(SimulatedBleError::NotConnected));
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(
        timing().discovery,
        [weak, filter] {
            auto self = weak.lock();
            if (!self) return;
            std::vector<std::shared_ptr<PlatformService>> found;
            for (const auto& service : self->device_->services())
                if (passes(filter, service->uuid())) found.push_back(self->objectFor(service));
            self->post([found = std::move(found)](const auto& me, PlatformPeripheralDelegate* d) {
                {
                    std::lock_guard lock(me->mutex_);
                    me->discovered_ = found;
                }
                if (d) d->peripheralDidDiscoverServices(me, std::nullopt);
            });
        },
        [weak] {
            if (auto self = weak.lock()) self->post([](const auto& me, PlatformPeripheralDelegate* d) {
                if (d) d->peripheralDidDiscoverServices(me, simulatedError(SimulatedBleError::RequestAborted));
            });
        });
}

void SimulatedPeripheral::doDiscoverCharacteristics(const std::optional<std::vector<BleUUID>>& filter,
                                                    const std::shared_ptr<PlatformService>& service) {
    auto answerError = [this, service](Error error) {
        post([service, error](const auto& self, PlatformPeripheralDelegate* d) {
            if (d) d->peripheralDidDiscoverCharacteristicsForService(self, service, error);
        });
    };
    auto own = ownService(service);
    if (!own) return answerError(simulatedError(SimulatedBleError::InvalidParameters));
    if (!linkOpen()) return answerError(simulatedError(SimulatedBleError::NotConnected));
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(
        timing().discovery,
        [weak, filter, own] {
            auto self = weak.lock();
            if (!self) return;
            std::vector<std::shared_ptr<PlatformCharacteristic>> found;
            for (const auto& c : own->device()->characteristics()) {
                if (!passes(filter, c->uuid())) continue;
                auto object = own->objectFor(c);
                self->characteristicObjects_[c.get()] = object;
                found.push_back(std::move(object));
            }
            self->post([own, found = std::move(found)](const auto& me, PlatformPeripheralDelegate* d) {
                own->publishCharacteristics(found);
                if (d) d->peripheralDidDiscoverCharacteristicsForService(me, own, std::nullopt);
            });
        },
        [weak, own] {
            if (auto self = weak.lock()) self->post([own](const auto& me, PlatformPeripheralDelegate* d) {
                if (d) d->peripheralDidDiscoverCharacteristicsForService(me, own, simulatedError(SimulatedBleError::RequestAborted));
            });
        });
}

// ---- Notification state, read, RSSI ----

void SimulatedPeripheral::doSetNotify(bool enabled, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    auto own = ownCharacteristic(characteristic);
    if (!own) return postNotifyStateAnswer(characteristic, simulatedError(SimulatedBleError::InvalidParameters));
    if (!linkOpen()) return postNotifyStateAnswer(characteristic, simulatedError(SimulatedBleError::NotConnected));
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(
        Duration::zero(),
        [weak, own, enabled] {
            auto self = weak.lock();
            if (!self) return;
            OptError error;
            if (!(own->properties() & (kPropertyNotify | kPropertyIndicate)))
                error = simulatedError(SimulatedAttError::RequestNotSupported);
            else
                error = own->device()->deliverSubscribe(enabled);
            if (!self->linkOpen())
                error = simulatedError(SimulatedBleError::RequestAborted);  // the device dropped the link meanwhile
            else if (!error)
                own->setNotifying(enabled);
            self->postNotifyStateAnswer(own, std::move(error));
        },
        [weak, own] {
            if (auto self = weak.lock()) self->postNotifyStateAnswer(own, simulatedError(SimulatedBleError::RequestAborted));
        });
}

void SimulatedPeripheral::doRead(const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    auto own = ownCharacteristic(characteristic);
    if (!own) return postReadError(characteristic, simulatedError(SimulatedBleError::InvalidParameters));
    if (!linkOpen()) return postReadError(characteristic, simulatedError(SimulatedBleError::NotConnected));
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(
        Duration::zero(),
        [weak, own] {
            auto self = weak.lock();
            if (!self) return;
            if (!(own->properties() & kPropertyRead))
                return self->postReadError(own, simulatedError(SimulatedAttError::ReadNotPermitted));
            auto result = own->device()->deliverRead();
            if (!self->linkOpen()) return self->postReadError(own, simulatedError(SimulatedBleError::RequestAborted));
            if (auto* error = std::get_if<Error>(&result)) return self->postReadError(own, *error);
            Bytes& value = std::get<Bytes>(result);
            self->observe(TrafficKind::ReadResponse, *own, value);
            self->postValue(own, std::move(value));
        },
        [weak, own] {
            if (auto self = weak.lock()) self->postReadError(own, simulatedError(SimulatedBleError::RequestAborted));
        });
}

void SimulatedPeripheral::doReadRSSI() {
    auto answer = [](int64_t rssi, OptError error) {
        return [rssi, error = std::move(error)](const std::shared_ptr<SimulatedPeripheral>& self, PlatformPeripheralDelegate* d) {
            if (d) d->peripheralDidReadRSSI(self, rssi, error);
        };
    };
    if (!linkOpen()) return post(answer(0, simulatedError(SimulatedBleError::NotConnected)));
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(
        Duration::zero(),
        [weak, answer] {
            if (auto self = weak.lock()) self->post(answer(self->device_->sampleRssi(), std::nullopt));
        },
        [weak, answer] {
            if (auto self = weak.lock()) self->post(answer(0, simulatedError(SimulatedBleError::RequestAborted)));
        });
}

// ---- Writes ----

void SimulatedPeripheral::doWrite(Bytes data, const std::shared_ptr<PlatformCharacteristic>& characteristic, WriteType type) {
    const bool withResponse = type == WriteType::WithResponse;
    auto own = ownCharacteristic(characteristic);
    if (!own || !linkOpen()) {
        // A write without response has no answer to carry the failure: it is dropped.
        if (withResponse)
            postWriteAnswer(characteristic, simulatedError(own ? SimulatedBleError::NotConnected : SimulatedBleError::InvalidParameters));
        return;
    }
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    if (!withResponse) {
        link_->enqueue(timing().writeWithoutResponse, [weak, own, data = std::move(data)] {
            if (auto self = weak.lock()) self->completeWriteWithoutResponse(own, data);
        });
        return;
    }
    link_->enqueue(
        timing().writeWithResponse,
        [weak, own, data = std::move(data)] {
            if (auto self = weak.lock()) self->completeWrite(own, data);
        },
        [weak, own] {
            if (auto self = weak.lock()) self->postWriteAnswer(own, simulatedError(SimulatedBleError::RequestAborted));
        });
}

OptError SimulatedPeripheral::writeToDevice(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data) {
    OptError error;
    if (!(characteristic->properties() & kPropertyWrite)) {
        error = simulatedError(SimulatedAttError::WriteNotPermitted);
    } else if (data.size() > device_->maximumWriteValueLength(WriteType::WithResponse)) {
        error = simulatedError(SimulatedAttError::InvalidAttributeValueLength);
    } else {
        FaultPlan& plan = device_->faults();
        if (plan.countWrite()) {
            FaultPlan::WriteFaults faults = plan.takeWriteFaults();
            if (faults.disconnectAfter) linkDrop_ = {true, std::move(*faults.disconnectAfter)};
            error = std::move(faults.fail);
        }
        if (!error) {
            observe(TrafficKind::WriteWithResponse, *characteristic, data);
            WritingPeer writing(*device_, this);
            error = characteristic->device()->deliverWrite(data, WriteType::WithResponse);
        }
    }
    if (!linkOpen()) error = simulatedError(SimulatedBleError::RequestAborted);  // the device dropped the link meanwhile
    return error;
}

void SimulatedPeripheral::completeWrite(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data) {
    postWriteAnswer(characteristic, writeToDevice(characteristic, data));
    dropLinkIfDue();
}

void SimulatedPeripheral::dropLinkIfDue() {
    if (!linkDrop_.due) return;
    const LinkDrop drop = std::exchange(linkDrop_, {});
    if (linkOpen()) loseLink(drop.error);
}

// Each value takes its own turn on the link, as separate writes would; the batch is answered once,
// after its last value or its first failure (the values after a failure are skipped). Free values
// (no time on the link) go in one turn, in the order separate writes would take.
void SimulatedPeripheral::doWriteBatch(WriteBatch batch, const std::shared_ptr<PlatformCharacteristic>& characteristic) {
    auto own = ownCharacteristic(characteristic);
    if (!own || !linkOpen()) {
        postWriteAnswer(characteristic, simulatedError(own ? SimulatedBleError::NotConnected : SimulatedBleError::InvalidParameters));
        return;
    }
    struct State {
        std::weak_ptr<SimulatedPeripheral> peripheral;
        std::shared_ptr<SimulatedCharacteristic> characteristic;
        WriteBatch batch;
        bool answered = false;

        void answer(SimulatedPeripheral& self, OptError error) {
            if (answered) return;
            answered = true;
            self.postWriteAnswer(characteristic, std::move(error));
        }
        void write(size_t offset, size_t size, bool last) {
            if (auto self = peripheral.lock()) write(*self, offset, size, last);
        }
        void write(SimulatedPeripheral& self, size_t offset, size_t size, bool last) {
            if (answered) return;
            const auto begin = batch.bytes.begin() + static_cast<std::ptrdiff_t>(offset);
            self.batchValue_.assign(begin, begin + static_cast<std::ptrdiff_t>(size));
            OptError error = self.writeToDevice(characteristic, self.batchValue_);
            if (error || last) answer(self, std::move(error));
            self.dropLinkIfDue();
        }
        // Writes the free values from `index` on. Begun on an idle link, separate writes would
        // each run at once, and what one queues on the link (a notification) would go before the
        // next: the rest then goes behind it. Begun behind other operations, they would all be
        // queued already, together.
        static void writeFree(const std::shared_ptr<State>& state, size_t index, size_t offset, bool beganIdle) {
            auto self = state->peripheral.lock();
            const size_t count = state->batch.count();
            for (; self && index < count && !state->answered; ++index) {
                if (!self->linkOpen()) return state->answer(*self, simulatedError(SimulatedBleError::RequestAborted));
                const uint64_t mark = self->link_->enqueuedCount();
                const size_t size = state->batch.sizes[index];
                state->write(*self, offset, size, index + 1 == count);
                offset += size;
                if (beganIdle && self->linkOpen() && self->link_->enqueuedCount() != mark) {
                    const size_t next = index + 1;
                    if (next < count && !state->answered)
                        self->link_->enqueue(
                            Duration::zero(), [state, next, offset] { writeFree(state, next, offset, true); },
                            [state] { state->abort(); });
                    return;
                }
            }
        }
        void abort() {
            if (auto self = peripheral.lock()) answer(*self, simulatedError(SimulatedBleError::RequestAborted));
        }
    };
    auto state = std::make_shared<State>(State{weak_from_this(), std::move(own), std::move(batch)});
    const Duration cost = timing().writeWithResponse;
    if (cost <= Duration::zero()) {
        const bool idle = link_->isIdle();
        link_->enqueue(
            Duration::zero(), [state, idle] { State::writeFree(state, 0, 0, idle); }, [state] { state->abort(); });
        return;
    }
    const size_t count = state->batch.count();
    size_t offset = 0;
    for (size_t i = 0; i < count && !state->answered; ++i) {
        if (!linkOpen()) return state->answer(*this, simulatedError(SimulatedBleError::RequestAborted));  // lost after a value
        const size_t size = state->batch.sizes[i];
        const bool last = i + 1 == count;
        link_->enqueue(
            cost, [state, offset, size, last] { state->write(offset, size, last); }, [state] { state->abort(); });
        offset += size;
    }
}

void SimulatedPeripheral::completeWriteWithoutResponse(const std::shared_ptr<SimulatedCharacteristic>& characteristic, const Bytes& data) {
    if (!(characteristic->properties() & kPropertyWriteWithoutResponse)) return;
    if (data.size() > device_->maximumWriteValueLength(WriteType::WithoutResponse)) return;
    observe(TrafficKind::WriteWithoutResponse, *characteristic, data);
    WritingPeer writing(*device_, this);
    characteristic->device()->deliverWrite(data, WriteType::WithoutResponse);
}

// ---- Notifications ----

bool SimulatedPeripheral::queueNotification(const std::shared_ptr<VirtualCharacteristic>& characteristic, Bytes& value) {
    if (!linkOpen()) return false;
    auto it = characteristicObjects_.find(characteristic.get());
    if (it == characteristicObjects_.end()) return false;  // the central never discovered it
    const Duration cost = timing().notification;
    if (cost <= Duration::zero()) {
        queueFreeNotification(it->second, std::move(value));
    } else {
        std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
        link_->enqueue(cost, [weak, object = it->second, value = std::move(value)]() mutable {
            if (auto self = weak.lock()) self->deliverNotification(self, object, std::move(value));
        });
    }
    value = Bytes();
    if (takenSpares_.empty()) {
        // All the spares the central has left are taken over at once, so the lock is not taken per value.
        std::lock_guard lock(valuesMutex_);
        std::swap(takenSpares_, spareBuffers_);
    }
    if (!takenSpares_.empty()) {
        value = std::move(takenSpares_.back());
        takenSpares_.pop_back();
    }
    return true;
}

void SimulatedPeripheral::queueFreeNotification(const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value) {
    if (notificationRunOpen_ && link_->enqueuedCount() == notificationRunMark_ && notificationRunCharacteristic_ == characteristic.get()) {
        freeNotifications_.push_back({notificationRuns_, std::move(value)});
        return;
    }
    const uint64_t run = ++notificationRuns_;
    freeNotifications_.push_back({run, std::move(value)});
    notificationRunOpen_ = true;
    notificationRunCharacteristic_ = characteristic.get();
    std::weak_ptr<SimulatedPeripheral> weak = weak_from_this();
    link_->enqueue(Duration::zero(), [weak, run, characteristic] {
        if (auto self = weak.lock()) self->deliverFreeNotifications(self, run, characteristic);
    });
    notificationRunMark_ = link_->enqueuedCount();
}

void SimulatedPeripheral::deliverFreeNotifications(const std::shared_ptr<SimulatedPeripheral>& self, uint64_t run,
                                                   const std::shared_ptr<SimulatedCharacteristic>& characteristic) {
    if (run == notificationRuns_) notificationRunOpen_ = false;
    // With no traffic observer and no notification fault nothing can come between the values: they
    // go on to the callback queue together.
    if (held_.empty() && !device_->radioObserved() && !device_->faults().hasNotificationFaults()) {
        if (characteristic->device()->isSubscribed()) return postFreeRun(characteristic, run, self);
        while (!freeNotifications_.empty() && freeNotifications_.front().run == run) freeNotifications_.pop_front();
        return;
    }
    // A lost link takes the values not yet handed on with it.
    while (!freeNotifications_.empty() && freeNotifications_.front().run == run) {
        Bytes next = std::move(freeNotifications_.front().value);
        freeNotifications_.pop_front();
        deliverNotification(self, characteristic, std::move(next));
    }
}

void SimulatedPeripheral::dropFreeNotifications() {
    freeNotifications_.clear();
    notificationRunOpen_ = false;
}

void SimulatedPeripheral::deliverNotification(const std::shared_ptr<SimulatedPeripheral>& self,
                                              const std::shared_ptr<SimulatedCharacteristic>& characteristic, Bytes value) {
    if (!characteristic->device()->isSubscribed()) return;  // turned off while it was on its way
    observe(TrafficKind::Notification, *characteristic, value);
    auto fault = device_->faults().takeNotificationFault();
    using Kind = FaultPlan::NotificationFaultKind;
    if (fault && fault->kind == Kind::Swap) {
        held_.push_back({characteristic, std::move(value)});
        return;
    }
    if (!fault) {
        postValue(characteristic, std::move(value), self);
    } else if (fault->kind == Kind::Duplicate) {
        postValue(characteristic, value, self);
        postValue(characteristic, std::move(value), self);
    } else if (fault->kind == Kind::Corrupt) {
        if (!value.empty()) {
            const size_t index = fault->byteIndex && *fault->byteIndex < value.size() ? *fault->byteIndex : value.size() - 1;
            value[index] ^= 0xFF;
        }
        postValue(characteristic, std::move(value), self);
    }
    // Kind::Drop: nothing arrives.
    flushHeldNotifications(self);
}

void SimulatedPeripheral::flushHeldNotifications(const std::shared_ptr<SimulatedPeripheral>& self) {
    while (!held_.empty()) {
        HeldNotification held = std::move(held_.front());
        held_.pop_front();
        postValue(held.characteristic, std::move(held.value), self);
    }
}

}  // namespace vexa
