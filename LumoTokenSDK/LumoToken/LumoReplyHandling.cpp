#include "LumoTokenSDK/LumoToken/LumoReplyHandling.h"

#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"

namespace vexa {

OptError replyFailure(const std::optional<Bytes>& payload, const OptError& error) {
    if (error) return error;
    // The engine never delivers an empty payload; treat one as an invalid reply all the same.
    if (!payload || payload->empty()) return lumoTokenError(kLumoTokenErrorInvalidResponse);
    if ((*payload)[0] != 0) return replyStatusError((*payload)[0]);
    return std::nullopt;
}

LumoReplyHandler standardReply(std::function<void(const Error&)> fail, std::function<void(ByteView result)> succeed) {
    return [fail = std::move(fail), succeed = std::move(succeed)](const std::optional<Bytes>& payload, const OptError& error) {
        if (OptError failure = replyFailure(payload, error)) {
            fail(*failure);
            return;
        }
        succeed(ByteView(*payload).subspan(1));
    };
}

LumoReplyHandler statusOnlyReply(const std::function<void(const OptError&)>& result) {
    if (!result) return ignoredReply();
    return standardReply([result](const Error& e) { result(e); }, [result](ByteView) { result(std::nullopt); });
}

LumoReplyHandler restAsData(std::function<void(const std::optional<Bytes>& data, const OptError& error)> result) {
    if (!result) return ignoredReply();
    // One closure, rather than standardReply's two holding a copy of `result` each: file reads,
    // which a transfer repeats, come this way. The data keeps the payload's buffer, less its status.
    return [result = std::move(result)](std::optional<Bytes>&& payload, const OptError& error) {
        if (OptError failure = replyFailure(payload, error)) return result(std::nullopt, *failure);
        payload->erase(payload->begin());
        result(payload, std::nullopt);
    };
}

LumoReplyHandler firstByteReply(std::function<void(const Error&)> fail, std::function<void(uint8_t)> succeed) {
    return standardReply(fail, [fail, succeed = std::move(succeed)](ByteView rest) {
        if (rest.empty()) return fail(lumoTokenError(kLumoTokenErrorInvalidResponse));
        succeed(rest[0]);
    });
}

LumoReplyHandler ignoredReply() {
    return [](const std::optional<Bytes>&, const OptError&) {};
}

}  // namespace vexa
