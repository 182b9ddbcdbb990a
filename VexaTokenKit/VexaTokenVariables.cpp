// Environment variables and the paired-host records kept in them ("device0", "device1", ...).
// Errors reach the delegate unchanged.
#include <string>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/Utf16.h"
#include "VexaTokenKit/VexaToken.h"

namespace vexa {
namespace {

constexpr size_t kAddressLength = 12;  // hex digits of a host's Bluetooth address

}  // namespace

void VexaToken::readEnvironmentVariable(const std::string& name) {
    readEnvironmentVariable(name, toDelegate(&VexaTokenDelegate::tokenDidReadEnvironmentVariable));
}

void VexaToken::readEnvironmentVariable(const std::string& name, VariableDone done) {
    pimpl_->readEnvironmentVariable(name, [self = shared_from_this(), done = std::move(done)](const std::optional<std::string>& variable,
                                                                                             const std::optional<std::string>& value, const OptError& error) {
        if (done) done(variable, value, error);
    });
}

void VexaToken::writeEnvironmentVariable(const std::string& name, const std::string& value) {
    writeEnvironmentVariable(name, value, toDelegate(&VexaTokenDelegate::tokenDidWriteEnvironmentVariable));
}

void VexaToken::writeEnvironmentVariable(const std::string& name, const std::string& value, ErrorDone done) {
    pimpl_->writeEnvironmentVariable(name, value, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
    });
}

void VexaToken::removeEnvironmentVariable(const std::string& name) {
    removeEnvironmentVariable(name, toDelegate(&VexaTokenDelegate::tokenDidRemoveEnvironmentVariable));
}

void VexaToken::removeEnvironmentVariable(const std::string& name, ErrorDone done) {
    pimpl_->removeEnvironmentVariable(name, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
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

void VexaToken::getPairedDevices() { getPairedDevices(toDelegate(&VexaTokenDelegate::tokenDidPairedDevices)); }

void VexaToken::getPairedDevices(PairedDevicesDone done) {
    readNextPairedDevice(std::make_shared<std::vector<VexaPairedDevice>>(), 0, std::move(done));
}

// Reads "device<index>"; the first read that fails ends the listing, and is not reported.
void VexaToken::readNextPairedDevice(std::shared_ptr<std::vector<VexaPairedDevice>> devices, uint64_t index, PairedDevicesDone done) {
    std::string variable = "device" + std::to_string(index);
    pimpl_->readEnvironmentVariable(
        variable, [self = shared_from_this(), devices, index, variable, done = std::move(done)](const std::optional<std::string>& name,
                                                                        const std::optional<std::string>& value, const OptError& error) {
            if (error) {
                if (done) done(*devices, std::nullopt);
                return;
            }
            if (value) {
                if (auto entry = pairedDeviceEntry(name.value_or(variable), *value)) devices->push_back(std::move(*entry));
            }
            self->readNextPairedDevice(devices, index + 1, done);
        });
}

void VexaToken::removePairedDevice(const std::string& variable) { removePairedDevice(variable, toDelegate(&VexaTokenDelegate::tokenDidRemovePairedDevice)); }

void VexaToken::removePairedDevice(const std::string& variable, ErrorDone done) {
    pimpl_->removeEnvironmentVariable(variable, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
    });
}

}  // namespace vexa
