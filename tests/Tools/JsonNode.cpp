#include <cctype>
#include <cstdlib>

#include "tests/Tools/ToolTestSupport.h"

namespace vexa::tool::test {

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : text_(text) {}

    JsonNode document() {
        JsonNode node = value();
        skipSpace();
        if (pos_ != text_.size()) fail("trailing text");
        return ok_ ? node : JsonNode{};
    }

private:
    void fail(const std::string& why) {
        if (ok_) ADD_FAILURE() << "bad JSON (" << why << ") at " << pos_ << " in:\n" << text_;
        ok_ = false;
        pos_ = text_.size();
    }
    void skipSpace() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    bool take(char c) {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("expected '") + c + "'");
    }
    bool word(const char* w) {
        const std::string s(w);
        if (text_.compare(pos_, s.size(), s) != 0) return false;
        pos_ += s.size();
        return true;
    }

    std::string string() {
        expect('"');
        std::string out;
        while (ok_ && pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (static_cast<unsigned char>(c) < 0x20) fail("raw control character");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            c = text_[pos_++];
            switch (c) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    const unsigned code = static_cast<unsigned>(std::strtoul(text_.substr(pos_, 4).c_str(), nullptr, 16));
                    pos_ += 4;
                    if (code >= 0x80) fail("only ASCII \\u escapes are expected");
                    out += static_cast<char>(code);
                    break;
                }
                default: out += c;
            }
        }
        expect('"');
        return out;
    }

    JsonNode value() {
        JsonNode node;
        skipSpace();
        if (pos_ >= text_.size()) {
            fail("unexpected end");
            return node;
        }
        const char c = text_[pos_];
        if (c == '{') {
            ++pos_;
            JsonNode::Object object;
            if (!take('}')) {
                do {
                    skipSpace();
                    std::string key = string();
                    expect(':');
                    object[key] = value();
                } while (ok_ && take(','));
                expect('}');
            }
            node.value_ = std::move(object);
        } else if (c == '[') {
            ++pos_;
            JsonNode::Array array;
            if (!take(']')) {
                do array.push_back(value());
                while (ok_ && take(','));
                expect(']');
            }
            node.value_ = std::move(array);
        } else if (c == '"') {
            node.value_ = string();
        } else if (word("true")) {
            node.value_ = true;
        } else if (word("false")) {
            node.value_ = false;
        } else if (word("null")) {
        } else {
            char* end = nullptr;
            const double number = std::strtod(text_.c_str() + pos_, &end);
            if (end == text_.c_str() + pos_) fail("not a value");
            pos_ = static_cast<size_t>(end - text_.c_str());
            node.value_ = number;
        }
        return node;
    }

    const std::string& text_;
    size_t pos_ = 0;
    bool ok_ = true;
};

JsonNode JsonNode::parse(const std::string& text) { return JsonParser(text).document(); }

namespace {
const JsonNode& nullNode() {
    static const JsonNode node;
    return node;
}
}  // namespace

bool JsonNode::has(const std::string& key) const {
    const auto* object = std::get_if<Object>(&value_);
    return object && object->count(key);
}

const JsonNode& JsonNode::operator[](const std::string& key) const {
    const auto* object = std::get_if<Object>(&value_);
    if (!object || !object->count(key)) {
        ADD_FAILURE() << "no member \"" << key << "\"";
        return nullNode();
    }
    return object->at(key);
}

const JsonNode& JsonNode::operator[](size_t index) const {
    const auto* array = std::get_if<Array>(&value_);
    if (!array || index >= array->size()) {
        ADD_FAILURE() << "no element " << index;
        return nullNode();
    }
    return (*array)[index];
}

size_t JsonNode::size() const {
    if (const auto* array = std::get_if<Array>(&value_)) return array->size();
    if (const auto* object = std::get_if<Object>(&value_)) return object->size();
    return 0;
}

std::string JsonNode::str() const {
    const auto* s = std::get_if<std::string>(&value_);
    if (!s) ADD_FAILURE() << "not a string";
    return s ? *s : std::string();
}

double JsonNode::num() const {
    const auto* d = std::get_if<double>(&value_);
    if (!d) ADD_FAILURE() << "not a number";
    return d ? *d : 0.0;
}

bool JsonNode::boolean() const {
    const auto* b = std::get_if<bool>(&value_);
    if (!b) ADD_FAILURE() << "not a boolean";
    return b && *b;
}

}  // namespace vexa::tool::test
