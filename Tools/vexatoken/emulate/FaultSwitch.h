#pragma once
// The emulator's --fault switches and the names of the token's commands.
//
// A switch is [COMMAND:]KIND[/TIMES]:
//   COMMAND  a command name (serial, read, ...) or code (0x30); absent or "any": every command
//   KIND     status=N      reply only the status byte N (0-255), without running the command
//            no-reply      swallow the command: no reply ever comes
//            delay=SECONDS run the command, reply that much later (e.g. 2.5)
//            bad-crc       reply with a wrong CRC byte
//            empty         reply with an empty payload (not even a status)
//            out-of-order  reply frames sent as 1, 0, 2, ...
//   /TIMES   only the next TIMES matching commands (default: every one)
// Examples: serial:status=7, read:delay=3/1, no-reply/2, 0x80:bad-crc.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Emulator/VirtualTokenFaults.h"

namespace vexa::tool {

/// The rule of one switch; nothing (and `why` set) when the text does not follow the syntax.
std::optional<VirtualTokenFaultRule> parseFaultSwitch(std::string_view text, std::string& why);
/// The rules of all switches; throws ToolFailure (usage) for the first one that is malformed.
std::vector<VirtualTokenFaultRule> faultRules(const std::vector<std::string>& switches);

/// The command's name ("serial"), or its code in hex ("0x7f") when it has none.
std::string commandName(uint8_t code);
/// The code of a command name or of a code written 0xNN.
std::optional<uint8_t> commandCode(std::string_view text);

}  // namespace vexa::tool
