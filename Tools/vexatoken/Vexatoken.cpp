#include "Tools/vexatoken/Vexatoken.h"

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "Tools/vexatoken/CommandLine.h"
#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/Demo.h"
#include "Tools/vexatoken/Interruption.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/emulate/FaultSwitch.h"

namespace vexa::tool {
namespace {

// The key from --key, or the first line of --key-file, or none.
std::optional<std::string> resolveKey(const ToolOptions& options) {
    if (options.key) return options.key;
    if (!options.keyFile) return std::nullopt;
    std::ifstream file(*options.keyFile, std::ios::binary);
    std::string key;
    if (!file || (!std::getline(file, key) && !file.eof())) throw toolFailure(kExitLocalFile, "Cannot read the key file " + *options.keyFile + ".");
    if (!key.empty() && key.back() == '\r') key.pop_back();
    return key;
}

std::unique_ptr<ToolEnvironment> createEnvironment(const ToolOptions& options, const std::optional<std::string>& key, std::ostream& err,
                                                   const ToolContext& context) {
    if (options.backend == "sim") {
        SimSettings settings;
        // The virtual token holds the key the host was given unless told otherwise.
        settings.tokenKey = options.simTokenKey ? options.simTokenKey : key;
        settings.statePath = options.simState;
        settings.traffic = options.verbose ? &err : nullptr;
        return std::make_unique<SimEnvironment>(std::move(settings));
    }
    if (options.simState || options.simTokenKey) throw toolFailure(kExitUsage, "--sim-state and --sim-token-key need --backend sim.");
    const auto it = context.backends.find(options.backend);
    if (it == context.backends.end()) {
        std::string known = "sim";
        for (const auto& [name, factory] : context.backends) known += ", " + name;
        throw toolFailure(kExitUsage, "The backend \"" + options.backend + "\" is not available in this build (available: " + known + ").");
    }
    auto backend = it->second();
    if (!backend) throw toolFailure(kExitNotFound, "The " + options.backend + " backend could not be started.");
    return std::make_unique<PlatformEnvironment>(backend);
}

int runEmulate(const ToolOptions& options, std::ostream& out, std::ostream& err, const ToolContext& context) {
    if (options.password && (options.key || options.keyFile))
        throw toolFailure(kExitUsage, "Give the token's key once: --key, --key-file or --password.");
    faultRules(options.faults);  // a malformed switch is a usage error before anything else
    if (!context.emulate) throw toolFailure(kExitNotFound, "emulate needs the BlueZ backend, which this build does not have.");
    return context.emulate(options, options.password ? options.password : resolveKey(options), out, err);
}

using Command = void (*)(CommandContext&);

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table{
        {"scan", runScan},   {"info", runInfo}, {"init", runInit},       {"apdu", runApdu},          {"ls", runList},
        {"get", runGet},     {"put", runPut},   {"rm", runRemove},       {"storage", runStorage},    {"env", runEnv},
        {"paired", runPaired}, {"power-off", runPowerOff},
    };
    return table;
}

// Runs the command in its environment; the environment keeps its state whatever the outcome.
void runCommand(CommandContext& context) {
    try {
        commands().at(context.options.command)(context);
    } catch (const ToolFailure&) {
        try {
            context.environment.finish();
        } catch (const ToolFailure&) {
            // The command's own failure is the one to report.
        }
        throw;
    }
    context.environment.finish();
}

}  // namespace

int runVexatoken(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const ToolContext& context) {
    ToolOptions options;
    if (const auto status = parseCommandLine(args, options, out, err)) return *status;

    Json report = Json::object();
    // Commands that work with a token stop tidily on SIGINT and SIGTERM; emulate handles them itself.
    std::optional<Interruption> interruption;
    try {
        if (options.command == "emulate") return runEmulate(options, out, err, context);
        if (options.command == "demo") {
            interruption.emplace();
            return runDemo(options, out, err);
        }
        const auto key = resolveKey(options);
        if (options.command == "decode") {
            runDecode(options, key, out, report);
            if (options.json) out << report.dump(2) << '\n';
            return kExitOk;
        }
        interruption.emplace();
        const auto environment = createEnvironment(options, key, err, context);
        if (context.environmentReady) context.environmentReady(*environment);
        CommandContext command{options, *environment, out, err, context.interactive, key};
        try {
            runCommand(command);
        } catch (const ToolFailure&) {
            report = std::move(command.report);
            throw;
        }
        if (options.json) out << command.report.dump(2) << '\n';
        return kExitOk;
    } catch (const ToolFailure& failure) {
        // After a stop signal the run ends as interrupted, whatever else failed on the way.
        const int status = interruption && Interruption::signal() != 0 ? 128 + Interruption::signal() : failure.exitCode();
        err << "error: " << failure.error().description() << '\n';
        if (options.json) {
            const Error& e = failure.error();
            report.set("error", Json::object().set("domain", e.domain).set("code", e.code).set("message", e.message));
            report.set("exitCode", status);
            out << report.dump(2) << '\n';
        }
        return status;
    } catch (const std::exception& e) {
        err << "error: " << kToolErrorDomain << ' ' << kExitFailed << ": Internal error: " << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace vexa::tool
