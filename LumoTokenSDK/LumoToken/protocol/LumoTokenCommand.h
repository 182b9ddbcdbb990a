#pragma once
// The command package: code (1 byte), payload length N (2 bytes, little-endian), N payload
// bytes, then the CRC-8 of everything before it. Requests and replies share the layout.
#include <cstdint>
#include <functional>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

inline constexpr char kLumoCommandErrorDomain[] = "LumoCommandError";
inline constexpr int64_t kLumoCommandInvalidLengthErrorCode = 1;  // "Invalid lenght of package"
inline constexpr int64_t kLumoCommandInvalidCrcErrorCode = 2;     // "Invalid crc of package"
inline constexpr char kLumoCommandInvalidLengthMessage[] = "Invalid lenght of package";
inline constexpr char kLumoCommandInvalidCrcMessage[] = "Invalid crc of package";

class LumoTokenCommand {
public:
    /// Size of the code, length and CRC bytes around the payload.
    static constexpr size_t kPackageOverhead = 4;

    /// Builds the package for `code` and `data`. The length field holds the payload size modulo
    /// 65,536; such oversized packages are far beyond what the frame format can carry anyway.
    static Bytes buildPackage(uint8_t code, ByteView data = {});
    /// The same for the payload `head` followed by `data`, built in one buffer.
    static Bytes buildPackage(uint8_t code, ByteView head, ByteView data);
    /// The same, built around `data` in its own buffer: with room for the package (see
    /// packageCapacity) the payload is only moved up, not copied to a new buffer.
    static Bytes packageAround(uint8_t code, Bytes data);
    /// The capacity a package of `size` payload bytes needs, up to whole AES blocks.
    static constexpr size_t packageCapacity(size_t size) { return (size + kPackageOverhead + 15) & ~size_t{15}; }

    /// Takes a received package apart. Calls exactly one of the callbacks, once, before it
    /// returns: `result` with the code and a copy of the payload (possibly empty), or `error`
    /// with a "LumoCommandError" (1: too short for its length field, 2: CRC mismatch).
    /// Bytes after the CRC byte are ignored (decrypted packages carry filler there).
    /// An empty callback is skipped.
    static void parseCommand(ByteView package,
                             const std::function<void(uint8_t code, Bytes payload)>& result,
                             const std::function<void(const Error&)>& error);
    /// The same check without a copy: nothing, with `code` and `payload` (a view into `package`)
    /// set, or the error parseCommand would report.
    static OptError parseView(ByteView package, uint8_t& code, ByteView& payload);
};

}  // namespace vexa
