#include "LumoTokenSDK/LumoToken/LumoToken.h"

#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Platform/NotificationCenter.h"

namespace vexa {

std::shared_ptr<LumoToken> LumoToken::create(std::shared_ptr<LumoPeripheral> peripheral) {
    return std::make_shared<LumoToken>(Passkey{}, std::move(peripheral));
}

std::shared_ptr<LumoToken> LumoToken::createWithDelegate(std::shared_ptr<LumoTokenDelegate> delegate) {
    auto token = create(nullptr);
    token->setDelegate(std::move(delegate));
    return token;
}

LumoToken::LumoToken(Passkey, std::shared_ptr<LumoPeripheral> peripheral)
    : peripheral_(std::move(peripheral)), protocolData_(std::make_shared<BleSocketFormat>()) {}

LumoToken::~LumoToken() {
    replyTimer_.cancel();
    NotificationCenter::defaultCenter().removeObserver(this);
}

Error LumoToken::makeErrorExtendWithReplyStatus(int64_t status) const { return replyStatusError(status); }

OptError LumoToken::decodeError(const OptError& error, int64_t code) {
    if (!error) return std::nullopt;
    Error recoded = *error;
    recoded.code = code;
    return recoded;
}

bool LumoToken::isConnected() const { return peripheral_ && peripheral_->isConnected(); }

std::string LumoToken::name() const {
    if (peripheral_) {
        if (auto name = peripheral_->name()) return *name;
    }
    return "Unknown";
}

std::optional<std::string> LumoToken::uuidString() const {
    if (!peripheral_) return std::nullopt;
    return peripheral_->UUIDString();
}

int64_t LumoToken::rssi() const { return peripheral_ ? peripheral_->RSSI() : 0; }

}  // namespace vexa
