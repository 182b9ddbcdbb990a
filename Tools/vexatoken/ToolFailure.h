#pragma once
// How the vexatoken tool ends: its exit statuses, and the failure that carries one of them with
// the error to print ("error: <domain> <code>: <message>").
#include <stdexcept>
#include <string>

#include "Platform/Error.h"

namespace vexa::tool {

/// Exit statuses of the tool; scripts rely on them.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,          // bad options or arguments (including malformed hex)
    kExitNotFound = 3,       // no matching token was heard, or Bluetooth is not available
    kExitNotPaired = 4,      // the token rejected the session key
    kExitFailed = 5,         // the token, the link or a check of the demo failed
    kExitTimedOut = 6,       // a bounded wait ran out (connection, reply)
    kExitLocalFile = 7,      // a local file (data, key, simulation state) could not be read or written
    kExitInterrupted = 130,  // SIGINT (Ctrl-C) stopped the command (128 + the signal)
    kExitTerminated = 143,   // SIGTERM stopped the command
};

/// Domain of the errors the tool makes itself; their code is the exit status.
inline constexpr char kToolErrorDomain[] = "vexatoken";

/// A failure that ends the current command with `exitCode` and prints `error`.
class ToolFailure : public std::runtime_error {
public:
    ToolFailure(int exitCode, Error error) : std::runtime_error(error.description()), exitCode_(exitCode), error_(std::move(error)) {}
    int exitCode() const { return exitCode_; }
    const Error& error() const { return error_; }

private:
    int exitCode_;
    Error error_;
};

/// A failure of the tool's own domain: code and exit status are both `exitCode`.
ToolFailure toolFailure(ExitCode exitCode, std::string message);

/// The failure for an error the library reported: time-outs end with kExitTimedOut, anything
/// else with kExitFailed; the error is printed as the library made it.
ToolFailure libraryFailure(const Error& error);

}  // namespace vexa::tool
