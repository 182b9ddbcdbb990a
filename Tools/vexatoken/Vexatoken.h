#pragma once
// The vexatoken tool as a function, so that tests can run its commands in-process.
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Tools/vexatoken/ToolEnvironment.h"
#include "Tools/vexatoken/ToolOptions.h"

namespace vexa::tool {

struct ToolContext {
    /// stderr is a terminal: get and put draw a progress bar there.
    bool interactive = false;
    /// Hardware backends --backend may name besides "sim" (the program registers "bluez" when it
    /// is built with it).
    BackendFactories backends;
    /// Runs "emulate" with the parsed options and the token's key (from --key, --key-file or
    /// --password) and returns the exit status; the program sets it when it is built with BlueZ.
    std::function<int(const ToolOptions& options, const std::optional<std::string>& key, std::ostream& out, std::ostream& err)> emulate;
    /// Called with the environment of a token command once it is made, before the command runs
    /// (tests reach the virtual token through it).
    std::function<void(ToolEnvironment& environment)> environmentReady;
};

/// Runs the tool with `args` (without the program name): results go to `out`, errors, progress
/// and traffic to `err`. Returns the exit status (ToolFailure.h). Installs its own main queue for
/// the duration of the call, so it must not run while another main loop is in use. SIGINT and
/// SIGTERM stop a command tidily while it runs (Interruption.h): exit status 130 / 143.
int runVexatoken(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const ToolContext& context = {});

}  // namespace vexa::tool
