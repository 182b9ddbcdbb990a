// Construction, connection, and the information, power and APDU operations with their error
// mapping.
#include "VexaTokenKit/VexaToken.h"

#include <cctype>
#include <limits>

#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "VexaTokenKit/VexaTokenError.h"

namespace vexa {

namespace {

// The session's error mapped with the default pair of `code`, or nothing.
OptError mapped(const OptError& error, VexaTokenErrorCode code) {
    if (!error) return std::nullopt;
    return decodeError(*error, code, vexaTokenErrorMessage(code));
}

}  // namespace

std::shared_ptr<VexaToken> VexaToken::create(std::shared_ptr<LumoPeripheral> peripheral) {
    return std::make_shared<VexaToken>(Passkey{}, std::move(peripheral));
}

VexaToken::VexaToken(Passkey, std::shared_ptr<LumoPeripheral> peripheral) {
    if (peripheral) peripheral_ = peripheral->cbPeripheral();
    pimpl_ = LumoToken::create(std::move(peripheral));
    name_ = pimpl_->name();
    identifier_ = pimpl_->uuidString().value_or(std::string());
}

VexaToken::~VexaToken() = default;

bool VexaToken::isConnected() const { return pimpl_->isConnected(); }

int VexaToken::isCurrentSyncModeSK() const { return pimpl_->_syncModeSK(); }

void VexaToken::setReplyTimeout(Duration timeout) { pimpl_->setReplyTimeout(timeout); }

Duration VexaToken::replyTimeout() const { return pimpl_->replyTimeout(); }

void VexaToken::setFrameObserver(std::shared_ptr<LumoFrameObserver> observer) {
    frameObserver_ = std::move(observer);
    pimpl_->setFrameObserver(frameObserver_);
}

void VexaToken::discoverWithDelegate(std::shared_ptr<LumoTokenDelegate> delegate) {
    pimpl_->setDelegate(std::move(delegate));
    pimpl_->discover();
}

int32_t VexaToken::serialNumberValue(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulated as a negative number, whose range reaches INT32_MIN.
    int64_t value = 0;
    constexpr int64_t kLimit = -static_cast<int64_t>(std::numeric_limits<int32_t>::min());
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kLimit) {
            value = kLimit;
            break;
        }
    }
    if (negative) return static_cast<int32_t>(-value);
    return value > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(value);
}

// ---- information, power, APDU ----------------------------------------------------------------

void VexaToken::initialize() {
    pimpl_->synDateTime([self = shared_from_this()](const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorInvalidTokenResponse);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.didInitializeToken(t, e); });
    });
}

void VexaToken::getSerial() {
    pimpl_->getSerial([self = shared_from_this()](const std::string& serial, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorSerial);
        const int32_t value = e ? 0 : serialNumberValue(serial);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidGetSerial(t, value, e); });
    });
}

void VexaToken::getBatteryLevel() {
    pimpl_->getBatteryLevel([self = shared_from_this()](uint8_t level, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorBatteryLevel);
        const double value = level / 100.0;
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidGetBatteryLevel(t, value, e); });
    });
}

void VexaToken::getFirmwareVersion() {
    pimpl_->getFirmwareVersion([self = shared_from_this()](const std::optional<std::string>& version, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorFirmwareVersion);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidGetFirmwareVersion(t, version, e); });
    });
}

void VexaToken::getHardwareVersion() {
    pimpl_->getHardwareVersion([self = shared_from_this()](const std::optional<std::string>& version, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorHardwareVersion);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidGetHardwareVersion(t, version, e); });
    });
}

void VexaToken::powerOff() {
    pimpl_->powerOff([self = shared_from_this()](const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorInvalidTokenResponse);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.didPowerOffToken(t, e); });
    });
}

void VexaToken::powerSecureElementOn() {
    pimpl_->powerSecureElementOn([self = shared_from_this()](const std::optional<Bytes>& atr, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorATR);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidPowerSecureElementOnWithAtr(t, atr, e); });
    });
}

void VexaToken::powerSecureElementOff() {
    pimpl_->powerSecureElementOff([self = shared_from_this()](const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorPowerOffSecureElement);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.didPowerOffToken(t, e); });
    });
}

void VexaToken::setCommunicationProtocol(uint8_t protocol) {
    pimpl_->setCommunicationProtocol(protocol, [self = shared_from_this()](const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorSetProtocol);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidSetCommunicationProtocol(t, !e, e); });
    });
}

void VexaToken::transmitAPDU(const Bytes& apdu) {
    pimpl_->sendAPDU(apdu, [self = shared_from_this()](const std::optional<Bytes>& response, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorDataNotAvailable);
        self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { d.tokenDidGetResponseAPDU(t, response, e); });
    });
}

}  // namespace vexa
