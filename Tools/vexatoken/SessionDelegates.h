#pragma once
// The delegates through which the tool hears from the library: the manager's events, gathered per
// token, and the answer to the one token operation the tool is waiting for.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VexaTokenKit/VexaTokenDelegate.h"
#include "VexaTokenKit/VexaTokenManagerDelegate.h"

namespace vexa::tool {

/// What the manager has told so far.
class ManagerEvents final : public VexaTokenManagerDelegate {
public:
    explicit ManagerEvents(uint8_t syncMode) : syncMode_(syncMode) {}

    const VexaTokenList& discovered() const { return discovered_; }
    bool connected(const VexaToken* token) const { return connected_.count(token) > 0; }
    bool notPaired(const VexaToken* token) const { return notPaired_.count(token) > 0; }
    bool disconnected(const VexaToken* token) const { return disconnected_.count(token) > 0; }
    /// The error of a failed connection attempt, if the last attempt failed.
    std::optional<Error> failure(const VexaToken* token) const;
    /// Why Bluetooth is not ready, once the manager said so.
    const std::optional<std::string>& notReady() const { return notReady_; }
    /// Forgets the token's connection events before a new attempt.
    void resetConnection(const VexaToken* token);

    void tokenManagerDidDiscoverTokens(const Manager& manager, const VexaTokenList& tokens) override;
    void tokenManagerDidConnectToToken(const Manager& manager, const Token& token) override;
    void tokenManagerDidFailToConnectToToken(const Manager& manager, const Token& token, const Error& error) override;
    void tokenIsNotPaired(const Token& token) override;
    void tokenManagerDidDisconnectFromToken(const Manager& manager, const Token& token) override;
    uint8_t tokenManagerRequireSyncSKMethod(const Manager& manager, const Token& token) override;
    void tokenManagerCentralNotReady(const Manager& manager, const std::string& reason) override;

private:
    uint8_t syncMode_;
    VexaTokenList discovered_;
    std::set<const VexaToken*> connected_, notPaired_, disconnected_;
    std::vector<std::pair<const VexaToken*, Error>> failures_;
    std::optional<std::string> notReady_;
};

/// Which delegate method answered.
enum class ReplyKind {
    Initialize, Serial, Battery, FirmwareVersion, HardwareVersion, PowerOff, SecureElementOn, Protocol, Apdu,
    OpenFile, CloseFile, WriteFile, ReadFile, RemoveFile, ListFiles, SelectStorage,
    ReadVariable, WriteVariable, RemoveVariable, PairedDevices, RemovePairedDevice,
};

/// One answer of a token operation; only the fields of its kind are set.
struct TokenReply {
    ReplyKind kind = ReplyKind::Initialize;
    OptError error;
    int32_t serial = 0;
    double battery = 0;
    bool success = false;
    uint8_t handle = 0;
    std::optional<std::string> text;  // versions; the variable's value
    std::optional<std::string> name;  // the variable's name
    std::optional<Bytes> bytes;       // ATR, response APDU, file data
    std::optional<std::vector<VexaFileEntry>> files;
    std::vector<VexaPairedDevice> devices;
};

/// Keeps the first answer of the kind it expects; answers of other kinds are ignored.
class ReplyCollector final : public VexaTokenDelegate {
public:
    void expect(ReplyKind kind) {
        expected_ = kind;
        reply_.reset();
    }
    /// Expects nothing: every answer is ignored.
    void clear() {
        expected_.reset();
        reply_.reset();
    }
    const std::optional<TokenReply>& reply() const { return reply_; }

    void didInitializeToken(const Token&, const OptError& error) override;
    void tokenDidGetSerial(const Token&, int32_t serial, const OptError& error) override;
    void tokenDidGetBatteryLevel(const Token&, double level, const OptError& error) override;
    void tokenDidGetFirmwareVersion(const Token&, const std::optional<std::string>& version, const OptError& error) override;
    void tokenDidGetHardwareVersion(const Token&, const std::optional<std::string>& version, const OptError& error) override;
    void didPowerOffToken(const Token&, const OptError& error) override;
    void tokenDidPowerSecureElementOnWithAtr(const Token&, const std::optional<Bytes>& atr, const OptError& error) override;
    void tokenDidSetCommunicationProtocol(const Token&, bool success, const OptError& error) override;
    void tokenDidGetResponseAPDU(const Token&, const std::optional<Bytes>& response, const OptError& error) override;
    void tokenDidOpenFile(const Token&, uint8_t handle, const OptError& error) override;
    void tokenDidCloseFile(const Token&, uint8_t handle, const OptError& error) override;
    void tokenDidWriteFile(const Token&, uint8_t handle, const OptError& error) override;
    void tokenDidReadFile(const Token&, uint8_t handle, const std::optional<Bytes>& data, const OptError& error) override;
    void tokenDidRemoveFile(const Token&, const OptError& error) override;
    void tokenDidListFiles(const Token&, const std::optional<std::vector<VexaFileEntry>>& files, const OptError& error) override;
    void tokenDidSelectDeviceStorage(const Token&, const OptError& error) override;
    void tokenDidReadEnvironmentVariable(const Token&, const std::optional<std::string>& name, const std::optional<std::string>& value,
                                         const OptError& error) override;
    void tokenDidWriteEnvironmentVariable(const Token&, const OptError& error) override;
    void tokenDidRemoveEnvironmentVariable(const Token&, const OptError& error) override;
    void tokenDidPairedDevices(const Token&, const std::vector<VexaPairedDevice>& devices, const OptError& error) override;
    void tokenDidRemovePairedDevice(const Token&, const OptError& error) override;

private:
    // A reply of `kind` with `error`, or null when it is not the one expected (or one came already).
    TokenReply* take(ReplyKind kind, const OptError& error);

    std::optional<ReplyKind> expected_;
    std::optional<TokenReply> reply_;
};

}  // namespace vexa::tool
