#pragma once
// The text form of a Bluetooth LE UUID that the service and characteristic wrappers expose and the
// connection set-up compares against its lower-case constants.
#include <string>

#include "Platform/BlePlatform.h"
#include "Platform/Bytes.h"

namespace vexa {

/// Each byte as two lower-case hex digits, with a hyphen after the bytes at positions 3, 5, 7 and 9:
/// a 16-byte UUID gives the 8-4-4-4-12 form, a 2-byte one four digits and no hyphen.
std::string representativeString(ByteView uuidBytes);
std::string representativeString(const BleUUID& uuid);

}  // namespace vexa
