#include "Emulator/VirtualTokenEndpoint.h"

#include <algorithm>
#include <utility>

#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {

std::shared_ptr<VirtualTokenEndpoint> VirtualTokenEndpoint::create(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue) {
    return std::make_shared<VirtualTokenEndpoint>(std::move(config), std::move(queue));
}

VirtualTokenEndpoint::VirtualTokenEndpoint(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue)
    : queue_(queue), device_(std::move(config), queue) {}

void VirtualTokenEndpoint::resetSession() {
    ++connection_;
    joiner_ = BleSocketFormat();
    session_ = device_.key() ? Session::Locked : Session::Open;
    sessionKey_.clear();
}

void VirtualTokenEndpoint::connected() { resetSession(); }

void VirtualTokenEndpoint::setMaxFrameLength(size_t length) {
    maxFrameLength_ = std::clamp<size_t>(length, 4, BleSocketFormat::kMaxFrameSize);
    // Room for the package's code, length and CRC bytes and for the AES filler.
    const size_t package = BleSocketFormat::maxPackageSize(maxFrameLength_) / 16 * 16;
    device_.setReplyLimit(package - 4);
}

void VirtualTokenEndpoint::disconnected() {
    resetSession();
    device_.linkDropped();
}

void VirtualTokenEndpoint::receiveFrame(const Bytes& frame) {
    joiner_.addFrameWithCompletion(frame, [this](const std::optional<Bytes>& package, const OptError& error) {
        if (error || !package) {
            ++frameErrors_;
            return;
        }
        handlePackage(*package);
    });
}

void VirtualTokenEndpoint::handlePackage(const Bytes& raw) {
    ReceivedPackage seen;
    ByteView parsedFrom;  // the package that parsed (decrypted or not)
    ByteView payload;     // its payload, inside it
    auto parse = [&seen, &parsedFrom, &payload](ByteView package, bool encrypted) {
        uint8_t code = 0;
        ByteView parsed;
        if (LumoTokenCommand::parseView(package, code, parsed)) return false;
        seen.code = code;
        seen.encrypted = encrypted;
        seen.valid = true;
        parsedFrom = package;
        payload = parsed;
        return true;
    };

    bool parsed = false;
    // Decrypted into the buffer of the last package, taken while in use and given back at the end.
    Bytes plain = std::move(plainBuffer_);
    struct GiveBack {
        Bytes& slot;
        Bytes& buffer;
        ~GiveBack() { slot = std::move(buffer); }
    } giveBack{plainBuffer_, plain};
    if (session_ == Session::Encrypted) {
        parsed = aes256EcbDecryptInto(raw, aes256KeyFromString(sessionKey_), plain) && parse(plain, true);
        // A new synchronisation always travels in plain text.
        if (!parsed) parsed = parse(raw, false) && seen.code == kCodeSyncSessionKey;
    } else {
        parsed = parse(raw, false);
    }
    if (!parsed) {
        record(ReceivedPackage{0, {}, false, false, raw});
        const uint8_t status = session_ == Session::Locked ? kStatusInvalidSessionKey : kStatusInvalidMessage;
        sendReply(0, Bytes{status}, {}, session_ == Session::Encrypted, false);
        return;
    }
    const uint8_t code = seen.code;
    // The package is copied for the records only when somebody keeps or watches them; the command
    // runs on the payload where it lies.
    if (recordLimit_ > 0 || observer_.received) {
        seen.payload.assign(payload.begin(), payload.end());
        seen.package.assign(parsedFrom.begin(), parsedFrom.end());
        record(std::move(seen));
    }
    const VirtualTokenFaultPlan plan = faults_.take(code);
    if (plan.noReply) return;
    Bytes reply;
    bool powerOff = false;
    if (plan.status) {
        reply = Bytes{*plan.status};
    } else if (code == kCodeSyncSessionKey) {
        const auto outcome = device_.synchronise(payload);
        reply = Bytes{outcome.status};
        if (outcome.accepted) {
            session_ = outcome.encrypted ? Session::Encrypted : Session::Open;
            sessionKey_ = outcome.encrypted ? *device_.key() : std::string();
        } else if (device_.key()) {
            session_ = Session::Locked;
            sessionKey_.clear();
        }
    } else if (session_ == Session::Locked) {
        reply = Bytes{kStatusInvalidSessionKey};
    } else {
        reply = device_.execute(code, payload);
        powerOff = code == kCodePowerOff && !device_.isPoweredOn();
    }
    // The reply to a synchronisation is always plain text: the host expects it so.
    const bool encrypt = session_ == Session::Encrypted && code != kCodeSyncSessionKey;
    sendReply(code, std::move(reply), plan, encrypt, powerOff);
}

void VirtualTokenEndpoint::sendReply(uint8_t code, Bytes payload, const VirtualTokenFaultPlan& plan, bool encrypt, bool thenPowerOff) {
    Bytes package = plan.emptyPayload ? LumoTokenCommand::buildPackage(code) : LumoTokenCommand::packageAround(code, std::move(payload));
    if (plan.badCrc) package.back() ^= 0xFF;
    recordReply(package);
    if (observer_.replied) observer_.replied(package);
    if (encrypt && !aes256EcbEncryptInPlace(package, aes256KeyFromString(sessionKey_))) return;
    if (plan.delay <= Duration::zero() && !plan.framesOutOfOrder && !thenPowerOff) {
        sendFrames(package);
        return;
    }
    std::vector<Bytes> frames = joiner_.pack2Frames(package, maxFrameLength_);
    // Longer than 256 short frames carry (the device keeps its replies shorter): full frames,
    // which such a link cuts, so that the host sees a broken reply rather than none.
    if (frames.empty()) frames = joiner_.pack2Frames(package);
    if (plan.framesOutOfOrder && !frames.empty()) {
        if (frames.size() >= 2)
            std::swap(frames[0], frames[1]);
        else
            frames[0][0] = 1;
    }
    if (plan.delay <= Duration::zero()) {
        notifyFrames(std::move(frames), thenPowerOff);
        return;
    }
    std::weak_ptr<VirtualTokenEndpoint> weak = weak_from_this();
    queue_->asyncAfter(plan.delay, [weak, connection = connection_, frames = std::move(frames), thenPowerOff] {
        auto self = weak.lock();
        if (!self) return;
        if (connection == self->connection_)
            self->notifyFrames(frames, thenPowerOff);
        else if (thenPowerOff)
            self->powerOffNow();
    });
}

void VirtualTokenEndpoint::sendFrames(ByteView package) {
    // Each frame is built in one buffer and handed over as it is, without a copy; a sink that takes
    // the buffer may leave a spare one for the next frame.
    Bytes frame;
    auto take = [this, &frame](const Bytes&) { return sink_ && sink_(frame); };
    // None when longer than 256 short frames carry: full frames then, as above.
    if (BleSocketFormat::forEachFrame(package, maxFrameLength_, frame, take) == 0)
        BleSocketFormat::forEachFrame(package, BleSocketFormat::kMaxFrameSize, frame, take);
}

void VirtualTokenEndpoint::notifyFrames(std::vector<Bytes> frames, bool thenPowerOff) {
    for (Bytes& frame : frames)
        if (!sink_ || !sink_(frame)) break;
    if (!thenPowerOff) return;
    // The link drops once the reply's notifications have gone out.
    const Duration drain = drain_ ? drain_(frames.size()) : Duration::zero();
    std::weak_ptr<VirtualTokenEndpoint> weak = weak_from_this();
    queue_->asyncAfter(drain, [weak] {
        if (auto self = weak.lock()) self->powerOffNow();
    });
}

void VirtualTokenEndpoint::powerOffNow() {
    if (device_.isPoweredOn()) return;  // switched on again meanwhile
    if (powerOff_) powerOff_();
}

void VirtualTokenEndpoint::powerOff() {
    device_.setPoweredOn(false);
    powerOffNow();
}

void VirtualTokenEndpoint::record(ReceivedPackage package) {
    if (observer_.received) observer_.received(package);
    if (recordLimit_ == 0) return;
    if (received_.size() >= recordLimit_) received_.pop_front();
    received_.push_back(std::move(package));
}

void VirtualTokenEndpoint::recordReply(const Bytes& package) {
    if (recordLimit_ == 0) return;
    if (replies_.size() >= recordLimit_) replies_.pop_front();
    replies_.push_back(package);
}

void VirtualTokenEndpoint::setRecordLimit(size_t limit) {
    recordLimit_ = limit;
    while (received_.size() > limit) received_.pop_front();
    while (replies_.size() > limit) replies_.pop_front();
}

void VirtualTokenEndpoint::clearRecords() {
    received_.clear();
    replies_.clear();
    frameErrors_ = 0;
}

}  // namespace vexa
