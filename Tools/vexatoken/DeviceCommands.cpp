// scan, info, init, apdu, power-off, and what every command shares: the session and the token.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "Platform/HostDevice.h"
#include "Platform/MainQueue.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/trace/TraceRecorder.h"

namespace vexa::tool {
namespace {

Duration seconds(double value) { return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value)); }

}  // namespace

SessionSettings sessionSettings(const ToolOptions& options) {
    SessionSettings settings;
    settings.scanTime = seconds(options.scanSeconds);
    settings.connectTime = seconds(options.connectSeconds);
    settings.replyTimeout = seconds(options.timeoutSeconds);
    settings.syncMode = static_cast<uint8_t>(options.syncMode);
    if (options.trace) {
        std::string error;
        settings.frameObserver = trace::TraceRecorder::create(*options.trace, mainQueue(), error);
        if (!settings.frameObserver) throw toolFailure(kExitLocalFile, error);
    }
    return settings;
}

Connection::Connection(CommandContext& context) : session(context.environment, sessionSettings(context.options)) {
    token = session.find(context.options.token);
    context.report.set("token", tokenJson(*token));
    session.connect(token, context.key);
}

Json tokenJson(const VexaToken& token) { return Json::object().set("name", token.name()).set("identifier", token.identifier()); }

std::string utcText(int64_t unixSeconds) {
    const std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return buf;
}

void runScan(CommandContext& context) {
    TokenSession session(context.environment, sessionSettings(context.options));
    const VexaTokenList tokens = session.scan();  // the whole scan time: every token in range
    Json list = Json::array();
    if (tokens.empty()) context.say("No tokens found.");
    else context.say("NAME                      IDENTIFIER                              RSSI");
    for (const auto& token : tokens) {
        const int64_t rssi = token->pimpl()->rssi();
        list.push(tokenJson(*token).set("rssi", rssi));
        char line[160];
        std::snprintf(line, sizeof line, "%-25s %-38s %5lld", token->name().c_str(), token->identifier().c_str(),
                      static_cast<long long>(rssi));
        context.say(line);
    }
    context.report.set("tokens", std::move(list));
}

void runInfo(CommandContext& context) {
    Connection c(context);
    const auto serial = c.session.require(c.token, ReplyKind::Serial, [](VexaToken& t) { t.getSerial(); });
    const auto battery = c.session.require(c.token, ReplyKind::Battery, [](VexaToken& t) { t.getBatteryLevel(); });
    const auto firmware = c.session.require(c.token, ReplyKind::FirmwareVersion, [](VexaToken& t) { t.getFirmwareVersion(); });
    const auto hardware = c.session.require(c.token, ReplyKind::HardwareVersion, [](VexaToken& t) { t.getHardwareVersion(); });

    const long percent = std::lround(battery.battery * 100.0);
    context.report.set("serial", serial.serial)
        .set("batteryLevel", battery.battery)
        .set("firmwareVersion", firmware.text.value_or(""))
        .set("hardwareVersion", hardware.text.value_or(""));
    context.say("Token:     " + c.token->name() + " (" + c.token->identifier() + ")");
    context.say("Serial:    " + std::to_string(serial.serial));
    context.say("Battery:   " + std::to_string(percent) + "%");
    context.say("Firmware:  " + firmware.text.value_or("?"));
    context.say("Hardware:  " + hardware.text.value_or("?"));
}

void runInit(CommandContext& context) {
    Connection c(context);
    const auto now = static_cast<int64_t>(currentUnixTime());
    c.session.require(c.token, ReplyKind::Initialize, [](VexaToken& t) { t.initialize(); });
    context.report.set("clock", now).set("clockText", utcText(now));
    context.say("Clock set to " + utcText(now) + ".");
}

void runApdu(CommandContext& context) {
    // Every APDU is checked before the token is touched.
    std::vector<Bytes> apdus;
    for (const auto& text : context.options.arguments) {
        auto apdu = parseHex(text);
        if (!apdu) throw toolFailure(kExitUsage, "Not an APDU in hex: \"" + text + "\".");
        apdus.push_back(std::move(*apdu));
    }

    Connection c(context);
    const auto on = c.session.require(c.token, ReplyKind::SecureElementOn, [](VexaToken& t) { t.powerSecureElementOn(); });
    const Bytes atr = on.bytes.value_or(Bytes{});
    context.report.set("atr", formatHex(atr, ""));
    context.say("ATR:       " + formatHex(atr));

    Json exchanges = Json::array();
    for (const Bytes& apdu : apdus) {
        context.say("Command:   " + formatHex(apdu));
        const auto reply = c.session.call(c.token, ReplyKind::Apdu, [&apdu](VexaToken& t) { t.transmitAPDU(apdu); });
        if (reply.error) {
            context.report.set("exchanges", std::move(exchanges));
            throw libraryFailure(*reply.error);
        }
        const Bytes response = reply.bytes.value_or(Bytes{});
        const size_t dataLength = response.size() >= 2 ? response.size() - 2 : response.size();
        const ByteView data(response.data(), dataLength);
        const ByteView sw(response.data() + dataLength, response.size() - dataLength);
        exchanges.push(Json::object().set("command", formatHex(apdu, "")).set("data", formatHex(data, "")).set("sw", formatHex(sw, "")));
        context.say("Response:  " + (data.empty() ? std::string("(no data)") : formatHex(data)) + "  SW " + formatHex(sw, ""));
    }
    context.report.set("exchanges", std::move(exchanges));
    c.session.require(c.token, ReplyKind::PowerOff, [](VexaToken& t) { t.powerSecureElementOff(); });
}

void runPowerOff(CommandContext& context) {
    Connection c(context);
    c.session.require(c.token, ReplyKind::PowerOff, [](VexaToken& t) { t.powerOff(); });
    context.report.set("poweredOff", true);
    context.say("The token is switching off.");
}

}  // namespace vexa::tool
