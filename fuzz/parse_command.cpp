// Parses arbitrary bytes as a reply package: exactly one callback, and an accepted package is
// exactly what buildPackage makes of its code and payload, followed by ignored bytes.
#include <cstdlib>

#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

using namespace vexa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView input(data, size);
    int calls = 0;
    LumoTokenCommand::parseCommand(
        input,
        [&](uint8_t code, Bytes payload) {
            ++calls;
            const Bytes rebuilt = LumoTokenCommand::buildPackage(code, payload);
            if (rebuilt.size() > size || !std::equal(rebuilt.begin(), rebuilt.end(), data)) std::abort();
        },
        [&](const Error& error) {
            ++calls;
            if (error.domain != kLumoCommandErrorDomain) std::abort();
            if (error.code != kLumoCommandInvalidLengthErrorCode && error.code != kLumoCommandInvalidCrcErrorCode) {
                std::abort();
            }
        });
    if (calls != 1) std::abort();
    return 0;
}
