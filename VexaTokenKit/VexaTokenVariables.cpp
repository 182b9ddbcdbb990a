// Environment variables and the paired-host records kept in them ("device0", "device1", ...).
// Errors reach the delegate unchanged.
#include <string>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "Platform/Utf16.h"
#include "VexaTokenKit/VexaToken.h"

namespace vexa {
namespace {

using TokenPtr = std::shared_ptr<VexaToken>;

constexpr size_t kAddressLength = 12;  // hex digits of a host's Bluetooth address

}  // namespace

void VexaToken::readEnvironmentVariable(const std::string& name) {
    pimpl_->readEnvironmentVariable(name, [self = shared_from_this()](const std::optional<std::string>& variable,
                                                                      const std::optional<std::string>& value, const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidReadEnvironmentVariable(t, variable, value, error); });
    });
}

void VexaToken::writeEnvironmentVariable(const std::string& name, const std::string& value) {
    pimpl_->writeEnvironmentVariable(name, value, [self = shared_from_this()](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidWriteEnvironmentVariable(t, error); });
    });
}

void VexaToken::removeEnvironmentVariable(const std::string& name) {
    pimpl_->removeEnvironmentVariable(name, [self = shared_from_this()](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidRemoveEnvironmentVariable(t, error); });
    });
}

std::optional<VexaPairedDevice> VexaToken::pairedDeviceEntry(const std::string& variable, const std::string& value) {
    if (value.empty()) return std::nullopt;
    std::string address = value;
    std::string name = value;
    const std::u16string units = toUtf16(value);
    if (units.size() >= kAddressLength) {
        std::u16string formatted = units.substr(0, kAddressLength);
        // From the end, so that each insertion leaves the earlier positions where they were.
        for (size_t position = kAddressLength - 2; position > 0; position -= 2) formatted.insert(position, 1, u':');
        address = toUtf8(formatted);
        name = toUtf8(std::u16string_view(units).substr(kAddressLength));
    }
    return VexaPairedDevice{{kDeviceVariable, variable}, {kPairedBDAddr, address}, {kPairedName, name}};
}

void VexaToken::getPairedDevices() { readNextPairedDevice(std::make_shared<std::vector<VexaPairedDevice>>(), 0); }

// Reads "device<index>"; the first read that fails ends the listing. A variable the token refuses
// (its reply status) is the normal end and is not reported; any other failure is.
void VexaToken::readNextPairedDevice(std::shared_ptr<std::vector<VexaPairedDevice>> devices, uint64_t index) {
    std::string variable = "device" + std::to_string(index);
    pimpl_->readEnvironmentVariable(
        variable, [self = shared_from_this(), devices, index, variable](const std::optional<std::string>& name,
                                                                        const std::optional<std::string>& value, const OptError& error) {
            if (error) {
                const OptError reported = isReplyStatusError(*error) ? std::nullopt : error;
                self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidPairedDevices(t, *devices, reported); });
                return;
            }
            if (value) {
                if (auto entry = pairedDeviceEntry(name.value_or(variable), *value)) devices->push_back(std::move(*entry));
            }
            self->readNextPairedDevice(devices, index + 1);
        });
}

void VexaToken::removePairedDevice(const std::string& variable) {
    pimpl_->removeEnvironmentVariable(variable, [self = shared_from_this()](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidRemovePairedDevice(t, error); });
    });
}

}  // namespace vexa
