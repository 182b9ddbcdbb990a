#include "Backends/Simulated/FaultPlan.h"

#include "Backends/Simulated/SimulatedErrors.h"

namespace vexa {

void FaultPlan::refuseConnections(Error error, unsigned count) {
    if (count > 0) connect_.push_back({ConnectFault{false, std::move(error)}, count});
}

void FaultPlan::ignoreConnections(unsigned count) {
    if (count > 0) connect_.push_back({ConnectFault{true, {}}, count});
}

void FaultPlan::failWrite(Error error, unsigned nth) {
    if (nth > 0) failAt_[writesCounted_ + nth] = std::move(error);
}

void FaultPlan::disconnectAfterWrites(unsigned writes, OptError error) {
    if (writes == 0) {
        disconnectAt_.reset();
        return;
    }
    disconnectAt_.emplace(writesCounted_ + writes, std::move(error));
}

void FaultPlan::dropNotification() { notifications_.push_back({NotificationFaultKind::Drop, {}}); }
void FaultPlan::duplicateNotification() { notifications_.push_back({NotificationFaultKind::Duplicate, {}}); }
void FaultPlan::swapNotifications() { notifications_.push_back({NotificationFaultKind::Swap, {}}); }
void FaultPlan::corruptNotification(std::optional<size_t> byteIndex) {
    notifications_.push_back({NotificationFaultKind::Corrupt, byteIndex});
}

void FaultPlan::clear() {
    connect_.clear();
    failAt_.clear();
    disconnectAt_.reset();
    notifications_.clear();
}

bool FaultPlan::empty() const { return connect_.empty() && failAt_.empty() && !disconnectAt_ && notifications_.empty(); }

std::optional<FaultPlan::ConnectFault> FaultPlan::takeConnectFault() {
    if (connect_.empty()) return std::nullopt;
    ConnectEntry& front = connect_.front();
    ConnectFault fault = front.fault;
    if (front.remaining != kAlways && --front.remaining == 0) connect_.pop_front();
    return fault;
}

FaultPlan::WriteFaults FaultPlan::takeWriteFaults() {
    WriteFaults out;
    const uint64_t number = writesCounted_;
    if (auto it = failAt_.find(number); it != failAt_.end()) {
        out.fail = std::move(it->second);
        failAt_.erase(it);
    }
    if (disconnectAt_ && disconnectAt_->first == number) {
        out.disconnectAfter = disconnectAt_->second ? disconnectAt_->second
                                                    : OptError(simulatedError(SimulatedBleError::PeripheralDisconnected));
        disconnectAt_.reset();
    }
    return out;
}

std::optional<FaultPlan::NotificationFault> FaultPlan::takeNotificationFault() {
    if (notifications_.empty()) return std::nullopt;
    NotificationFault fault = notifications_.front();
    notifications_.pop_front();
    return fault;
}

}  // namespace vexa
