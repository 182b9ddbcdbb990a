#pragma once
// The token's firmware without its radio: turns one plain command (code, payload) into the reply
// payload (status byte, then the result) and keeps the device state: clock, information, power,
// secure element, storages with open files, environment variables and paired hosts.
// VirtualToken puts it on a Bluetooth LE peripheral; tests may also drive it directly.
//
// Request payloads and replies (status 0 unless stated; 9 for a malformed payload):
//   0x10 set clock       4 bytes, seconds since 1970, big-endian
//   0x15 APDU            the command APDU -> the response APDU; 3 when the secure element is
//                        off, 8 when shorter than 4 bytes, 2 when the response cannot be carried
//   0x20 / 0x25          -> firmware / hardware version byte (hardware absent: 13)
//   0x30 serial          -> ASCII serial number (absent: 7)
//   0x35 battery         -> level byte (absent: 5)
//   0x40 power off       the token replies, then switches itself off (VirtualToken drops the link)
//   0x45 / 0x50          secure element on -> ATR / off
//   0x55 protocol        1 or 4 bytes, byte 0 the protocol (0 T=0, 1 T=1); unknown: 4
//   0x60 variable        name NUL value NUL writes, name NUL removes; failures: 12
//   0x65 key sync        see synchronise()
//   0x70 open            mode, path, NUL -> handle (1..maxOpenFiles); modes in VirtualTokenFileSystem
//   0x75 close           handle
//   0x80 read            handle, count (big-endian) -> at most min(count, maxReadSize) bytes
//   0x85 write           handle, length (big-endian), exactly that many bytes
//   0x90 remove          path, NUL
//   0x95 open directory  path, NUL: starts a listing on the selected storage
//   0xA0 next entry      -> size NUL date NUL attributes NUL name NUL, or nothing after the last
//                        entry; size in decimal, date "YYYY-MM-DD HH:MM:SS" (UTC, token clock at
//                        creation), attributes "D" for a directory and "F" for a file
//   0xA5 select storage  1 byte, 0..storageCount-1
//   0xB0 read variable   name, NUL -> value, NUL; missing: 12
//   File-system failures are status 11; any other code is status 1.
// Paths and texts end at their first zero byte; a missing zero byte is a malformed payload.
// Handles belong to the storage they were opened on, whatever storage is selected later.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Emulator/VirtualSecureElement.h"
#include "Emulator/VirtualTokenClock.h"
#include "Emulator/VirtualTokenConfig.h"
#include "Emulator/VirtualTokenFileSystem.h"
#include "Emulator/VirtualVariableStore.h"
#include "Platform/Bytes.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

/// Command codes the token answers.
enum VirtualTokenCode : uint8_t {
    kCodeSetTime = 0x10,
    kCodeApdu = 0x15,
    kCodeFirmwareVersion = 0x20,
    kCodeHardwareVersion = 0x25,
    kCodeSerial = 0x30,
    kCodeBattery = 0x35,
    kCodePowerOff = 0x40,
    kCodeSecureElementOn = 0x45,
    kCodeSecureElementOff = 0x50,
    kCodeProtocol = 0x55,
    kCodeWriteVariable = 0x60,
    kCodeSyncSessionKey = 0x65,
    kCodeOpenFile = 0x70,
    kCodeCloseFile = 0x75,
    kCodeReadFile = 0x80,
    kCodeWriteFile = 0x85,
    kCodeRemoveFile = 0x90,
    kCodeOpenDir = 0x95,
    kCodeDirItem = 0xA0,
    kCodeSelectStorage = 0xA5,
    kCodeReadVariable = 0xB0,
};

/// Reply status bytes.
enum VirtualTokenStatus : uint8_t {
    kStatusOk = 0,
    kStatusNotSupported = 1,
    kStatusCardAccess = 2,
    kStatusCardNotInitialized = 3,
    kStatusProtocol = 4,
    kStatusBattery = 5,
    kStatusSetTime = 6,
    kStatusSerial = 7,
    kStatusInvalidApdu = 8,
    kStatusInvalidMessage = 9,
    kStatusInvalidSessionKey = 10,
    kStatusFileSystem = 11,
    kStatusVariable = 12,
    kStatusHardwareVersion = 13,
};

class VirtualTokenDevice {
public:
    /// Largest reply payload whose package still fits the frame format after AES padding.
    static constexpr size_t kMaxReplyPayload = 35564;

    /// What a session-key synchronisation (0x65) decided.
    struct SyncOutcome {
        uint8_t status = kStatusOk;
        bool accepted = false;      // status 0
        bool encrypted = false;     // accepted with a key: AES from the next package on
        std::optional<std::string> pairedVariable;  // the "device<N>" created for a new host
    };

    /// `queue` is the queue whose clock the token's clock follows.
    VirtualTokenDevice(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue);

    /// Runs one command other than 0x65 and returns its reply payload (never empty).
    Bytes execute(uint8_t code, ByteView payload);

    /// Command 0x65: payload of data fields, tag 0 the key hash, tag 1 the mode, tag 2 the host
    /// name. A token with a key accepts only MD5Data(key) (status 10 otherwise); one without a
    /// key accepts any hash. An accepted host not paired before gets a "device<N>" record.
    SyncOutcome synchronise(ByteView payload);

    /// The link dropped: open files are closed, directory listings forgotten and storage 0
    /// selected again.
    void linkDropped();

    /// Largest reply payload the link carries now (default and at most kMaxReplyPayload): reads
    /// return no more than fits, an APDU response that does not fit fails with status 2.
    void setReplyLimit(size_t limit) { replyLimit_ = std::min(limit, kMaxReplyPayload); }

    // State, for the transport, tests and applications.
    bool isPoweredOn() const { return poweredOn_; }
    /// Switches the token on or off; off also powers the secure element down and closes files.
    void setPoweredOn(bool on);

    const std::optional<std::string>& key() const { return config_.key; }
    void setKey(std::optional<std::string> key) { config_.key = std::move(key); }
    /// Sets the key a host derives from `password` for this token's name.
    void setPassword(std::string_view password) { config_.key = keyFromPassword(password, config_.name); }

    VirtualTokenConfig& config() { return config_; }
    const VirtualTokenConfig& config() const { return config_; }
    VirtualTokenClock& clock() { return clock_; }
    VirtualSecureElement& secureElement() { return secureElement_; }
    VirtualVariableStore& variables() { return variables_; }
    /// Storage `index` (0-based); precondition: index < storageCount().
    VirtualTokenFileSystem& storage(size_t index) { return *storages_.at(index); }
    size_t storageCount() const { return storages_.size(); }
    size_t selectedStorage() const { return selected_; }
    size_t openHandleCount() const { return handles_.size(); }

    /// Host name and mode of the last synchronisation, accepted or not.
    const std::optional<std::string>& lastHostName() const { return lastHostName_; }
    uint8_t lastSyncMode() const { return lastSyncMode_; }

private:
    Bytes executeDevice(uint8_t code, ByteView payload);
    Bytes executeFile(uint8_t code, ByteView payload);
    Bytes executeVariable(uint8_t code, ByteView payload);
    Bytes openFile(ByteView payload);
    Bytes readFile(ByteView payload);
    Bytes writeFile(ByteView payload);
    Bytes nextDirEntry();
    void closeAllFiles();

    struct Handle {
        size_t storage = 0;
        VirtualTokenFileSystem::FileRef file;
    };

    VirtualTokenConfig config_;
    VirtualTokenClock clock_;
    VirtualSecureElement secureElement_;
    VirtualVariableStore variables_;
    std::vector<std::unique_ptr<VirtualTokenFileSystem>> storages_;
    std::map<uint8_t, Handle> handles_;
    size_t selected_ = 0;
    size_t replyLimit_ = kMaxReplyPayload;
    bool poweredOn_ = true;
    std::optional<std::string> lastHostName_;
    uint8_t lastSyncMode_ = 0;
};

/// The text up to the first zero byte of `bytes`, and the bytes after that zero byte; absent
/// when there is no zero byte.
struct ZeroTerminated {
    std::string text;
    ByteView rest;
};
std::optional<ZeroTerminated> takeZeroTerminated(ByteView bytes);

}  // namespace vexa
