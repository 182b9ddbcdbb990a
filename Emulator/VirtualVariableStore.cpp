#include "Emulator/VirtualVariableStore.h"

#include "Platform/Utf16.h"
#include "VexaTokenKit/HexString.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {

VirtualVariableStore::VirtualVariableStore(size_t maxNameLength, size_t maxValueLength, size_t maxCount)
    : maxName_(maxNameLength), maxValue_(maxValueLength), maxCount_(maxCount) {}

std::optional<std::string> VirtualVariableStore::read(std::string_view name) const {
    const auto it = vars_.find(name);
    if (it == vars_.end()) return std::nullopt;
    return it->second;
}

bool VirtualVariableStore::write(std::string_view name, std::string_view value) {
    if (name.empty() || name.size() > maxName_ || !isValidUtf8(name)) return false;
    if (value.size() > maxValue_ || !isValidUtf8(value)) return false;
    if (name.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos) return false;
    const auto it = vars_.find(name);
    if (it != vars_.end()) {
        it->second = std::string(value);
        return true;
    }
    if (vars_.size() >= maxCount_) return false;
    vars_.emplace(std::string(name), std::string(value));
    return true;
}

bool VirtualVariableStore::remove(std::string_view name) {
    const auto it = vars_.find(name);
    if (it == vars_.end()) return false;
    vars_.erase(it);
    return true;
}

std::string VirtualVariableStore::hostAddress(std::string_view hostName) {
    Bytes digest = MD5Data(hostName);
    digest.resize(6);
    std::string hex = toHexString(digest);
    std::erase(hex, ' ');
    return hex;
}

std::string VirtualVariableStore::pairedValue(std::string_view hostName) { return hostAddress(hostName) + std::string(hostName); }

bool VirtualVariableStore::isDeviceVariable(std::string_view name) {
    constexpr std::string_view prefix = "device";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 1 && digits[0] == '0') return false;
    for (char c : digits)
        if (c < '0' || c > '9') return false;
    return true;
}

bool VirtualVariableStore::isPaired(std::string_view hostName) const {
    const std::string value = pairedValue(hostName);
    for (const auto& [name, v] : vars_)
        if (v == value && isDeviceVariable(name)) return true;
    return false;
}

std::optional<std::string> VirtualVariableStore::pairHost(std::string_view hostName) {
    if (isPaired(hostName)) return std::nullopt;
    for (size_t index = 0;; ++index) {
        std::string name = "device" + std::to_string(index);
        if (vars_.count(name)) continue;
        if (!write(name, pairedValue(hostName))) return std::nullopt;
        return name;
    }
}

}  // namespace vexa
