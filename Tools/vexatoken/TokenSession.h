#pragma once
// The tool's use of the public interface: a token manager on the environment's central, scans,
// connections and operations, each waited for on the main loop with a bound, so that nothing
// hangs. Failures are thrown as ToolFailure with the exit status that fits them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Tools/vexatoken/SessionDelegates.h"
#include "Tools/vexatoken/ToolEnvironment.h"
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenManager.h"

namespace vexa::tool {

struct SessionSettings {
    Duration scanTime = std::chrono::seconds(5);
    Duration connectTime = std::chrono::seconds(15);
    Duration replyTimeout = std::chrono::seconds(30);
    uint8_t syncMode = 0;
    /// Sees every frame of the sessions (--trace); null: none.
    std::shared_ptr<LumoFrameObserver> frameObserver;
};

/// Extra time the tool allows beyond the library's own reply time-out before it gives up itself.
inline constexpr Duration kReplyGrace = std::chrono::seconds(5);
/// How long the tool waits for a disconnection to be confirmed.
inline constexpr Duration kDisconnectTime = std::chrono::seconds(5);
/// After an interruption: how long the command on the link may take to finish, and then the one
/// command that tidies up (closing a file).
inline constexpr Duration kSettleTime = std::chrono::seconds(2);
inline constexpr Duration kTidyTime = std::chrono::seconds(1);

class TokenSession {
public:
    TokenSession(ToolEnvironment& environment, SessionSettings settings);
    /// Stops scanning, disconnects the tokens it connected (bounded) and forgets their keys.
    ~TokenSession();
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    /// Scans for the scan time, or until `enough` holds for the tokens heard so far; returns them.
    /// Throws (kExitNotFound) when Bluetooth is not available.
    VexaTokenList scan(const std::function<bool(const VexaTokenList&)>& enough = {});
    /// Scans until a token named `selector`, or with that identifier (any token when empty), is
    /// heard. Throws (kExitNotFound) when none is.
    std::shared_ptr<VexaToken> find(const std::string& selector);
    /// Stores `key` for the token (or forgets any key it had) and connects it. Throws when the
    /// attempt fails (kExitFailed), takes too long (kExitTimedOut) or the token rejects the key
    /// (kExitNotPaired).
    void connect(const std::shared_ptr<VexaToken>& token, const std::optional<std::string>& key);
    /// Disconnects the token and waits (bounded) until the manager confirms it.
    void disconnect(const std::shared_ptr<VexaToken>& token);

    /// Runs `start` and waits for the token's answer of `kind`, allowing `commands` reply time-outs
    /// (an operation may send several commands). The answer may carry an error. Throws when the
    /// token is not connected, disconnects without answering, or does not answer in time. After
    /// SIGINT or SIGTERM (Interruption.h) it throws interruptedFailure() instead of starting;
    /// one that comes while it waits cancels what is queued and lets the command on the link
    /// finish (at most kSettleTime), whose answer is returned if it was the only command.
    TokenReply call(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start,
                    unsigned commands = 1);
    /// Like call(), but an answer with an error is thrown as that error's failure.
    TokenReply require(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start,
                       unsigned commands = 1);
    /// Like call(), also after an interruption, for the one command that tidies up (closing a
    /// file the command opened); after an interruption it waits kTidyTime at most.
    TokenReply tidyUp(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start);

    /// True once the manager reported the token disconnected since its last connection.
    bool wasDisconnected(const std::shared_ptr<VexaToken>& token) const { return events_->disconnected(token.get()); }
    const std::shared_ptr<VexaTokenManager>& manager() const { return manager_; }
    const SessionSettings& settings() const { return settings_; }
    ToolEnvironment& environment() { return environment_; }

private:
    // Runs the loop until `done` holds, `bound` passes or (unless tidying up) a stop signal came.
    bool waitFor(const std::function<bool()>& done, Duration bound);
    bool interrupted() const;
    // After a stop signal, while `token` was to answer: see call().
    void settle(const std::shared_ptr<VexaToken>& token, unsigned commands);
    // Starts the operation and waits `bound` for its answer.
    TokenReply waitForAnswer(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start,
                             unsigned commands, Duration bound);

    ToolEnvironment& environment_;
    SessionSettings settings_;
    std::shared_ptr<ManagerEvents> events_;
    std::shared_ptr<ReplyCollector> replies_;
    std::shared_ptr<VexaTokenManager> manager_;
    VexaTokenList used_;  // tokens this session connected or tried to
    bool tidying_ = false;  // waits go on after a stop signal
};

/// "5 s", "1.5 s": a duration for messages.
std::string secondsText(Duration duration);

}  // namespace vexa::tool
