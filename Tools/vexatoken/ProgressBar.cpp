#include "Tools/vexatoken/ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace vexa::tool {
namespace {

constexpr size_t kBarWidth = 24;

}  // namespace

ProgressBar::ProgressBar(std::ostream& out, bool enabled, std::string label, std::optional<uint64_t> total)
    : out_(out), enabled_(enabled), label_(std::move(label)), total_(total), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    // A transfer that failed half-way still leaves the terminal on a fresh line.
    if (enabled_ && !finished_) out_ << '\n' << std::flush;
}

void ProgressBar::update(uint64_t done) {
    done_ = done;
    if (!enabled_ || finished_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    out_ << '\r' << render(label_, done_, total_, seconds) << "\x1b[K" << std::flush;
}

void ProgressBar::finish() {
    if (finished_) return;
    update(done_);
    finished_ = true;
    if (enabled_) out_ << '\n' << std::flush;
}

std::string ProgressBar::formatBytes(double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024.0;
        ++unit;
    }
    char buf[32];
    if (unit == 0)
        std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", bytes, kUnits[unit]);
    return buf;
}

std::string ProgressBar::render(std::string_view label, uint64_t done, std::optional<uint64_t> total, double seconds) {
    std::string line(label);
    if (total) {
        const double fraction = *total ? std::min(1.0, static_cast<double>(done) / static_cast<double>(*total)) : 1.0;
        const auto filled = static_cast<size_t>(fraction * kBarWidth);
        line += " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] ";
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
        line += percent;
        line += ' ' + formatBytes(static_cast<double>(done)) + " / " + formatBytes(static_cast<double>(*total));
    } else {
        line += ' ' + formatBytes(static_cast<double>(done));
    }
    // The rate needs a measurable time; a transfer faster than that shows none.
    if (seconds >= 0.001) line += "  " + formatBytes(static_cast<double>(done) / seconds) + "/s";
    return line;
}

}  // namespace vexa::tool
