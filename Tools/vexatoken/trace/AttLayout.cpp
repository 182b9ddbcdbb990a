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

void appendAclAttHeader(Bytes& out, uint16_t connection, bool fromController, size_t attLength) {
    const uint8_t boundary = fromController ? kAclFirstFromController : kAclFirstFromHost;
    out.push_back(kH4Acl);
    put16(out, static_cast<uint16_t>((connection & 0x0FFF) | boundary << 12));
    put16(out, static_cast<uint16_t>(attLength + 4));
    put16(out, static_cast<uint16_t>(attLength));
    put16(out, kAttCid);
}

}  // namespace vexa::trace
