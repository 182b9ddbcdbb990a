#pragma once
// Turns the token's traffic read from a capture back into the session: frames are joined into
// packages with the library's frame format, encrypted packages are decrypted with the key (or
// taken from a trace's plain-text records), and each package becomes one line: a command with
// its fields, or a reply (read as the answer to the command written last on its link) with its
// status and fields. Frame, length, CRC and key errors become lines where they happen.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Tools/vexatoken/trace/CaptureReader.h"
#include "Tools/vexatoken/trace/CommandCatalog.h"

namespace vexa::trace {

struct DecodeKey {
    std::string text;
    /// A password is always turned into the key; other text only when shorter than 32 characters,
    /// as the library's key store does.
    bool password = false;
    /// The salt of the derivation; by default the device name read in the capture.
    std::optional<std::string> tokenName;
};

struct DecodedLine {
    enum class Kind { Command, Reply, Problem };
    Kind kind = Kind::Problem;
    int64_t unixMicros = 0;
    uint32_t link = 0;
    bool toToken = false;
    uint8_t code = 0;
    std::string command;  // the command's name (for a reply: of the command it answers)
    size_t length = 0;    // payload length of the package
    std::string source;   // "plain", "decrypted" (with the key) or "trace" (a plain-text record)
    std::optional<uint8_t> status;
    std::string statusText;
    std::vector<PayloadField> fields;
    std::string problem;
};

struct SessionDecode {
    std::vector<DecodedLine> lines;
    size_t commands = 0;
    size_t replies = 0;
    size_t problems = 0;
    size_t undecrypted = 0;   // encrypted packages with neither a key nor a plain-text record
    size_t keyFailures = 0;   // packages the key given does not decrypt
    bool missingName = false; // the key must be derived but no token name is known
};

SessionDecode decodeSession(const TokenCapture& capture, const std::optional<DecodeKey>& key);

}  // namespace vexa::trace
