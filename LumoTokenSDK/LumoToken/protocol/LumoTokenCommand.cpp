#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

namespace vexa {

Bytes LumoTokenCommand::buildPackage(uint8_t code, ByteView data) { return buildPackage(code, {}, data); }

Bytes LumoTokenCommand::buildPackage(uint8_t code, ByteView head, ByteView data) {
    const size_t size = head.size() + data.size();
    Bytes package;
    // Room up to whole AES blocks too, so that encrypting the package in place does not move it.
    package.reserve(packageCapacity(size));
    package.push_back(code);
    package.push_back(static_cast<uint8_t>(size & 0xFF));
    package.push_back(static_cast<uint8_t>((size >> 8) & 0xFF));
    package.insert(package.end(), head.begin(), head.end());
    package.insert(package.end(), data.begin(), data.end());
    package.push_back(CRC8(package));
    return package;
}

Bytes LumoTokenCommand::packageAround(uint8_t code, Bytes data) {
    const size_t size = data.size();
    data.reserve(packageCapacity(size));
    const uint8_t header[3] = {code, static_cast<uint8_t>(size & 0xFF), static_cast<uint8_t>((size >> 8) & 0xFF)};
    data.insert(data.begin(), header, header + 3);
    data.push_back(CRC8(data));
    return data;
}

void LumoTokenCommand::parseCommand(ByteView package,
                                    const std::function<void(uint8_t code, Bytes payload)>& result,
                                    const std::function<void(const Error&)>& error) {
    uint8_t code = 0;
    ByteView payload;
    if (const OptError failure = parseView(package, code, payload)) {
        if (error) error(*failure);
        return;
    }
    if (result) result(code, Bytes(payload.begin(), payload.end()));
}

OptError LumoTokenCommand::parseView(ByteView package, uint8_t& code, ByteView& payload) {
    const auto fail = [](int64_t errorCode, const char* message) { return Error{kLumoCommandErrorDomain, errorCode, message}; };
    const size_t length = package.size();
    if (length < 3) return fail(kLumoCommandInvalidLengthErrorCode, kLumoCommandInvalidLengthMessage);
    const size_t n = package[1] | (size_t{package[2]} << 8);
    // The CRC byte must be present too; bytes after it are ignored.
    if (length < n + 4) return fail(kLumoCommandInvalidLengthErrorCode, kLumoCommandInvalidLengthMessage);
    if (CRC8(package.first(n + 3)) != package[n + 3]) return fail(kLumoCommandInvalidCrcErrorCode, kLumoCommandInvalidCrcMessage);
    code = package[0];
    payload = package.subspan(3, n);
    return std::nullopt;
}

}  // namespace vexa
