#include "Emulator/VirtualTokenClock.h"

#include <chrono>
#include <cstdio>

namespace vexa {

VirtualTokenClock::VirtualTokenClock(std::shared_ptr<DispatchQueue> queue, int64_t unixSeconds)
    : queue_(std::move(queue)), base_(unixSeconds), reference_(queue_->now()) {}

int64_t VirtualTokenClock::now() const {
    return base_ + std::chrono::duration_cast<std::chrono::seconds>(queue_->now() - reference_).count();
}

void VirtualTokenClock::set(int64_t unixSeconds) {
    base_ = unixSeconds;
    reference_ = queue_->now();
}

std::string VirtualTokenClock::format(int64_t unixSeconds) {
    using namespace std::chrono;
    const sys_seconds t{seconds{unixSeconds}};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char text[64];  // room for any year the arithmetic can produce
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), static_cast<long>(hms.hours().count()),
                  static_cast<long>(hms.minutes().count()), static_cast<long>(hms.seconds().count()));
    return text;
}

}  // namespace vexa
