#pragma once
// The virtual token's protocol end, independent of the link that carries its frames: joins the
// frames written to it into packages, checks the session key, decrypts, runs the command on the
// device, applies the fault switches, and hands the reply frames to its frame sink. It keeps the
// records the tests inspect. VirtualToken puts it on a simulated peripheral; any other transport
// (a fake BlueZ device, for instance) only has to call connected(), receiveFrame() and
// disconnected() and to carry the frames it sends.
//
// Runs on the queue it was made with (the main queue); every call must come from there.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Emulator/VirtualTokenConfig.h"
#include "Emulator/VirtualTokenDevice.h"
#include "Emulator/VirtualTokenFaults.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

class VirtualTokenEndpoint : public std::enable_shared_from_this<VirtualTokenEndpoint> {
public:
    /// The state of the current connection's session.
    enum class Session {
        Open,       // no key: plain text, every command accepted
        Locked,     // key set, not (or not successfully) synchronised: only 0x65 is served
        Encrypted,  // synchronised with the key: AES both ways
    };

    /// One package the token received.
    struct ReceivedPackage {
        uint8_t code = 0;     // 0 when the package did not parse
        Bytes payload;
        bool encrypted = false;  // it arrived encrypted and was decrypted
        bool valid = true;       // it parsed (length and CRC)
        Bytes package;           // the whole package as parsed (after decryption)
    };

    /// Sends one reply frame; false stops the rest of that reply (the link is gone). The sink may
    /// take the frame's buffer, leaving an empty one (a spare, if it has one) for the next frame.
    using FrameSink = std::function<bool(Bytes& frame)>;
    /// How long the link needs to deliver `frames` notifications queued now.
    using DrainTime = std::function<Duration(size_t frames)>;
    /// Drops the link and stops advertising: the token was switched off.
    using PowerOffHandler = std::function<void()>;

    static std::shared_ptr<VirtualTokenEndpoint> create(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue);
    VirtualTokenEndpoint(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue);

    /// Watches the traffic as the records see it: each package received (also one that did not
    /// parse) and each reply package as built, before encryption, faults applied (a swallowed
    /// command has none). Called on the endpoint's queue.
    struct Observer {
        std::function<void(const ReceivedPackage&)> received;
        std::function<void(const Bytes& reply)> replied;
    };

    void setFrameSink(FrameSink sink) { sink_ = std::move(sink); }
    void setObserver(Observer observer) { observer_ = std::move(observer); }
    /// Reply frames are at most `length` bytes (4 to 140; 140 by default), for a link that carries
    /// less at a time; the device's replies are kept short enough for 256 such frames.
    void setMaxFrameLength(size_t length);
    void setDrainTime(DrainTime drain) { drain_ = std::move(drain); }
    void setPowerOffHandler(PowerOffHandler handler) { powerOff_ = std::move(handler); }

    // ---- Transport events ----
    /// A host connected: a new session starts (locked when the token has a key).
    void connected();
    /// The link dropped: the session ends; open files and listings close.
    void disconnected();
    /// One frame written by the host.
    void receiveFrame(const Bytes& frame);

    VirtualTokenDevice& device() { return device_; }
    Session session() const { return session_; }
    VirtualTokenFaults& faults() { return faults_; }
    /// Switches the token off as its button would (the power-off handler drops the link).
    void powerOff();

    // ---- Inspection ----
    static constexpr size_t kDefaultRecordLimit = 4096;
    const std::deque<ReceivedPackage>& receivedPackages() const { return received_; }
    const std::deque<Bytes>& sentReplies() const { return replies_; }
    void setRecordLimit(size_t limit);
    size_t frameErrorCount() const { return frameErrors_; }
    void clearRecords();

private:
    void resetSession();
    void handlePackage(const Bytes& raw);
    void sendReply(uint8_t code, Bytes payload, const VirtualTokenFaultPlan& plan, bool encrypt, bool thenPowerOff);
    // The reply's frames straight to the sink, built one at a time (no fault, delay or power-off).
    void sendFrames(ByteView package);
    void notifyFrames(std::vector<Bytes> frames, bool thenPowerOff);
    void powerOffNow();
    void record(ReceivedPackage package);
    void recordReply(const Bytes& package);

    std::shared_ptr<DispatchQueue> queue_;
    VirtualTokenDevice device_;
    VirtualTokenFaults faults_;
    BleSocketFormat joiner_;
    Session session_ = Session::Open;
    std::string sessionKey_;
    Bytes plainBuffer_;  // the buffer packages are decrypted into, reused
    uint64_t connection_ = 0;  // changes at every connect and disconnect; stale delayed replies are dropped
    FrameSink sink_;
    Observer observer_;
    size_t maxFrameLength_ = BleSocketFormat::kMaxFrameSize;
    DrainTime drain_;
    PowerOffHandler powerOff_;

    size_t recordLimit_ = kDefaultRecordLimit;
    std::deque<ReceivedPackage> received_;
    std::deque<Bytes> replies_;
    size_t frameErrors_ = 0;
};

}  // namespace vexa
