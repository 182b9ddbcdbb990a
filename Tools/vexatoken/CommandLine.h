#pragma once
// The vexatoken command line: commands, their arguments and the common options.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Tools/vexatoken/ToolOptions.h"

namespace vexa::tool {

/// Parses `args` (without the program name) into `options`. Returns nothing when the tool should
/// run the command; otherwise the exit status after help or version was printed to `out`
/// (status 0) or a usage error to `err` (kExitUsage).
std::optional<int> parseCommandLine(const std::vector<std::string>& args, ToolOptions& options, std::ostream& out,
                                    std::ostream& err);

}  // namespace vexa::tool
