#pragma once
// The process-wide main queue: where the library runs all its work and calls the application.
#include <memory>

#include "Platform/DispatchQueue.h"
#include "Platform/RunLoop.h"

namespace vexa {

/// The queue the library calls "main": the application's own if it installed one, otherwise
/// the default RunLoop, which the application drives (run, runFor, runUntil...).
std::shared_ptr<DispatchQueue> mainQueue();

/// True when `queue` is the main queue now; cheaper than comparing with mainQueue().
bool isMainQueue(const DispatchQueue* queue);

/// Installs the application's main queue (Qt, GLib, a game loop or a RunLoop on a virtual clock).
/// Passing nullptr returns to the default RunLoop. Install it before using the library.
void setMainQueue(std::shared_ptr<DispatchQueue> queue);

/// The default RunLoop (created on first use, steady clock).
std::shared_ptr<RunLoop> defaultRunLoop();

}  // namespace vexa
