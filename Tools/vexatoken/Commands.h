#pragma once
// The tool's commands. Each reports through the context (text lines, or members of the JSON
// report) and throws ToolFailure when it cannot finish.
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "Tools/vexatoken/Json.h"
#include "Tools/vexatoken/TokenSession.h"
#include "Tools/vexatoken/ToolOptions.h"

namespace vexa::tool {

/// Open modes the token understands.
inline constexpr int kOpenForReading = 0;
inline constexpr int kOpenForWriting = 1;  // creates the file, or empties it
/// Bytes asked for by each read of get, and handed to each write of put (one command each).
inline constexpr uint16_t kReadChunk = 16384;
inline constexpr size_t kWriteChunk = 2048;
/// How many reply time-outs a listing may take as a whole.
inline constexpr unsigned kListingCommands = 64;

struct CommandContext {
    const ToolOptions& options;
    ToolEnvironment& environment;
    std::ostream& out;
    std::ostream& err;
    bool interactive = false;           // progress bars on stderr
    std::optional<std::string> key;     // from --key or --key-file
    Json report = Json::object();       // printed with --json

    /// Prints a line of text output (nothing with --json).
    void say(const std::string& line) const {
        if (!options.json) out << line << '\n';
    }
};

/// The session limits the options ask for.
SessionSettings sessionSettings(const ToolOptions& options);

/// A session connected to the token the options choose; the token is in report["token"].
class Connection {
public:
    explicit Connection(CommandContext& context);
    TokenSession session;
    std::shared_ptr<VexaToken> token;
};

/// "VexaToken Sim (7E1D...)" / {"name": ..., "identifier": ...}.
Json tokenJson(const VexaToken& token);
/// Seconds since the Unix epoch as "YYYY-MM-DD HH:MM:SS UTC".
std::string utcText(int64_t unixSeconds);

void runScan(CommandContext& context);
void runInfo(CommandContext& context);
void runInit(CommandContext& context);
void runApdu(CommandContext& context);
void runPowerOff(CommandContext& context);

void runList(CommandContext& context);
void runGet(CommandContext& context);
void runPut(CommandContext& context);
void runRemove(CommandContext& context);
void runStorage(CommandContext& context);

void runEnv(CommandContext& context);
void runPaired(CommandContext& context);

/// decode FILE: needs no token. Prints the session read from the capture (or fills `report`
/// with --json); throws ToolFailure for a bad capture or when anything could not be decoded.
void runDecode(const ToolOptions& options, const std::optional<std::string>& key, std::ostream& out, Json& report);

}  // namespace vexa::tool
