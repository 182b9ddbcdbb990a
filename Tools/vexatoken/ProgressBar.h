#pragma once
// The transfer progress line of get and put: bytes so far (of the total when known) and the rate,
// redrawn in place on a terminal. Disabled, it prints nothing.
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace vexa::tool {

class ProgressBar {
public:
    ProgressBar(std::ostream& out, bool enabled, std::string label, std::optional<uint64_t> total);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Redraws the line with `done` bytes transferred.
    void update(uint64_t done);
    /// Draws the last state and ends the line; later calls do nothing.
    void finish();

    /// One line of the bar, without the carriage return.
    static std::string render(std::string_view label, uint64_t done, std::optional<uint64_t> total, double seconds);
    /// "512 B", "12.3 KiB", "4.0 MiB".
    static std::string formatBytes(double bytes);

private:
    std::ostream& out_;
    bool enabled_;
    bool finished_ = false;
    std::string label_;
    std::optional<uint64_t> total_;
    uint64_t done_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace vexa::tool
