#pragma once
// Reads the token's traffic out of a btsnoop capture: our traces (H4), Android HCI snoop logs
// (H4) and btmon files (Linux monitor format), from the host's side or the token's. HCI ACL
// fragments are joined into L2CAP frames; ATT PDUs on the token's characteristics become frames,
// those on the plain-text record handle of a trace become plain packages. Long writes (prepare
// and execute) count as one frame. The characteristics' value handles are given, or learned per
// link from the captured GATT discovery (characteristic declarations with the token's UUIDs).
// Any bytes are safe to read: nothing outside the file is touched and nothing throws.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa::trace {

/// ATT value handles of the write and notify characteristics.
struct TokenHandles {
    uint16_t write = 0;
    uint16_t notify = 0;
};

/// One thing the token's characteristics carried.
struct TokenEvent {
    enum class Kind { Frame, Plain };  // a frame, or the plain text of a package (traces only)
    Kind kind = Kind::Frame;
    int64_t unixMicros = 0;
    uint32_t link = 0;  // adapter index << 16 | ACL connection handle
    bool toToken = false;
    Bytes bytes;
};

struct TokenCapture {
    /// Why the file is not a capture this reader knows; nothing else is set then.
    std::optional<std::string> notCapture;
    size_t records = 0;
    std::optional<int64_t> firstMicros;
    /// A record cut short begins here; everything before it was read.
    std::optional<size_t> truncatedAt;
    std::vector<TokenEvent> events;
    /// Per link: the handles found in the discovery, and the device name read.
    std::map<uint32_t, TokenHandles> handles;
    std::map<uint32_t, std::string> names;
};

/// Reads a whole capture. With `handles` given, they apply to every link.
TokenCapture readTokenCapture(ByteView file, std::optional<TokenHandles> handles = std::nullopt);

}  // namespace vexa::trace
