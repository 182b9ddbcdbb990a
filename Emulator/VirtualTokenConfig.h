#pragma once
// Everything a virtual token is made with: identity, session key, clock, device information, the
// secure element, storages and limits. Every field has a working default.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Emulator/VirtualTokenFileSystem.h"
#include "Emulator/VirtualVariableStore.h"
#include "Platform/Bytes.h"

namespace vexa {

struct VirtualTokenConfig {
    /// Advertised name; it also salts keys derived from passwords.
    std::string name = "VexaToken";
    /// Peripheral identifier text; empty lets the radio choose one.
    std::string identifier;
    int64_t rssi = -55;
    std::chrono::milliseconds advertisingInterval{100};

    /// The session key string the token checks hashes against and encrypts with. Absent: the
    /// token has no key, accepts any hash and talks in plain text. See keyFromPassword().
    std::optional<std::string> key;

    /// Initial clock, seconds since the Unix epoch; absent: the host's currentUnixTime().
    std::optional<int64_t> clock;

    /// Device information. An absent value makes its command fail (status 7, 5 and 13).
    std::optional<std::string> serial = std::string("VX2400000001");
    std::optional<uint8_t> batteryLevel = 100;
    uint8_t firmwareVersion = 0x12;
    std::optional<uint8_t> hardwareVersion = 0x03;

    /// Secure element: its ATR and the AIDs its default card application selects.
    Bytes atr = defaultAtr();
    std::vector<Bytes> aids = defaultAids();

    /// Storages 0 .. storageCount-1, each with its own file system of this many bytes.
    size_t storageCount = 2;
    size_t storageCapacity = VirtualTokenFileSystem::kDefaultCapacity;
    /// Open files at once, over all storages (handles 1..maxOpenFiles, at most 255).
    uint8_t maxOpenFiles = 8;
    /// Most bytes one read returns, whatever count the host asks for.
    size_t maxReadSize = 32768;

    size_t maxVariableNameLength = VirtualVariableStore::kDefaultMaxNameLength;
    size_t maxVariableValueLength = VirtualVariableStore::kDefaultMaxValueLength;
    size_t maxVariableCount = VirtualVariableStore::kDefaultMaxCount;

    /// 3B 8A 80 01 "VexaToken1" TCK: T=1, ten historical bytes.
    static Bytes defaultAtr();
    /// The PIV and OpenPGP application identifiers.
    static std::vector<Bytes> defaultAids();
};

/// The key string a host stores for `password` on a token named `tokenName`: the password
/// itself when it has 32 or more characters (UTF-16 code units), otherwise the upper-case hex of
/// PBKDF2-HMAC-SHA256(password, salt = tokenName, 1024 rounds, 16 bytes).
std::string keyFromPassword(std::string_view password, std::string_view tokenName);

}  // namespace vexa
