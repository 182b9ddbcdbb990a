#pragma once
// The protocol session with one token: a first-in-first-out command queue with one command
// waiting for its reply at a time, the send and reply paths over the token's two
// characteristics, the connection set-up with the session-key synchronisation, and every
// device command. Everything runs on the main queue. Sessions are made by create(...) because
// the Bluetooth LE completions reach them through weak references.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"
#include "LumoTokenSDK/LumoToken/LumoFrameObserver.h"
#include "LumoTokenSDK/LumoToken/LumoReplyGuard.h"
#include "LumoTokenSDK/LumoToken/LumoTokenDelegate.h"
#include "Platform/BlePlatform.h"
#include "Platform/Bytes.h"
#include "Platform/Clock.h"
#include "Platform/DispatchQueue.h"
#include "Platform/Error.h"

namespace vexa {

class BleSocketFormat;
class LumoCharacteristic;
class LumoPeripheral;
class LumoPieceSource;
class LumoService;
struct Notification;

/// The token's Bluetooth LE profile, in the lower-case text form the link layer reports.
inline constexpr const char* kLumoTokenServiceUUID = "a63928c5-f337-4181-9412-09b8a6d8826f";
inline constexpr const char* kLumoTokenWriteCharacteristicUUID = "563e2883-5c3a-41da-8e02-15640ae703e6";
inline constexpr const char* kLumoTokenNotifyCharacteristicUUID = "5609a734-12c2-49e9-9edd-6eba3fdedc92";

/// Keys of a directory entry.
inline constexpr const char* kFSFileSize = "FSFileSize";
inline constexpr const char* kFSDateCreate = "FSDateCreate";
inline constexpr const char* kFSAttributes = "FSAttributes";
inline constexpr const char* kFSName = "FSName";

/// Largest package that fits into 256 frames (137 + 255 * 139 bytes).
inline constexpr size_t kLumoMaxPackageLength = 35582;
/// File data is written in pieces of this many bytes, one command each.
inline constexpr uint64_t kLumoFileWritePieceSize = 2048;
/// Default time a written command waits for its reply.
inline constexpr Duration kLumoDefaultReplyTimeout = std::chrono::seconds(30);

/// Command codes of the token protocol.
enum LumoTokenCommandCode : uint8_t {
    kCmdSynDateTime = 0x10,
    kCmdSendAPDU = 0x15,
    kCmdGetFirmwareVersion = 0x20,
    kCmdGetHardwareVersion = 0x25,
    kCmdGetSerial = 0x30,
    kCmdGetBatteryLevel = 0x35,
    kCmdPowerOff = 0x40,
    kCmdPowerSecureElementOn = 0x45,
    kCmdPowerSecureElementOff = 0x50,
    kCmdSetCommunicationProtocol = 0x55,
    kCmdWriteEnvironmentVariable = 0x60,  // also removes, with a payload of the name only
    kCmdSyncSessionKey = 0x65,
    kCmdOpenFile = 0x70,
    kCmdCloseFile = 0x75,
    kCmdReadFile = 0x80,
    kCmdWriteFile = 0x85,
    kCmdRemoveFile = 0x90,
    kCmdOpenDir = 0x95,
    kCmdGetDirItem = 0xA0,
    kCmdSelectStorage = 0xA5,
    kCmdReadEnvironmentVariable = 0xB0,
};

class LumoToken : public std::enable_shared_from_this<LumoToken> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    using ErrorCallback = std::function<void(const OptError& error)>;
    using SerialCallback = std::function<void(const std::string& serial, const OptError& error)>;
    using VersionCallback = std::function<void(const std::optional<std::string>& version, const OptError& error)>;
    using ByteValueCallback = std::function<void(uint8_t value, const OptError& error)>;
    using DataCallback = std::function<void(const std::optional<Bytes>& data, const OptError& error)>;
    using DirEntry = std::map<std::string, std::string>;
    using DirItemCallback = std::function<void(const std::optional<DirEntry>& entry, const OptError& error)>;
    using VariableCallback = std::function<void(const std::optional<std::string>& name,
                                                const std::optional<std::string>& value, const OptError& error)>;

    /// A session on `peripheral` (or none), no delegate, empty queue, both flags clear.
    static std::shared_ptr<LumoToken> create(std::shared_ptr<LumoPeripheral> peripheral = nullptr);
    /// A session without a peripheral whose delegate is `delegate`.
    static std::shared_ptr<LumoToken> createWithDelegate(std::shared_ptr<LumoTokenDelegate> delegate);

    LumoToken(Passkey, std::shared_ptr<LumoPeripheral> peripheral);
    ~LumoToken();
    LumoToken(const LumoToken&) = delete;
    LumoToken& operator=(const LumoToken&) = delete;

    // ---- accessors -------------------------------------------------------------------------
    /// Held strongly while a session runs; let go when the set-up fails or the link is lost.
    std::shared_ptr<LumoTokenDelegate> delegate() const { return delegate_; }
    void setDelegate(std::shared_ptr<LumoTokenDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<LumoPeripheral> getPeripheral() const { return peripheral_; }
    std::shared_ptr<LumoCharacteristic> wCharacterisric() const { return wCharacterisric_; }
    void setWCharacterisric(std::shared_ptr<LumoCharacteristic> c) { wCharacterisric_ = std::move(c); }
    std::shared_ptr<LumoCharacteristic> rCharacteristic() const { return rCharacteristic_; }
    void setRCharacteristic(std::shared_ptr<LumoCharacteristic> c) { rCharacteristic_ = std::move(c); }
    std::shared_ptr<BleSocketFormat> protocolData() const { return protocolData_; }
    void setProtocolData(std::shared_ptr<BleSocketFormat> p) { protocolData_ = std::move(p); }
    /// The handler of the command written last, until its reply (or error) has been delivered.
    LumoReplyHandler receivedDataBlock() const { return receivedDataBlock_; }
    void setReceivedDataBlock(LumoReplyHandler handler) { receivedDataBlock_ = std::move(handler); }
    /// Commands built but not yet written, oldest first.
    const std::deque<std::shared_ptr<LumoCommandContainer>>& queue() const { return queue_; }
    void setQueue(std::deque<std::shared_ptr<LumoCommandContainer>> q) { queue_ = std::move(q); }
    /// The key-synchronisation mode sent with the last synchronisation.
    uint8_t _syncModeSK() const { return syncModeSK_; }
    void set_syncModeSK(uint8_t mode) { syncModeSK_ = mode; }
    /// Set from the synchronisation reply on: packages then pass through the delegate's ciphers.
    bool needEncryptFlag() const { return m_needEncryptFlag; }
    /// True while a written command waits for its reply.
    bool waitReply() const { return m_waitReply; }
    /// How long a written command waits for its reply before it fails with code 4 and the link is
    /// dropped; zero turns the time-out off. Applies to commands written afterwards.
    Duration replyTimeout() const { return replyTimeout_; }
    void setReplyTimeout(Duration timeout) { replyTimeout_ = timeout; }
    /// Sees every frame and package of this session (see LumoFrameObserver); null: none (default).
    const std::shared_ptr<LumoFrameObserver>& frameObserver() const { return frameObserver_; }
    void setFrameObserver(std::shared_ptr<LumoFrameObserver> observer) { frameObserver_ = std::move(observer); }

    // ---- command engine --------------------------------------------------------------------
    /// Builds, encrypts (once synchronised) and queues one command; writes it when no other
    /// command waits. Dropped without a call of `handler` when the token is not connected or its
    /// characteristics are not known yet. A cipher failure or a missing cipher (code 6) or a
    /// package too long for the frames (code 5) is reported to `handler` before this returns, and
    /// nothing is queued. A queued command keeps the session alive until it is answered.
    void sendPackageWithResult(uint8_t code, const Bytes& data, LumoReplyHandler handler);
    /// Error for a non-zero reply status: code status | 0xFF00 in the token domain.
    Error makeErrorExtendWithReplyStatus(int64_t status) const;
    /// `error` with its code replaced (domain and message kept); nothing for nothing.
    static OptError decodeError(const OptError& error, int64_t code);
    /// Sends a series of commands whose pieces `source` builds one at a time, when the engine is
    /// about to write each: the first at once (its failure is reported as for a single command),
    /// the rest in order ahead of any command issued later. Dropped like a single command when
    /// the token is not connected.
    void sendPieces(std::shared_ptr<LumoPieceSource> source);
    void pushPackageWithCallback(Bytes package, LumoReplyHandler handler);
    /// Removes and returns the oldest queued command, or null.
    std::shared_ptr<LumoCommandContainer> popPackageWithCallback();
    /// Writes the oldest queued command, or marks the engine idle when there is none.
    void pushCommand();
    /// Every notified value of the notify characteristic arrives here (the error is ignored).
    void notyReceivedData(const std::optional<Bytes>& value, const OptError& error);

    // ---- cancellation ----------------------------------------------------------------------
    /// A new operation number (never 0) to tag commands with, for cancelOperation.
    uint64_t newOperation() { return ++lastOperation_; }
    /// While one lives, the commands sent on this session belong to `operation` (0: to none).
    /// A command sent from a reply handler belongs to the operation of the command answered.
    class OperationScope {
    public:
        OperationScope(LumoToken& token, uint64_t operation) : token_(token), saved_(std::exchange(token.currentOperation_, operation)) {}
        ~OperationScope() { token_.currentOperation_ = saved_; }
        OperationScope(const OperationScope&) = delete;
        OperationScope& operator=(const OperationScope&) = delete;

    private:
        LumoToken& token_;
        uint64_t saved_;
    };
    /// Fails every command of `operation` not answered yet with code 7 "The operation was
    /// cancelled.", before this returns: its queued commands are never written; one already on
    /// the link is let finish and its reply is dropped. Later commands run as usual.
    void cancelOperation(uint64_t operation);
    /// The same for every command of the session that is queued or on the link, except the
    /// set-up's own synchronisation.
    void cancelAllCommands();

    // ---- connection set-up -----------------------------------------------------------------
    /// The scan filter: one UUID, the token service. The same list on every call.
    static const std::vector<BleUUID>& UUIDServices();
    /// Runs the set-up on the session's peripheral; without one, ends the session at once.
    void discover();
    /// Connects, finds the service and characteristics, subscribes and synchronises the session
    /// key; the outcome arrives as the delegate's didConnect.
    void discoverWithPeripheral(std::shared_ptr<LumoPeripheral> peripheral);
    /// Sends the unencrypted synchronisation command (hash, mode, host name); `completion` gets
    /// its outcome. Nothing happens without a delegate.
    void syncSessionKey(ErrorCallback completion);
    /// Ends a set-up: the engine goes idle with an empty queue, then the delegate hears didConnect.
    void notyConnected(const OptError& error);
    /// Handles the own peripheral's "LumoPeripheralDidDisconnect" notification.
    void notyDisconnected(const Notification& notification);
    /// True while the token has a peripheral that reports itself connected.
    bool isConnected() const;
    /// The peripheral's name, or "Unknown".
    std::string name() const;
    /// The peripheral's identifier text, or nothing without a peripheral.
    std::optional<std::string> uuidString() const;
    /// The peripheral's last recorded signal strength, or 0.
    int64_t rssi() const;

    // ---- device information, power and APDU ------------------------------------------------
    void synDateTime(ErrorCallback result);
    void sendAPDU(const Bytes& apdu, DataCallback result);
    void getSerial(SerialCallback result);
    void getBatteryLevel(ByteValueCallback result);
    void getFirmwareVersion(VersionCallback result);
    void getHardwareVersion(VersionCallback result);
    void powerOff(ErrorCallback result);
    void powerSecureElementOn(DataCallback result);
    void powerSecureElementOff(ErrorCallback result);
    void setCommunicationProtocol(uint8_t protocol, ErrorCallback result);

    // ---- files and storage -----------------------------------------------------------------
    void openFile(const std::string& path, uint8_t mode, ByteValueCallback result);
    void closeFile(uint8_t handle, ErrorCallback result);
    void readFile(uint8_t handle, uint16_t countByRead, DataCallback result);
    /// Sends the data in pieces of 2048 bytes, built one at a time from one copy of the data;
    /// reports success once after the last piece, or the first failure once, after which none of
    /// the remaining pieces is sent.
    void writeToFile(uint8_t handle, ByteView data, ErrorCallback result);
    void removeFile(const std::string& path, ErrorCallback result);
    void openDir(const std::string& path, ErrorCallback result);
    /// The next entry of the open directory; no entry and no error at the end of the listing.
    void getDirItem(DirItemCallback result);
    void selectStorage(uint8_t storage, ErrorCallback result);
    /// Consecutive pieces of `blockSize` bytes (the last one shorter); one empty piece for empty data.
    static std::vector<ByteView> split(ByteView data, uint64_t blockSize);

    // ---- environment variables -------------------------------------------------------------
    /// On success the callback gets the name as given and the value (none if not UTF-8).
    void readEnvironmentVariable(const std::string& name, VariableCallback result);
    void writeEnvironmentVariable(const std::string& name, const std::string& value, ErrorCallback result);
    void removeEnvironmentVariable(const std::string& name, ErrorCallback result);

private:
    // engine
    bool canSend() const;
    /// The command's package, encrypted when the session is; null once its handler heard why not.
    std::shared_ptr<LumoCommandContainer> buildCommand(uint8_t code, const Bytes& data, LumoReplyHandler handler,
                                                       std::shared_ptr<const bool> cancelled, uint64_t operation);
    /// The same from the command's package, already built.
    std::shared_ptr<LumoCommandContainer> commandFromPackage(uint8_t code, Bytes package, LumoReplyHandler handler,
                                                             std::shared_ptr<const bool> cancelled, uint64_t operation);
    /// Takes the next command to write off the queue (the next piece of a series at its head).
    std::shared_ptr<LumoCommandContainer> nextCommand();
    void submit(uint8_t code, const Bytes& data, LumoReplyHandler handler, std::shared_ptr<const bool> cancelled,
                bool setupCommand);
    void writeCommand(const std::shared_ptr<LumoCommandContainer>& command);
    // The reply time-out of the command being written: armReplyTimer sets its deadline.
    void armReplyTimer();
    void startReplyTimer(DispatchQueue& main);
    void stopReplyTimer();
    void replyTimerFired();
    void finishCurrent(std::optional<Bytes> payload, const OptError& error);
    void frameWriteFailed(uint64_t seq, const Error& error);
    void replyTimedOut(uint64_t seq);
    void dropConnection();
    void cancelCommands(const std::function<bool(uint64_t operation)>& selected);
    void resetEngine();
    std::vector<LumoReplyHandler> takeAllCommands();
    void handleJoinedPackage(Bytes package);
    // set-up
    bool setupIsCurrent(uint64_t generation) const { return setupRunning_ && generation == setupGeneration_; }
    void setupConnected(const OptError& error);
    void setupServicesFound(const std::optional<std::vector<std::shared_ptr<LumoService>>>& services, const OptError& error);
    void setupCharacteristicsFound(const std::optional<std::vector<std::shared_ptr<LumoCharacteristic>>>& chars,
                                   const OptError& error);
    void setupSubscribed(const OptError& error);
    void observeDisconnect();
    void stopObservingDisconnect();
    bool isOwnPeripheral(const Notification& notification) const;

    bool m_needEncryptFlag = false;
    bool m_waitReply = false;
    uint8_t syncModeSK_ = 0;
    std::shared_ptr<LumoTokenDelegate> delegate_;
    std::shared_ptr<LumoPeripheral> peripheral_;
    std::shared_ptr<LumoCharacteristic> wCharacterisric_;
    std::shared_ptr<LumoCharacteristic> rCharacteristic_;
    std::shared_ptr<BleSocketFormat> protocolData_;
    LumoReplyHandler receivedDataBlock_;
    std::deque<std::shared_ptr<LumoCommandContainer>> queue_;
    std::shared_ptr<LumoFrameObserver> frameObserver_;
    Bytes frameBuffer_;      // the frame being built
    WriteBatch writeBatch_;  // the frames of the command being written

    Duration replyTimeout_ = kLumoDefaultReplyTimeout;
    DelayedCall replyTimer_;
    Duration replyTimerDue_{};  // when replyTimer_ falls due
    Duration replyDeadline_{};  // when the command written last times out
    uint64_t writtenSeq_ = 0;        // number of the command written last
    bool replyPending_ = false;      // the command written last has not been answered yet
    bool dropping_ = false;          // the session is dropping the link: nothing more is written
    std::optional<uint8_t> writtenCode_;  // code of the command written last, when known
    uint64_t writtenOperation_ = 0;       // operation of the command written last
    uint64_t currentOperation_ = 0;       // operation of the commands sent now (OperationScope)
    uint64_t lastOperation_ = 0;
    LumoReplyGuard replyGuard_;             // keeps stale frames and replies from the waiting command
    bool sessionOpen_ = false;              // the set-up succeeded and the link has not gone down since
    bool setupRunning_ = false;
    uint64_t setupGeneration_ = 0;
    bool observing_ = false;
};

}  // namespace vexa
