#include "Tools/vexatoken/SessionDelegates.h"

#include <algorithm>

#include "VexaTokenKit/VexaToken.h"

namespace vexa::tool {

// ---- ManagerEvents ---------------------------------------------------------------------------

std::optional<Error> ManagerEvents::failure(const VexaToken* token) const {
    for (auto it = failures_.rbegin(); it != failures_.rend(); ++it)
        if (it->first == token) return it->second;
    return std::nullopt;
}

void ManagerEvents::resetConnection(const VexaToken* token) {
    connected_.erase(token);
    notPaired_.erase(token);
    disconnected_.erase(token);
    std::erase_if(failures_, [token](const auto& failure) { return failure.first == token; });
}

void ManagerEvents::tokenManagerDidDiscoverTokens(const Manager&, const VexaTokenList& tokens) { discovered_ = tokens; }

void ManagerEvents::tokenManagerDidConnectToToken(const Manager&, const Token& token) { connected_.insert(token.get()); }

void ManagerEvents::tokenManagerDidFailToConnectToToken(const Manager&, const Token& token, const Error& error) {
    failures_.emplace_back(token.get(), error);
}

void ManagerEvents::tokenIsNotPaired(const Token& token) { notPaired_.insert(token.get()); }

void ManagerEvents::tokenManagerDidDisconnectFromToken(const Manager&, const Token& token) {
    disconnected_.insert(token.get());
    connected_.erase(token.get());
}

uint8_t ManagerEvents::tokenManagerRequireSyncSKMethod(const Manager&, const Token&) { return syncMode_; }

void ManagerEvents::tokenManagerCentralNotReady(const Manager&, const std::string& reason) { notReady_ = reason; }

// ---- ReplyCollector --------------------------------------------------------------------------

TokenReply* ReplyCollector::take(ReplyKind kind, const OptError& error) {
    if (expected_ != kind || reply_) return nullptr;
    reply_ = TokenReply{};
    reply_->kind = kind;
    reply_->error = error;
    return &*reply_;
}

void ReplyCollector::didInitializeToken(const Token&, const OptError& error) { take(ReplyKind::Initialize, error); }

void ReplyCollector::tokenDidGetSerial(const Token&, int32_t serial, const OptError& error) {
    if (auto* r = take(ReplyKind::Serial, error)) r->serial = serial;
}

void ReplyCollector::tokenDidGetBatteryLevel(const Token&, double level, const OptError& error) {
    if (auto* r = take(ReplyKind::Battery, error)) r->battery = level;
}

void ReplyCollector::tokenDidGetFirmwareVersion(const Token&, const std::optional<std::string>& version, const OptError& error) {
    if (auto* r = take(ReplyKind::FirmwareVersion, error)) r->text = version;
}

void ReplyCollector::tokenDidGetHardwareVersion(const Token&, const std::optional<std::string>& version, const OptError& error) {
    if (auto* r = take(ReplyKind::HardwareVersion, error)) r->text = version;
}

void ReplyCollector::didPowerOffToken(const Token&, const OptError& error) { take(ReplyKind::PowerOff, error); }

void ReplyCollector::tokenDidPowerSecureElementOnWithAtr(const Token&, const std::optional<Bytes>& atr, const OptError& error) {
    if (auto* r = take(ReplyKind::SecureElementOn, error)) r->bytes = atr;
}

void ReplyCollector::tokenDidSetCommunicationProtocol(const Token&, bool success, const OptError& error) {
    if (auto* r = take(ReplyKind::Protocol, error)) r->success = success;
}

void ReplyCollector::tokenDidGetResponseAPDU(const Token&, const std::optional<Bytes>& response, const OptError& error) {
    if (auto* r = take(ReplyKind::Apdu, error)) r->bytes = response;
}

void ReplyCollector::tokenDidOpenFile(const Token&, uint8_t handle, const OptError& error) {
    if (auto* r = take(ReplyKind::OpenFile, error)) r->handle = handle;
}

void ReplyCollector::tokenDidCloseFile(const Token&, uint8_t handle, const OptError& error) {
    if (auto* r = take(ReplyKind::CloseFile, error)) r->handle = handle;
}

void ReplyCollector::tokenDidWriteFile(const Token&, uint8_t handle, const OptError& error) {
    if (auto* r = take(ReplyKind::WriteFile, error)) r->handle = handle;
}

void ReplyCollector::tokenDidReadFile(const Token&, uint8_t handle, const std::optional<Bytes>& data, const OptError& error) {
    if (auto* r = take(ReplyKind::ReadFile, error)) {
        r->handle = handle;
        r->bytes = data;
    }
}

void ReplyCollector::tokenDidRemoveFile(const Token&, const OptError& error) { take(ReplyKind::RemoveFile, error); }

void ReplyCollector::tokenDidListFiles(const Token&, const std::optional<std::vector<VexaFileEntry>>& files, const OptError& error) {
    if (auto* r = take(ReplyKind::ListFiles, error)) r->files = files;
}

void ReplyCollector::tokenDidSelectDeviceStorage(const Token&, const OptError& error) { take(ReplyKind::SelectStorage, error); }

void ReplyCollector::tokenDidReadEnvironmentVariable(const Token&, const std::optional<std::string>& name,
                                                     const std::optional<std::string>& value, const OptError& error) {
    if (auto* r = take(ReplyKind::ReadVariable, error)) {
        r->name = name;
        r->text = value;
    }
}

void ReplyCollector::tokenDidWriteEnvironmentVariable(const Token&, const OptError& error) { take(ReplyKind::WriteVariable, error); }

void ReplyCollector::tokenDidRemoveEnvironmentVariable(const Token&, const OptError& error) { take(ReplyKind::RemoveVariable, error); }

void ReplyCollector::tokenDidPairedDevices(const Token&, const std::vector<VexaPairedDevice>& devices, const OptError& error) {
    if (auto* r = take(ReplyKind::PairedDevices, error)) r->devices = devices;
}

void ReplyCollector::tokenDidRemovePairedDevice(const Token&, const OptError& error) { take(ReplyKind::RemovePairedDevice, error); }

}  // namespace vexa::tool
