#pragma once
// A token session connected end to end to a virtual token over the simulated Bluetooth LE stack,
// on a run loop with a virtual clock installed as the main queue, for the session benchmarks.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Backends/Simulated/LinkTiming.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/Clock.h"
#include "Platform/RunLoop.h"

namespace vexa::bench {

/// A 32-character key string: its bytes are the AES-256 key.
inline const std::string kSessionKey = "0123456789ABCDEF0123456789ABCDEF";

/// The owner's side of a session. With a key it sends the key's MD5 and encrypts and decrypts
/// every package with AES-256; without one it leaves the ciphers alone (packages go out as built).
class BenchDelegate : public LumoTokenDelegate {
public:
    explicit BenchDelegate(std::optional<std::string> key) : key_(std::move(key)) {}
    Bytes needHashSessionKey(LumoToken& token) override;
    void didConnect(LumoToken& token, const OptError& error, bool sessionKeyNeedUpdate) override;
    void didDisconnect(LumoToken& token, const OptError& error) override;
    std::optional<Bytes> willEncryptData(LumoToken& token, const Bytes& package) override;
    std::optional<Bytes> willDecryptData(LumoToken& token, const Bytes& package) override;

    bool answered = false;     // the set-up has ended
    bool ready = false;        // ... with no error and the key accepted
    bool disconnected = false;

private:
    std::optional<std::string> key_;
};

/// Frames that crossed the link, as the radio's traffic observer counted them.
struct FrameCount {
    uint64_t written = 0;   // host -> token, writes with response
    uint64_t notified = 0;  // token -> host, notifications
    uint64_t writtenBytes = 0;
    uint64_t notifiedBytes = 0;
};

class SessionRig {
public:
    /// Installs the loop as the main queue, puts a virtual token (with `key`, or none) on a new
    /// radio with `timing`, and runs the session's set-up to its end. Check ready() afterwards.
    explicit SessionRig(std::optional<std::string> key, LinkTiming timing = {});
    /// Ends the link and returns the main queue to the default run loop.
    ~SessionRig();
    SessionRig(const SessionRig&) = delete;
    SessionRig& operator=(const SessionRig&) = delete;

    /// The session is connected and the token accepted the key.
    bool ready() const { return delegate_->ready && token_->isConnected(); }
    /// Runs the loop until `done` holds (checked after every task) or `timeout` of virtual time passed.
    bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::hours(1));
    /// Starts counting frames from zero (installs the radio's traffic observer).
    void countFrames();
    const FrameCount& frames() const { return *frames_; }

    Duration now() const { return clock_->now(); }
    LumoToken& token() { return *token_; }
    VirtualToken& device() { return *device_; }

private:
    std::shared_ptr<VirtualClock> clock_;
    std::shared_ptr<RunLoop> loop_;
    std::shared_ptr<SimulatedRadio> radio_;
    std::shared_ptr<LumoCentralManager> central_;
    std::shared_ptr<VirtualToken> device_;
    std::shared_ptr<BenchDelegate> delegate_;
    std::shared_ptr<LumoToken> token_;
    std::shared_ptr<FrameCount> frames_ = std::make_shared<FrameCount>();
};

}  // namespace vexa::bench
