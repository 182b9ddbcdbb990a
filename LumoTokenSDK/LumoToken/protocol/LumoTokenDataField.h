#pragma once
// A tagged, length-prefixed record: (D + 1), tag, D data bytes. Payloads are plain
// concatenations of such fields. The length byte limits D to 254.
#include <cstdint>
#include <optional>

#include "Platform/Bytes.h"

namespace vexa {

class LumoTokenDataField {
public:
    static constexpr size_t kMaxDataLength = 254;

    /// The field for `tag` and `data`, or nothing when `data` is longer than 254 bytes.
    static std::optional<LumoTokenDataField> create(uint8_t tag, ByteView data);

    /// Precondition: `data` holds at most 254 bytes. A longer buffer is a programming error:
    /// it fails an assertion in debug builds; release builds keep only its first 254 bytes so
    /// that the record stays well formed. Callers that cannot guarantee the size use create().
    LumoTokenDataField(uint8_t tag, ByteView data);

    /// The encoded record: length byte, tag, data.
    const Bytes& toData() const { return m_data; }

private:
    Bytes m_data;
};

}  // namespace vexa
