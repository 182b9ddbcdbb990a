#pragma once
// The pieces of one file write: the caller's data is copied once, and each piece's package (with
// the payload handle, 16-bit big-endian count, up to kLumoFileWritePieceSize data bytes) is built
// when the engine asks for it. The copy is kept in blocks of a few pieces, each let go once its last piece
// is built, so a long write gives its memory back as it goes and reuses freed heap memory rather
// than fresh pages. Success is reported once after the last piece is acknowledged; the first
// failure is reported once and ends the series, so no later piece is written.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "LumoTokenSDK/LumoToken/LumoPieceSource.h"
#include "Platform/Error.h"

namespace vexa {

class LumoFileWriteSource final : public LumoPieceSource, public std::enable_shared_from_this<LumoFileWriteSource> {
public:
    using Result = std::function<void(const OptError& error)>;

    /// `pieceSize` bytes per piece (at least 1); empty data is one piece with no data.
    LumoFileWriteSource(uint8_t code, uint8_t handle, ByteView data, uint64_t pieceSize, Result result);

    bool hasNextPiece() const override { return !finished_ && taken_ < pieces_; }
    std::optional<LumoPiece> nextPiece() override;
    void abandon(const Error& error) override { answer(std::nullopt, error); }

    size_t pieceCount() const { return pieces_; }

private:
    // A piece's reply (or error): counts it, or reports the failure and ends the series.
    void answer(const std::optional<Bytes>& reply, const OptError& error);

    static constexpr size_t kPiecesPerBlock = 16;
    void prefetchPiece(size_t index) const;

    uint8_t code_;
    uint8_t handle_;
    size_t pieceSize_;
    size_t size_;
    std::vector<Bytes> blocks_;  // kPiecesPerBlock pieces each, the last one shorter
    size_t pieces_;
    size_t taken_ = 0;
    size_t acknowledged_ = 0;
    bool finished_ = false;
    Result result_;
};

}  // namespace vexa
