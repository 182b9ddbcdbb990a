#include "Emulator/VirtualApduResponder.h"

#include <algorithm>

#include "VexaTokenKit/VexaCrypto.h"

namespace vexa {
namespace {
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsGetChallenge = 0x84;

Bytes status(uint8_t sw1, uint8_t sw2) { return Bytes{sw1, sw2}; }
}  // namespace

VirtualApduResponder::VirtualApduResponder(std::vector<Bytes> knownAids) : aids_(std::move(knownAids)) {}

Bytes VirtualApduResponder::respond(ByteView apdu) {
    if (apdu.size() < 4) return status(0x67, 0x00);
    const uint8_t cla = apdu[0];
    const uint8_t ins = apdu[1];
    if (ins != kInsSelect && ins != kInsGetChallenge) return status(0x6D, 0x00);
    if (cla != 0x00) return status(0x6E, 0x00);
    return ins == kInsSelect ? select(apdu) : getChallenge(apdu);
}

Bytes VirtualApduResponder::select(ByteView apdu) {
    // Only selection by AID (P1 04, P2 00: first or only occurrence, FCI returned) is offered.
    if (apdu[2] != 0x04 || apdu[3] != 0x00) return status(0x6A, 0x86);
    if (apdu.size() < 5) return status(0x67, 0x00);
    const size_t lc = apdu[4];
    // Case 3 (no Le) or case 4 (one Le byte) short APDU.
    if (lc == 0 || (apdu.size() != 5 + lc && apdu.size() != 6 + lc)) return status(0x67, 0x00);
    const ByteView aid = apdu.subspan(5, lc);
    const auto known = std::find_if(aids_.begin(), aids_.end(),
                                    [&](const Bytes& a) { return std::equal(a.begin(), a.end(), aid.begin(), aid.end()); });
    if (known == aids_.end()) return status(0x6A, 0x82);
    selected_ = *known;
    return status(0x90, 0x00);
}

Bytes VirtualApduResponder::getChallenge(ByteView apdu) {
    if (apdu[2] != 0x00 || apdu[3] != 0x00) return status(0x6A, 0x86);
    if (apdu.size() != 5) return status(0x67, 0x00);
    const size_t le = apdu[4] == 0 ? 256 : apdu[4];
    Bytes response = randomBytes(le);
    response.push_back(0x90);
    response.push_back(0x00);
    return response;
}

}  // namespace vexa
