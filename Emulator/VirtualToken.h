#pragma once
// A virtual security token on the simulated Bluetooth LE radio: the device side of the token
// protocol, for tests, demos and benchmarks without hardware.
//
// Creating one
//     test::VirtualMainLoop loop;                       // or any main queue (see MainQueue.h)
//     auto radio = SimulatedRadio::create();
//     setBleBackend(std::make_shared<SimulatedBackend>(radio), loop.loop);
//     VirtualTokenConfig config;                        // every field has a default
//     config.name = "Token A";
//     config.key = keyFromPassword("1234", config.name);  // or leave absent: no key
//     auto token = VirtualToken::create(radio, config); // advertising at once
// Keep the returned object alive as long as the token should answer; create it, and call it, on
// the main queue's thread. VirtualToken::attach() installs the token on a peripheral you made.
//
// What it offers
// - Advertises its name and the token service a63928c5-f337-4181-9412-09b8a6d8826f, which holds
//   the write characteristic 563e2883-5c3a-41da-8e02-15640ae703e6 (write with response) and the
//   notify characteristic 5609a734-12c2-49e9-9edd-6eba3fdedc92.
// - Joins the frames written to it into packages, answers each package with one reply package
//   whose code byte repeats the request's, and notifies the reply frame by frame. Frames that
//   break the order, or overrun the announced length, are discarded up to the next first frame
//   and counted in frameErrorCount(). A package that fails to parse is answered with status 9
//   (status 10 while the session is locked, see below).
// - Session key. With a key (config.key, setKey, setPassword) a connection starts locked: every
//   command but 0x65 is answered with status 10. Command 0x65 (always in plain text) carries
//   the MD5 of the host's key string; if it equals MD5Data(key) the session is encrypted from the
//   next package on (AES-256 with the key string, both directions), otherwise it stays locked and the
//   answer is status 10. Without a key the token accepts any hash and talks in plain text.
//   A plain-text 0x65 is recognised also in an encrypted session, and synchronises again.
// - The command set, its payloads and its statuses are those of VirtualTokenDevice.h; the clock
//   runs on the main queue's clock. Command 0x40 answers, then drops the link and takes the
//   token off the radio until powerOn(); powerOff() does the same without a command (the
//   button). A dropped link closes open files, ends listings and selects storage 0 again.
// - Paired hosts: an accepted 0x65 from a host name not yet recorded creates "device<N>" (lowest
//   free N) holding VirtualVariableStore::hostAddress(name) + name.
// - Fault switches (faults(), or the shortcuts below), per command code or for every command,
//   for the next `times` commands or until cleared: answer status X; never answer; answer late
//   (on the main queue's clock); answer with a wrong CRC, an empty payload, or frames out of
//   order. Link-level faults (failed writes, lost or corrupted notifications, refused
//   connections) are the radio's: peripheral()->faults().
// - Inspection: receivedPackages() lists the packages as the token saw them (decrypted when the
//   session is encrypted), sentReplies() the reply packages before encryption, the latest
//   setRecordLimit() of each (4096 by default); the raw frames in both directions reach the
//   radio's traffic observer (SimulatedRadio::setTrafficObserver).
//   device() gives the whole device state: files, variables, clock, secure element.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedRadio.h"
#include "Backends/Simulated/VirtualPeripheral.h"
#include "Emulator/VirtualTokenConfig.h"
#include "Emulator/VirtualTokenDevice.h"
#include "Emulator/VirtualTokenFaults.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

inline constexpr char kVirtualTokenServiceUUID[] = "a63928c5-f337-4181-9412-09b8a6d8826f";
inline constexpr char kVirtualTokenWriteUUID[] = "563e2883-5c3a-41da-8e02-15640ae703e6";
inline constexpr char kVirtualTokenNotifyUUID[] = "5609a734-12c2-49e9-9edd-6eba3fdedc92";

class VirtualToken : public std::enable_shared_from_this<VirtualToken> {
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

    /// A token on a new peripheral (config's name, identifier and RSSI) added to `radio`.
    static std::shared_ptr<VirtualToken> create(const std::shared_ptr<SimulatedRadio>& radio, VirtualTokenConfig config = {});
    /// A token on `peripheral`: adds the token service and takes over its handlers and advertising.
    static std::shared_ptr<VirtualToken> attach(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config = {});

    const std::shared_ptr<VirtualPeripheral>& peripheral() const { return peripheral_; }
    VirtualTokenDevice& device() { return device_; }
    const std::string& identifier() const { return peripheral_->identifier(); }

    // ---- Key ----
    void setKey(std::optional<std::string> key) { device_.setKey(std::move(key)); }
    /// The key a host derives from `password` for this token's name.
    void setPassword(std::string_view password) { device_.setPassword(password); }
    Session session() const { return session_; }

    // ---- Power ----
    bool isPoweredOn() const { return device_.isPoweredOn(); }
    /// Switches the token on again after 0x40 or powerOff() (back on its radio, advertising).
    void powerOn();
    /// Switches the token off as its button would: the link drops and it leaves its radio.
    void powerOff();

    // ---- Fault switches ----
    VirtualTokenFaults& faults() { return faults_; }
    /// `command` absent means every command; `times` negative means until clearFaults().
    void replyStatus(std::optional<uint8_t> command, uint8_t status, int times = -1);
    void ignoreCommand(std::optional<uint8_t> command, int times = -1);
    void delayReplies(std::optional<uint8_t> command, Duration delay, int times = -1);
    void corruptReplies(std::optional<uint8_t> command, int times = -1);
    void sendEmptyReplies(std::optional<uint8_t> command, int times = -1);
    void reorderReplyFrames(std::optional<uint8_t> command, int times = -1);
    void clearFaults() { faults_.clear(); }

    // ---- Inspection ----
    static constexpr size_t kDefaultRecordLimit = 4096;
    /// The latest packages received, oldest first.
    const std::deque<ReceivedPackage>& receivedPackages() const { return received_; }
    /// The latest reply packages as built, before encryption (faults included).
    const std::deque<Bytes>& sentReplies() const { return replies_; }
    /// How many packages and replies are kept (the oldest go first); 0 keeps none. Long runs
    /// (benchmarks, demos) stay bounded in memory.
    void setRecordLimit(size_t limit);
    /// Frames discarded for a wrong index or length.
    size_t frameErrorCount() const { return frameErrors_; }
    void clearRecords();

    VirtualToken(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue);

private:
    void install();
    void connected();
    void disconnected();
    void receiveFrame(const Bytes& frame);
    void handlePackage(const Bytes& raw);
    void answer(uint8_t code, ByteView payload, bool plainReply);
    void sendReply(uint8_t code, const Bytes& payload, const VirtualTokenFaultPlan& plan, bool encrypt, bool thenPowerOff);
    void notifyFrames(const std::vector<Bytes>& frames, bool thenPowerOff);
    void powerOffNow();

    std::shared_ptr<VirtualPeripheral> peripheral_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<VirtualCharacteristic> notifyCharacteristic_;
    std::weak_ptr<SimulatedRadio> radio_;
    VirtualTokenDevice device_;
    VirtualTokenFaults faults_;
    BleSocketFormat joiner_;
    Session session_ = Session::Open;
    std::string sessionKey_;
    uint64_t connection_ = 0;  // changes at every connect and disconnect; stale delayed replies are dropped
    void record(ReceivedPackage package);
    void recordReply(const Bytes& package);

    size_t recordLimit_ = kDefaultRecordLimit;
    std::deque<ReceivedPackage> received_;
    std::deque<Bytes> replies_;
    size_t frameErrors_ = 0;
};

}  // namespace vexa
