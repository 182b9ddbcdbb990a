#pragma once
// A command sent as a series of packages (a file write in pieces). The engine takes one piece at a
// time, when it is about to write it, so a long series never waits in the queue as built packages.
#include <cstdint>
#include <optional>

#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"
#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

/// One command of a series: its code, its package as LumoTokenCommand::buildPackage makes it
/// (not encrypted yet) and the handler of its reply.
struct LumoPiece {
    uint8_t code = 0;
    Bytes package;
    LumoReplyHandler handler;
};

class LumoPieceSource {
public:
    virtual ~LumoPieceSource() = default;
    /// True while nextPiece() has a piece to give.
    virtual bool hasNextPiece() const = 0;
    /// The next piece, or nothing once the series has ended or given up.
    virtual std::optional<LumoPiece> nextPiece() = 0;
    /// Hears that the pieces not taken yet will never be written because the queue failed with
    /// `error` (a lost link); the series reports it unless it already reported its outcome.
    virtual void abandon(const Error& error) = 0;
};

}  // namespace vexa
