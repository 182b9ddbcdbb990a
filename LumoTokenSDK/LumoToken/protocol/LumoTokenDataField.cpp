#include "LumoTokenSDK/LumoToken/protocol/LumoTokenDataField.h"

#include <algorithm>
#include <cassert>

namespace vexa {

std::optional<LumoTokenDataField> LumoTokenDataField::create(uint8_t tag, ByteView data) {
    if (data.size() > kMaxDataLength) return std::nullopt;
    return LumoTokenDataField(tag, data);
}

LumoTokenDataField::LumoTokenDataField(uint8_t tag, ByteView data) {
    assert(data.size() <= kMaxDataLength && "a data field holds at most 254 bytes");
    const ByteView kept = data.first(std::min(data.size(), kMaxDataLength));
    m_data.reserve(kept.size() + 2);
    m_data.push_back(static_cast<uint8_t>(kept.size() + 1));
    m_data.push_back(tag);
    m_data.insert(m_data.end(), kept.begin(), kept.end());
}

}  // namespace vexa
