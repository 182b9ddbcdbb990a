#include "Backends/BlueZ/BlueZCharacteristic.h"

#include <sdbus-c++/sdbus-c++.h>

#include "Backends/BlueZ/BlueZContext.h"
#include "Backends/BlueZ/BlueZErrors.h"
#include "Backends/BlueZ/BlueZPeripheral.h"
#include "Backends/BlueZ/BlueZService.h"

namespace vexa {

namespace {

constexpr const char* kInProgress = "org.bluez.Error.InProgress";

OptError optError(const sdbus::Error* error) {
    if (!error) return std::nullopt;
    return errorFromDBus(*error);
}

}  // namespace

BlueZCharacteristic::BlueZCharacteristic(std::string path, BleUUID uuid, uint32_t properties, std::weak_ptr<BlueZService> service)
    : path_(std::move(path)), uuid_(std::move(uuid)), properties_(properties), service_(std::move(service)) {}

std::shared_ptr<PlatformService> BlueZCharacteristic::service() const { return service_.lock(); }

Bytes BlueZCharacteristic::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

void BlueZCharacteristic::setValue(Bytes value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
}

// ---- writes ----

void BlueZCharacteristic::write(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, Bytes data, WriteType type) {
    writes_.push_back(WriteOp{std::move(data), type});
    pumpWrites(ctx, peripheral);
}

void BlueZCharacteristic::pumpWrites(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral) {
    if (writing_ || writes_.empty()) return;
    writing_ = true;
    sendWrite(ctx, peripheral);
}

void BlueZCharacteristic::sendWrite(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral) {
    WriteOp& op = writes_.front();
    ++op.attempts;
    const std::map<std::string, sdbus::Variant> options{
        {"type", sdbus::Variant(std::string(op.type == WriteType::WithResponse ? "request" : "command"))}};
    const uint64_t epoch = epoch_;
    try {
        ctx.proxy(path_)
            .callMethodAsync("WriteValue")
            .onInterface(bluez::kGattCharacteristicInterface)
            .withArguments(op.data, options)
            .uponReplyInvoke([ctx = &ctx, self = shared_from_this(), peripheral, epoch](const sdbus::Error* error) {
                self->writeAnswered(*ctx, peripheral, epoch, error);
            });
    } catch (const sdbus::Error& e) {
        writeAnswered(ctx, peripheral, epoch, &e);
    }
}

void BlueZCharacteristic::writeAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch,
                                        const sdbus::Error* error) {
    if (epoch != epoch_ || writes_.empty()) return;
    if (error && error->getName() == kInProgress && writes_.front().attempts <= ctx.options().busyRetries) {
        // Another client's write is outstanding on this characteristic: try again shortly.
        writeRetry_ = ctx.loop().asyncAfter(ctx.options().busyRetryDelay, [ctx = &ctx, self = shared_from_this(), peripheral, epoch] {
            if (epoch == self->epoch_ && !self->writes_.empty()) self->sendWrite(*ctx, peripheral);
        });
        return;
    }
    const WriteType type = writes_.front().type;
    writes_.pop_front();
    writing_ = false;
    if (type == WriteType::WithResponse) {
        ctx.deliver([peripheral, self = shared_from_this(), err = optError(error)] {
            if (auto d = peripheral->delegate()) d->peripheralDidWriteValueForCharacteristic(peripheral, self, err);
        });
    }
    pumpWrites(ctx, peripheral);
}

// ---- notifications ----

void BlueZCharacteristic::setNotify(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, bool enable) {
    notifyOps_.push_back(enable);
    pumpNotify(ctx, peripheral);
}

void BlueZCharacteristic::pumpNotify(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral) {
    if (notifyBusy_ || notifyOps_.empty()) return;
    notifyBusy_ = true;
    const bool enable = notifyOps_.front();
    // Value signals are taken from now on when switching on: BlueZ may pass notifications on
    // before it answers StartNotify. Switching off stops them at once.
    notifyWanted_ = enable;
    const uint64_t epoch = epoch_;
    try {
        ctx.proxy(path_)
            .callMethodAsync(enable ? "StartNotify" : "StopNotify")
            .onInterface(bluez::kGattCharacteristicInterface)
            .uponReplyInvoke([ctx = &ctx, self = shared_from_this(), peripheral, epoch](const sdbus::Error* error) {
                self->notifyAnswered(*ctx, peripheral, epoch, error);
            });
    } catch (const sdbus::Error& e) {
        notifyAnswered(ctx, peripheral, epoch, &e);
    }
}

void BlueZCharacteristic::notifyAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch,
                                         const sdbus::Error* error) {
    if (epoch != epoch_ || notifyOps_.empty()) return;
    const bool enable = notifyOps_.front();
    notifyOps_.pop_front();
    notifyBusy_ = false;
    OptError err = optError(error);
    if (enable) {
        // InProgress: a session of ours is already being set up (BlueZ re-arms it after a reconnect).
        if (err && err->domain == kInProgress) err.reset();
        notifyOn_ = !err;
        notifyWanted_ = notifyOn_;
    } else {
        if (err && err->message == "No notify session started") err.reset();
        if (!err) notifyOn_ = false;
    }
    deliverNotifyState(ctx, peripheral, notifyOn_, std::move(err));
    pumpNotify(ctx, peripheral);
}

void BlueZCharacteristic::deliverNotifyState(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, bool on,
                                             OptError error) {
    ctx.deliver([peripheral, self = shared_from_this(), on, err = std::move(error)] {
        self->setNotifying(on);
        if (auto d = peripheral->delegate()) d->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, self, err);
    });
}

void BlueZCharacteristic::valueSignalled(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, Bytes value) {
    if (!notifyWanted_) return;
    // The value is stored when the callback runs, so each callback reads its own notification.
    ctx.deliver([peripheral, self = shared_from_this(), value = std::move(value)]() mutable {
        self->setValue(std::move(value));
        if (auto d = peripheral->delegate()) d->peripheralDidUpdateValueForCharacteristic(peripheral, self, std::nullopt);
    });
}

// ---- reads ----

void BlueZCharacteristic::read(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral) {
    ++reads_;
    pumpReads(ctx, peripheral);
}

void BlueZCharacteristic::pumpReads(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral) {
    if (reading_ || reads_ == 0) return;
    reading_ = true;
    const uint64_t epoch = epoch_;
    try {
        ctx.proxy(path_)
            .callMethodAsync("ReadValue")
            .onInterface(bluez::kGattCharacteristicInterface)
            .withArguments(std::map<std::string, sdbus::Variant>{})
            .uponReplyInvoke([ctx = &ctx, self = shared_from_this(), peripheral, epoch](const sdbus::Error* error, std::vector<uint8_t> value) {
                self->readAnswered(*ctx, peripheral, epoch, error, std::move(value));
            });
    } catch (const sdbus::Error& e) {
        readAnswered(ctx, peripheral, epoch, &e, {});
    }
}

void BlueZCharacteristic::readAnswered(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, uint64_t epoch,
                                       const sdbus::Error* error, Bytes value) {
    if (epoch != epoch_ || reads_ == 0) return;
    --reads_;
    reading_ = false;
    ctx.deliver([peripheral, self = shared_from_this(), value = std::move(value), err = optError(error)]() mutable {
        if (!err) self->setValue(std::move(value));
        if (auto d = peripheral->delegate()) d->peripheralDidUpdateValueForCharacteristic(peripheral, self, err);
    });
    pumpReads(ctx, peripheral);
}

// ---- teardown ----

void BlueZCharacteristic::abandon(BlueZContext& ctx, const std::shared_ptr<BlueZPeripheral>& peripheral, const Error& error) {
    ++epoch_;
    writeRetry_.cancel();
    for (const auto& op : writes_) {
        if (op.type != WriteType::WithResponse) continue;
        ctx.deliver([peripheral, self = shared_from_this(), error] {
            if (auto d = peripheral->delegate()) d->peripheralDidWriteValueForCharacteristic(peripheral, self, error);
        });
    }
    writes_.clear();
    writing_ = false;
    for (size_t i = 0; i < notifyOps_.size(); ++i) deliverNotifyState(ctx, peripheral, false, error);
    const bool wasOn = notifyOn_ || !notifyOps_.empty();
    notifyOps_.clear();
    notifyBusy_ = false;
    notifyWanted_ = false;
    notifyOn_ = false;
    if (wasOn) ctx.deliver([self = shared_from_this()] { self->setNotifying(false); });
    for (size_t i = 0; i < reads_; ++i) {
        ctx.deliver([peripheral, self = shared_from_this(), error] {
            if (auto d = peripheral->delegate()) d->peripheralDidUpdateValueForCharacteristic(peripheral, self, error);
        });
    }
    reads_ = 0;
    reading_ = false;
}

}  // namespace vexa
