#pragma once
// The virtual token's lasting state in a file, so that separate runs of the tool see the same
// token: every storage's directories and files (with their creation times), the environment
// variables (paired hosts included) and the clock (kept as its offset from the host clock).
//
// The file is text, one record a line; names and contents are hex ("-" for empty):
//   vexatoken-sim-state 1
//   clock-offset <seconds>
//   storage <index>
//   dir <created> <path>
//   file <created> <path> <contents>
//   var <name> <value>
#include <string>

namespace vexa {
class VirtualTokenDevice;
}

namespace vexa::tool {

/// Writes the device's state to `path`, replacing the file only once it is complete.
/// Throws ToolFailure (kExitLocalFile) when the file cannot be written.
void saveSimState(VirtualTokenDevice& device, const std::string& path);

/// Restores the device from `path`. Returns false, changing nothing, when there is no such file.
/// Throws ToolFailure (kExitLocalFile) for a file that cannot be read or is damaged.
bool loadSimState(VirtualTokenDevice& device, const std::string& path);

}  // namespace vexa::tool
