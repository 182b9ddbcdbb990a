#pragma once
// The token's environment variables: UTF-8 text values under UTF-8 names, including the
// paired-host records "device0", "device1", ... whose value is the host's 12-hex-digit address
// followed at once by the host's name.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

class VirtualVariableStore {
public:
    static constexpr size_t kDefaultMaxNameLength = 64;
    static constexpr size_t kDefaultMaxValueLength = 4096;
    static constexpr size_t kDefaultMaxCount = 256;

    VirtualVariableStore(size_t maxNameLength = kDefaultMaxNameLength, size_t maxValueLength = kDefaultMaxValueLength,
                         size_t maxCount = kDefaultMaxCount);

    std::optional<std::string> read(std::string_view name) const;
    /// Creates or replaces; false for an empty, invalid UTF-8 or too long name, an invalid or too
    /// long value, or a new name when the store is full.
    bool write(std::string_view name, std::string_view value);
    /// False when there is no such variable.
    bool remove(std::string_view name);
    const std::map<std::string, std::string, std::less<>>& all() const { return vars_; }
    void clear() { vars_.clear(); }

    /// The address the token records for a host: the first 6 bytes of the MD5 digest of its
    /// name as 12 upper-case hex digits (stable for a name, different across names).
    static std::string hostAddress(std::string_view hostName);
    /// The value of a host's paired-host record: hostAddress(name) + name.
    static std::string pairedValue(std::string_view hostName);
    /// True when a "device<N>" variable holds this host's record.
    bool isPaired(std::string_view hostName) const;
    /// Records a host not yet paired under the lowest free "device<N>"; returns that name, or
    /// absent when it was already paired or the record could not be stored.
    std::optional<std::string> pairHost(std::string_view hostName);

private:
    static bool isDeviceVariable(std::string_view name);

    size_t maxName_;
    size_t maxValue_;
    size_t maxCount_;
    std::map<std::string, std::string, std::less<>> vars_;
};

}  // namespace vexa
