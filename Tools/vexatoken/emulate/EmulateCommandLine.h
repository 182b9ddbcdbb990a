#pragma once
// The command line of "vexatoken emulate".
#include "Tools/vexatoken/ToolOptions.h"

namespace CLI {
class App;
}

namespace vexa::tool {

/// Adds the emulate subcommand and its options to `app`.
void addEmulateCommand(CLI::App& app, ToolOptions& options);

}  // namespace vexa::tool
