#pragma once
// A small JSON value for the tool's --json output: null, booleans, integers, numbers, strings,
// arrays and objects whose members keep the order they were added in.
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vexa::tool {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool value) : value_(value) {}
    Json(int value) : value_(int64_t{value}) {}
    Json(int64_t value) : value_(value) {}
    Json(uint64_t value) : value_(static_cast<int64_t>(value)) {}
    Json(double value) : value_(value) {}
    Json(const char* value) : value_(std::string(value)) {}
    Json(std::string value) : value_(std::move(value)) {}
    Json(Array value) : value_(std::move(value)) {}
    Json(Object value) : value_(std::move(value)) {}

    static Json object() { return Json(Object{}); }
    static Json array() { return Json(Array{}); }

    /// Adds a member to an object (a null value becomes an object first). Returns *this.
    Json& set(std::string key, Json value);
    /// Appends to an array (a null value becomes an array first). Returns *this.
    Json& push(Json value);

    /// The text: compact, or indented by `indent` spaces per level when indent > 0.
    std::string dump(int indent = 0) const;

private:
    void write(std::string& out, int indent, int depth) const;

    std::variant<std::nullptr_t, bool, int64_t, double, std::string, Array, Object> value_;
};

/// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 become U+FFFD.
std::string jsonQuote(const std::string& text);

}  // namespace vexa::tool
