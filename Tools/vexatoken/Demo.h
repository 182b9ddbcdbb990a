#pragma once
// `vexatoken demo`: every feature of the library, step by step, on virtual tokens in a fresh
// simulated environment; each step checks its outcome.
#include <ostream>

#include "Tools/vexatoken/ToolOptions.h"

namespace vexa::tool {

/// Runs the demo; 0 when every step checked out, kExitFailed otherwise.
int runDemo(const ToolOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vexa::tool
