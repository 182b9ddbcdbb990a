#include "VexaTokenKit/VexaTokenManager.h"

#include <algorithm>

#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"

namespace vexa {
namespace {

constexpr size_t kRandomHashLength = 16;

// States in which the central will not become ready by itself; the application should know.
bool needsAttention(ManagerState state) {
    return state == ManagerState::PoweredOff || state == ManagerState::Unauthorized || state == ManagerState::Unsupported;
}

}  // namespace

std::shared_ptr<VexaTokenManager> VexaTokenManager::create(std::shared_ptr<LumoCentralManager> central) {
    if (!central) central = LumoCentralManager::sharedInstance();
    return std::make_shared<VexaTokenManager>(Passkey{}, std::move(central));
}

VexaTokenManager::VexaTokenManager(Passkey, std::shared_ptr<LumoCentralManager> central) : central_(std::move(central)) {}

VexaTokenManager::~VexaTokenManager() { NotificationCenter::defaultCenter().removeObserver(this); }

// ---- scanning --------------------------------------------------------------------------------

void VexaTokenManager::startScanning() {
    tokens_ = VexaTokenList();
    stopWaiting();
    if (central_->isCentralReady()) return startScanNow();

    // Wait on the main queue for the central's state reports; the first check runs on a later
    // turn, so the delegate never hears from inside this call.
    const uint64_t generation = ++generations_;
    waitGeneration_ = generation;
    toldNotReady_ = false;
    const std::weak_ptr<VexaTokenManager> weak = weak_from_this();
    NotificationCenter::defaultCenter().addObserver(this, kLumoCentralManagerDidUpdateState, static_cast<const void*>(central_.get()),
                                                    [weak, generation](const Notification&) {
                                                        if (auto self = weak.lock()) self->centralStateChanged(generation);
                                                    });
    mainQueue()->async([weak, generation] {
        if (auto self = weak.lock()) self->centralStateChanged(generation);
    });
}

void VexaTokenManager::centralStateChanged(uint64_t generation) {
    if (generation != waitGeneration_) return;  // the wait ended meanwhile
    if (central_->isCentralReady()) {
        stopWaiting();
        return startScanNow();
    }
    if (toldNotReady_ || !needsAttention(central_->manager()->state())) return;
    toldNotReady_ = true;
    if (auto delegate = this->delegate())
        delegate->tokenManagerCentralNotReady(shared_from_this(), central_->centralNotReadyReason().value_or(std::string()));
}

void VexaTokenManager::stopWaiting() {
    if (waitGeneration_ == 0) return;
    waitGeneration_ = 0;
    NotificationCenter::defaultCenter().removeObserver(this, kLumoCentralManagerDidUpdateState);
}

void VexaTokenManager::startScanNow() {
    const std::weak_ptr<VexaTokenManager> weak = weak_from_this();
    central_->scanForPeripheralsWithServices(LumoToken::UUIDServices(), ScanOptions{}, [weak](const LumoPeripheralList& peripherals) {
        if (auto self = weak.lock()) self->peripheralsFound(peripherals);
    });
}

void VexaTokenManager::peripheralsFound(const std::vector<std::shared_ptr<LumoPeripheral>>& peripherals) {
    for (const auto& wrapper : peripherals) {
        if (!wrapper || peripheral2Token(wrapper->cbPeripheral())) continue;
        VexaTokenList next = tokens_;
        next.push_back(VexaToken::create(wrapper));
        tokens_ = std::move(next);
        const VexaTokenList snapshot = tokens_;
        if (auto delegate = this->delegate()) delegate->tokenManagerDidDiscoverTokens(shared_from_this(), snapshot);
    }
}

void VexaTokenManager::stopScanning() {
    stopWaiting();
    if (central_->isScanning()) central_->stopScanForPeripherals();
}

std::shared_ptr<VexaToken> VexaTokenManager::peripheral2Token(const std::shared_ptr<PlatformPeripheral>& peripheral) const {
    for (const auto& token : tokens_)
        if (token->peripheral() == peripheral) return token;
    return nullptr;
}

// ---- connecting ------------------------------------------------------------------------------

void VexaTokenManager::connectToToken(const std::shared_ptr<VexaToken>& token) {
    if (!token) return;
    // Tracked until it disconnects or the attempt fails, whatever later scans do to tokens().
    if (token->pimpl()->getPeripheral() && std::find(connected_.begin(), connected_.end(), token) == connected_.end()) {
        VexaTokenList next = connected_;
        next.push_back(token);
        connected_ = std::move(next);
    }
    token->pimpl()->setFrameObserver(token->frameObserver() ? token->frameObserver() : frameObserver_);
    token->discoverWithDelegate(shared_from_this());
}

void VexaTokenManager::connectToToken(const std::shared_ptr<VexaToken>& token, ConnectDone done) {
    if (!token) return;
    if (!token->pimpl()->getPeripheral()) {
        // No set-up can start, so no report would ever come.
        mainQueue()->async([done = std::move(done)] {
            if (done) done(VexaConnectOutcome::Failed, lumoTokenError(kLumoTokenErrorConnectionLost));
        });
        return;
    }
    attempts_.emplace_back(token, std::move(done));
    connectToToken(token);
}

void VexaTokenManager::finishAttempts(const std::shared_ptr<VexaToken>& token, VexaConnectOutcome outcome, const OptError& error) {
    std::vector<ConnectDone> finished;
    std::erase_if(attempts_, [&](auto& attempt) {
        if (attempt.first != token) return false;
        finished.push_back(std::move(attempt.second));
        return true;
    });
    for (const auto& done : finished)
        if (done) done(outcome, error);
}

void VexaTokenManager::disconnectFromToken(const std::shared_ptr<VexaToken>& token) {
    if (!token || !token->peripheral()) return;
    central_->manager()->cancelPeripheralConnection(token->peripheral());
}

void VexaTokenManager::untrack(const std::shared_ptr<VexaToken>& token) {
    if (std::find(connected_.begin(), connected_.end(), token) == connected_.end()) return;
    VexaTokenList next = connected_;
    std::erase(next, token);
    connected_ = std::move(next);
}

std::shared_ptr<VexaToken> VexaTokenManager::tokenOfSession(const LumoToken& session) const {
    for (const auto* list : {&connected_, &tokens_})
        for (const auto& token : *list)
            if (token->pimpl().get() == &session) return token;
    const auto wrapper = session.getPeripheral();
    if (!wrapper) return nullptr;
    if (auto token = peripheral2Token(wrapper->cbPeripheral())) return token;
    for (const auto& token : connected_)
        if (token->peripheral() == wrapper->cbPeripheral()) return token;
    return nullptr;
}

// ---- the sessions' delegate ------------------------------------------------------------------

Bytes VexaTokenManager::needHashSessionKey(LumoToken& session) {
    const auto token = tokenOfSession(session);
    if (!token) return randomBytes(kRandomHashLength);
    return VexaTokenEncryptContainer::sharedInstance().getHash(*token);
}

std::optional<Bytes> VexaTokenManager::willEncryptData(LumoToken& session, const Bytes& package) {
    const auto token = tokenOfSession(session);
    if (!token) return package;
    return VexaTokenEncryptContainer::sharedInstance().encryptWithKey(*token, package);
}

std::optional<Bytes> VexaTokenManager::willDecryptData(LumoToken& session, const Bytes& package) {
    const auto token = tokenOfSession(session);
    if (!token) return package;
    return VexaTokenEncryptContainer::sharedInstance().decryptWithKey(*token, package);
}

uint8_t VexaTokenManager::requireSynModeSK(LumoToken& session) {
    const auto token = tokenOfSession(session);
    const auto delegate = this->delegate();
    if (!token || !delegate) return 0;
    return delegate->tokenManagerRequireSyncSKMethod(shared_from_this(), token);
}

void VexaTokenManager::didConnect(LumoToken& session, const OptError& error, bool sessionKeyNeedUpdate) {
    const auto token = tokenOfSession(session);
    if (!token) return;
    const auto self = shared_from_this();
    if (error) {
        untrack(token);
        if (auto delegate = this->delegate()) delegate->tokenManagerDidFailToConnectToToken(self, token, *error);
        finishAttempts(token, VexaConnectOutcome::Failed, error);
        return;
    }
    if (auto delegate = this->delegate()) delegate->tokenManagerDidConnectToToken(self, token);
    finishAttempts(token, sessionKeyNeedUpdate ? VexaConnectOutcome::NotPaired : VexaConnectOutcome::Connected, std::nullopt);
    if (!sessionKeyNeedUpdate) return;
    mainQueue()->async([weak = weak_from_this(), token] {
        const auto manager = weak.lock();
        if (!manager) return;
        if (auto delegate = manager->delegate()) delegate->tokenIsNotPaired(token);
    });
}

void VexaTokenManager::didDisconnect(LumoToken& session, const OptError& error) {
    const auto token = tokenOfSession(session);
    if (!token) return;
    untrack(token);
    if (auto delegate = this->delegate()) delegate->tokenManagerDidDisconnectFromToken(shared_from_this(), token);
    finishAttempts(token, VexaConnectOutcome::Failed, error ? error : lumoTokenError(kLumoTokenErrorConnectionLost));
}

}  // namespace vexa
