#include "Platform/MainQueue.h"

#include <atomic>
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
// The installed queue's address, for isMainQueue (null: none installed).
std::atomic<const DispatchQueue*> installedAddress{nullptr};
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
    installedAddress.store(queue.get());
    installedQueue() = std::move(queue);
}

bool isMainQueue(const DispatchQueue* queue) {
    static const DispatchQueue* const fallback = defaultRunLoop().get();
    const DispatchQueue* installed = installedAddress.load();
    return queue != nullptr && queue == (installed ? installed : fallback);
}

}  // namespace vexa
