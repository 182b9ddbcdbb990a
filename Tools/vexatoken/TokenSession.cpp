#include "Tools/vexatoken/TokenSession.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "Tools/vexatoken/Interruption.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"

namespace vexa::tool {
namespace {

bool sameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

bool matches(const VexaToken& token, const std::string& selector) {
    return selector.empty() || token.name() == selector || sameText(token.identifier(), selector);
}

bool isCancellation(const OptError& error) {
    return error && error->domain == kLumoTokenErrorDomain && error->code == kLumoTokenErrorCancelled;
}

// On a real clock nothing wakes a waiting loop when a signal comes, so waits look at the flag this often.
constexpr Duration kSignalPoll = std::chrono::milliseconds(50);

}  // namespace

std::string secondsText(Duration duration) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", std::chrono::duration<double>(duration).count());
    return buf;
}

TokenSession::TokenSession(ToolEnvironment& environment, SessionSettings settings)
    : environment_(environment),
      settings_(settings),
      events_(std::make_shared<ManagerEvents>(settings.syncMode)),
      replies_(std::make_shared<ReplyCollector>()),
      manager_(VexaTokenManager::create(environment.central())) {
    manager_->setDelegate(events_);
    manager_->setFrameObserver(settings_.frameObserver);
}

TokenSession::~TokenSession() {
    tidying_ = true;  // the tokens are disconnected also after a stop signal
    manager_->stopScanning();
    for (const auto& token : used_) {
        if (!events_->disconnected(token.get()) && (token->isConnected() || events_->connected(token.get()))) {
            manager_->disconnectFromToken(token);
            waitFor([&] { return events_->disconnected(token.get()); }, kDisconnectTime);
        }
        VexaTokenEncryptContainer::sharedInstance().resetKey(*token);
    }
    environment_.loop().runUntilIdle();
}

bool TokenSession::interrupted() const { return Interruption::signal() != 0; }

bool TokenSession::waitFor(const std::function<bool()>& done, Duration bound) {
    const auto stop = [&] { return done() || (!tidying_ && interrupted()); };
    RunLoop& loop = environment_.loop();
    if (stop()) return done();
    if (loop.clock()->isVirtual()) return loop.runUntil(stop, bound) && done();
    const Duration deadline = dueTime(loop.now(), bound);
    for (Duration now = loop.now(); !stop() && now < deadline; now = loop.now()) loop.runUntil(stop, std::min(deadline - now, kSignalPoll));
    return done();
}

VexaTokenList TokenSession::scan(const std::function<bool(const VexaTokenList&)>& enough) {
    manager_->startScanning();
    waitFor([&] { return events_->notReady() || (enough && enough(manager_->tokens())); }, settings_.scanTime);
    manager_->stopScanning();
    if (interrupted()) throw interruptedFailure();
    if (events_->notReady()) throw toolFailure(kExitNotFound, "Bluetooth is not available: " + *events_->notReady());
    return manager_->tokens();
}

std::shared_ptr<VexaToken> TokenSession::find(const std::string& selector) {
    const auto pick = [&](const VexaTokenList& tokens) -> std::shared_ptr<VexaToken> {
        for (const auto& token : tokens)
            if (matches(*token, selector)) return token;
        return nullptr;
    };
    if (auto token = pick(scan([&](const VexaTokenList& tokens) { return pick(tokens) != nullptr; }))) return token;
    if (selector.empty()) throw toolFailure(kExitNotFound, "No token was found within " + secondsText(settings_.scanTime) + ".");
    throw toolFailure(kExitNotFound, "No token named or identified \"" + selector + "\" was found within " +
                                         secondsText(settings_.scanTime) + ".");
}

void TokenSession::connect(const std::shared_ptr<VexaToken>& token, const std::optional<std::string>& key) {
    auto& keys = VexaTokenEncryptContainer::sharedInstance();
    if (key)
        keys.setKey(*token, *key);
    else
        keys.resetKey(*token);
    if (std::find(used_.begin(), used_.end(), token) == used_.end()) used_.push_back(token);

    token->setReplyTimeout(settings_.replyTimeout);
    token->setDelegate(replies_);
    events_->resetConnection(token.get());
    manager_->connectToToken(token);
    const VexaToken* raw = token.get();
    const bool ended = waitFor([&] { return events_->connected(raw) || events_->failure(raw) || events_->disconnected(raw); },
                               settings_.connectTime);
    if (const auto error = events_->failure(raw)) throw libraryFailure(*error);
    if (interrupted() && !events_->connected(raw)) {
        // A connection still being made is called off, so that it is not left up behind the tool.
        tidying_ = true;
        manager_->disconnectFromToken(token);
        waitFor([&] { return events_->disconnected(raw); }, kDisconnectTime);
        tidying_ = false;
        throw interruptedFailure();
    }
    if (!ended) {
        manager_->disconnectFromToken(token);
        waitFor([&] { return events_->disconnected(raw); }, kDisconnectTime);
        throw toolFailure(kExitTimedOut, "The token did not connect within " + secondsText(settings_.connectTime) + ".");
    }
    if (!events_->connected(raw)) throw toolFailure(kExitFailed, "The token disconnected while connecting.");
    // A rejected key is told on a later turn of the main queue than the connection.
    environment_.loop().runUntilIdle();
    if (events_->notPaired(raw))
        throw toolFailure(kExitNotPaired, "The token \"" + token->name() + "\" rejected the session key: it is not paired with this key.");
}

void TokenSession::disconnect(const std::shared_ptr<VexaToken>& token) {
    if (events_->disconnected(token.get())) return;
    manager_->disconnectFromToken(token);
    if (!waitFor([&] { return events_->disconnected(token.get()); }, kDisconnectTime))
        throw toolFailure(kExitTimedOut, "The token did not confirm the disconnection within " + secondsText(kDisconnectTime) + ".");
}

TokenReply TokenSession::call(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start,
                              unsigned commands) {
    if (!tidying_ && interrupted()) throw interruptedFailure();
    return waitForAnswer(token, kind, start, commands, settings_.replyTimeout * std::max(commands, 1u) + kReplyGrace);
}

TokenReply TokenSession::tidyUp(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start) {
    const bool wasTidying = std::exchange(tidying_, true);
    struct Restore {
        bool& flag;
        bool value;
        ~Restore() { flag = value; }
    } restore{tidying_, wasTidying};
    return waitForAnswer(token, kind, start, 1, interrupted() ? kTidyTime : settings_.replyTimeout + kReplyGrace);
}

void TokenSession::settle(const std::shared_ptr<VexaToken>& token, unsigned commands) {
    tidying_ = true;
    const Duration deadline = dueTime(environment_.loop().now(), kSettleTime);
    // A single command is the one on the link, and its answer is worth the wait; an operation of
    // several commands is cancelled at once (its command on the link finishes unanswered).
    if (commands <= 1) waitFor([&] { return replies_->reply().has_value() || !token->isConnected(); }, kSettleTime);
    token->cancelAll();
    const Duration now = environment_.loop().now();
    waitFor([&] { return !token->isConnected() || !token->pimpl()->waitReply(); }, deadline > now ? deadline - now : Duration::zero());
    tidying_ = false;
}

TokenReply TokenSession::waitForAnswer(const std::shared_ptr<VexaToken>& token, ReplyKind kind,
                                       const std::function<void(VexaToken&)>& start, unsigned commands, Duration bound) {
    if (!token->isConnected()) throw toolFailure(kExitFailed, "The token is not connected.");
    replies_->expect(kind);
    start(*token);
    waitFor([&] { return replies_->reply().has_value() || !token->isConnected(); }, bound);
    if (!replies_->reply() && !tidying_ && interrupted()) settle(token, commands);
    // A lost link fails the waiting command; let that answer arrive before judging.
    if (!replies_->reply()) environment_.loop().runUntilIdle();
    if (auto reply = replies_->reply()) {
        replies_->clear();
        if (isCancellation(reply->error)) throw interruptedFailure();
        return *reply;
    }
    replies_->clear();
    if (!tidying_ && interrupted()) throw interruptedFailure();
    if (!token->isConnected()) throw toolFailure(kExitFailed, "The connection to the token was lost before it answered.");
    throw toolFailure(kExitTimedOut, "The token did not answer within " + secondsText(bound) + ".");
}

TokenReply TokenSession::require(const std::shared_ptr<VexaToken>& token, ReplyKind kind, const std::function<void(VexaToken&)>& start,
                                 unsigned commands) {
    TokenReply reply = call(token, kind, start, commands);
    if (reply.error) throw libraryFailure(*reply.error);
    return reply;
}

}  // namespace vexa::tool
