#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"

#include <utility>

namespace vexa {

LumoCommandContainer::LumoCommandContainer(Bytes cmdData, LumoReplyHandler callbackReply, std::shared_ptr<const bool> cancelled,
                                           std::optional<uint8_t> code, uint64_t operation)
    : cmdData_(std::move(cmdData)),
      callbackReply_(std::move(callbackReply)),
      cancelled_(std::move(cancelled)),
      code_(code),
      operation_(operation) {}

}  // namespace vexa
