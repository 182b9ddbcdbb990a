#include "LumoTokenSDK/LumoToken/LumoCommandContainer.h"

#include <utility>

namespace vexa {

LumoCommandContainer::LumoCommandContainer(Bytes cmdData, LumoReplyHandler callbackReply, std::shared_ptr<const bool> cancelled)
    : cmdData_(std::move(cmdData)), callbackReply_(std::move(callbackReply)), cancelled_(std::move(cancelled)) {}

}  // namespace vexa
