#pragma once
// The application's entry point: scans for tokens, keeps the tokens found by the current scan,
// connects and disconnects them, and reports these events to its delegate. It is the delegate of
// every session it connects: it lends the sessions the key store's hash and ciphers and asks the
// application for the key-synchronisation mode. Managers share one Bluetooth LE central (the
// scan's discovery callback is one slot: the latest startScanning takes it over) and one key
// store. Everything runs on the main queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "LumoTokenSDK/LumoToken/LumoTokenDelegate.h"
#include "VexaTokenKit/VexaTokenManagerDelegate.h"

namespace vexa {

class LumoCentralManager;
class LumoFrameObserver;
class LumoPeripheral;
class PlatformPeripheral;

/// How one connection attempt ended.
enum class VexaConnectOutcome {
    Connected,  // connected and the session key accepted
    NotPaired,  // connected, but the token rejected the session key (the link stays up)
    Failed,     // the attempt failed; the error says why
};

class VexaTokenManager : public LumoTokenDelegate, public std::enable_shared_from_this<VexaTokenManager> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// A manager with no tokens and no delegate over `central`, or over the shared central when
    /// none is given.
    static std::shared_ptr<VexaTokenManager> create(std::shared_ptr<LumoCentralManager> central = nullptr);
    VexaTokenManager(Passkey, std::shared_ptr<LumoCentralManager> central);
    ~VexaTokenManager() override;
    VexaTokenManager(const VexaTokenManager&) = delete;
    VexaTokenManager& operator=(const VexaTokenManager&) = delete;

    /// The tokens found by the current scan, in the order found. Replaced as a whole, never changed
    /// in place, so a list handed out earlier stays as it was.
    const VexaTokenList& tokens() const { return tokens_; }
    void setTokens(VexaTokenList tokens) { tokens_ = std::move(tokens); }
    /// Tokens this manager connected (or is connecting) and that have not disconnected since; they
    /// stay tracked across new scans.
    const VexaTokenList& connectedTokens() const { return connected_; }
    std::shared_ptr<VexaTokenManagerDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<VexaTokenManagerDelegate> delegate) { delegate_ = std::move(delegate); }
    const std::shared_ptr<LumoCentralManager>& central() const { return central_; }
    /// The tokens this manager connects from now on report every frame and package to
    /// `observer`, unless they have one of their own (traces; off when null, the default).
    void setFrameObserver(std::shared_ptr<LumoFrameObserver> observer) { frameObserver_ = std::move(observer); }
    const std::shared_ptr<LumoFrameObserver>& frameObserver() const { return frameObserver_; }

    /// Empties tokens() and scans for the token service. Never blocks: when the central is not
    /// ready the scan starts once it reports ready; meanwhile the delegate hears once, through
    /// tokenManagerCentralNotReady, why Bluetooth is off, not authorised or unsupported.
    void startScanning();
    /// Stops waiting for the central and stops the central's scan if one runs.
    void stopScanning();
    /// True while startScanning waits for the central to become ready.
    bool isWaitingForCentral() const { return waitGeneration_ != 0; }
    /// Starts the token's connection set-up with this manager as the session's delegate; the
    /// outcome is tokenManagerDidConnectToToken or tokenManagerDidFailToConnectToToken.
    void connectToToken(const std::shared_ptr<VexaToken>& token);
    /// The outcome of one connection attempt: `error` is set exactly for Failed.
    using ConnectDone = std::function<void(VexaConnectOutcome outcome, const OptError& error)>;
    /// As connectToToken(token), and `done` hears this attempt's outcome once, after the delegate
    /// (a link lost before the set-up ended is a failure). A token without a peripheral fails at
    /// once, on a later turn of the main queue.
    void connectToToken(const std::shared_ptr<VexaToken>& token, ConnectDone done);
    /// Asks the central to cancel the token's connection -> tokenManagerDidDisconnectFromToken.
    void disconnectFromToken(const std::shared_ptr<VexaToken>& token);
    /// The first token of tokens() on that very platform peripheral, or null.
    std::shared_ptr<VexaToken> peripheral2Token(const std::shared_ptr<PlatformPeripheral>& peripheral) const;

    // ---- the sessions' delegate ------------------------------------------------------------
    /// The key store's hash for the session's token (16 random bytes when it has none).
    Bytes needHashSessionKey(LumoToken& session) override;
    void didConnect(LumoToken& session, const OptError& error, bool sessionKeyNeedUpdate) override;
    void didDisconnect(LumoToken& session, const OptError& error) override;
    std::optional<Bytes> willEncryptData(LumoToken& session, const Bytes& package) override;
    std::optional<Bytes> willDecryptData(LumoToken& session, const Bytes& package) override;
    uint8_t requireSynModeSK(LumoToken& session) override;

private:
    // The token of a session: the tracked token that owns it, else the listed token on its
    // platform peripheral, else a tracked one on it; null if none.
    std::shared_ptr<VexaToken> tokenOfSession(const LumoToken& session) const;
    void startScanNow();
    void peripheralsFound(const std::vector<std::shared_ptr<LumoPeripheral>>& peripherals);
    void centralStateChanged(uint64_t generation);
    void stopWaiting();
    void untrack(const std::shared_ptr<VexaToken>& token);
    // Calls and forgets the completions of the token's pending attempts.
    void finishAttempts(const std::shared_ptr<VexaToken>& token, VexaConnectOutcome outcome, const OptError& error);

    std::shared_ptr<LumoCentralManager> central_;
    VexaTokenList tokens_;
    VexaTokenList connected_;
    std::vector<std::pair<std::shared_ptr<VexaToken>, ConnectDone>> attempts_;  // pending per-attempt completions
    std::weak_ptr<VexaTokenManagerDelegate> delegate_;
    uint64_t waitGeneration_ = 0;  // non-zero while waiting for the central
    uint64_t generations_ = 0;
    bool toldNotReady_ = false;
    std::shared_ptr<LumoFrameObserver> frameObserver_;
};

}  // namespace vexa
