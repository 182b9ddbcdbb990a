#include "Tools/vexatoken/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "Platform/Utf16.h"

namespace vexa::tool {
namespace {

void newline(std::string& out, int indent, int depth) {
    if (indent <= 0) return;
    out += '\n';
    out.append(static_cast<size_t>(indent * depth), ' ');
}

}  // namespace

Json& Json::set(std::string key, Json value) {
    if (std::holds_alternative<std::nullptr_t>(value_)) value_ = Object{};
    std::get<Object>(value_).emplace_back(std::move(key), std::move(value));
    return *this;
}

Json& Json::push(Json value) {
    if (std::holds_alternative<std::nullptr_t>(value_)) value_ = Array{};
    std::get<Array>(value_).push_back(std::move(value));
    return *this;
}

std::string Json::dump(int indent) const {
    std::string out;
    write(out, indent, 0);
    return out;
}

void Json::write(std::string& out, int indent, int depth) const {
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out += "null";
    } else if (const bool* b = std::get_if<bool>(&value_)) {
        out += *b ? "true" : "false";
    } else if (const int64_t* i = std::get_if<int64_t>(&value_)) {
        out += std::to_string(*i);
    } else if (const double* d = std::get_if<double>(&value_)) {
        if (!std::isfinite(*d)) {
            out += "null";  // JSON has no infinities or NaN
        } else {
            char buf[64];
            const auto result = std::to_chars(buf, buf + sizeof buf, *d);
            out.append(buf, result.ptr);
        }
    } else if (const std::string* s = std::get_if<std::string>(&value_)) {
        out += jsonQuote(*s);
    } else if (const Array* a = std::get_if<Array>(&value_)) {
        out += '[';
        for (size_t k = 0; k < a->size(); ++k) {
            if (k) out += ',';
            newline(out, indent, depth + 1);
            (*a)[k].write(out, indent, depth + 1);
        }
        if (!a->empty()) newline(out, indent, depth);
        out += ']';
    } else {
        const Object& o = std::get<Object>(value_);
        out += '{';
        for (size_t k = 0; k < o.size(); ++k) {
            if (k) out += ',';
            newline(out, indent, depth + 1);
            out += jsonQuote(o[k].first);
            out += indent > 0 ? ": " : ":";
            o[k].second.write(out, indent, depth + 1);
        }
        if (!o.empty()) newline(out, indent, depth);
        out += '}';
    }
}

std::string jsonQuote(const std::string& text) {
    const std::string valid = isValidUtf8(text) ? text : toUtf8(toUtf16(text));
    std::string out = "\"";
    for (const char c : valid) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace vexa::tool
