#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"

#include <utility>

#include "LumoTokenSDK/LumoToken/LumoPieceSource.h"

namespace vexa {

LumoCommandContainer::LumoCommandContainer(Bytes cmdData, LumoReplyHandler callbackReply, std::shared_ptr<const bool> cancelled,
                                           std::optional<uint8_t> code, uint64_t operation)
    : cmdData_(std::move(cmdData)),
      callbackReply_(std::move(callbackReply)),
      cancelled_(std::move(cancelled)),
      code_(code),
      operation_(operation) {}

LumoCommandContainer::LumoCommandContainer(std::shared_ptr<LumoPieceSource> source, LumoReplyHandler callbackReply, uint64_t operation)
    : callbackReply_(std::move(callbackReply)), operation_(operation), source_(std::move(source)) {}

}  // namespace vexa
