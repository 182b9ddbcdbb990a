// The command engine: one command written at a time, its reply joined from frames, decrypted,
// parsed and handed to that command's handler, then the next command is written.
#include <utility>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCharacteristic.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoToken/LumoPieceSource.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "Platform/MainQueue.h"

namespace vexa {
namespace {

// The operation of the set-up's synchronisation, which no cancellation touches.
constexpr uint64_t kSetupOperation = UINT64_MAX;

}  // namespace

void LumoToken::sendPackageWithResult(uint8_t code, const Bytes& data, LumoReplyHandler handler) {
    submit(code, data, std::move(handler), nullptr, false);
}

bool LumoToken::canSend() const {
    // Without a connected peripheral, or before the set-up knows where to write, a command is dropped.
    return peripheral_ && peripheral_->isConnected() && wCharacterisric_ && rCharacteristic_;
}

std::shared_ptr<LumoCommandContainer> LumoToken::buildCommand(uint8_t code, const Bytes& data, LumoReplyHandler handler,
                                                              std::shared_ptr<const bool> cancelled, uint64_t operation) {
    return commandFromPackage(code, LumoTokenCommand::buildPackage(code, data), std::move(handler), std::move(cancelled), operation);
}

std::shared_ptr<LumoCommandContainer> LumoToken::commandFromPackage(uint8_t code, Bytes package, LumoReplyHandler handler,
                                                                    std::shared_ptr<const bool> cancelled, uint64_t operation) {
    if (m_needEncryptFlag) {
        // Traffic that must be encrypted never goes out in plain text: without a cipher (the
        // session has let its delegate go) the command fails like a failed encryption.
        const auto delegate = delegate_;
        std::optional<Bytes> encrypted = delegate ? delegate->willEncryptData(*this, package) : std::nullopt;
        if (!encrypted || encrypted->empty()) {
            if (handler) handler(std::nullopt, lumoTokenError(kLumoTokenErrorEncryptionFailed));
            return nullptr;
        }
        if (frameObserver_) frameObserver_->packageEncrypted(*this, std::move(package), *encrypted);
        package = std::move(*encrypted);
    }
    if (package.size() > kLumoMaxPackageLength) {
        if (handler) handler(std::nullopt, lumoTokenError(kLumoTokenErrorCommandTooLong));
        return nullptr;
    }

    // The command keeps its session alive until it is answered; the engine lets the handler go then.
    LumoReplyHandler reply = [self = shared_from_this(), handler = std::move(handler)](std::optional<Bytes>&& payload,
                                                                                       const OptError& error) {
        if (handler) handler(std::move(payload), error);
    };
    return std::make_shared<LumoCommandContainer>(std::move(package), std::move(reply), std::move(cancelled), code, operation);
}

void LumoToken::submit(uint8_t code, const Bytes& data, LumoReplyHandler handler, std::shared_ptr<const bool> cancelled,
                       bool setupCommand) {
    if (!canSend()) return;
    auto command = buildCommand(code, data, std::move(handler), std::move(cancelled),
                                setupCommand ? kSetupOperation : currentOperation_);
    if (!command) return;
    if (setupCommand) {
        // The synchronisation goes ahead of the commands that wait for the set-up to end.
        if (!m_waitReply) {
            writeCommand(command);
        } else {
            queue_.push_front(std::move(command));
        }
        return;
    }
    queue_.push_back(std::move(command));
    if (!m_waitReply) pushCommand();
}

void LumoToken::sendPieces(std::shared_ptr<LumoPieceSource> source) {
    if (!source || !canSend()) return;
    // The first piece is built now, so that a cipher failure or an oversized package is reported
    // before this returns, as for a single command; the rest wait in the source.
    std::optional<LumoPiece> first = source->nextPiece();
    if (!first) return;
    auto command = commandFromPackage(first->code, std::move(first->package), std::move(first->handler), nullptr, currentOperation_);
    if (!command) return;
    queue_.push_back(std::move(command));
    if (source->hasNextPiece()) {
        LumoReplyHandler abandon = [source](const std::optional<Bytes>&, const OptError& error) {
            if (error) source->abandon(*error);
        };
        queue_.push_back(std::make_shared<LumoCommandContainer>(std::move(source), std::move(abandon), currentOperation_));
    }
    if (!m_waitReply) pushCommand();
}

void LumoToken::pushPackageWithCallback(Bytes package, LumoReplyHandler handler) {
    queue_.push_back(std::make_shared<LumoCommandContainer>(std::move(package), std::move(handler)));
}

std::shared_ptr<LumoCommandContainer> LumoToken::popPackageWithCallback() {
    if (queue_.empty()) return nullptr;
    auto command = std::move(queue_.front());
    queue_.pop_front();
    return command;
}

void LumoToken::pushCommand() {
    // While the link is being dropped nothing more is written; during the set-up the queued
    // commands wait behind the synchronisation.
    if (dropping_ || setupRunning_) return;
    // Busy while the next command is found: a piece that cannot be built tells its handler, and a
    // command issued from there is queued rather than written from inside.
    m_waitReply = true;
    std::shared_ptr<LumoCommandContainer> command = nextCommand();
    if (command && !dropping_ && !setupRunning_) return writeCommand(command);
    if (command) queue_.push_front(std::move(command));
    m_waitReply = false;
}

std::shared_ptr<LumoCommandContainer> LumoToken::nextCommand() {
    while (!queue_.empty()) {
        const std::shared_ptr<LumoCommandContainer> front = queue_.front();
        if (front->isCancelled()) {
            queue_.pop_front();
            continue;
        }
        const std::shared_ptr<LumoPieceSource> source = front->source();
        if (!source) {
            queue_.pop_front();
            return front;
        }
        // A series stays at the head of the queue until its last piece is taken, so the commands
        // issued after it follow all of its pieces; each piece is built only now.
        std::optional<LumoPiece> piece = source->nextPiece();
        if (!source->hasNextPiece()) queue_.pop_front();
        if (!piece) continue;
        if (auto command = commandFromPackage(piece->code, std::move(piece->package), std::move(piece->handler), nullptr, front->operation()))
            return command;
    }
    return nullptr;
}

void LumoToken::writeCommand(const std::shared_ptr<LumoCommandContainer>& command) {
    receivedDataBlock_ = command->takeCallbackReply();
    if (!receivedDataBlock_) receivedDataBlock_ = [](const auto&, const auto&) {};
    writtenCode_ = command->code();
    writtenOperation_ = command->operation();
    replyPending_ = true;
    m_waitReply = true;
    const uint64_t seq = ++writtenSeq_;
    armReplyTimer();

    const auto characteristic = wCharacterisric_;
    if (!characteristic || !protocolData_) {
        finishCurrent(std::nullopt, lumoTokenError(kLumoTokenErrorCharacteristicsMissing));
        return;
    }
    // The frames, built one by one in a buffer the session keeps, go to the characteristic as one
    // batch, written in order with response; the first failed frame fails the command.
    // The platform may take the batch's buffers with it, so room for all frames is made at once.
    writeBatch_.clear();
    const size_t frames = command->cmdData().size() / (BleSocketFormat::kMaxFrameSize - 3) + 1;
    writeBatch_.bytes.reserve(command->cmdData().size() + 3 * frames);
    writeBatch_.sizes.reserve(frames);
    BleSocketFormat::forEachFrame(command->cmdData(), BleSocketFormat::kMaxFrameSize, frameBuffer_, [&](const Bytes& frame) {
        if (frameObserver_) frameObserver_->frameWritten(*this, frame);
        writeBatch_.add(frame);
        return true;
    });
    if (writtenSeq_ != seq || !replyPending_) return;  // an observer's effects already ended the command
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    characteristic->writeValues(writeBatch_, [weak, seq](const OptError& error) {
        if (!error) return;
        if (auto self = weak.lock()) self->frameWriteFailed(seq, *error);
    });
}

void LumoToken::armReplyTimer() {
    if (replyTimeout_ <= Duration::zero()) return stopReplyTimer();
    const auto main = mainQueue();
    replyDeadline_ = dueTime(main->now(), replyTimeout_);
    // One timer serves the commands written one after another: one that falls due before the new
    // deadline stays, and waits on for the rest when it fires.
    if (replyTimer_.isValid() && replyTimerDue_ <= replyDeadline_) return;
    startReplyTimer(*main);
}

void LumoToken::startReplyTimer(DispatchQueue& main) {
    replyTimer_.cancel();
    replyTimerDue_ = replyDeadline_;
    const std::weak_ptr<LumoToken> weak = weak_from_this();
    replyTimer_ = main.asyncAfter(replyDeadline_ - main.now(), [weak] {
        if (auto self = weak.lock()) self->replyTimerFired();
    });
}

void LumoToken::stopReplyTimer() {
    replyTimer_.cancel();
    replyTimer_ = DelayedCall();
}

void LumoToken::replyTimerFired() {
    replyTimer_ = DelayedCall();
    if (!replyPending_) return;
    const auto main = mainQueue();
    if (main->now() < replyDeadline_) return startReplyTimer(*main);
    replyTimedOut(writtenSeq_);
}

void LumoToken::finishCurrent(std::optional<Bytes> payload, const OptError& error) {
    LumoReplyHandler handler = std::move(receivedDataBlock_);
    receivedDataBlock_ = nullptr;
    replyPending_ = false;
    const uint64_t seq = writtenSeq_;
    // m_waitReply stays set while the handler runs: a command it sends is queued and written after,
    // as part of the same operation.
    if (handler) {
        OperationScope scope(*this, writtenOperation_ == kSetupOperation ? 0 : writtenOperation_);
        handler(std::move(payload), error);
    }
    // Move on unless the handler's effects already did (a set-up that ended and wrote a new
    // command, a reset of the engine).
    if (seq == writtenSeq_ && m_waitReply && !replyPending_) {
        m_waitReply = false;
        pushCommand();
    }
    // The timer stays only while a command waits for its reply.
    if (!replyPending_) stopReplyTimer();
}

void LumoToken::frameWriteFailed(uint64_t seq, const Error& error) {
    if (seq != writtenSeq_ || !replyPending_) return;  // that command has had its answer
    // A frame the token never got leaves the link out of step: the command fails and the link goes.
    dropConnection();
    finishCurrent(std::nullopt, error);
}

void LumoToken::replyTimedOut(uint64_t seq) {
    if (seq != writtenSeq_ || !replyPending_) return;
    // A late reply could no longer be matched to its command, so the link is dropped.
    dropConnection();
    finishCurrent(std::nullopt, lumoTokenError(kLumoTokenErrorTimeout));
}

void LumoToken::dropConnection() {
    if (dropping_) return;
    dropping_ = true;
    if (!peripheral_) return;
    // Cancelled through the central, not the wrapper, so that the loss is announced and handled
    // like any other lost link.
    if (auto central = peripheral_->centralManager()) {
        if (const auto& platformCentral = central->manager()) platformCentral->cancelPeripheralConnection(peripheral_->cbPeripheral());
    }
}

void LumoToken::cancelOperation(uint64_t operation) {
    if (operation != 0) cancelCommands([operation](uint64_t o) { return o == operation; });
}

void LumoToken::cancelAllCommands() {
    cancelCommands([](uint64_t) { return true; });
}

void LumoToken::cancelCommands(const std::function<bool(uint64_t operation)>& selected) {
    const auto keepAlive = weak_from_this().lock();
    std::vector<LumoReplyHandler> handlers;
    // A command on the link keeps the engine waiting for its reply, which nobody receives then;
    // the link stays in step and the next command is written after it, as usual.
    if (replyPending_ && writtenOperation_ != kSetupOperation && selected(writtenOperation_)) {
        if (receivedDataBlock_) handlers.push_back(std::move(receivedDataBlock_));
        receivedDataBlock_ = [](const std::optional<Bytes>&, const OptError&) {};
    }
    std::erase_if(queue_, [&](const std::shared_ptr<LumoCommandContainer>& command) {
        if (command->operation() == kSetupOperation || !selected(command->operation())) return false;
        if (!command->isCancelled() && command->callbackReply()) handlers.push_back(command->callbackReply());
        return true;
    });
    // Handlers run once the engine is consistent; what they send belongs to no operation.
    OperationScope none(*this, 0);
    const Error cancelled = lumoTokenError(kLumoTokenErrorCancelled);
    for (const auto& handler : handlers) handler(std::nullopt, cancelled);
}

void LumoToken::resetEngine() {
    stopReplyTimer();
    receivedDataBlock_ = nullptr;
    replyPending_ = false;
    m_waitReply = false;
    queue_.clear();
}

std::vector<LumoReplyHandler> LumoToken::takeAllCommands() {
    std::vector<LumoReplyHandler> handlers;
    if (replyPending_ && receivedDataBlock_) handlers.push_back(receivedDataBlock_);
    for (const auto& command : queue_) {
        if (!command->isCancelled() && command->callbackReply()) handlers.push_back(command->callbackReply());
    }
    resetEngine();
    return handlers;
}

void LumoToken::notyReceivedData(const std::optional<Bytes>& value, const OptError& error) {
    (void)error;  // an error reported with a notification carries nothing the engine can use
    std::shared_ptr<LumoToken> observing;  // an observer may let the session go
    if (frameObserver_ && value) {
        observing = weak_from_this().lock();
        frameObserver_->frameNotified(*this, *value);
    }
    if (!value || value->empty() || !protocolData_) return;
    // Repeated frames and the remains of a broken reply are skipped up to the next reply.
    if (!replyGuard_.admitFrame(*value)) return;

    // A continuation with no first frame before it (a first frame late or lost) is refused rather
    // than joined to what the last reply left, so its command fails at once.
    const int result = replyGuard_.continuesNoReply(*value) ? BleSocketFormat::kFrameInvalidIndex : protocolData_->addFrame(*value);
    if (const OptError frameError = BleSocketFormat::frameError(result)) {
        replyGuard_.frameRefused(*value);
        if (replyPending_) {
            const auto keepAlive = weak_from_this().lock();  // the handler may let the session go
            finishCurrent(std::nullopt, decodeError(frameError, kLumoTokenErrorInvalidResponse));
        }
        return;
    }
    const bool complete = result == BleSocketFormat::kFrameComplete;
    replyGuard_.frameJoined(*value, complete);
    if (complete) {
        const auto keepAlive = weak_from_this().lock();
        handleJoinedPackage(protocolData_->takePackage());
    }
}

void LumoToken::handleJoinedPackage(Bytes package) {
    if (!replyPending_) return;  // no command waits for a reply: the package is dropped
    if (m_needEncryptFlag) {
        // Without a cipher an encrypted session's reply cannot be read: it counts as empty.
        const auto delegate = delegate_;
        std::optional<Bytes> decrypted = delegate ? delegate->willDecryptData(*this, package) : std::nullopt;
        if (frameObserver_ && decrypted) frameObserver_->packageDecrypted(*this, package, *decrypted);
        Bytes spent = std::exchange(package, decrypted ? std::move(*decrypted) : Bytes());
        if (protocolData_) protocolData_->recycle(std::move(spent));  // the next reply is joined in it
    }
    uint8_t replyCode = 0;
    std::optional<Bytes> payload;
    ByteView parsed;
    const OptError parseError = LumoTokenCommand::parseView(package, replyCode, parsed);
    if (!parseError) {
        // The package becomes its payload in place: the header goes, and the CRC and filler after it.
        const size_t size = parsed.size();
        package.erase(package.begin(), package.begin() + 3);
        package.resize(size);
        payload = std::move(package);
    }
    if (parseError) {
        finishCurrent(std::nullopt, decodeError(parseError, kLumoTokenErrorInvalidResponse));
    } else if (replyGuard_.isStaleReply(replyCode, writtenCode_)) {
        return;  // another command's reply (a repeated or late one): the command waits for its own
    } else if (!payload || payload->empty()) {
        finishCurrent(std::nullopt, lumoTokenError(kLumoTokenErrorInvalidResponse));
    } else {
        finishCurrent(std::move(payload), std::nullopt);
    }
}

}  // namespace vexa
