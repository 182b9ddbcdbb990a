#pragma once
// Error values: failures are handed to callbacks as values, never thrown across the API.
#include <cstdint>
#include <optional>
#include <string>

namespace vexa {

struct Error {
    std::string domain;
    int64_t code = 0;
    std::string message;  // the localized description

    bool operator==(const Error&) const = default;
    /// "domain code: message", for logs and the tool.
    std::string description() const { return domain + " " + std::to_string(code) + ": " + message; }
};

using OptError = std::optional<Error>;

}  // namespace vexa
