#include "Tools/vexatoken/trace/AttLayout.h"

#include <algorithm>

#include "Platform/BlePlatform.h"

namespace vexa::trace {

AttUuid128 attUuid128(std::string_view text) {
    AttUuid128 uuid{};
    const Bytes data = BleUUID::fromString(text).to128().data();
    if (data.size() == uuid.size()) std::reverse_copy(data.begin(), data.end(), uuid.begin());
    return uuid;
}

uint8_t* writeAclAttHeader(uint8_t* out, uint16_t connection, bool fromController, size_t attLength) {
    const uint8_t boundary = fromController ? kAclFirstFromController : kAclFirstFromHost;
    const uint16_t fields[4] = {static_cast<uint16_t>((connection & 0x0FFF) | boundary << 12), static_cast<uint16_t>(attLength + 4),
                                static_cast<uint16_t>(attLength), kAttCid};
    *out++ = kH4Acl;
    for (uint16_t f : fields) {
        *out++ = static_cast<uint8_t>(f);
        *out++ = static_cast<uint8_t>(f >> 8);
    }
    return out;
}

}  // namespace vexa::trace
