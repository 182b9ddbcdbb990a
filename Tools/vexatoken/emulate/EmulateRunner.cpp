#include "Tools/vexatoken/emulate/EmulateRunner.h"

#include <sdbus-c++/sdbus-c++.h>

#include <csignal>

#include "Platform/RunLoop.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/Json.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "Tools/vexatoken/SimState.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/emulate/FaultSwitch.h"
#include "Tools/vexatoken/emulate/TokenEmulator.h"

namespace vexa::tool {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int signal) { stopSignal = signal; }

// SIGINT and SIGTERM end the run for the life of the object; the previous handlers come back.
class StopSignals {
public:
    StopSignals() {
        stopSignal = 0;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// Prints what the emulator does: a line of text each, or a JSON object a line.
class EmulateLog final : public EmulatorEvents {
public:
    EmulateLog(std::ostream& out, bool json, std::ostream* traffic) : out_(out), json_(json), traffic_(traffic) {}

    void event(const std::string& text, Json fields) {
        if (json_) out_ << fields.dump() << '\n';
        else out_ << text << '\n';
        out_.flush();
    }

    void advertising(const std::string& adapter) override {
        event("advertising \"" + name + "\" on " + adapter + "; Ctrl-C stops",
              Json::object().set("event", "advertising").set("name", name).set("adapter", adapter));
    }
    void failed(const Error& error) override { failure = error; }
    void linkChanged(const std::string& address, bool connected) override {
        const char* what = connected ? "connected" : "disconnected";
        event(std::string(what) + " " + address, Json::object().set("event", what).set("address", address));
    }
    void sessionChanged(const std::string& address, bool started) override {
        event(std::string(started ? "session starts with " : "session ends with ") + address,
              Json::object().set("event", started ? "session-start" : "session-end").set("address", address));
        if (!started && saveState) saveState();
    }
    void refused(const std::string& address) override {
        event("refused a write of " + address + ": another host is using the token",
              Json::object().set("event", "refused").set("address", address));
    }
    void received(const VirtualTokenEndpoint::ReceivedPackage& command) override {
        if (!command.valid) {
            event("command: unreadable package of " + std::to_string(command.package.size()) + " bytes",
                  Json::object().set("event", "command").set("valid", false).set("length", static_cast<uint64_t>(command.package.size())));
            return;
        }
        const std::string named = codeText(command.code) + " " + commandName(command.code);
        event("command " + named + (command.encrypted ? " (encrypted)" : ""), Json::object()
                                                                                 .set("event", "command")
                                                                                 .set("code", int{command.code})
                                                                                 .set("name", commandName(command.code))
                                                                                 .set("encrypted", command.encrypted)
                                                                                 .set("length", static_cast<uint64_t>(command.payload.size())));
    }
    void replied(const Bytes& package) override {
        // code, length (2 bytes), payload, CRC; the payload starts with the status byte.
        const uint8_t code = package.empty() ? 0 : package[0];
        const size_t length = package.size() >= 4 ? package.size() - 4 : 0;
        Json fields = Json::object().set("event", "reply").set("code", int{code}).set("name", commandName(code));
        std::string text = "reply   " + codeText(code) + " " + commandName(code) + ": ";
        if (length == 0) {
            text += "empty";
        } else {
            text += "status " + std::to_string(package[3]);
            if (length > 1) text += ", " + std::to_string(length - 1) + (length == 2 ? " byte" : " bytes");
            fields.set("status", int{package[3]});
        }
        event(text, fields.set("length", static_cast<uint64_t>(length)));
    }
    void frame(const Bytes& bytes, bool fromHost) override {
        if (traffic_) *traffic_ << (fromHost ? "> " : "< ") << formatHex(bytes) << '\n';
    }
    void switchedOff() override {
        event("switched off: the link drops; on again for the next host", Json::object().set("event", "switched-off"));
    }

    static std::string codeText(uint8_t code) {
        static const char* hex = "0123456789abcdef";
        return std::string("0x") + hex[code >> 4] + hex[code & 0xF];
    }

    std::string name;
    std::function<void()> saveState;
    std::optional<Error> failure;

private:
    std::ostream& out_;
    bool json_;
    std::ostream* traffic_;  // -v: the frames in hex
};

VirtualTokenConfig tokenConfig(const ToolOptions& options, const std::optional<std::string>& key) {
    VirtualTokenConfig config = SimEnvironment::defaultConfig();
    config.name = options.tokenName.value_or(kEmulatedTokenName);
    config.identifier.clear();
    if (options.serial) config.serial = *options.serial;
    if (key) config.key = keyFromPassword(*key, config.name);
    return config;
}

std::unique_ptr<sdbus::IConnection> openBus(const std::string& address) {
    try {
        return address.empty() ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnectionWithAddress(address);
    } catch (const sdbus::Error& e) {
        throw toolFailure(kExitNotFound, "Bluetooth is not available: cannot reach the D-Bus bus (" + e.getMessage() + ").");
    }
}

}  // namespace

int serveEmulatedToken(const ToolOptions& options, const std::optional<std::string>& key, const EmulateBus& bus, std::ostream& out,
                       std::ostream& err) {
    EmulatorSettings settings;
    settings.config = tokenConfig(options, key);
    settings.options.adapter = bus.adapter;
    settings.faults = faultRules(options.faults);
    const std::string name = settings.config.name;

    auto loop = std::make_shared<RunLoop>();
    auto log = std::make_shared<EmulateLog>(out, options.json, options.verbose ? &err : nullptr);
    log->name = name;
    auto emulator = TokenEmulator::create(std::move(settings), openBus(bus.address), loop, log);
    VirtualTokenDevice& device = emulator->endpoint().device();
    if (options.simState) loadSimState(device, *options.simState);
    log->saveState = [&] {
        try {
            if (options.simState) saveSimState(device, *options.simState);
        } catch (const ToolFailure& failure) {
            err << "error: " << failure.error().description() << '\n';
        }
    };
    // A longer name does not fit the scan response: hosts see it shortened, and salt keys with that.
    if (name.size() > 29) err << "note: names of more than 29 bytes reach the hosts shortened\n";
    for (const auto& text : options.faults) log->event("fault " + text, Json::object().set("event", "fault").set("switch", text));

    StopSignals signals;
    emulator->start();
    const auto done = [&] { return stopSignal != 0 || log->failure.has_value(); };
    while (!done()) loop->runUntil(done, std::chrono::milliseconds(100));
    emulator->stop();
    loop->runUntilIdle();
    log->saveState();
    if (log->failure) {
        const Error& e = *log->failure;
        throw ToolFailure(kExitNotFound, Error{e.domain, e.code, "The token cannot be served through BlueZ: " + e.message});
    }
    log->event("stopped", Json::object().set("event", "stopped"));
    return kExitOk;
}

}  // namespace vexa::tool
