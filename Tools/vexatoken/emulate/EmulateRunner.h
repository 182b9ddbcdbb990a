#pragma once
// "vexatoken emulate" on BlueZ: makes the token the options describe, serves it with
// TokenEmulator on a run loop of its own (the library's main queue is left alone), prints one line
// per connection, command and reply (JSON lines with --json), and runs until SIGINT or SIGTERM
// (exit 0: the advertisement and the application are withdrawn first). When BlueZ cannot serve
// the token it throws ToolFailure with status 3.
#include <optional>
#include <ostream>
#include <string>

#include "Tools/vexatoken/ToolOptions.h"

namespace vexa::tool {

struct EmulateBus {
    std::string address;  // a D-Bus address; empty: the system bus
    std::string adapter;  // "hci1" or its path; empty: the first adapter
};

/// The token's name when --name is not given.
inline constexpr char kEmulatedTokenName[] = "VexaToken Emu";

int serveEmulatedToken(const ToolOptions& options, const std::optional<std::string>& key, const EmulateBus& bus, std::ostream& out,
                       std::ostream& err);

}  // namespace vexa::tool
