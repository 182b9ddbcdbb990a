#pragma once
// What the fake BlueZ service shares with its devices: the loop, the behaviour switches the
// tests set, and the log the tests read. Used on the fake's loop thread only (except `post`).
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Backends/BlueZ/DBusLoop.h"
#include "Platform/Bytes.h"

namespace vexa::test {

struct LoggedWrite {
    std::string uuid;
    Bytes value;
    std::string type;  // "request" or "command"
};

struct FakeError {
    std::string name;
    std::string message;
};

struct FakeBehaviour {
    bool cacheAlways = true;            // GATT objects stay on disconnect (main.conf Cache=always)
    bool lateGattObjects = false;       // ServicesResolved=true comes before the GATT objects
    bool holdConnects = false;          // Connect stays pending until released or cancelled
    std::optional<FakeError> connectFailure;  // the next Connect fails with this
    bool holdNextWrite = false;         // the next write request stays pending until released
    std::optional<FakeError> writeFailure;    // the next write fails with this
    std::chrono::milliseconds resolveDelay{20};
    std::chrono::milliseconds lateObjectsDelay{300};
    std::chrono::milliseconds lateCharacteristicsDelay{0};  // late objects: each characteristic this long after the last
    std::chrono::milliseconds cccdDelay{10};
    std::chrono::milliseconds writeDelay{3};
    int dropAfterWrites = 0;            // the link drops after this many more writes reached a device
};

struct FakeLog {
    std::vector<std::string> calls;  // "Connect AA:..", "StartNotify <uuid>", "StartDiscovery", ...
    std::map<std::string, std::vector<LoggedWrite>> writes;  // by device address
    int inProgress = 0;              // InProgress errors returned for overlapping writes
};

struct FakeEnvironment {
    DBusLoop* loop = nullptr;  // null while the service is stopped
    std::string adapterPath = "/org/bluez/hci0";
    FakeBehaviour behaviour;
    FakeLog log;
    /// Runs a task on the service's loop; callable from any thread; dropped while stopped.
    std::function<void(Task)> post;
};

}  // namespace vexa::test
