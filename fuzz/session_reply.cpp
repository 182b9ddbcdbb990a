// Arbitrary notifications into a session whose commands wait for replies: nothing may crash, and
// no command may be answered more than once.
//
// Input: byte 0 picks how many commands wait (1..8, from a fixed list that covers every reply
// decoder); the rest is a sequence of frames, each a length byte followed by that many bytes.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Backends/Simulated/SimulatedBackend.h"
#include "Emulator/VirtualToken.h"
#include "LumoTokenSDK/LumoBluetooth/LumoCentralManager.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/MainQueue.h"
#include "Platform/RunLoop.h"

using namespace vexa;

namespace {

class PlainDelegate : public LumoTokenDelegate {
public:
    Bytes needHashSessionKey(LumoToken&) override { return Bytes(16, 0); }
    void didConnect(LumoToken&, const OptError&, bool) override { connected = true; }
    bool connected = false;
};

// One link to a virtual token, made once: its peripheral wrapper and the two characteristics.
struct Link {
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<SimulatedRadio> radio;
    std::shared_ptr<LumoCentralManager> central;
    std::shared_ptr<VirtualToken> device;
    std::shared_ptr<LumoToken> setupSession;

    Link() {
        loop = std::make_shared<RunLoop>(std::make_shared<VirtualClock>());
        setMainQueue(loop);
        radio = SimulatedRadio::create();
        central = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio), loop);
        device = VirtualToken::create(radio, {});
        setupSession = LumoToken::create(central->retrievePeripheralsWithIdentifiers({device->identifier()}).at(0));
        auto delegate = std::make_shared<PlainDelegate>();
        setupSession->setDelegate(delegate);
        setupSession->discover();
        if (!loop->runUntil([&] { return delegate->connected; }, std::chrono::seconds(60)) || !setupSession->isConnected()) std::abort();
    }
};

Link& link() {
    static Link* instance = new Link();  // lives for the whole run
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Link& l = link();
    auto token = LumoToken::create(l.setupSession->getPeripheral());
    token->setWCharacterisric(l.setupSession->wCharacterisric());
    token->setRCharacteristic(l.setupSession->rCharacteristic());

    std::vector<int> answers(8, 0);
    auto once = [&answers](size_t i) {
        if (++answers[i] > 1) std::abort();
    };
    const size_t commands = size > 0 ? (data[0] % 8) + 1 : 1;
    for (size_t i = 0; i < commands; ++i) {
        switch (i) {
            case 0: token->getBatteryLevel([&, i](uint8_t, const OptError&) { once(i); }); break;
            case 1: token->getSerial([&, i](const std::string&, const OptError&) { once(i); }); break;
            case 2: token->getDirItem([&, i](const auto&, const OptError&) { once(i); }); break;
            case 3: token->readEnvironmentVariable("v", [&, i](const auto&, const auto&, const OptError&) { once(i); }); break;
            case 4: token->writeToFile(1, Bytes(5000, 0x55), [&, i](const OptError&) { once(i); }); break;
            case 5: token->openFile("/f", 0, [&, i](uint8_t, const OptError&) { once(i); }); break;
            case 6: token->getFirmwareVersion([&, i](const auto&, const OptError&) { once(i); }); break;
            default: token->sendAPDU({0, 0x84, 0, 0, 8}, [&, i](const auto&, const OptError&) { once(i); }); break;
        }
    }
    l.loop->runUntilIdle();

    size_t pos = 1;
    while (pos < size) {
        const size_t length = data[pos++];
        const size_t take = std::min(length, size - pos);
        token->notyReceivedData(Bytes(data + pos, data + pos + take), std::nullopt);
        pos += take;
        l.loop->runUntilIdle();
    }
    // Waiting commands keep their session alive: let them go unanswered, so that it ends here.
    token->setQueue({});
    token->setReceivedDataBlock(nullptr);
    token.reset();
    // Let the link finish the writes of this input (virtual time) before the next one.
    l.loop->runFor(std::chrono::milliseconds(500));
    l.device->clearRecords();  // keeps the virtual token's logs from growing over the run
    return 0;
}
