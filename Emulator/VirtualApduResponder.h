#pragma once
// The default card application behind the virtual secure element: a minimal ISO 7816-4 responder.
//
//   SELECT by AID   00 A4 04 00 Lc AID [Le]  -> 90 00 for a known AID (it becomes the selected
//                                               one), 6A 82 for an unknown one, 67 00 when Lc
//                                               does not match the bytes that follow
//   GET CHALLENGE   00 84 00 00 Le           -> Le random bytes (Le 00 means 256) + 90 00
//   other CLA with INS A4 / 84               -> 6E 00
//   any other INS                            -> 6D 00
#include <optional>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa {

class VirtualApduResponder {
public:
    explicit VirtualApduResponder(std::vector<Bytes> knownAids = {});

    /// The response APDU (data + SW1 SW2) for a command APDU of at least 4 bytes.
    Bytes respond(ByteView apdu);

    void addAid(Bytes aid) { aids_.push_back(std::move(aid)); }
    const std::vector<Bytes>& aids() const { return aids_; }
    /// The AID chosen by the last successful SELECT, absent before one (and after reset()).
    const std::optional<Bytes>& selectedAid() const { return selected_; }
    /// Forgets the selection, as a card reset does.
    void reset() { selected_.reset(); }

private:
    Bytes select(ByteView apdu);
    static Bytes getChallenge(ByteView apdu);

    std::vector<Bytes> aids_;
    std::optional<Bytes> selected_;
};

}  // namespace vexa
