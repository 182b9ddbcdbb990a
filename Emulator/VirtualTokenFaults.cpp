#include "Emulator/VirtualTokenFaults.h"

#include <algorithm>

namespace vexa {

void VirtualTokenFaults::add(VirtualTokenFaultRule rule) {
    if (rule.times != 0) rules_.push_back(rule);
}

VirtualTokenFaultPlan VirtualTokenFaults::take(uint8_t command) {
    VirtualTokenFaultPlan plan;
    for (auto& rule : rules_) {
        if (rule.command && *rule.command != command) continue;
        switch (rule.kind) {
            case VirtualTokenFault::ReplyStatus:
                if (!plan.status) plan.status = rule.status;
                break;
            case VirtualTokenFault::NoReply: plan.noReply = true; break;
            case VirtualTokenFault::Delay: plan.delay += rule.delay; break;
            case VirtualTokenFault::BadCrc: plan.badCrc = true; break;
            case VirtualTokenFault::EmptyPayload: plan.emptyPayload = true; break;
            case VirtualTokenFault::FramesOutOfOrder: plan.framesOutOfOrder = true; break;
        }
        if (rule.times > 0) --rule.times;
    }
    std::erase_if(rules_, [](const VirtualTokenFaultRule& r) { return r.times == 0; });
    return plan;
}

}  // namespace vexa
