#pragma once
// SIGINT and SIGTERM while the tool works with a token. The first one asks the running command to
// stop tidily: the session's waits notice it, let the command on the link finish, close what the
// command opened and disconnect. A second one ends the process at once. A signal that was ignored
// when the tool started (a job in the background of a script) stays ignored.
#include <csignal>
#include <string>

#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {

class Interruption {
public:
    /// Installs the handlers for the life of the object, and forgets any earlier signal.
    Interruption();
    /// Puts the earlier handlers back.
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    /// The signal that asked the tool to stop, or 0. Safe to read from any thread.
    static int signal();
};

/// The failure that ends an interrupted command: exit status 128 + the signal (130 for SIGINT,
/// 143 for SIGTERM), and `message`.
ToolFailure interruptedFailure(const std::string& message = "Interrupted.");
/// Whether `failure` is an interruption.
bool isInterruption(const ToolFailure& failure);

}  // namespace vexa::tool
