#pragma once
// What the library asks of the host besides Bluetooth: its device name and the wall clock.
#include <functional>
#include <string>

namespace vexa {

/// The host device's name, sent to the token when the session key is synchronised. Defaults to
/// the host name; the application may set its own.
std::string hostDeviceName();
void setHostDeviceName(std::string name);

/// Seconds since the Unix epoch from the host clock (or the source a test installed).
double currentUnixTime();
/// Replaces the wall-clock source; an empty function restores the system clock.
void setUnixTimeSource(std::function<double()> source);

}  // namespace vexa
