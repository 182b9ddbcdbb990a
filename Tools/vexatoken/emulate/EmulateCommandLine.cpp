#include "Tools/vexatoken/emulate/EmulateCommandLine.h"

#include <CLI/CLI.hpp>

namespace vexa::tool {
namespace {

constexpr char kFooter[] = R"(
Serves the virtual token as a Bluetooth LE peripheral through BlueZ (a GATT application and an
advertisement on the adapter, --adapter hciN) until Ctrl-C or SIGTERM. The token holds the key
given with --key, --key-file or --password (none: it talks in plain text); --sim-state FILE keeps
its storages, variables and clock between runs. One line is printed per connection, command and
reply (JSON lines with --json); -v prints the frames in hex on stderr ('>' from the host).

--fault [COMMAND:]KIND[/TIMES], repeatable:
  COMMAND  serial, battery, read, write, open, sync-key, ... or a code such as 0x30;
           absent or "any": every command
  KIND     status=N       reply only the status byte N, without running the command
           no-reply       never reply
           delay=SECONDS  reply that much later
           bad-crc        reply with a wrong CRC
           empty          reply with an empty payload
           out-of-order   send the reply frames out of order
  /TIMES   only the next TIMES matching commands (default: all of them)
  e.g. --fault serial:status=7  --fault read:delay=3/1  --fault no-reply/2)";

}  // namespace

void addEmulateCommand(CLI::App& app, ToolOptions& o) {
    auto* emulate = app.add_subcommand("emulate", "Act as a token on the air (BlueZ) for phones and other hosts");
    emulate->footer(kFooter);
    emulate->add_option("--name", o.tokenName, "The token's advertised name (default \"VexaToken Emu\")");
    emulate->add_option("--serial", o.serial, "The token's serial number");
    emulate->add_option("--password", o.password, "The token's password or key (as --key)");
    emulate->add_option("--fault", o.faults, "A fault switch (see below); repeatable")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

}  // namespace vexa::tool
