#include "Platform/HostDevice.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <optional>

namespace vexa {
namespace {
std::mutex& hostMutex() {
    static std::mutex m;
    return m;
}
std::optional<std::string>& nameOverride() {
    static std::optional<std::string> n;
    return n;
}
std::function<double()>& timeSource() {
    static std::function<double()> f;
    return f;
}
}  // namespace

std::string hostDeviceName() {
    std::lock_guard lock(hostMutex());
    if (nameOverride()) return *nameOverride();
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "Unknown";
    return buf;
}

void setHostDeviceName(std::string name) {
    std::lock_guard lock(hostMutex());
    nameOverride() = std::move(name);
}

double currentUnixTime() {
    std::function<double()> source;
    {
        std::lock_guard lock(hostMutex());
        source = timeSource();
    }
    if (source) return source();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void setUnixTimeSource(std::function<double()> source) {
    std::lock_guard lock(hostMutex());
    timeSource() = std::move(source);
}

}  // namespace vexa
