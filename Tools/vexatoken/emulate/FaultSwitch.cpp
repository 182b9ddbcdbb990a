#include "Tools/vexatoken/emulate/FaultSwitch.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <utility>

#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {
namespace {

constexpr std::array<std::pair<uint8_t, const char*>, 21> kNames{{
    {0x10, "set-time"}, {0x15, "apdu"},      {0x20, "firmware"}, {0x25, "hardware"},  {0x30, "serial"},     {0x35, "battery"},
    {0x40, "power-off"}, {0x45, "se-on"},    {0x50, "se-off"},   {0x55, "protocol"},  {0x60, "write-var"},  {0x65, "sync-key"},
    {0x70, "open"},      {0x75, "close"},    {0x80, "read"},     {0x85, "write"},     {0x90, "remove"},     {0x95, "open-dir"},
    {0xA0, "dir-entry"}, {0xA5, "storage"},  {0xB0, "read-var"},
}};

// A whole unsigned number in `text` (decimal, or hex after 0x) no greater than `max`.
std::optional<unsigned> number(std::string_view text, unsigned max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::string commandName(uint8_t code) {
    for (const auto& [c, name] : kNames)
        if (c == code) return name;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", code);
    return hex;
}

std::optional<uint8_t> commandCode(std::string_view text) {
    for (const auto& [code, name] : kNames)
        if (text == name) return code;
    if (text.size() < 3 || text.substr(0, 2) != "0x") return std::nullopt;
    const auto code = number(text, 0xFF);
    return code ? std::optional<uint8_t>(static_cast<uint8_t>(*code)) : std::nullopt;
}

std::optional<VirtualTokenFaultRule> parseFaultSwitch(std::string_view text, std::string& why) {
    VirtualTokenFaultRule rule;
    if (const auto slash = text.rfind('/'); slash != std::string_view::npos) {
        const auto times = number(text.substr(slash + 1), 1'000'000);
        if (!times || *times == 0) return why = "TIMES must be a whole number of 1 or more", std::nullopt;
        rule.times = static_cast<int>(*times);
        text = text.substr(0, slash);
    }
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const std::string_view command = text.substr(0, colon);
        if (command != "any") {
            rule.command = commandCode(command);
            if (!rule.command) return why = "unknown command \"" + std::string(command) + "\"", std::nullopt;
        }
        text = text.substr(colon + 1);
    }
    const auto equals = text.find('=');
    const std::string_view kind = text.substr(0, equals);
    const std::optional<std::string_view> value =
        equals == std::string_view::npos ? std::nullopt : std::optional<std::string_view>(text.substr(equals + 1));
    if (kind == "status" && value) {
        const auto status = number(*value, 0xFF);
        if (!status) return why = "the status must be 0 to 255", std::nullopt;
        rule.kind = VirtualTokenFault::ReplyStatus;
        rule.status = static_cast<uint8_t>(*status);
    } else if (kind == "delay" && value) {
        double seconds = -1;
        const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), seconds);
        if (error != std::errc() || end != value->data() + value->size() || !(seconds >= 0 && seconds <= 3600))
            return why = "the delay must be 0 to 3600 seconds", std::nullopt;
        rule.kind = VirtualTokenFault::Delay;
        rule.delay = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
    } else if (!value && kind == "no-reply") {
        rule.kind = VirtualTokenFault::NoReply;
    } else if (!value && kind == "bad-crc") {
        rule.kind = VirtualTokenFault::BadCrc;
    } else if (!value && kind == "empty") {
        rule.kind = VirtualTokenFault::EmptyPayload;
    } else if (!value && kind == "out-of-order") {
        rule.kind = VirtualTokenFault::FramesOutOfOrder;
    } else {
        return why = "unknown fault \"" + std::string(text) + "\"", std::nullopt;
    }
    return rule;
}

std::vector<VirtualTokenFaultRule> faultRules(const std::vector<std::string>& switches) {
    std::vector<VirtualTokenFaultRule> rules;
    for (const auto& text : switches) {
        std::string why;
        const auto rule = parseFaultSwitch(text, why);
        if (!rule) throw toolFailure(kExitUsage, "Bad --fault \"" + text + "\": " + why + ".");
        rules.push_back(*rule);
    }
    return rules;
}

}  // namespace vexa::tool
