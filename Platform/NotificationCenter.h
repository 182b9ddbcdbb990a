#pragma once
// Named notifications with synchronous delivery on the posting thread (the main queue).
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

/// The "no value" marker placed in a notification's user information.
struct NullMarker {
    bool operator==(const NullMarker&) const = default;
};

struct Notification {
    std::string name;
    std::shared_ptr<void> object;  // the sender, may be null
    std::map<std::string, std::any> userInfo;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    /// Registers `handler` for `name`, keyed by `owner` (any stable address, usually `this`).
    /// With a non-null `sender`, only notifications whose object is that sender are delivered.
    void addObserver(const void* owner, std::string name, const void* sender, Handler handler);
    /// Removes every registration of `owner`.
    void removeObserver(const void* owner);
    /// Removes `owner`'s registrations for `name` (and, when given, that sender only).
    void removeObserver(const void* owner, const std::string& name, const void* sender = nullptr);

    /// Delivers to the matching observers now, in registration order. Observers removed by an
    /// earlier handler during the same post are not called; ones added are called from the next post.
    void post(const Notification& notification);
    void post(std::string name, std::shared_ptr<void> object, std::map<std::string, std::any> userInfo = {});

    size_t observerCount(const void* owner) const;

private:
    struct Entry {
        uint64_t id;
        const void* owner;
        std::string name;
        const void* sender;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t nextId_ = 1;
};

}  // namespace vexa
