// Environment variables: read, write, remove.
#include <algorithm>

#include "LumoTokenSDK/LumoToken/ByteComponents.h"
#include "LumoTokenSDK/LumoToken/LumoReplyHandling.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "Platform/Utf16.h"

namespace vexa {
void LumoToken::readEnvironmentVariable(const std::string& name, VariableCallback result) {
    Bytes payload;
    appendTerminated(payload, name);
    LumoReplyHandler handler = ignoredReply();
    if (result) {
        handler = standardReply([result](const Error& e) { result(std::nullopt, std::nullopt, e); },
                                [result, name](ByteView rest) {
                                    // The value ends at its zero byte, or at the end of a reply that lacks it.
                                    if (rest.empty()) {
                                        return result(std::nullopt, std::nullopt, lumoTokenError(kLumoTokenErrorInvalidResponse));
                                    }
                                    const ByteView value = rest.first(static_cast<size_t>(std::find(rest.begin(), rest.end(), 0) - rest.begin()));
                                    if (!isValidUtf8(value)) return result(name, std::nullopt, std::nullopt);
                                    result(name, std::string(value.begin(), value.end()), std::nullopt);
                                });
    }
    sendPackageWithResult(kCmdReadEnvironmentVariable, payload, std::move(handler));
}

void LumoToken::writeEnvironmentVariable(const std::string& name, const std::string& value, ErrorCallback result) {
    Bytes payload;
    appendTerminated(payload, name);
    appendTerminated(payload, value);
    sendPackageWithResult(kCmdWriteEnvironmentVariable, payload, statusOnlyReply(result));
}

void LumoToken::removeEnvironmentVariable(const std::string& name, ErrorCallback result) {
    Bytes payload;
    appendTerminated(payload, name);
    sendPackageWithResult(kCmdWriteEnvironmentVariable, payload, statusOnlyReply(result));
}

}  // namespace vexa
