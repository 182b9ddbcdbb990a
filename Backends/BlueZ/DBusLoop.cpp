#include "Backends/BlueZ/DBusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <future>
#include <sdbus-c++/Error.h>

namespace vexa {

namespace {

// Most tasks or D-Bus messages handled in a row before the loop turns to the other source.
constexpr int kBatch = 64;

// Sets the waiter's answer when the task runs, or `false` when the task is dropped unrun.
struct SyncWaiter {
    std::promise<bool> promise;
    bool answered = false;
    void answer(bool ran) {
        if (answered) return;
        answered = true;
        promise.set_value(ran);
    }
    ~SyncWaiter() { answer(false); }
};

}  // namespace

DBusLoop::DBusLoop(std::unique_ptr<sdbus::IConnection> connection, std::string label)
    : label_(std::move(label)), connection_(std::move(connection)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!connection_) lost_ = true;
    thread_ = std::thread([this] { run(); });
}

DBusLoop::~DBusLoop() {
    stop();
    connection_.reset();
    if (wakeFd_ >= 0) close(wakeFd_);
}

void DBusLoop::async(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        schedule_.post(std::move(task));
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
}

DelayedCall DBusLoop::asyncAfter(Duration delay, Task task) {
    DelayedCall call;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return DelayedCall(std::make_shared<std::atomic<bool>>(true));
        call = schedule_.postAt(clock_.now() + std::max(delay, Duration::zero()), std::move(task));
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
    return call;
}

bool DBusLoop::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return true;
    }
    auto waiter = std::make_shared<SyncWaiter>();
    auto answer = waiter->promise.get_future();
    async([waiter, &task] {
        task();
        waiter->answer(true);
    });
    waiter.reset();  // the queued task now holds the only reference
    return answer.get();
}

void DBusLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
}

void DBusLoop::run() {
    threadId_ = std::this_thread::get_id();
    for (;;) {
        bool worked = runTasks();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        worked = processBus() || worked;
        if (!worked) waitForWork();
    }
    TaskSchedule dropped;
    {
        std::lock_guard lock(mutex_);
        std::swap(dropped, schedule_);
    }
    dropped.clear();  // destroys the closures outside the lock
    threadId_ = std::thread::id{};
}

bool DBusLoop::runTasks() {
    bool worked = false;
    for (int i = 0; i < kBatch; ++i) {
        std::optional<TaskSchedule::Entry> task;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return worked;
            schedule_.releaseDue(clock_.now());
            task = schedule_.take();
        }
        if (!task) break;
        (*task)();
        worked = true;
    }
    return worked;
}

bool DBusLoop::processBus() {
    if (lost_) return false;
    bool worked = false;
    for (int i = 0; i < kBatch; ++i) {
        try {
            if (!connection_->processPendingRequest()) break;
        } catch (const sdbus::Error&) {
            markBusLost();
            break;
        } catch (const std::exception&) {
            // A handler failed; the message is consumed and the loop goes on.
        }
        worked = true;
    }
    return worked;
}

void DBusLoop::waitForWork() {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    int timeoutMs = -1;
    if (!lost_) {
        try {
            const auto data = connection_->getEventLoopPollData();
            fds[1] = {data.fd, data.events, 0};
            count = 2;
            timeoutMs = data.getPollTimeout();
        } catch (const sdbus::Error&) {
            markBusLost();
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || schedule_.hasReady()) return;
        if (auto next = schedule_.nextDue()) {
            const auto rel = *next - clock_.now();
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(rel, Duration::zero())).count();
            const int timerMs = static_cast<int>(std::min<int64_t>(ms, INT_MAX));
            timeoutMs = timeoutMs < 0 ? timerMs : std::min(timeoutMs, timerMs);
        }
    }
    poll(fds, count, timeoutMs);
    uint64_t value = 0;
    [[maybe_unused]] auto n = ::read(wakeFd_, &value, sizeof value);
}

void DBusLoop::markBusLost() {
    if (lost_.exchange(true)) return;
    if (busLost_) busLost_();
}

}  // namespace vexa
