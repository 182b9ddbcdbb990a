#include "LumoTokenSDK/LumoToken/LumoFileWriteSource.h"

#include <algorithm>

#include "LumoTokenSDK/LumoToken/LumoReplyHandling.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

namespace vexa {

LumoFileWriteSource::LumoFileWriteSource(uint8_t code, uint8_t handle, ByteView data, uint64_t pieceSize, Result result)
    : code_(code),
      handle_(handle),
      pieceSize_(static_cast<size_t>(std::max<uint64_t>(pieceSize, 1))),
      size_(data.size()),
      pieces_(data.empty() ? 1 : (data.size() + pieceSize_ - 1) / pieceSize_),
      result_(std::move(result)) {
    const size_t blockSize = pieceSize_ * kPiecesPerBlock;
    blocks_.reserve((data.size() + blockSize - 1) / blockSize);
    for (size_t offset = 0; offset < data.size(); offset += blockSize) {
        const ByteView block = data.subspan(offset, std::min(blockSize, data.size() - offset));
        blocks_.emplace_back(block.begin(), block.end());
    }
}

std::optional<LumoPiece> LumoFileWriteSource::nextPiece() {
    if (!hasNextPiece()) return std::nullopt;
    const size_t count = std::min(pieceSize_, size_ - taken_ * pieceSize_);
    const size_t blockIndex = taken_ / kPiecesPerBlock;
    const size_t offset = (taken_ % kPiecesPerBlock) * pieceSize_;
    LumoPiece piece;
    piece.code = code_;
    // The payload is the handle, the count and the data: built straight into the package.
    const uint8_t head[3] = {handle_, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    const ByteView data = count > 0 ? ByteView(blocks_[blockIndex]).subspan(offset, count) : ByteView();
    piece.package = LumoTokenCommand::buildPackage(code_, head, data);
    piece.handler = [self = shared_from_this()](const std::optional<Bytes>& reply, const OptError& error) { self->answer(reply, error); };
    ++taken_;
    if (count > 0 && (taken_ % kPiecesPerBlock == 0 || taken_ == pieces_)) Bytes().swap(blocks_[blockIndex]);  // all in pieces now
    prefetchPiece(taken_);
    return piece;
}

void LumoFileWriteSource::prefetchPiece(size_t index) const {
    // The copy was made at the start; the next piece's bytes are fetched into the cache while this
    // piece goes out.
    if (index >= pieces_) return;
    const size_t count = std::min(pieceSize_, size_ - index * pieceSize_);
    const Bytes& block = blocks_[index / kPiecesPerBlock];
    const size_t offset = (index % kPiecesPerBlock) * pieceSize_;
    if (offset + count > block.size()) return;
    for (size_t i = 0; i < count; i += 64) __builtin_prefetch(block.data() + offset + i);
}

void LumoFileWriteSource::answer(const std::optional<Bytes>& reply, const OptError& error) {
    if (finished_) return;
    if (OptError failure = replyFailure(reply, error)) {
        finished_ = true;
        blocks_.clear();
        if (result_) result_(failure);
        return;
    }
    if (++acknowledged_ == pieces_) {
        finished_ = true;
        if (result_) result_(std::nullopt);
    }
}

}  // namespace vexa
