#include "Platform/NotificationCenter.h"

#include <algorithm>

namespace vexa {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* owner, std::string name, const void* sender, Handler handler) {
    std::lock_guard lock(mutex_);
    entries_.push_back({nextId_++, owner, std::move(name), sender, std::make_shared<Handler>(std::move(handler))});
}

void NotificationCenter::removeObserver(const void* owner) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.owner == owner; });
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name, const void* sender) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) {
        return e.owner == owner && e.name == name && (sender == nullptr || e.sender == sender);
    });
}

size_t NotificationCenter::observerCount(const void* owner) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.owner == owner; }));
}

void NotificationCenter::post(const Notification& n) {
    std::vector<std::pair<uint64_t, std::shared_ptr<Handler>>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e.name == n.name && (e.sender == nullptr || e.sender == n.object.get())) targets.emplace_back(e.id, e.handler);
    }
    for (auto& target : targets) {
        const uint64_t id = target.first;  // a plain variable: clang 14 cannot capture structured bindings
        const auto& handler = target.second;
        bool stillRegistered;
        {
            std::lock_guard lock(mutex_);
            stillRegistered = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.id == id; });
        }
        if (stillRegistered) (*handler)(n);
    }
}

void NotificationCenter::post(std::string name, std::shared_ptr<void> object, std::map<std::string, std::any> userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

}  // namespace vexa
