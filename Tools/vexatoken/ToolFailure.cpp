#include "Tools/vexatoken/ToolFailure.h"

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"

namespace vexa::tool {

ToolFailure toolFailure(ExitCode exitCode, std::string message) {
    return ToolFailure(exitCode, Error{kToolErrorDomain, exitCode, std::move(message)});
}

ToolFailure libraryFailure(const Error& error) {
    const bool timedOut = error.domain == kLumoTokenErrorDomain && error.code == kLumoTokenErrorTimeout;
    return ToolFailure(timedOut ? kExitTimedOut : kExitFailed, error);
}

}  // namespace vexa::tool
