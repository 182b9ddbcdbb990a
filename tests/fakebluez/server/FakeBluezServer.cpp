// fakebluez: the fake org.bluez with one virtual token, as a process, for tests that cannot link
// it in (the Python package's). Starts a private dbus-daemon unless --bus is given, prints
// "bus <address>" once the service is up, then takes commands on stdin, one a line, answering
// "ok" (or "error <text>") once applied:
//   status CODE STATUS TIMES   the token answers command CODE with status STATUS (TIMES < 0: always)
//   ignore CODE TIMES          the token never answers command CODE
//   drop-after WRITES          the link drops after WRITES more frames written to the token
// End of input stops it.
//
//   fakebluez --name NAME --address AA:BB:CC:DD:EE:FF [--key KEY] [--serial TEXT] [--bus ADDRESS]
// KEY is the key string the token holds, as a host's key store keeps it.
#include <atomic>
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
#include "tests/fakebluez/FakeBluez.h"
#include "tests/fakebluez/PrivateBus.h"
#include "tests/fakebluez/VirtualTokenDeviceModel.h"

using namespace vexa;
using namespace vexa::test;

namespace {

// The virtual token's model, with a link that drops after a set number of written frames.
class DroppingModel final : public FakeDeviceModel {
public:
    explicit DroppingModel(std::shared_ptr<VirtualTokenDeviceModel> token) : token_(std::move(token)) {}
    void connected(FakeDeviceLink& link) override { token_->connected(link); }
    void disconnected() override { token_->disconnected(); }
    void written(const std::string& uuid, const Bytes& value, FakeDeviceLink& link) override {
        token_->written(uuid, value, link);
        if (dropAfter_.load() > 0 && --dropAfter_ == 0) link.disconnect();
    }
    void dropAfter(int writes) { dropAfter_.store(writes); }

private:
    std::shared_ptr<VirtualTokenDeviceModel> token_;
    std::atomic<int> dropAfter_{0};
};

// Applies one command line; the answer to print.
std::string apply(const std::string& line, VirtualTokenDeviceModel& token, DroppingModel& link) {
    std::istringstream in(line);
    std::string verb;
    int a = 0, b = 0, c = 0;
    in >> verb;
    if (verb == "status" && in >> a >> b >> c) {
        token.endpoint().faults().add({static_cast<uint8_t>(a), VirtualTokenFault::ReplyStatus, static_cast<uint8_t>(b), {}, c});
    } else if (verb == "ignore" && in >> a >> b) {
        token.endpoint().faults().add({static_cast<uint8_t>(a), VirtualTokenFault::NoReply, 0, {}, b});
    } else if (verb == "drop-after" && in >> a) {
        link.dropAfter(a);
    } else {
        return "error unknown command: " + line;
    }
    return "ok";
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    if (!options.count("--name") || !options.count("--address")) {
        std::fprintf(stderr, "usage: fakebluez --name NAME --address ADDRESS [--key KEY] [--serial TEXT] [--bus ADDRESS]\n");
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
    VirtualTokenConfig config;
    config.name = options["--name"];
    if (options.count("--key")) config.key = options["--key"];
    if (options.count("--serial")) config.serial = options["--serial"];
    auto token = VirtualTokenDeviceModel::create(config);
    auto link = std::make_shared<DroppingModel>(token);
    FakeDeviceConfig device = tokenDeviceConfig(options["--address"], config.name);
    device.model = link;
    {
        FakeBluez fake(busAddress);
        fake.addDevice(std::move(device));
        if (!fake.start()) {
            std::fprintf(stderr, "fakebluez: the service did not start on %s\n", busAddress.c_str());
            return 1;
        }
        std::cout << "bus " << busAddress << std::endl;
        std::thread reader([&] {
            for (std::string line; std::getline(std::cin, line);) {
                loop->async([&, line] { std::cout << apply(line, *token, *link) << std::endl; });
            }
            loop->async([&] { loop->stop(); });
        });
        loop->run();
        reader.join();
        fake.stop();
    }
    loop->runUntilIdle();
    setMainQueue(nullptr);
    return 0;
}
