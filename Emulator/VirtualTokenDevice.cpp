#include "Emulator/VirtualTokenDevice.h"

#include <algorithm>
#include <cmath>

#include "Platform/HostDevice.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {
namespace {

Bytes reply(uint8_t status) { return Bytes{status}; }

Bytes replyWith(ByteView result) {
    Bytes out;
    out.reserve(result.size() + 1);
    out.push_back(kStatusOk);
    out.insert(out.end(), result.begin(), result.end());
    return out;
}

int64_t initialClock(const VirtualTokenConfig& config) {
    if (config.clock) return *config.clock;
    return static_cast<int64_t>(std::floor(currentUnixTime()));
}

// The data fields of a payload, first occurrence of each tag; absent when a field is truncated.
std::optional<std::map<uint8_t, ByteView>> parseDataFields(ByteView payload) {
    std::map<uint8_t, ByteView> fields;
    size_t i = 0;
    while (i < payload.size()) {
        const size_t length = payload[i];  // tag + data
        if (length == 0 || i + 1 + length > payload.size()) return std::nullopt;
        fields.emplace(payload[i + 1], payload.subspan(i + 2, length - 1));
        i += 1 + length;
    }
    return fields;
}

}  // namespace

std::optional<ZeroTerminated> takeZeroTerminated(ByteView bytes) {
    const auto zero = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    if (zero == bytes.end()) return std::nullopt;
    const auto length = static_cast<size_t>(zero - bytes.begin());
    return ZeroTerminated{std::string(bytes.begin(), zero), bytes.subspan(length + 1)};
}

VirtualTokenDevice::VirtualTokenDevice(VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue)
    : config_(std::move(config)),
      clock_(std::move(queue), initialClock(config_)),
      secureElement_(config_.atr, config_.aids),
      variables_(config_.maxVariableNameLength, config_.maxVariableValueLength, config_.maxVariableCount) {
    for (size_t i = 0; i < config_.storageCount; ++i)
        storages_.push_back(std::make_unique<VirtualTokenFileSystem>(config_.storageCapacity));
}

Bytes VirtualTokenDevice::execute(uint8_t code, ByteView payload) {
    switch (code) {
        case kCodeSetTime:
        case kCodeApdu:
        case kCodeFirmwareVersion:
        case kCodeHardwareVersion:
        case kCodeSerial:
        case kCodeBattery:
        case kCodePowerOff:
        case kCodeSecureElementOn:
        case kCodeSecureElementOff:
        case kCodeProtocol: return executeDevice(code, payload);
        case kCodeOpenFile:
        case kCodeCloseFile:
        case kCodeReadFile:
        case kCodeWriteFile:
        case kCodeRemoveFile:
        case kCodeOpenDir:
        case kCodeDirItem:
        case kCodeSelectStorage: return executeFile(code, payload);
        case kCodeWriteVariable:
        case kCodeReadVariable: return executeVariable(code, payload);
        case kCodeSyncSessionKey: return reply(synchronise(payload).status);
        default: return reply(kStatusNotSupported);
    }
}

Bytes VirtualTokenDevice::executeDevice(uint8_t code, ByteView payload) {
    switch (code) {
        case kCodeSetTime: {
            if (payload.size() != 4) return reply(kStatusInvalidMessage);
            const uint32_t t = (uint32_t{payload[0]} << 24) | (uint32_t{payload[1]} << 16) | (uint32_t{payload[2]} << 8) | payload[3];
            clock_.set(t);
            return reply(kStatusOk);
        }
        case kCodeApdu: {
            if (!secureElement_.isPoweredOn()) return reply(kStatusCardNotInitialized);
            if (payload.size() < 4) return reply(kStatusInvalidApdu);
            const Bytes response = secureElement_.transmit(payload);
            if (response.size() + 1 > replyLimit_) return reply(kStatusCardAccess);
            return replyWith(response);
        }
        case kCodeFirmwareVersion: return replyWith(Bytes{config_.firmwareVersion});
        case kCodeHardwareVersion:
            if (!config_.hardwareVersion) return reply(kStatusHardwareVersion);
            return replyWith(Bytes{*config_.hardwareVersion});
        case kCodeSerial:
            if (!config_.serial) return reply(kStatusSerial);
            return replyWith(bytesOf(*config_.serial));
        case kCodeBattery:
            if (!config_.batteryLevel) return reply(kStatusBattery);
            return replyWith(Bytes{*config_.batteryLevel});
        case kCodePowerOff: setPoweredOn(false); return reply(kStatusOk);
        case kCodeSecureElementOn: return replyWith(secureElement_.powerOn());
        case kCodeSecureElementOff: secureElement_.powerOff(); return reply(kStatusOk);
        case kCodeProtocol:
            if (payload.size() != 1 && payload.size() != 4) return reply(kStatusInvalidMessage);
            return reply(secureElement_.setProtocol(payload[0]) ? kStatusOk : kStatusProtocol);
        default: return reply(kStatusNotSupported);
    }
}

VirtualTokenDevice::SyncOutcome VirtualTokenDevice::synchronise(ByteView payload) {
    SyncOutcome outcome;
    const auto fields = parseDataFields(payload);
    if (!fields || !fields->count(0)) {
        outcome.status = kStatusInvalidMessage;
        return outcome;
    }
    if (const auto mode = fields->find(1); mode != fields->end() && !mode->second.empty()) lastSyncMode_ = mode->second[0];
    std::string hostName;
    if (const auto name = fields->find(2); name != fields->end()) hostName.assign(name->second.begin(), name->second.end());
    lastHostName_ = hostName;

    if (config_.key) {
        const ByteView hash = fields->at(0);
        const Bytes expected = MD5Data(*config_.key);
        if (!std::equal(hash.begin(), hash.end(), expected.begin(), expected.end())) {
            outcome.status = kStatusInvalidSessionKey;
            return outcome;
        }
        outcome.encrypted = true;
    }
    outcome.accepted = true;
    if (!hostName.empty()) outcome.pairedVariable = variables_.pairHost(hostName);
    return outcome;
}

void VirtualTokenDevice::setPoweredOn(bool on) {
    poweredOn_ = on;
    if (!on) {
        secureElement_.powerOff();
        linkDropped();
    }
}

void VirtualTokenDevice::linkDropped() {
    closeAllFiles();
    for (auto& storage : storages_) storage->closeDirectory();
    selected_ = 0;
}

void VirtualTokenDevice::closeAllFiles() {
    for (auto& [number, handle] : handles_) storages_[handle.storage]->close(handle.file);
    handles_.clear();
}

}  // namespace vexa
