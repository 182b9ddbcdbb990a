#pragma once
// A private dbus-daemon for tests: session-type configuration in a temporary directory, no
// system bus and no root needed. The daemon is stopped (by its pid) when the object goes.
#include <string>
#include <sys/types.h>

namespace vexa::test {

class PrivateBus {
public:
    /// Starts the daemon; address() is empty if that failed (error() says why).
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

private:
    std::string dir_;
    std::string address_;
    std::string error_;
    pid_t pid_ = -1;
};

}  // namespace vexa::test
