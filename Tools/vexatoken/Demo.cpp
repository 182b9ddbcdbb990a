#include "Tools/vexatoken/Demo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Platform/HostDevice.h"
#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/EntryField.h"
#include "Tools/vexatoken/FileTransfer.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/SimEnvironment.h"
#include "Tools/vexatoken/Interruption.h"
#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {
namespace {

constexpr char kDemoPassword[] = "correct horse battery";
constexpr char kStrangerName[] = "VexaToken Stranger";
constexpr char kStrangerIdentifier[] = "0C9A5E77-31D2-4F60-B8A4-2E7D9B1C6F03";
constexpr char kDemoFile[] = "/demo.bin";
constexpr size_t kDemoFileSize = 10000;
constexpr char kDemoVariable[] = "demo.greeting";
constexpr char kDemoValue[] = "hello, token";

// A step that did not turn out as expected.
[[noreturn]] void mismatch(const std::string& what) { throw toolFailure(kExitFailed, what); }

class Demo {
public:
    Demo(const ToolOptions& options, std::ostream& out, std::ostream& err)
        : options_(options),
          out_(out),
          environment_(SimSettings{kDemoPassword, std::nullopt, options.verbose ? &err : nullptr}),
          session_(environment_, sessionSettings(options)) {
        VirtualTokenConfig stranger = SimEnvironment::defaultConfig();
        stranger.name = kStrangerName;
        stranger.identifier = kStrangerIdentifier;
        stranger.rssi = -70;
        environment_.addToken(stranger, std::string("another password"));
    }

    int run() {
        say("VexaTokenKit demo: two virtual tokens on a simulated Bluetooth LE radio.");
        step("Scan for tokens", [&] { return scan(); });
        step("Connect with the shared key", [&] { return connect(); });
        step("Refuse a token that holds another key", [&] { return wrongKey(); });
        step("Read serial number, battery and versions", [&] { return info(); });
        step("Set the token's clock", [&] { return clock(); });
        step("Exchange APDUs with the secure element", [&] { return apdus(); });
        step("Write a file", [&] { return writeFile(); });
        step("List the directory", [&] { return listFiles(); });
        step("Read the file back and compare", [&] { return readFile(); });
        step("Write, read and remove a variable", [&] { return variables(); });
        step("List the paired hosts", [&] { return pairedHosts(); });
        step("Disconnect", [&] { return disconnect(); });
        step("Reconnect and power the token off", [&] { return powerOff(); });

        const size_t failed = count_ - passed_;
        say(failed == 0 ? "All " + std::to_string(count_) + " steps checked out."
                        : std::to_string(failed) + " of " + std::to_string(count_) + " steps failed.");
        if (options_.json)
            out_ << Json::object().set("steps", steps_).set("passed", static_cast<uint64_t>(passed_)).set("failed", static_cast<uint64_t>(failed)).dump(2)
                 << '\n';
        return failed == 0 ? kExitOk : kExitFailed;
    }

private:
    void say(const std::string& line) {
        if (!options_.json) out_ << line << '\n';
    }

    void step(const std::string& title, const std::function<std::string()>& body) {
        const size_t number = ++count_;
        bool ok = false;
        std::string detail;
        try {
            detail = body();
            ok = true;
            ++passed_;
        } catch (const ToolFailure& failure) {
            if (isInterruption(failure)) throw;  // a stop signal ends the whole demo
            detail = failure.error().description();
        }
        steps_.push(Json::object().set("step", title).set("ok", ok).set("detail", detail));
        say(std::string(ok ? "\u2713 " : "\u2717 ") + std::to_string(number) + ". " + title + ": " + detail);
    }

    VirtualToken& virtualToken() { return *environment_.token(); }

    std::shared_ptr<VexaToken>& requireToken() {
        if (!token_) mismatch("no token to work with (an earlier step failed)");
        return token_;
    }

    std::string scan() {
        const auto tokens = session_.scan([](const VexaTokenList& found) { return found.size() >= 2; });
        std::string names;
        for (const auto& token : tokens) {
            names += (names.empty() ? "" : ", ") + token->name() + " (RSSI " + std::to_string(token->pimpl()->rssi()) + ")";
            if (token->name() == kSimTokenName) token_ = token;
            if (token->name() == kStrangerName) stranger_ = token;
        }
        if (!token_ || !stranger_) mismatch("expected both virtual tokens, heard: " + (names.empty() ? "none" : names));
        return "found " + names;
    }

    std::string connect() {
        session_.connect(requireToken(), std::string(kDemoPassword));
        if (virtualToken().session() != VirtualToken::Session::Encrypted) mismatch("connected, but the traffic is not encrypted");
        return "connected to " + token_->name() + "; the traffic is now AES-256 encrypted";
    }

    std::string wrongKey() {
        if (!stranger_) mismatch("the second token was not found");
        try {
            session_.connect(stranger_, std::string(kDemoPassword));
        } catch (const ToolFailure& failure) {
            if (failure.exitCode() != kExitNotPaired) throw;
            session_.disconnect(stranger_);
            return stranger_->name() + " rejected the key, as it should: " + failure.error().message;
        }
        mismatch(stranger_->name() + " accepted a key it does not hold");
    }

    std::string info() {
        auto& token = requireToken();
        const auto serial = session_.require(token, ReplyKind::Serial, [](VexaToken& t) { t.getSerial(); });
        const auto battery = session_.require(token, ReplyKind::Battery, [](VexaToken& t) { t.getBatteryLevel(); });
        const auto firmware = session_.require(token, ReplyKind::FirmwareVersion, [](VexaToken& t) { t.getFirmwareVersion(); });
        const auto hardware = session_.require(token, ReplyKind::HardwareVersion, [](VexaToken& t) { t.getHardwareVersion(); });
        const auto& config = virtualToken().device().config();
        if (std::to_string(serial.serial) != config.serial.value_or("")) mismatch("serial number " + std::to_string(serial.serial));
        if (std::lround(battery.battery * 100) != config.batteryLevel.value_or(0)) mismatch("battery level " + std::to_string(battery.battery));
        if (!firmware.text || !hardware.text) mismatch("a version is missing");
        return "serial " + std::to_string(serial.serial) + ", battery " + std::to_string(std::lround(battery.battery * 100)) +
               "%, firmware " + *firmware.text + ", hardware " + *hardware.text;
    }

    std::string clock() {
        auto& token = requireToken();
        virtualToken().device().clock().set(0);  // a token whose clock has never been set
        session_.require(token, ReplyKind::Initialize, [](VexaToken& t) { t.initialize(); });
        const int64_t tokenTime = virtualToken().device().clock().now();
        if (std::llabs(tokenTime - static_cast<int64_t>(currentUnixTime())) > 2) mismatch("the token's clock reads " + utcText(tokenTime));
        return "the token's clock reads " + utcText(tokenTime);
    }

    std::string apdus() {
        auto& token = requireToken();
        const auto on = session_.require(token, ReplyKind::SecureElementOn, [](VexaToken& t) { t.powerSecureElementOn(); });
        if (on.bytes != virtualToken().device().config().atr) mismatch("unexpected ATR " + formatHex(on.bytes.value_or(Bytes{})));

        const Bytes& aid = virtualToken().device().config().aids.at(0);
        // Header and AID are copied into a buffer of the final size: GCC 12 at -O3 takes an insert
        // into a short vector for an out-of-bounds copy (-Warray-bounds).
        Bytes select(5 + aid.size());
        const uint8_t header[] = {0x00, 0xA4, 0x04, 0x00, static_cast<uint8_t>(aid.size())};
        std::copy(aid.begin(), aid.end(), std::copy(std::begin(header), std::end(header), select.begin()));
        const auto selected = session_.require(token, ReplyKind::Apdu, [&select](VexaToken& t) { t.transmitAPDU(select); });
        if (selected.bytes != Bytes{0x90, 0x00}) mismatch("SELECT answered " + formatHex(selected.bytes.value_or(Bytes{})));

        const Bytes getChallenge{0x00, 0x84, 0x00, 0x00, 0x08};
        const auto challenge = session_.require(token, ReplyKind::Apdu, [&getChallenge](VexaToken& t) { t.transmitAPDU(getChallenge); });
        const Bytes response = challenge.bytes.value_or(Bytes{});
        if (response.size() != 10 || response[8] != 0x90 || response[9] != 0x00) mismatch("GET CHALLENGE answered " + formatHex(response));

        session_.require(token, ReplyKind::PowerOff, [](VexaToken& t) { t.powerSecureElementOff(); });
        return "ATR " + formatHex(*on.bytes, "") + ", SELECT " + formatHex(aid, "") + " -> 9000, GET CHALLENGE -> " +
               formatHex(ByteView(response).first(8), "") + " 9000";
    }

    std::string writeFile() {
        file_.resize(kDemoFileSize);
        uint32_t state = 2463534242u;  // xorshift: bytes that do not repeat within the file
        for (auto& byte : file_) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<uint8_t>(state);
        }
        writeRemoteFile(session_, requireToken(), kDemoFile, file_);
        return "wrote " + std::to_string(file_.size()) + " bytes to " + kDemoFile;
    }

    std::string listFiles() {
        const auto reply = session_.require(requireToken(), ReplyKind::ListFiles, [](VexaToken& t) { t.getListFiles("/"); }, kListingCommands);
        for (const auto& entry : reply.files.value_or(std::vector<VexaFileEntry>{}))
            if (entryField(entry, kFSName) == std::string_view(kDemoFile).substr(1)) {  // the name without its "/"
                if (entryField(entry, kFSFileSize) != std::to_string(kDemoFileSize)) mismatch("listed with size " + entryField(entry, kFSFileSize));
                return "/ holds " + entryField(entry, kFSName) + ", " + entryField(entry, kFSFileSize) + " bytes, created " + entryField(entry, kFSDateCreate);
            }
        mismatch(std::string(kDemoFile) + " is not listed");
    }

    std::string readFile() {
        const Bytes back = readRemoteFile(session_, requireToken(), kDemoFile);
        if (back != file_) mismatch("read " + std::to_string(back.size()) + " bytes that differ from those written");
        return "read " + std::to_string(back.size()) + " bytes, identical to those written";
    }

    std::string variables() {
        auto& token = requireToken();
        session_.require(token, ReplyKind::WriteVariable, [](VexaToken& t) { t.writeEnvironmentVariable(kDemoVariable, kDemoValue); });
        const auto read = session_.require(token, ReplyKind::ReadVariable, [](VexaToken& t) { t.readEnvironmentVariable(kDemoVariable); });
        if (read.text != kDemoValue) mismatch("read back \"" + read.text.value_or("") + "\"");
        session_.require(token, ReplyKind::RemoveVariable, [](VexaToken& t) { t.removeEnvironmentVariable(kDemoVariable); });
        const auto gone = session_.call(token, ReplyKind::ReadVariable, [](VexaToken& t) { t.readEnvironmentVariable(kDemoVariable); });
        if (!gone.error) mismatch("the variable is still there after its removal");
        return std::string(kDemoVariable) + " = \"" + kDemoValue + "\" written, read back, removed";
    }

    std::string pairedHosts() {
        const auto reply = session_.require(requireToken(), ReplyKind::PairedDevices, [](VexaToken& t) { t.getPairedDevices(); }, kListingCommands);
        for (const auto& host : reply.devices)
            if (entryField(host, kPairedName) == hostDeviceName())
                return std::to_string(reply.devices.size()) + " paired host(s); this host is " + entryField(host, kDeviceVariable) + " at " +
                       entryField(host, kPairedBDAddr);
        mismatch("this host (" + hostDeviceName() + ") is not among the " + std::to_string(reply.devices.size()) + " paired hosts");
    }

    std::string disconnect() {
        auto& token = requireToken();
        session_.disconnect(token);
        if (token->isConnected()) mismatch("the token still reports a connection");
        return "the manager reported the disconnection";
    }

    std::string powerOff() {
        // A disconnected token object is spent: a new scan brings a fresh one.
        token_ = session_.find(kSimTokenName);
        session_.connect(token_, std::string(kDemoPassword));
        session_.require(token_, ReplyKind::PowerOff, [](VexaToken& t) { t.powerOff(); });
        environment_.loop().runUntil([&] { return session_.wasDisconnected(token_); }, kDisconnectTime);
        if (!session_.wasDisconnected(token_)) mismatch("the link stayed up after the power-off");
        if (virtualToken().isPoweredOn()) mismatch("the token is still on");
        return "the token switched itself off and dropped the link";
    }

    const ToolOptions& options_;
    std::ostream& out_;
    SimEnvironment environment_;
    TokenSession session_;
    std::shared_ptr<VexaToken> token_;
    std::shared_ptr<VexaToken> stranger_;
    Bytes file_;
    Json steps_ = Json::array();
    size_t count_ = 0;
    size_t passed_ = 0;
};

}  // namespace

int runDemo(const ToolOptions& options, std::ostream& out, std::ostream& err) {
    Demo demo(options, out, err);
    return demo.run();
}

}  // namespace vexa::tool
