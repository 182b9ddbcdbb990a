#pragma once
// The token's real-time clock: whole seconds since the Unix epoch that advance with the clock of
// the queue the token runs on (a virtual clock in tests), and that command 0x10 sets.
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/DispatchQueue.h"

namespace vexa {

class VirtualTokenClock {
public:
    /// Starts at `unixSeconds` now, on `queue`'s clock.
    VirtualTokenClock(std::shared_ptr<DispatchQueue> queue, int64_t unixSeconds);

    /// Seconds since the Unix epoch on the token.
    int64_t now() const;
    void set(int64_t unixSeconds);

    /// "YYYY-MM-DD HH:MM:SS" in UTC, as the directory listing shows creation dates.
    static std::string format(int64_t unixSeconds);

private:
    std::shared_ptr<DispatchQueue> queue_;
    int64_t base_;
    Duration reference_;
};

}  // namespace vexa
