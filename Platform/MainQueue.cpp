#include "Platform/MainQueue.h"

#include <mutex>

namespace vexa {
namespace {
std::mutex& queueMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<DispatchQueue>& installedQueue() {
    static std::shared_ptr<DispatchQueue> q;
    return q;
}
}  // namespace

std::shared_ptr<RunLoop> defaultRunLoop() {
    static const auto loop = std::make_shared<RunLoop>();
    return loop;
}

std::shared_ptr<DispatchQueue> mainQueue() {
    std::lock_guard lock(queueMutex());
    if (auto& q = installedQueue()) return q;
    return defaultRunLoop();
}

void setMainQueue(std::shared_ptr<DispatchQueue> queue) {
    std::lock_guard lock(queueMutex());
    installedQueue() = std::move(queue);
}

}  // namespace vexa
