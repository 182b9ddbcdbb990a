#pragma once
// Runs the vexatoken tool in-process and reads its JSON output back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "Tools/vexatoken/Vexatoken.h"

namespace vexa::tool::test {

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline ToolResult runTool(const std::vector<std::string>& args, const ToolContext& context = {}) {
    std::ostringstream out, err;
    ToolResult result;
    result.status = runVexatoken(args, out, err, context);
    result.out = out.str();
    result.err = err.str();
    return result;
}

/// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("vexatoken-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

/// A parsed JSON value: just enough to check the tool's output.
class JsonNode {
public:
    using Array = std::vector<JsonNode>;
    using Object = std::map<std::string, JsonNode>;

    /// Parses a whole document; a syntax error fails the test and gives null.
    static JsonNode parse(const std::string& text);

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool has(const std::string& key) const;
    const JsonNode& operator[](const std::string& key) const;
    const JsonNode& operator[](size_t index) const;
    size_t size() const;
    std::string str() const;
    double num() const;
    bool boolean() const;

private:
    friend class JsonParser;
    std::variant<std::monostate, bool, double, std::string, Array, Object> value_;
};

}  // namespace vexa::tool::test
