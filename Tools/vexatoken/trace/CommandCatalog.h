#pragma once
// What the token's command packages say: the library's name for each command code and the
// fields of request and reply payloads, as the decoder prints them.
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa::trace {

struct PayloadField {
    enum class Type { Number, Text, Hex };
    std::string name;
    Type type = Type::Number;
    int64_t number = 0;
    std::string text;  // the text, or upper-case hex digits for Hex
};

struct RequestDescription {
    std::string name;  // the command's name; "removeEnvironmentVariable" for a 0x60 with no value
    std::vector<PayloadField> fields;
};

/// Upper-case hex digits, two per byte, nothing between.
std::string upperHex(ByteView bytes);
/// The library's name of a command ("getSerial"), or "command 0xNN" for a code it does not send.
std::string commandName(uint8_t code);
/// The fields of a request payload.
RequestDescription describeRequest(uint8_t code, ByteView payload);
/// The fields of a successful reply: `result` is what follows the status byte.
std::vector<PayloadField> describeReply(uint8_t code, ByteView result);

}  // namespace vexa::trace
