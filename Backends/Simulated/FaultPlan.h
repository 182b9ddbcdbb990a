#pragma once
// Faults a virtual peripheral injects on request. Each fault is armed by the test or device model
// and consumed by the stack as the matching operation happens. Main queue only.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "Platform/Error.h"

namespace vexa {

class FaultPlan {
public:
    /// A count that never runs out.
    static constexpr unsigned kAlways = ~0u;

    // Connection attempts. Connect faults are taken one per attempt, in the order armed.

    /// The next `count` connection attempts fail: once the connection delay has passed the central
    /// hears didFailToConnect with `error`.
    void refuseConnections(Error error, unsigned count = 1);
    /// The next `count` connection attempts are never answered; only cancelPeripheralConnection
    /// ends such an attempt (with a disconnect callback carrying no error).
    void ignoreConnections(unsigned count = 1);

    // Writes with response, counted from the moment the fault is armed. A write refused by the
    // characteristic (property or length) is answered with its own error and is not counted.

    /// The `nth` write with response from now (1 = the next) fails with `error`: the device never
    /// receives it and the traffic observer does not see it.
    void failWrite(Error error, unsigned nth = 1);
    /// The link drops right after the `writes`-th write with response from now (1 = the next) has
    /// been answered: the central hears that answer, then didDisconnect with `error` (by default
    /// SimulatedBleError::PeripheralDisconnected). Arming again replaces the previous setting.
    void disconnectAfterWrites(unsigned writes, OptError error = {});

    // Notifications. Each fault applies to the next notification that reaches a subscribed
    // central, in the order armed (a swap consumes two notifications).

    /// The next notification is lost.
    void dropNotification();
    /// The next notification arrives twice.
    void duplicateNotification();
    /// The next two notifications arrive in reverse order. If the second never comes (the link
    /// drops first) the held one is lost.
    void swapNotifications();
    /// The next notification arrives with one byte inverted (xor 0xFF): the byte at `byteIndex`, or
    /// the last byte when none is given or the index is past the end. An empty value stays empty.
    void corruptNotification(std::optional<size_t> byteIndex = std::nullopt);

    /// Disarms every fault.
    void clear();
    /// True when no fault is armed.
    bool empty() const;

    // ---- Consumed by the stack ----

    struct ConnectFault {
        bool ignore = false;  // never answer
        Error error;          // otherwise: fail with this
    };
    std::optional<ConnectFault> takeConnectFault();

    struct WriteFaults {
        OptError fail;                               // the write fails with this
        std::optional<OptError> disconnectAfter;     // drop the link after answering (with this error)
    };
    /// Counts one write with response; true when write faults are armed (the usual case has none).
    bool countWrite() {
        ++writesCounted_;
        return !failAt_.empty() || disconnectAt_;
    }
    /// What applies to the write counted last.
    WriteFaults takeWriteFaults();

    enum class NotificationFaultKind { Drop, Duplicate, Swap, Corrupt };
    struct NotificationFault {
        NotificationFaultKind kind = NotificationFaultKind::Drop;
        std::optional<size_t> byteIndex;  // Corrupt only
    };
    std::optional<NotificationFault> takeNotificationFault();
    bool hasNotificationFaults() const { return !notifications_.empty(); }

private:
    struct ConnectEntry {
        ConnectFault fault;
        unsigned remaining;
    };
    std::deque<ConnectEntry> connect_;
    uint64_t writesCounted_ = 0;
    std::map<uint64_t, Error> failAt_;  // write number -> error
    std::optional<std::pair<uint64_t, OptError>> disconnectAt_;
    std::deque<NotificationFault> notifications_;
};

}  // namespace vexa
