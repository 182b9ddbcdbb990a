#include "Tools/vexatoken/Interruption.h"

#include <unistd.h>

#include <atomic>

namespace vexa::tool {
namespace {

// Lock-free, hence safe to touch from a signal handler.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction gOldInt {};
struct sigaction gOldTerm {};
bool gIntInstalled = false;
bool gTermInstalled = false;

extern "C" void onToolStopSignal(int number) {
    // Only async-signal-safe work here: a flag, or _exit for the second signal.
    int expected = 0;
    if (!gStopSignal.compare_exchange_strong(expected, number)) _exit(128 + number);
}

// Installs the handler for `number` unless the signal was ignored; true when installed.
bool install(int number, struct sigaction& old) {
    if (sigaction(number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return false;
    struct sigaction action {};
    action.sa_handler = onToolStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(number, &action, nullptr) == 0;
}

}  // namespace

Interruption::Interruption() {
    gStopSignal.store(0);
    gIntInstalled = install(SIGINT, gOldInt);
    gTermInstalled = install(SIGTERM, gOldTerm);
}

Interruption::~Interruption() {
    if (gIntInstalled) sigaction(SIGINT, &gOldInt, nullptr);
    if (gTermInstalled) sigaction(SIGTERM, &gOldTerm, nullptr);
    gIntInstalled = gTermInstalled = false;
}

int Interruption::signal() { return gStopSignal.load(); }

ToolFailure interruptedFailure(const std::string& message) {
    const int status = 128 + (Interruption::signal() != 0 ? Interruption::signal() : SIGINT);
    return ToolFailure(status, Error{kToolErrorDomain, status, message});
}

bool isInterruption(const ToolFailure& failure) { return failure.exitCode() > 128; }

}  // namespace vexa::tool
