#pragma once
// The virtual token on the air: its protocol end (VirtualTokenEndpoint) served through BlueZ as a
// Bluetooth LE peripheral (BlueZGattServer). The endpoint runs on the queue given (the program's
// main loop); the server's D-Bus work on a thread of its own.
//
// - A central's session starts with its first write and ends when its link drops: open files and
//   listings close, half-joined frames and late replies are dropped.
// - Reply frames go out as notifications of at most the link's MTU - 3 bytes (140 at most): BlueZ
//   cuts a longer notification, and notifications cannot be long. The MTU is the one BlueZ passes
//   with each write; without it the emulator assumes the minimum, 23 (20-byte frames).
// - Switching the token off (command 0x40) drops the link; the token is on again for the next
//   central.
#include <sdbus-c++/IConnection.h>

#include <memory>
#include <string>
#include <vector>

#include "Backends/BlueZ/BlueZGattServer.h"
#include "Emulator/VirtualTokenEndpoint.h"

namespace vexa {

struct EmulatorSettings {
    VirtualTokenConfig config;
    BlueZOptions options;  // the adapter
    std::vector<VirtualTokenFaultRule> faults;
};

/// What the emulator tells its owner, on the endpoint's queue.
class EmulatorEvents {
public:
    virtual ~EmulatorEvents() = default;
    virtual void advertising(const std::string& adapter) { (void)adapter; }
    /// The emulator cannot go on (see BlueZGattServerListener::serverFailed).
    virtual void failed(const Error& error) { (void)error; }
    virtual void linkChanged(const std::string& address, bool connected) { (void)address, (void)connected; }
    /// A central's session began or ended (after its state was reset).
    virtual void sessionChanged(const std::string& address, bool started) { (void)address, (void)started; }
    virtual void refused(const std::string& address) { (void)address; }
    virtual void received(const VirtualTokenEndpoint::ReceivedPackage& command) { (void)command; }
    virtual void replied(const Bytes& package) { (void)package; }
    /// A frame the host wrote (`fromHost`) or one notified to it.
    virtual void frame(const Bytes& bytes, bool fromHost) { (void)bytes, (void)fromHost; }
    virtual void switchedOff() {}
};

class TokenEmulator final : public BlueZGattServerListener, public std::enable_shared_from_this<TokenEmulator> {
public:
    /// Made on `queue`'s thread; serves through `connection` (the system bus, or a test bus).
    static std::shared_ptr<TokenEmulator> create(EmulatorSettings settings, std::unique_ptr<sdbus::IConnection> connection,
                                                 std::shared_ptr<DispatchQueue> queue, std::weak_ptr<EmulatorEvents> events);
    TokenEmulator(EmulatorSettings settings, std::shared_ptr<DispatchQueue> queue, std::weak_ptr<EmulatorEvents> events);
    ~TokenEmulator() override;

    /// Registers the application and the advertisement; advertising() or failed() follows.
    void start();
    /// Drops the current central's link (the token's side closes it).
    void disconnectCentral();
    /// Disconnects, withdraws the advertisement and the application; nothing is reported afterwards.
    void stop();

    /// The protocol end: device state, faults, records. On the queue's thread only.
    VirtualTokenEndpoint& endpoint() { return *endpoint_; }

    // BlueZGattServerListener
    void serverStarted(const std::string& adapter) override;
    void serverFailed(const Error& error) override;
    void linkChanged(const std::string& address, bool connected) override;
    void centralStarted(const std::string& address) override;
    void centralEnded(const std::string& address) override;
    void valueWritten(const Bytes& value, uint16_t mtu) override;
    void writeRefused(const std::string& address) override;
    void notifyingChanged(bool on) override { notifying_ = on; }

private:
    std::shared_ptr<EmulatorEvents> events() const { return events_.lock(); }

    EmulatorSettings settings_;
    std::shared_ptr<DispatchQueue> queue_;
    std::weak_ptr<EmulatorEvents> events_;
    std::shared_ptr<VirtualTokenEndpoint> endpoint_;
    std::unique_ptr<BlueZGattServer> server_;
    bool session_ = false;
    bool notifying_ = false;
};

}  // namespace vexa
