#include "Platform/Clock.h"

namespace vexa {

Duration SteadyClock::now() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void VirtualClock::advanceTo(Duration t) {
    int64_t cur = now_.load();
    while (t.count() > cur && !now_.compare_exchange_weak(cur, t.count())) {
    }
}

}  // namespace vexa
