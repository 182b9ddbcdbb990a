#include "Tools/vexatoken/CommandLine.h"

#include <CLI/CLI.hpp>

#include <memory>

#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/emulate/EmulateCommandLine.h"
#include "VexaTokenKit/VexaTokenKitVersion.h"

namespace vexa::tool {
namespace {

constexpr char kFooter[] = R"(
Exit status: 0 success, 2 usage error (bad option, argument or hex), 3 no matching token found
or Bluetooth unavailable, 4 the token rejected the key (not paired), 5 the operation or the link
failed, 6 a time-out ran out, 7 a local file could not be read or written.

With -v the frames crossing the simulated link are printed to stderr in hex:
'>' from this host to the token, '<' from the token.

With --trace FILE the session is recorded as a btsnoop capture that Wireshark opens (with
tools/wireshark/vexatoken.lua) and 'vexatoken decode' reads. The capture holds every package in
plain text, decrypted: keep it as private as the data itself. The key is never written.)";

// The library's version text without its "@(#)" marker and line feed.
std::string versionText() {
    std::string text = VexaTokenKitVersionString;
    if (text.rfind("@(#)", 0) == 0) text.erase(0, 4);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return "vexatoken (" + text + ")";
}

void addFileOptions(CLI::App* command, ToolOptions& o) {
    command->add_option("--storage", o.storage, "Storage to select first (0, 1, ...)")->check(CLI::Range(0, 255));
}

// Positional arguments of single values; each is copied into ToolOptions::arguments in order.
class Positionals {
public:
    CLI::Option* add(CLI::App* command, const std::string& name, const std::string& help) {
        values_.push_back(std::make_unique<std::string>());
        options_.push_back(command->add_option(name, *values_.back(), help));
        return options_.back();
    }
    void collect(std::vector<std::string>& out) const {
        for (size_t i = 0; i < options_.size(); ++i)
            if (options_[i]->count() > 0) out.push_back(*values_[i]);
    }

private:
    std::vector<std::unique_ptr<std::string>> values_;
    std::vector<CLI::Option*> options_;
};

}  // namespace

std::optional<int> parseCommandLine(const std::vector<std::string>& args, ToolOptions& o, std::ostream& out, std::ostream& err) {
    CLI::App app{"Works with a VexaToken security token over Bluetooth LE (a real one through BlueZ when an adapter is present, otherwise a virtual token on a simulated radio).",
                 "vexatoken"};
    app.footer(kFooter);
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText());

    app.add_option("--backend", o.backend, "Bluetooth LE stack: auto (default: bluez when an adapter is present, else sim), sim (virtual token) or bluez")
        ->default_str("auto");  // "auto" is resolved before parsing, so the parsed value is never it
    app.add_option("--token", o.token, "Token to use: its name or identifier (default: the first one heard)");
    auto* key = app.add_option("--key", o.key, "Session key (or password) shared with the token");
    app.add_option("--key-file", o.keyFile, "Read the session key from this file (first line)")->excludes(key);
    app.add_option("--sync-mode", o.syncMode, "Key-synchronisation mode sent when connecting")->check(CLI::Range(0, 255))->capture_default_str();
    app.add_option("--timeout", o.timeoutSeconds, "Seconds each command may wait for the token's reply")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--scan-time", o.scanSeconds, "Seconds a scan may run")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--connect-time", o.connectSeconds, "Seconds a connection may take")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_flag("--json", o.json, "Print the result as JSON");
    app.add_flag("-v,--verbose", o.verbose, "Print the link traffic in hex to stderr (sim backend)");
    app.add_option("--trace", o.trace, "Record the session to this btsnoop capture file (holds the decrypted traffic, never the key)");
    app.add_option("--sim-state", o.simState, "Load the virtual token's storages, variables and clock from this file and save them back");
    app.add_option("--sim-token-key", o.simTokenKey, "The virtual token's own key (default: the --key given)");

    app.add_subcommand("scan", "List the tokens in range: name, identifier, signal strength");
    app.add_subcommand("info", "Show serial number, battery level, firmware and hardware versions");
    app.add_subcommand("init", "Set the token's clock to this host's time");
    auto* apdu = app.add_subcommand("apdu", "Power the secure element on, print its ATR and exchange each APDU");
    apdu->add_option("apdus", o.arguments, "Command APDUs in hex, e.g. 00A4040007A0000003080000")->required();
    Positionals positionals;
    auto* ls = app.add_subcommand("ls", "List a directory of the token");
    positionals.add(ls, "path", "Directory (default /)");
    addFileOptions(ls, o);
    auto* get = app.add_subcommand("get", "Copy a file from the token");
    positionals.add(get, "remote", "File on the token")->required();
    positionals.add(get, "local", "File to write here")->required();
    addFileOptions(get, o);
    auto* put = app.add_subcommand("put", "Copy a file to the token");
    positionals.add(put, "local", "File to read here")->required();
    positionals.add(put, "remote", "File on the token (created or replaced)")->required();
    addFileOptions(put, o);
    auto* rm = app.add_subcommand("rm", "Remove a file (or an empty directory) of the token");
    positionals.add(rm, "path", "File on the token")->required();
    addFileOptions(rm, o);
    auto* storage = app.add_subcommand("storage", "Select a storage of the token");
    positionals.add(storage, "number", "Storage number (0, 1, ...)")->required()->check(CLI::Range(0, 255));

    auto* env = app.add_subcommand("env", "Read, write or remove an environment variable of the token");
    env->require_subcommand(1);
    positionals.add(env->add_subcommand("get", "Print a variable's value"), "name", "Variable name")->required();
    auto* envSet = env->add_subcommand("set", "Write a variable");
    positionals.add(envSet, "name", "Variable name")->required();
    positionals.add(envSet, "value", "Value")->required();
    positionals.add(env->add_subcommand("rm", "Remove a variable"), "name", "Variable name")->required();

    auto* paired = app.add_subcommand("paired", "List the hosts paired with the token, or remove one");
    paired->require_subcommand(1);
    paired->add_subcommand("list", "List the paired hosts");
    positionals.add(paired->add_subcommand("rm", "Remove a paired host"), "variable", "Its variable, e.g. device1")->required();

    auto* decode = app.add_subcommand("decode", "Print the commands and replies of a btsnoop capture (a --trace file, btmon, Android HCI snoop log); "
                                                 "decrypts with --key, or --password and --token-name");
    positionals.add(decode, "file", "The capture")->required();
    decode->add_option("--password", o.password, "Decrypt with the key derived from this password and the token's name");
    decode->add_option("--token-name", o.tokenName, "The token's name for key derivation (default: the name in the capture)");
    decode->add_option("--handle", o.handles, "ATT value handles of the write and notify characteristics, e.g. 0x0012,0x0014 "
                                              "(default: found from the GATT discovery in the capture)");
    app.add_subcommand("power-off", "Switch the token off");
    app.add_subcommand("demo", "Walk through every feature on a virtual token and check each step");
    addEmulateCommand(app, o);

    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(std::move(reversed));
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion&) {
        out << versionText() << '\n';
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        err << "error: " << kToolErrorDomain << ' ' << kExitUsage << ": " << e.what() << "\nRun with --help for more information.\n";
        return kExitUsage;
    }

    positionals.collect(o.arguments);
    const auto commands = app.get_subcommands();
    o.command = commands.front()->get_name();
    if (const auto actions = commands.front()->get_subcommands(); !actions.empty()) o.action = actions.front()->get_name();
    return std::nullopt;
}

}  // namespace vexa::tool
