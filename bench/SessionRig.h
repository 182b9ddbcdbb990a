#pragma once
// Token sessions connected end to end to virtual tokens over the simulated Bluetooth LE stack, on
// a run loop with a virtual clock installed as the main queue, for the session benchmarks; and a
// file transfer that an application would run over one of them.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/LinkTiming.h"
#include "Backends/Simulated/SimulatedRadio.h"
#include "Emulator/VirtualToken.h"
#include "Emulator/VirtualTokenFileSystem.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/Clock.h"
#include "Platform/RunLoop.h"

namespace vexa::bench {

/// A 32-character key string: its bytes are the AES-256 key.
inline const std::string kSessionKey = "0123456789ABCDEF0123456789ABCDEF";

/// CPU time of the calling thread, in nanoseconds.
double threadCpuNs();

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

/// What a rig is made of: the key of every token (or none), the link model, how many tokens one
/// central drives, and the size of each token's storages.
struct RigOptions {
    std::optional<std::string> key;
    LinkTiming timing{};
    size_t tokens = 1;
    size_t storageCapacity = VirtualTokenFileSystem::kDefaultCapacity;
};

class SessionRig {
public:
    /// Installs the loop as the main queue, puts the virtual tokens on one new radio, and runs
    /// every session's set-up to its end. Check ready() afterwards.
    explicit SessionRig(RigOptions options);
    explicit SessionRig(std::optional<std::string> key, LinkTiming timing = {}) : SessionRig(RigOptions{std::move(key), timing}) {}
    /// Ends the links and returns the main queue to the default run loop.
    ~SessionRig();
    SessionRig(const SessionRig&) = delete;
    SessionRig& operator=(const SessionRig&) = delete;

    /// Every session is connected and its token accepted the key.
    bool ready() const;
    /// Runs the loop until `done` holds (checked after every task) or `timeout` of virtual time passed.
    bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::hours(1));
    /// Starts counting frames from zero (installs the radio's traffic observer).
    void countFrames();
    const FrameCount& frames() const { return *frames_; }

    Duration now() const { return clock_->now(); }
    size_t size() const { return sessions_.size(); }
    LumoToken& token(size_t i = 0) { return *sessions_.at(i).token; }
    VirtualToken& device(size_t i = 0) { return *sessions_.at(i).device; }

private:
    struct Session {
        std::shared_ptr<VirtualToken> device;
        std::shared_ptr<BenchDelegate> delegate;
        std::shared_ptr<LumoToken> token;
    };
    std::shared_ptr<VirtualClock> clock_;
    std::shared_ptr<RunLoop> loop_;
    std::shared_ptr<SimulatedRadio> radio_;
    std::shared_ptr<LumoCentralManager> central_;
    std::vector<Session> sessions_;
    std::shared_ptr<FrameCount> frames_ = std::make_shared<FrameCount>();
};

/// Bytes of a transfer: a pattern that no run of equal bytes hides.
Bytes transferData(size_t size);

/// Open `path` with `writeMode`, write the data, close, then (when asked) open, read it back in
/// pieces of 2,048 bytes and close: each step issued from the previous one's callback, as an
/// application would. Callbacks hold the transfer. Records this thread's CPU time at the start,
/// when the write's close was answered and at the end.
class Transfer : public std::enable_shared_from_this<Transfer> {
public:
    static constexpr uint16_t kReadSize = 2048;
    static constexpr char kPath[] = "/bench.bin";

    Transfer(LumoToken& token, const Bytes& data, bool readBack = true,
             uint8_t writeMode = VirtualTokenFileSystem::kOpenWrite);
    void start();
    bool done() const { return done_; }
    const OptError& error() const { return error_; }
    const Bytes& read() const { return read_; }
    /// Thread CPU time of the write (open, write, close) and of the read-back, in nanoseconds.
    double writeCpuNs() const { return writtenAt_ - startedAt_; }
    double readCpuNs() const { return doneAt_ - writtenAt_; }

private:
    void readNext(uint8_t handle);
    bool ok(const OptError& error);
    void finish();

    LumoToken& token_;
    const Bytes& data_;
    bool readBack_;
    uint8_t writeMode_;
    Bytes read_;
    size_t readSize_ = 0;
    bool done_ = false;
    OptError error_;
    double startedAt_ = 0;
    double writtenAt_ = 0;
    double doneAt_ = 0;
};

}  // namespace vexa::bench
