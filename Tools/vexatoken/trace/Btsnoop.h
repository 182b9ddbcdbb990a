#pragma once
// The btsnoop capture file (what btmon and Android's HCI snoop log write and Wireshark opens).
// All numbers are big-endian. File header (16 bytes): "btsnoop\0", version 1, datalink type.
// Each record: original length, included length, flags, cumulative drops (4 bytes each), the
// time in microseconds since midnight of 1 January of year 0 (8 bytes), then the included bytes.
#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Bytes.h"

namespace vexa::trace {

inline constexpr char kBtsnoopMagic[8] = {'b', 't', 's', 'n', 'o', 'o', 'p', '\0'};
inline constexpr uint32_t kBtsnoopVersion = 1;
inline constexpr size_t kBtsnoopHeaderSize = 16;
inline constexpr size_t kBtsnoopRecordHeaderSize = 24;
/// The Unix epoch on the btsnoop time scale.
inline constexpr int64_t kBtsnoopUnixEpochMicros = 0x00dcddb30f2f8000;

/// Datalink types: HCI without a packet-type byte, HCI UART (H4: a type byte first), and the
/// Linux monitor format of btmon (flags hold the adapter index and an opcode).
enum BtsnoopDatalink : uint32_t {
    kDatalinkHci = 1001,
    kDatalinkH4 = 1002,
    kDatalinkMonitor = 2001,
};

/// Record flags of the HCI datalinks: bit 0 set for received (controller to host), bit 1 set
/// for commands and events (clear for data).
inline constexpr uint32_t kBtsnoopReceived = 0x1;
inline constexpr uint32_t kBtsnoopCommandOrEvent = 0x2;

/// The 16-byte file header.
Bytes btsnoopFileHeader(uint32_t datalink);
/// Writes the 24-byte header of a record of `length` included bytes at `out`; returns its end.
uint8_t* writeBtsnoopRecordHeader(uint8_t* out, int64_t unixMicros, uint32_t flags, size_t length);
/// Appends one record holding `data` whole, stamped `unixMicros` (microseconds since the epoch).
void appendBtsnoopRecord(Bytes& out, int64_t unixMicros, uint32_t flags, ByteView data);

struct BtsnoopRecord {
    int64_t unixMicros = 0;
    uint32_t flags = 0;
    uint32_t originalLength = 0;
    ByteView data;       // the included bytes, inside the file buffer
    size_t offset = 0;   // where the record starts in the file
};

/// Walks the records of a capture held in memory; never reads outside it.
class BtsnoopReader {
public:
    /// Checks the file header; see error() when it is not a capture this reader knows.
    explicit BtsnoopReader(ByteView file);
    /// Why the file cannot be read as a capture, or nothing.
    const std::optional<std::string>& error() const { return error_; }
    uint32_t datalink() const { return datalink_; }
    /// The next record; nothing at the end of the file, or when a record is cut short (then
    /// truncatedAt() tells where it began).
    std::optional<BtsnoopRecord> next();
    std::optional<size_t> truncatedAt() const { return truncatedAt_; }

private:
    ByteView file_;
    size_t offset_ = kBtsnoopHeaderSize;
    uint32_t datalink_ = 0;
    std::optional<std::string> error_;
    std::optional<size_t> truncatedAt_;
};

}  // namespace vexa::trace
