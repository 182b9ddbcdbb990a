#pragma once
// Which Bluetooth LE stack a run of the tool uses. "--backend auto" (the default) takes BlueZ when
// the system has a usable adapter and the virtual token otherwise; the program rewrites the
// command line before it is parsed. Two hidden options for the BlueZ backend are taken out here:
// --bus-address ADDR (a D-Bus address instead of the system bus, for tests) and --adapter NAME.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa::tool {

struct BackendChoice {
    std::vector<std::string> args;          // the command line with "--backend <name>" made explicit
    std::string backend;                    // "sim", "bluez", ...
    std::optional<std::string> busAddress;  // --bus-address
    std::optional<std::string> adapter;     // --adapter
};

/// Resolves "auto" (or no --backend) to "bluez" when `bluezPresent(choice)` says so (it sees the
/// bus address and adapter chosen), else to "sim".
/// The probe is not called when the choice is explicit, for help and version, for the demo, and
/// for runs that name simulation options (they only make sense on the virtual token).
BackendChoice chooseBackend(std::vector<std::string> args, const std::function<bool(const BackendChoice&)>& bluezPresent);

}  // namespace vexa::tool
