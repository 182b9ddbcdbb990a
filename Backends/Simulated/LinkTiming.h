#pragma once
// Latencies of the simulated link. All zero by default: an instant link.
#include "Platform/Clock.h"

namespace vexa {

/// How long each kind of operation occupies a peripheral's link. Operations on one link run one
/// after the other in the order they were queued (one FIFO timeline per connection), so N writes
/// queued back to back complete after N x `writeWithResponse`, and a notification queued behind
/// them reaches the central after they have all completed plus `notification`.
struct LinkTiming {
    Duration connection{0};            // connect request -> connect (or fail-to-connect) answer
    Duration discovery{0};             // each service discovery and each characteristic discovery
    Duration writeWithResponse{0};     // write request -> device receives it and the answer is sent
    Duration writeWithoutResponse{0};  // write request -> device receives it
    Duration notification{0};          // device's notify -> value reaches the central
    bool operator==(const LinkTiming&) const = default;
};

}  // namespace vexa
