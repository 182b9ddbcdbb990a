#pragma once
// What the application hears from a token manager. Every method does nothing unless overridden
// (tokenManagerRequireSyncSKMethod then answers 0). All calls come on the main queue; the manager
// holds its delegate weakly.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Error.h"

namespace vexa {

class VexaToken;
class VexaTokenManager;

using VexaTokenList = std::vector<std::shared_ptr<VexaToken>>;

class VexaTokenManagerDelegate {
public:
    using Manager = std::shared_ptr<VexaTokenManager>;
    using Token = std::shared_ptr<VexaToken>;
    virtual ~VexaTokenManagerDelegate() = default;

    /// A scan added a token; `tokens` is the whole list so far, a snapshot that never changes.
    virtual void tokenManagerDidDiscoverTokens(const Manager& manager, const VexaTokenList& tokens) { (void)manager, (void)tokens; }
    /// The token is connected and its session key synchronised (or rejected, see tokenIsNotPaired).
    virtual void tokenManagerDidConnectToToken(const Manager& manager, const Token& token) { (void)manager, (void)token; }
    /// A connection attempt failed; `error` is the session's.
    virtual void tokenManagerDidFailToConnectToToken(const Manager& manager, const Token& token, const Error& error) {
        (void)manager, (void)token, (void)error;
    }
    /// The connected token rejected the session key; comes on a later turn of the main queue than
    /// tokenManagerDidConnectToToken.
    virtual void tokenIsNotPaired(const Token& token) { (void)token; }
    virtual void tokenManagerDidDisconnectFromToken(const Manager& manager, const Token& token) { (void)manager, (void)token; }
    /// The key-synchronisation mode sent to the token at each connection; 0 unless overridden.
    virtual uint8_t tokenManagerRequireSyncSKMethod(const Manager& manager, const Token& token) {
        (void)manager, (void)token;
        return 0;
    }
    /// startScanning is waiting because Bluetooth is off, not authorised or unsupported; `reason`
    /// is the central's text. Told once per startScanning.
    virtual void tokenManagerCentralNotReady(const Manager& manager, const std::string& reason) { (void)manager, (void)reason; }
};

}  // namespace vexa
