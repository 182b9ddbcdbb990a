// Construction, connection, and the information, power and APDU operations with their error
// mapping.
#include "VexaTokenKit/VexaToken.h"

#include <cctype>
#include <limits>

#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "VexaTokenKit/VexaTokenError.h"

namespace vexa {

namespace {

// The session's error mapped with the default pair of `code`, or nothing. A cancellation is the
// application's own doing and keeps its code.
OptError mapped(const OptError& error, VexaTokenErrorCode code) {
    if (!error) return std::nullopt;
    if (error->domain == kLumoTokenErrorDomain && error->code == kLumoTokenErrorCancelled) return error;
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
// Each operation is its completion variant with a completion that calls the delegate.

void VexaToken::initialize() { initialize(toDelegate(&VexaTokenDelegate::didInitializeToken)); }

void VexaToken::initialize(ErrorDone done) {
    pimpl_->synDateTime([self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(mapped(error, kVexaTokenErrorInvalidTokenResponse));
    });
}

void VexaToken::getSerial() { getSerial(toDelegate(&VexaTokenDelegate::tokenDidGetSerial)); }

void VexaToken::getSerial(SerialDone done) {
    pimpl_->getSerial([self = shared_from_this(), done = std::move(done)](const std::string& serial, const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorSerial);
        if (done) done(e ? 0 : serialNumberValue(serial), e);
    });
}

void VexaToken::getBatteryLevel() { getBatteryLevel(toDelegate(&VexaTokenDelegate::tokenDidGetBatteryLevel)); }

void VexaToken::getBatteryLevel(LevelDone done) {
    pimpl_->getBatteryLevel([self = shared_from_this(), done = std::move(done)](uint8_t level, const OptError& error) {
        if (done) done(level / 100.0, mapped(error, kVexaTokenErrorBatteryLevel));
    });
}

void VexaToken::getFirmwareVersion() { getFirmwareVersion(toDelegate(&VexaTokenDelegate::tokenDidGetFirmwareVersion)); }

void VexaToken::getFirmwareVersion(TextDone done) {
    pimpl_->getFirmwareVersion([self = shared_from_this(), done = std::move(done)](const std::optional<std::string>& version, const OptError& error) {
        if (done) done(version, mapped(error, kVexaTokenErrorFirmwareVersion));
    });
}

void VexaToken::getHardwareVersion() { getHardwareVersion(toDelegate(&VexaTokenDelegate::tokenDidGetHardwareVersion)); }

void VexaToken::getHardwareVersion(TextDone done) {
    pimpl_->getHardwareVersion([self = shared_from_this(), done = std::move(done)](const std::optional<std::string>& version, const OptError& error) {
        if (done) done(version, mapped(error, kVexaTokenErrorHardwareVersion));
    });
}

void VexaToken::powerOff() { powerOff(toDelegate(&VexaTokenDelegate::didPowerOffToken)); }

void VexaToken::powerOff(ErrorDone done) {
    pimpl_->powerOff([self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(mapped(error, kVexaTokenErrorInvalidTokenResponse));
    });
}

void VexaToken::powerSecureElementOn() { powerSecureElementOn(toDelegate(&VexaTokenDelegate::tokenDidPowerSecureElementOnWithAtr)); }

void VexaToken::powerSecureElementOn(DataDone done) {
    pimpl_->powerSecureElementOn([self = shared_from_this(), done = std::move(done)](const std::optional<Bytes>& atr, const OptError& error) {
        if (done) done(atr, mapped(error, kVexaTokenErrorATR));
    });
}

void VexaToken::powerSecureElementOff() { powerSecureElementOff(toDelegate(&VexaTokenDelegate::didPowerOffToken)); }

void VexaToken::powerSecureElementOff(ErrorDone done) {
    pimpl_->powerSecureElementOff([self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(mapped(error, kVexaTokenErrorPowerOffSecureElement));
    });
}

void VexaToken::setCommunicationProtocol(uint8_t protocol) {
    setCommunicationProtocol(protocol, toDelegate(&VexaTokenDelegate::tokenDidSetCommunicationProtocol));
}

void VexaToken::setCommunicationProtocol(uint8_t protocol, SuccessDone done) {
    pimpl_->setCommunicationProtocol(protocol, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        const OptError e = mapped(error, kVexaTokenErrorSetProtocol);
        if (done) done(!e, e);
    });
}

void VexaToken::transmitAPDU(const Bytes& apdu) { transmitAPDU(apdu, toDelegate(&VexaTokenDelegate::tokenDidGetResponseAPDU)); }

void VexaToken::transmitAPDU(const Bytes& apdu, DataDone done) {
    pimpl_->sendAPDU(apdu, [self = shared_from_this(), done = std::move(done)](const std::optional<Bytes>& response, const OptError& error) {
        if (done) done(response, mapped(error, kVexaTokenErrorDataNotAvailable));
    });
}

}  // namespace vexa
