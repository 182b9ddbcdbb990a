#pragma once
// Reading a directory or paired-host entry, whose values are texts under fixed keys.
#include <map>
#include <string>

namespace vexa::tool {

/// The value under `key`, or empty text when the entry has none.
inline std::string entryField(const std::map<std::string, std::string>& entry, const char* key) {
    const auto it = entry.find(key);
    return it == entry.end() ? std::string() : it->second;
}

}  // namespace vexa::tool
