#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

namespace vexa {

Bytes LumoTokenCommand::buildPackage(uint8_t code, ByteView data) {
    Bytes package;
    package.reserve(data.size() + kPackageOverhead);
    package.push_back(code);
    package.push_back(static_cast<uint8_t>(data.size() & 0xFF));
    package.push_back(static_cast<uint8_t>((data.size() >> 8) & 0xFF));
    package.insert(package.end(), data.begin(), data.end());
    package.push_back(CRC8(package));
    return package;
}

void LumoTokenCommand::parseCommand(ByteView package,
                                    const std::function<void(uint8_t code, Bytes payload)>& result,
                                    const std::function<void(const Error&)>& error) {
    auto fail = [&](int64_t code, const char* message) {
        if (error) error(Error{kLumoCommandErrorDomain, code, message});
    };
    const size_t length = package.size();
    if (length < 3) return fail(kLumoCommandInvalidLengthErrorCode, kLumoCommandInvalidLengthMessage);

    const uint8_t code = package[0];
    const size_t n = package[1] | (size_t{package[2]} << 8);
    // The CRC byte must be present too; bytes after it are ignored.
    if (length < n + 4) return fail(kLumoCommandInvalidLengthErrorCode, kLumoCommandInvalidLengthMessage);
    if (CRC8(package.first(n + 3)) != package[n + 3]) {
        return fail(kLumoCommandInvalidCrcErrorCode, kLumoCommandInvalidCrcMessage);
    }
    if (result) result(code, Bytes(package.begin() + 3, package.begin() + 3 + static_cast<std::ptrdiff_t>(n)));
}

}  // namespace vexa
