#include "Tools/vexatoken/trace/Btsnoop.h"

#include <algorithm>
#include <cstring>

namespace vexa::trace {
namespace {

void put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t get32(ByteView b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

}  // namespace

Bytes btsnoopFileHeader(uint32_t datalink) {
    Bytes out(std::begin(kBtsnoopMagic), std::end(kBtsnoopMagic));
    put32(out, kBtsnoopVersion);
    put32(out, datalink);
    return out;
}

uint8_t* writeBtsnoopRecordHeader(uint8_t* out, int64_t unixMicros, uint32_t flags, size_t length) {
    const auto stamp = static_cast<uint64_t>(unixMicros + kBtsnoopUnixEpochMicros);
    const uint32_t words[6] = {static_cast<uint32_t>(length), static_cast<uint32_t>(length), flags, 0 /* nothing dropped */,
                               static_cast<uint32_t>(stamp >> 32), static_cast<uint32_t>(stamp)};
    for (uint32_t w : words) {
        *out++ = static_cast<uint8_t>(w >> 24);
        *out++ = static_cast<uint8_t>(w >> 16);
        *out++ = static_cast<uint8_t>(w >> 8);
        *out++ = static_cast<uint8_t>(w);
    }
    return out;
}

void appendBtsnoopRecord(Bytes& out, int64_t unixMicros, uint32_t flags, ByteView data) {
    uint8_t header[kBtsnoopRecordHeaderSize];
    writeBtsnoopRecordHeader(header, unixMicros, flags, data.size());
    out.insert(out.end(), std::begin(header), std::end(header));
    out.insert(out.end(), data.begin(), data.end());
}

BtsnoopReader::BtsnoopReader(ByteView file) : file_(file) {
    if (file.size() < kBtsnoopHeaderSize || std::memcmp(file.data(), kBtsnoopMagic, sizeof kBtsnoopMagic) != 0) {
        error_ = "it is not a btsnoop capture (no \"btsnoop\" file header)";
        return;
    }
    if (const uint32_t version = get32(file, 8); version != kBtsnoopVersion) {
        error_ = "it is a btsnoop capture of version " + std::to_string(version) + ", not 1";
        return;
    }
    datalink_ = get32(file, 12);
    if (datalink_ != kDatalinkHci && datalink_ != kDatalinkH4 && datalink_ != kDatalinkMonitor)
        error_ = "its datalink type " + std::to_string(datalink_) + " is not Bluetooth HCI (1001, 1002 or 2001)";
}

std::optional<BtsnoopRecord> BtsnoopReader::next() {
    if (error_ || truncatedAt_ || offset_ >= file_.size()) return std::nullopt;
    const size_t left = file_.size() - offset_;
    const uint32_t included = left >= kBtsnoopRecordHeaderSize ? get32(file_, offset_ + 4) : 0;
    if (left < kBtsnoopRecordHeaderSize || included > left - kBtsnoopRecordHeaderSize) {
        truncatedAt_ = offset_;
        return std::nullopt;
    }
    BtsnoopRecord record;
    record.offset = offset_;
    record.originalLength = get32(file_, offset_);
    record.flags = get32(file_, offset_ + 8);
    const uint64_t stamp = uint64_t{get32(file_, offset_ + 16)} << 32 | get32(file_, offset_ + 20);
    record.unixMicros = static_cast<int64_t>(stamp - static_cast<uint64_t>(kBtsnoopUnixEpochMicros));
    record.data = file_.subspan(offset_ + kBtsnoopRecordHeaderSize, included);
    offset_ += kBtsnoopRecordHeaderSize + included;
    return record;
}

}  // namespace vexa::trace
