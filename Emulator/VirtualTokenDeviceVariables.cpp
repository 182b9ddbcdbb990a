// The environment-variable commands of the virtual token.
#include "Emulator/VirtualTokenDevice.h"

namespace vexa {

Bytes VirtualTokenDevice::executeVariable(uint8_t code, ByteView payload) {
    const auto name = takeZeroTerminated(payload);
    if (!name) return Bytes{kStatusInvalidMessage};
    if (code == kCodeReadVariable) {
        const auto value = variables_.read(name->text);
        if (!value) return Bytes{kStatusVariable};
        Bytes out{kStatusOk};
        out.insert(out.end(), value->begin(), value->end());
        out.push_back(0);
        return out;
    }
    // Nothing after the name's zero byte removes; a value part, even an empty one, writes.
    if (name->rest.empty()) return Bytes{variables_.remove(name->text) ? kStatusOk : kStatusVariable};
    const auto value = takeZeroTerminated(name->rest);
    if (!value) return Bytes{kStatusInvalidMessage};
    return Bytes{variables_.write(name->text, value->text) ? kStatusOk : kStatusVariable};
}

}  // namespace vexa
