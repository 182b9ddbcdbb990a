#pragma once
// Fault switches of the virtual token: rules that change how it answers chosen commands.
//
// A rule names a command code (or any command) and a kind of fault; it applies to the next
// `times` matching commands, or to every one while times is negative, until clear(). Several
// rules may apply to one command: their effects combine (a late reply with a broken CRC, say).
// Kinds:
//   ReplyStatus       answer only the status byte `status`, without running the command
//   NoReply           swallow the command: no reply ever comes (the command does not run)
//   Delay             run the command at once but send its reply `delay` later (queue clock)
//   BadCrc            reply package whose CRC byte is wrong
//   EmptyPayload      reply package with an empty payload (length 0: not even a status)
//   FramesOutOfOrder  reply frames sent as 1, 0, 2, 3, ...; a one-frame reply goes out with
//                     its index byte set to 1
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "Platform/Clock.h"

namespace vexa {

enum class VirtualTokenFault { ReplyStatus, NoReply, Delay, BadCrc, EmptyPayload, FramesOutOfOrder };

struct VirtualTokenFaultRule {
    std::optional<uint8_t> command;  // absent: every command
    VirtualTokenFault kind = VirtualTokenFault::ReplyStatus;
    uint8_t status = 0;               // ReplyStatus
    Duration delay{};                 // Delay
    int times = -1;                   // negative: until cleared
};

/// What the rules decided for one command.
struct VirtualTokenFaultPlan {
    std::optional<uint8_t> status;
    bool noReply = false;
    Duration delay{};
    bool badCrc = false;
    bool emptyPayload = false;
    bool framesOutOfOrder = false;
};

class VirtualTokenFaults {
public:
    void add(VirtualTokenFaultRule rule);
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }
    /// Applies the matching rules to one command (using up counted ones) and returns the plan.
    VirtualTokenFaultPlan take(uint8_t command);

private:
    std::vector<VirtualTokenFaultRule> rules_;
};

}  // namespace vexa
