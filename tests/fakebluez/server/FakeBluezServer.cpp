// fakebluez: the fake org.bluez with one virtual token, as a process, for tests that cannot link
// it in (the Python package's). The token emulator serves the token on the fake's second adapter,
// looped back to the first. Starts a private dbus-daemon unless --bus is given, prints
// "bus <address>" once the token is on the air, then takes commands on stdin, one a line,
// answering "ok" (or "error <text>") once applied:
//   status CODE STATUS TIMES   the token answers command CODE with status STATUS (TIMES < 0: always)
//   ignore CODE TIMES          the token never answers command CODE
//   drop-after WRITES          the link drops after WRITES more frames written to the token
// End of input stops it.
//
//   fakebluez --name NAME [--key KEY] [--serial TEXT] [--bus ADDRESS]
// KEY is the key string the token holds, as a host's key store keeps it.
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"
#include "Tools/vexatoken/emulate/TokenEmulator.h"
#include "tests/fakebluez/FakeBluez.h"
#include "tests/fakebluez/PrivateBus.h"

using namespace vexa;
using namespace vexa::test;

namespace {

// Notes when the token is on the air.
class OnAir final : public EmulatorEvents {
public:
    void advertising(const std::string&) override { onAir = true; }
    bool onAir = false;
};

// Applies one command line; the answer to print.
std::string apply(const std::string& line, TokenEmulator& token, FakeBluez& fake) {
    std::istringstream in(line);
    std::string verb;
    int a = 0, b = 0, c = 0;
    in >> verb;
    if (verb == "status" && in >> a >> b >> c) {
        token.endpoint().faults().add({static_cast<uint8_t>(a), VirtualTokenFault::ReplyStatus, static_cast<uint8_t>(b), {}, c});
    } else if (verb == "ignore" && in >> a >> b) {
        token.endpoint().faults().add({static_cast<uint8_t>(a), VirtualTokenFault::NoReply, 0, {}, b});
    } else if (verb == "drop-after" && in >> a) {
        fake.behave([a](FakeBehaviour& b) { b.dropAfterWrites = a; });
    } else {
        return "error unknown command: " + line;
    }
    return "ok";
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    if (!options.count("--name")) {
        std::fprintf(stderr, "usage: fakebluez --name NAME [--key KEY] [--serial TEXT] [--bus ADDRESS]\n");
        return 2;
    }
    std::optional<PrivateBus> privateBus;
    std::string busAddress = options.count("--bus") ? options["--bus"] : privateBus.emplace().address();
    if (busAddress.empty()) {
        std::fprintf(stderr, "fakebluez: %s\n", privateBus->error().c_str());
        return 1;
    }

    auto loop = std::make_shared<RunLoop>();
    setMainQueue(loop);
    EmulatorSettings settings;
    settings.config.name = options["--name"];
    if (options.count("--key")) settings.config.key = options["--key"];
    if (options.count("--serial")) settings.config.serial = options["--serial"];
    settings.options.adapter = "hci1";
    auto events = std::make_shared<OnAir>();
    std::shared_ptr<TokenEmulator> emulator;
    {
        FakeBluez fake(busAddress);
        fake.enablePeripheralRole();
        if (!fake.start()) {
            std::fprintf(stderr, "fakebluez: the service did not start on %s\n", busAddress.c_str());
            return 1;
        }
        emulator = TokenEmulator::create(settings, sdbus::createSessionBusConnectionWithAddress(busAddress), loop, events);
        emulator->start();
        if (!loop->runUntil([&] { return events->onAir; }, std::chrono::seconds(10))) {
            std::fprintf(stderr, "fakebluez: the token did not go on the air\n");
            return 1;
        }
        std::cout << "bus " << busAddress << std::endl;
        std::thread reader([&] {
            for (std::string line; std::getline(std::cin, line);) {
                loop->async([&, line] { std::cout << apply(line, *emulator, fake) << std::endl; });
            }
            loop->async([&] { loop->stop(); });
        });
        loop->run();
        reader.join();
        emulator->stop();
        fake.stop();
    }
    emulator.reset();
    loop->runUntilIdle();
    setMainQueue(nullptr);
    return 0;
}
