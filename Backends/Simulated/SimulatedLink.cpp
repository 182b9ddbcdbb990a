#include "Backends/Simulated/SimulatedLink.h"

#include "Platform/MainQueue.h"

namespace vexa {

void SimulatedLink::enqueueTask(Duration cost, Task run, Task abort) {
    if (!open_) {
        if (abort) abort();
        return;
    }
    ops_.push_back(Op{cost, std::move(run), std::move(abort)});
    if (!armed_ && !running_) pump();
}

std::vector<Task> SimulatedLink::close() {
    open_ = false;
    timer_.cancel();
    armed_ = false;
    std::vector<Task> aborts;
    aborts.reserve(ops_.size());
    for (Op& op : ops_)
        if (op.abort) aborts.push_back(std::move(op.abort));
    ops_.clear();
    return aborts;
}

// Runs the head while it costs nothing; otherwise lets it occupy the link until its timer fires.
void SimulatedLink::pump() {
    auto self = shared_from_this();  // an operation may drop the last owner
    running_ = true;
    while (open_ && !ops_.empty()) {
        if (ops_.front().cost > Duration::zero()) {
            armed_ = true;
            std::weak_ptr<SimulatedLink> weak = weak_from_this();
            timer_ = mainQueue()->asyncAfter(ops_.front().cost, [weak] {
                if (auto link = weak.lock()) link->headDue();
            });
            break;
        }
        Op op = std::move(ops_.front());
        ops_.pop_front();
        op.run();
    }
    running_ = false;
}

void SimulatedLink::headDue() {
    armed_ = false;
    if (!open_ || ops_.empty()) return;
    auto self = shared_from_this();
    Op op = std::move(ops_.front());
    ops_.pop_front();
    running_ = true;
    op.run();
    running_ = false;
    pump();
}

}  // namespace vexa
