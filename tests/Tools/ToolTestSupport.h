#pragma once
// Runs the vexatoken tool in-process and reads its JSON output back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
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

/// The JSON text of the `n`th member named `key` in the tool's indented output (a string keeps
/// its quotes); empty when there is none.
inline std::string jsonValue(const std::string& json, const std::string& key, size_t n = 0) {
    size_t at = 0;
    for (size_t i = 0; i <= n; ++i, at += key.size() + 4)
        if ((at = json.find("\"" + key + "\": ", at)) == std::string::npos) return "";
    size_t end = at + 1;
    if (json[at] != '"') return json.substr(at, json.find_first_of(",\n", at) - at);
    while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
    return json.substr(at, end + 1 - at);
}
/// How many members are named `key`.
inline size_t jsonCount(const std::string& json, const std::string& key) {
    size_t count = 0;
    while (!jsonValue(json, key, count).empty()) ++count;
    return count;
}
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace vexa::tool::test
