// Finds a token, connects with a key and prints the token's serial number, through the public
// interface. It runs on the simulated Bluetooth LE stack with a virtual token, so it works on any
// machine; on real hardware only the lines marked "simulated" change (choose a real backend).
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaTokenKit.h"

using namespace std::chrono_literals;

// Receives the manager's and the token's events; every call comes on the main queue.
class Reader final : public vexa::VexaTokenManagerDelegate, public vexa::VexaTokenDelegate {
public:
    using Token = std::shared_ptr<vexa::VexaToken>;
    void tokenManagerDidDiscoverTokens(const Manager&, const vexa::VexaTokenList& tokens) override {
        if (!found) found = tokens.front();
    }
    void tokenManagerDidConnectToToken(const Manager&, const Token&) override { connected = true; }
    void tokenManagerDidFailToConnectToToken(const Manager&, const Token&, const vexa::Error& e) override { error = e; }
    void tokenIsNotPaired(const Token&) override { notPaired = true; }
    void tokenDidGetSerial(const Token&, int32_t number, const vexa::OptError& e) override {
        serial = number;
        error = e;
        answered = true;
    }

    std::shared_ptr<vexa::VexaToken> found;
    bool connected = false, notPaired = false, answered = false;
    int32_t serial = 0;
    vexa::OptError error;
};

int main() {
    // The main queue: this program drives the library's default run loop itself.
    const auto loop = vexa::defaultRunLoop();

    // simulated: a radio with one virtual token that holds the key for the password "1234".
    const auto radio = vexa::SimulatedRadio::create();
    vexa::setBleBackend(std::make_shared<vexa::SimulatedBackend>(radio), loop);
    vexa::VirtualTokenConfig config;
    config.name = "Token A";
    config.serial = "24000017";
    config.key = vexa::keyFromPassword("1234", config.name);
    const auto device = vexa::VirtualToken::create(radio, config);

    const auto reader = std::make_shared<Reader>();
    const auto manager = vexa::VexaTokenManager::create();
    manager->setDelegate(reader);

    // Every wait is bounded: scan, connection, reply.
    manager->startScanning();
    const bool found = loop->runUntil([&] { return reader->found != nullptr; }, 5s);
    manager->stopScanning();
    if (!found) {
        std::fprintf(stderr, "no token found\n");
        return 3;
    }

    const auto token = reader->found;
    vexa::VexaTokenEncryptContainer::sharedInstance().setKey(*token, "1234");
    token->setDelegate(reader);
    manager->connectToToken(token);
    loop->runUntil([&] { return reader->connected || reader->error; }, 15s);
    loop->runUntilIdle();  // a rejected key is told right after the connection
    if (!reader->connected || reader->notPaired) {
        const std::string why = reader->notPaired ? "key rejected" : reader->error ? reader->error->description() : "time-out";
        std::fprintf(stderr, "could not connect: %s\n", why.c_str());
        return 4;
    }

    token->getSerial();
    loop->runUntil([&] { return reader->answered; }, 35s);
    const bool ok = reader->answered && !reader->error;
    if (ok)
        std::printf("%s: serial number %d\n", token->name().c_str(), static_cast<int>(reader->serial));
    else
        std::fprintf(stderr, "no serial number: %s\n", reader->error ? reader->error->description().c_str() : "time-out");

    manager->disconnectFromToken(token);
    loop->runUntil([&] { return !token->isConnected(); }, 5s);
    loop->runUntilIdle();
    return ok ? 0 : 5;
}
