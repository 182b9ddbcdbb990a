#pragma once
// Everything the command line of the vexatoken tool chose.
#include <optional>
#include <string>
#include <vector>

namespace vexa::tool {

struct ToolOptions {
    std::string command;                 // "scan", "info", ..., "env", "paired", "demo"
    std::string action;                  // env: "get" / "set" / "rm"; paired: "list" / "rm"
    std::vector<std::string> arguments;  // the command's positional arguments, in order

    std::string backend = "sim";
    std::string token;                   // name or identifier; empty: the first token heard
    std::optional<std::string> key;      // --key
    std::optional<std::string> keyFile;  // --key-file
    int syncMode = 0;
    double timeoutSeconds = 30;          // reply time-out of every command
    double scanSeconds = 5;              // how long a scan may run
    double connectSeconds = 15;          // how long a connection set-up may take
    bool json = false;
    bool verbose = false;
    std::optional<int> storage;          // --storage of the file commands

    std::optional<std::string> trace;     // --trace: record the session to this btsnoop file
    // emulate: the virtual token served through BlueZ (its key is --key, --key-file or --password);
    // decode: --password, --token-name and --handle WRITE,NOTIFY
    std::optional<std::string> tokenName;  // emulate --name, decode --token-name
    std::optional<std::string> serial;     // --serial
    std::optional<std::string> password;   // --password
    std::vector<std::string> faults;       // --fault switches, as given
    std::optional<std::string> handles;    // decode --handle

    std::optional<std::string> simState;     // file the virtual token is loaded from and saved to
    std::optional<std::string> simTokenKey;  // the virtual token's own key (default: --key)
};

}  // namespace vexa::tool
