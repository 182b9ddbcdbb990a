#include "Tools/vexatoken/BackendChoice.h"

#include <algorithm>

namespace vexa::tool {
namespace {

// Removes "--name VALUE" or "--name=VALUE" (every occurrence; the last one wins) and returns the value.
std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& name) {
    std::optional<std::string> value;
    const std::string prefix = name + "=";
    for (size_t i = 0; i < args.size();) {
        if (args[i] == name && i + 1 < args.size()) {
            value = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
        } else if (args[i].rfind(prefix, 0) == 0) {
            value = args[i].substr(prefix.size());
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    return value;
}

bool has(const std::vector<std::string>& args, std::initializer_list<const char*> names) {
    return std::any_of(args.begin(), args.end(), [&](const std::string& a) {
        return std::any_of(names.begin(), names.end(), [&](const char* n) { return a == n || a.rfind(std::string(n) + "=", 0) == 0; });
    });
}

// The subcommand: the first word that is neither an option nor the value of one.
std::string subcommand(const std::vector<std::string>& args) {
    static const std::initializer_list<const char*> withValue = {"--token", "--key", "--key-file", "--sync-mode", "--timeout", "--scan-time",
                                                                 "--connect-time", "--sim-state", "--sim-token-key", "--storage"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty() || a[0] != '-') return a;
        if (std::any_of(withValue.begin(), withValue.end(), [&](const char* n) { return a == n; })) ++i;
    }
    return {};
}

}  // namespace

BackendChoice chooseBackend(std::vector<std::string> args, const std::function<bool(const BackendChoice&)>& bluezPresent) {
    BackendChoice choice;
    choice.busAddress = takeOption(args, "--bus-address");
    choice.adapter = takeOption(args, "--adapter");
    std::string backend = takeOption(args, "--backend").value_or("auto");
    if (backend == "auto") {
        const bool simOnly = args.empty() || subcommand(args) == "demo" || has(args, {"-h", "--help", "--version", "--sim-state", "--sim-token-key"});
        backend = !simOnly && bluezPresent && bluezPresent(choice) ? "bluez" : "sim";
    }
    args.insert(args.begin(), {"--backend", backend});
    choice.backend = backend;
    choice.args = std::move(args);
    return choice;
}

}  // namespace vexa::tool
