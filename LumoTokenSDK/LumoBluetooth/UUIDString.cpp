#include "LumoTokenSDK/LumoBluetooth/UUIDString.h"

#include <cstdio>

namespace vexa {

std::string representativeString(ByteView uuidBytes) {
    std::string out;
    out.reserve(uuidBytes.size() * 2 + 4);
    char buf[4];
    for (size_t i = 0; i < uuidBytes.size(); ++i) {
        const bool hyphen = i == 3 || i == 5 || i == 7 || i == 9;
        std::snprintf(buf, sizeof buf, hyphen ? "%02x-" : "%02x", uuidBytes[i]);
        out += buf;
    }
    return out;
}

std::string representativeString(const BleUUID& uuid) { return representativeString(ByteView(uuid.data())); }

}  // namespace vexa
