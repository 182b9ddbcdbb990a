#include "Tools/vexatoken/trace/CommandCatalog.h"

#include <cstdio>
#include <ctime>
#include <map>

#include "LumoTokenSDK/LumoToken/ByteComponents.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "VexaTokenKit/HexString.h"

namespace vexa::trace {
namespace {

PayloadField number(std::string name, int64_t value) { return {std::move(name), PayloadField::Type::Number, value, {}}; }
PayloadField text(std::string name, ByteView bytes) {
    return {std::move(name), PayloadField::Type::Text, 0, std::string(bytes.begin(), bytes.end())};
}
PayloadField hex(std::string name, ByteView bytes) { return {std::move(name), PayloadField::Type::Hex, 0, upperHex(bytes)}; }

// Zero-terminated texts from `bytes`, in order; a last text without its zero byte is kept too.
std::vector<ByteView> terminated(ByteView bytes) {
    std::vector<ByteView> out;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() && start == i) break;
        if (i == bytes.size() || bytes[i] == 0) {
            out.push_back(bytes.subspan(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

uint16_t be16(ByteView b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

}  // namespace

std::string upperHex(ByteView bytes) {
    std::string out = toHexString(bytes);
    std::erase(out, ' ');
    return out;
}

std::string commandName(uint8_t code) {
    static const std::map<uint8_t, const char*> names{
        {kCmdSynDateTime, "synDateTime"},
        {kCmdSendAPDU, "sendAPDU"},
        {kCmdGetFirmwareVersion, "getFirmwareVersion"},
        {kCmdGetHardwareVersion, "getHardwareVersion"},
        {kCmdGetSerial, "getSerial"},
        {kCmdGetBatteryLevel, "getBatteryLevel"},
        {kCmdPowerOff, "powerOff"},
        {kCmdPowerSecureElementOn, "powerSecureElementOn"},
        {kCmdPowerSecureElementOff, "powerSecureElementOff"},
        {kCmdSetCommunicationProtocol, "setCommunicationProtocol"},
        {kCmdWriteEnvironmentVariable, "writeEnvironmentVariable"},
        {kCmdSyncSessionKey, "syncSessionKey"},
        {kCmdOpenFile, "openFile"},
        {kCmdCloseFile, "closeFile"},
        {kCmdReadFile, "readFile"},
        {kCmdWriteFile, "writeToFile"},
        {kCmdRemoveFile, "removeFile"},
        {kCmdOpenDir, "openDir"},
        {kCmdGetDirItem, "getDirItem"},
        {kCmdSelectStorage, "selectStorage"},
        {kCmdReadEnvironmentVariable, "readEnvironmentVariable"},
    };
    if (const auto it = names.find(code); it != names.end()) return it->second;
    char buf[16];
    std::snprintf(buf, sizeof buf, "command 0x%02X", code);
    return buf;
}

RequestDescription describeRequest(uint8_t code, ByteView p) {
    RequestDescription d{commandName(code), {}};
    auto& f = d.fields;
    const auto texts = terminated(p);
    switch (code) {
    case kCmdSynDateTime:
        if (p.size() >= 4) {
            const int64_t seconds = int64_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
            const std::time_t time = static_cast<std::time_t>(seconds);
            std::tm parts{};
            gmtime_r(&time, &parts);
            char buf[40];
            std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &parts);
            f.push_back(number("time", seconds));
            f.push_back(text("utc", bytesOf(buf)));
        }
        break;
    case kCmdSendAPDU:
        f.push_back(hex("apdu", p));
        break;
    case kCmdSetCommunicationProtocol:
    case kCmdSelectStorage:
        if (!p.empty()) f.push_back(number(code == kCmdSelectStorage ? "storage" : "protocol", p[0]));
        break;
    case kCmdWriteEnvironmentVariable:
        if (!texts.empty()) f.push_back(text("name", texts[0]));
        if (texts.size() >= 2) f.push_back(text("value", texts[1]));
        else d.name = "removeEnvironmentVariable";
        break;
    case kCmdReadEnvironmentVariable:
        if (!texts.empty()) f.push_back(text("name", texts[0]));
        break;
    case kCmdSyncSessionKey:
        // Data fields: length (data + 1), tag, data; tags 0 hash, 1 mode, 2 host name.
        for (size_t at = 0; at + 2 <= p.size() && p[at] >= 1 && at + 1 + p[at] <= p.size(); at += 1 + size_t{p[at]}) {
            const ByteView data = p.subspan(at + 2, p[at] - 1);
            if (p[at + 1] == 0) f.push_back(hex("hash", data));
            if (p[at + 1] == 1 && !data.empty()) f.push_back(number("mode", data[0]));
            if (p[at + 1] == 2) f.push_back(text("host", data));
        }
        break;
    case kCmdOpenFile:
        if (!p.empty()) f.push_back(number("mode", p[0]));
        if (p.size() > 1) f.push_back(text("path", terminated(p.subspan(1)).front()));
        break;
    case kCmdCloseFile:
    case kCmdReadFile:
    case kCmdWriteFile:
        if (!p.empty()) f.push_back(number("handle", p[0]));
        if (p.size() >= 3) f.push_back(number(code == kCmdReadFile ? "count" : "length", be16(p, 1)));
        if (code == kCmdWriteFile && p.size() > 3) f.push_back(hex("data", p.subspan(3)));
        break;
    case kCmdRemoveFile:
    case kCmdOpenDir:
        if (!texts.empty()) f.push_back(text("path", texts[0]));
        break;
    default:
        if (!p.empty()) f.push_back(hex("payload", p));
        break;
    }
    return d;
}

std::vector<PayloadField> describeReply(uint8_t code, ByteView r) {
    std::vector<PayloadField> f;
    switch (code) {
    case kCmdSendAPDU:
        f.push_back(hex("response", r));
        if (r.size() >= 2) f.push_back(hex("sw", r.subspan(r.size() - 2)));
        break;
    case kCmdGetFirmwareVersion:
    case kCmdGetHardwareVersion:
        if (!r.empty()) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%.2x", r[0]);
            f.push_back(text("version", bytesOf(buf)));
        }
        break;
    case kCmdGetSerial:
        f.push_back(text("serial", r));
        break;
    case kCmdGetBatteryLevel:
        if (!r.empty()) f.push_back(number("battery", r[0]));
        break;
    case kCmdPowerSecureElementOn:
        f.push_back(hex("atr", r));
        break;
    case kCmdOpenFile:
        if (!r.empty()) f.push_back(number("handle", r[0]));
        break;
    case kCmdReadFile:
        f.push_back(number("length", static_cast<int64_t>(r.size())));
        f.push_back(hex("data", r));
        break;
    case kCmdGetDirItem: {
        // Read as the library reads it: fewer than four fields end the listing.
        const auto fields = componentsSeparatedByByte(r, 0);
        if (fields.size() < 4) {
            f.push_back(text("entry", bytesOf("end of the listing")));
            break;
        }
        const char* names[] = {"size", "created", "attributes", "name"};
        for (size_t i = 0; i < 4; ++i) f.push_back(text(names[i], bytesOf(fields[i])));
        break;
    }
    case kCmdReadEnvironmentVariable:
        if (!r.empty()) f.push_back(text("value", terminated(r).front()));
        break;
    default:
        if (!r.empty()) f.push_back(hex("result", r));
        break;
    }
    return f;
}

}  // namespace vexa::trace
