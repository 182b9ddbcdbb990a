// decode: the commands and replies of a btsnoop capture, one line each (or JSON).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/trace/SessionDecoder.h"

namespace vexa::tool {
namespace {

using trace::DecodedLine;
using trace::PayloadField;

constexpr size_t kHexShown = 64;  // hex digits of a long field shown in text output

Bytes readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.is_open() || file.bad()) throw toolFailure(kExitLocalFile, "Cannot read the capture " + path + ".");
    return bytes;
}

// "0x0012,0x0014" or "18,20".
trace::TokenHandles parseHandles(const std::string& text) {
    const auto fail = [] { return toolFailure(kExitUsage, "--handle takes the two ATT value handles WRITE,NOTIFY, e.g. 0x0012,0x0014."); };
    const size_t comma = text.find(',');
    if (comma == std::string::npos) throw fail();
    const auto handle = [&](const std::string& part) -> uint16_t {
        size_t used = 0;
        unsigned long value = 0;
        try {
            value = std::stoul(part, &used, 0);
        } catch (const std::exception&) {
            throw fail();
        }
        if (used != part.size() || value == 0 || value > 0xFFFF) throw fail();
        return static_cast<uint16_t>(value);
    };
    return {handle(text.substr(0, comma)), handle(text.substr(comma + 1))};
}

std::string fieldText(const PayloadField& f) {
    switch (f.type) {
    case PayloadField::Type::Number:
        return f.name + "=" + std::to_string(f.number);
    case PayloadField::Type::Text:
        return f.name + "=" + jsonQuote(f.text);
    case PayloadField::Type::Hex:
        if (f.text.size() <= kHexShown) return f.name + "=" + f.text;
        return f.name + "=" + f.text.substr(0, kHexShown) + "...(" + std::to_string(f.text.size() / 2) + " bytes)";
    }
    return f.name;
}

std::string lineText(const DecodedLine& line, double seconds, bool showLink) {
    char head[64];
    std::snprintf(head, sizeof head, "%12.6f %c ", seconds, line.kind == DecodedLine::Kind::Problem ? '!' : line.toToken ? '>' : '<');
    std::string text = head;
    if (showLink) {
        char link[32];
        std::snprintf(link, sizeof link, "[%u:0x%04X] ", line.link >> 16, line.link & 0xFFFF);
        text += link;
    }
    if (line.kind == DecodedLine::Kind::Problem) return text + line.problem;
    char code[48];
    if (line.kind == DecodedLine::Kind::Command) {
        std::snprintf(code, sizeof code, " (0x%02X, length %zu)", line.code, line.length);
        text += line.command + code;
    } else {
        text += line.command + ": " + line.statusText + " (" + std::to_string(*line.status) + ")";
    }
    for (const auto& field : line.fields) text += " " + fieldText(field);
    return text;
}

Json lineJson(const DecodedLine& line, double seconds) {
    Json j = Json::object();
    j.set("time", seconds).set("link", static_cast<int64_t>(line.link)).set("direction", line.toToken ? "to token" : "from token");
    if (line.kind == DecodedLine::Kind::Problem) return j.set("kind", "problem").set("problem", line.problem);
    j.set("kind", line.kind == DecodedLine::Kind::Command ? "command" : "reply");
    j.set("code", int{line.code}).set("command", line.command).set("length", static_cast<int64_t>(line.length)).set("source", line.source);
    if (line.status) j.set("status", int{*line.status}).set("statusText", line.statusText);
    Json fields = Json::object();
    for (const auto& f : line.fields) {
        if (f.type == PayloadField::Type::Number) fields.set(f.name, f.number);
        else fields.set(f.name, f.text);
    }
    return j.set("fields", std::move(fields));
}

}  // namespace

void runDecode(const ToolOptions& options, const std::optional<std::string>& key, std::ostream& out, Json& report) {
    const std::string& path = options.arguments.at(0);
    if (key && options.password) throw toolFailure(kExitUsage, "Give --key or --password, not both.");
    std::optional<trace::TokenHandles> handles;
    if (options.handles) handles = parseHandles(*options.handles);
    std::optional<trace::DecodeKey> decodeKey;
    if (key || options.password) decodeKey = trace::DecodeKey{options.password ? *options.password : *key, options.password.has_value(), options.tokenName};

    const Bytes file = readCapture(path);
    const trace::TokenCapture capture = trace::readTokenCapture(file, handles);
    if (capture.notCapture) throw toolFailure(kExitUsage, "Cannot decode " + path + ": " + *capture.notCapture + ".");
    report.set("file", path).set("records", static_cast<int64_t>(capture.records));

    std::string truncated;
    if (capture.truncatedAt) truncated = "it ends inside a record at byte " + std::to_string(*capture.truncatedAt) + " (the capture was cut short)";
    if (capture.events.empty()) {
        std::string message = path + " holds no traffic of the token's characteristics";
        if (handles) message += " (no frames on the handles given)";
        else if (capture.handles.empty()) message += " (no GATT discovery of them was captured: give their value handles with --handle WRITE,NOTIFY)";
        if (!truncated.empty()) message += "; " + truncated;
        throw toolFailure(kExitFailed, message + ".");
    }

    const trace::SessionDecode decoded = trace::decodeSession(capture, decodeKey);
    if (decoded.missingName)
        throw toolFailure(kExitUsage, "The key is derived from the token's name, and the capture holds none: give --token-name.");
    std::set<uint32_t> links;
    for (const auto& event : capture.events) links.insert(event.link);
    Json events = Json::array();
    for (const auto& line : decoded.lines) {
        const double seconds = static_cast<double>(line.unixMicros - capture.firstMicros.value_or(0)) / 1e6;
        if (options.json) events.push(lineJson(line, seconds));
        else out << lineText(line, seconds, links.size() > 1) << '\n';
    }
    report.set("events", std::move(events));
    report.set("commands", static_cast<int64_t>(decoded.commands)).set("replies", static_cast<int64_t>(decoded.replies));
    report.set("problems", static_cast<int64_t>(decoded.problems));

    std::vector<std::string> failures;
    if (decoded.keyFailures) failures.push_back(std::to_string(decoded.keyFailures) + " packages do not decrypt with the key given (is it the token's key?)");
    if (decoded.undecrypted) failures.push_back(std::to_string(decoded.undecrypted) + " packages are encrypted: give --key or --password");
    if (const size_t other = decoded.problems - decoded.keyFailures - decoded.undecrypted)
        failures.push_back(std::to_string(other) + " frame, length or CRC errors");
    if (!truncated.empty()) failures.push_back(truncated);
    if (failures.empty()) return;
    std::string message = path + ": ";
    for (size_t i = 0; i < failures.size(); ++i) message += (i ? "; " : "") + failures[i];
    throw toolFailure(kExitFailed, message + ".");
}

}  // namespace vexa::tool
