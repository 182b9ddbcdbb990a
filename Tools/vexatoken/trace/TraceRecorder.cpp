#include "Tools/vexatoken/trace/TraceRecorder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Tools/vexatoken/trace/AttLayout.h"
#include "Tools/vexatoken/trace/Btsnoop.h"

namespace vexa::trace {
namespace {

// Larger than any record (a package of 256 frames in plain text plus headers), small enough to
// stay in the cache.
constexpr size_t kBufferSize = 64 * 1024;
constexpr uint16_t kFirstConnection = 0x0040;
constexpr uint16_t kTraceMtu = 247;
constexpr size_t kMaxNameLength = kTraceMtu - 1;
constexpr uint8_t kHciLeMetaEvent = 0x3E;
constexpr uint8_t kLeConnectionComplete = 0x01;
constexpr uint8_t kAttErrorNotFound = 0x0A;
constexpr uint8_t kPropertyRead = 0x02, kPropertyWrite = 0x08, kPropertyNotify = 0x10;

using Le16 = std::array<uint8_t, 2>;
constexpr Le16 le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
constexpr std::array<uint8_t, 1> u8(uint8_t v) { return {v}; }

// The peer address of an LE Connection Complete event (least significant byte first): the token's
// identifier when it is a Bluetooth address, else the first twelve hex digits of its identifier.
std::array<uint8_t, 7> peerAddress(const std::string& identifier) {
    std::string hex;
    for (char c : identifier)
        if (std::isxdigit(static_cast<unsigned char>(c)) && hex.size() < 12) hex.push_back(c);
    hex.resize(12, '0');
    std::array<uint8_t, 7> out{};
    out[0] = identifier.size() == 17 && identifier[2] == ':' ? 0 : 1;  // public or random address
    for (size_t i = 0; i < 6; ++i) out[6 - i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace

std::shared_ptr<TraceRecorder> TraceRecorder::create(const std::string& path, std::shared_ptr<DispatchQueue> clock, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "Cannot create the trace file " + path + ".";
        return nullptr;
    }
    auto recorder = std::make_shared<TraceRecorder>(file, std::move(clock));
    if (!recorder->flush()) {
        error = "Cannot write the trace file " + path + ".";
        return nullptr;
    }
    return recorder;
}

TraceRecorder::TraceRecorder(std::FILE* file, std::shared_ptr<DispatchQueue> clock)
    : file_(file), clock_(std::move(clock)), buffer_(kBufferSize) {
    using namespace std::chrono;
    startMicros_ = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    if (clock_) startTime_ = clock_->now();
    const Bytes header = btsnoopFileHeader(kDatalinkH4);
    std::copy(header.begin(), header.end(), reserve(header.size()));
}

TraceRecorder::~TraceRecorder() {
    flush();
    std::fclose(file_);
}

bool TraceRecorder::flush() {
    if (used_ != 0 && !failed_) failed_ = std::fwrite(buffer_.data(), 1, used_, file_) != used_ || std::fflush(file_) != 0;
    used_ = 0;
    return !failed_;
}

int64_t TraceRecorder::nowMicros() const {
    if (!clock_) return startMicros_;
    return startMicros_ + std::chrono::duration_cast<std::chrono::microseconds>(clock_->now() - startTime_).count();
}

uint8_t* TraceRecorder::reserve(size_t size) {
    if (used_ + size > buffer_.size()) flush();
    uint8_t* at = buffer_.data() + used_;
    used_ += size;
    return at;
}

void TraceRecorder::record(uint32_t flags, ByteView data) {
    uint8_t* at = writeBtsnoopRecordHeader(reserve(kBtsnoopRecordHeaderSize + data.size()), now_, flags, data.size());
    std::copy(data.begin(), data.end(), at);
}

void TraceRecorder::att(uint16_t connection, bool fromToken, uint8_t opcode, ByteView body, ByteView value) {
    const size_t attLength = 1 + body.size() + value.size();
    const size_t length = kAclAttHeaderSize + attLength;
    uint8_t* at = reserve(kBtsnoopRecordHeaderSize + length);
    at = writeBtsnoopRecordHeader(at, now_, fromToken ? kBtsnoopReceived : 0, length);
    at = writeAclAttHeader(at, connection, fromToken, attLength);
    *at++ = opcode;
    at = std::copy(body.begin(), body.end(), at);
    std::copy(value.begin(), value.end(), at);
}

void TraceRecorder::plainRecord(uint16_t connection, bool fromToken, ByteView package) {
    const Le16 handle = le16(kPlainRecordHandle);
    const std::array<uint8_t, 7> body{handle[0], handle[1], kPlainRecordMagic[0], kPlainRecordMagic[1], kPlainRecordMagic[2],
                                      kPlainRecordMagic[3], fromToken ? kPlainFromToken : kPlainToToken};
    att(connection, fromToken, fromToken ? kAttNotification : kAttWriteCommand, body, package);
}

TraceRecorder::Link& TraceRecorder::linkOf(const LumoToken& token) {
    now_ = nowMicros();  // every record of this call carries the same time
    if (&token == lastToken_) return *lastLink_;
    auto [it, added] = links_.try_emplace(&token);
    if (added) {
        it->second.connection = static_cast<uint16_t>(kFirstConnection + links_.size() - 1);
        openLink(token, it->second);
    }
    lastToken_ = &token;
    lastLink_ = &it->second;
    return it->second;
}

void TraceRecorder::openLink(const LumoToken& token, const Link& link) {
    const uint16_t c = link.connection;
    const auto address = peerAddress(token.uuidString().value_or(""));
    const Le16 handle = le16(c);
    const Bytes event = concat({std::array<uint8_t, 6>{kH4Event, kHciLeMetaEvent, 19, kLeConnectionComplete, 0, handle[0]},
                                std::array<uint8_t, 2>{handle[1], 0 /* central */}, address,
                                std::array<uint8_t, 7>{0x18, 0x00, 0x00, 0x00, 0xF4, 0x01, 0x00}});
    record(kBtsnoopReceived | kBtsnoopCommandOrEvent, event);

    const auto request = [&](uint8_t opcode, Bytes body) { att(c, false, opcode, body); };
    const auto response = [&](uint8_t opcode, Bytes body) { att(c, true, opcode, body); };
    const auto range = [](uint16_t first, uint16_t last, uint16_t type) {
        return concat({le16(first), le16(last), le16(type)});
    };
    const AttUuid128 service = attUuid128(kLumoTokenServiceUUID);
    const AttUuid128 write = attUuid128(kLumoTokenWriteCharacteristicUUID);
    const AttUuid128 notify = attUuid128(kLumoTokenNotifyCharacteristicUUID);

    request(kAttMtuRequest, concat({le16(kTraceMtu)}));
    response(kAttMtuResponse, concat({le16(kTraceMtu)}));
    request(kAttReadByGroupTypeRequest, range(0x0001, 0xFFFF, kUuidPrimaryService));
    response(kAttReadByGroupTypeResponse, concat({u8(6), le16(kGapServiceHandle), le16(kDeviceNameHandle), le16(kUuidGap)}));
    request(kAttReadByGroupTypeRequest, range(kDeviceNameHandle + 1, 0xFFFF, kUuidPrimaryService));
    response(kAttReadByGroupTypeResponse, concat({u8(20), le16(kTokenServiceHandle), le16(kTokenServiceEndHandle), service}));
    request(kAttReadByGroupTypeRequest, range(kTokenServiceEndHandle + 1, 0xFFFF, kUuidPrimaryService));
    response(kAttErrorResponse, concat({u8(kAttReadByGroupTypeRequest), le16(kTokenServiceEndHandle + 1),
                                        u8(kAttErrorNotFound)}));
    request(kAttReadByTypeRequest, range(kGapServiceHandle, kDeviceNameHandle, kUuidCharacteristic));
    response(kAttReadByTypeResponse, concat({u8(7), le16(kDeviceNameDeclarationHandle), u8(kPropertyRead), le16(kDeviceNameHandle),
                                             le16(kUuidDeviceName)}));
    const std::string name = token.name().substr(0, kMaxNameLength);
    request(kAttReadRequest, concat({le16(kDeviceNameHandle)}));
    response(kAttReadResponse, bytesOf(name));
    request(kAttReadByTypeRequest, range(kTokenServiceHandle, kTokenServiceEndHandle, kUuidCharacteristic));
    response(kAttReadByTypeResponse,
             concat({u8(21), le16(kWriteDeclarationHandle), u8(kPropertyWrite),
                     le16(kWriteValueHandle), write, le16(kNotifyDeclarationHandle), u8(kPropertyNotify),
                     le16(kNotifyValueHandle), notify}));
    request(kAttFindInformationRequest, concat({le16(kNotifyConfigHandle), le16(kNotifyConfigHandle)}));
    response(kAttFindInformationResponse, concat({u8(1), le16(kNotifyConfigHandle), le16(kUuidClientConfig)}));
    request(kAttWriteRequest, concat({le16(kNotifyConfigHandle), le16(0x0001)}));
    response(kAttWriteResponse, {});
}

void TraceRecorder::frameWritten(const LumoToken& token, ByteView frame) {
    Link& link = linkOf(token);
    att(link.connection, false, kAttWriteRequest, le16(kWriteValueHandle), frame);
    att(link.connection, true, kAttWriteResponse, {});
    if (!link.pending.empty()) trackWritten(link, frame);
}

void TraceRecorder::trackWritten(Link& link, ByteView frame) {
    if (frame.empty()) return;
    if (frame[0] == 0 && frame.size() >= 3) {
        // A package starts. Commands are written in the order they were queued; those passed
        // over (cancelled, or dropped with the queue) are never written and are let go here.
        const size_t size = get16(frame, 1);
        const ByteView body = frame.subspan(3);
        const auto it = std::find_if(link.pending.begin(), link.pending.end(), [&](const Pending& p) {
            return p.size == size && std::equal(p.head.begin(), p.head.begin() + p.headSize, body.begin(), body.end());
        });
        link.writing = it != link.pending.end();
        if (!link.writing) return;
        link.pending.erase(link.pending.begin(), it);
        link.written = body.size();
    } else if (link.writing) {
        link.written += frame.size() - 1;
    }
    if (!link.writing || link.written < link.pending.front().size) return;
    plainRecord(link.connection, false, link.pending.front().plain);
    link.pending.pop_front();
    link.writing = false;
}

void TraceRecorder::frameNotified(const LumoToken& token, ByteView frame) {
    att(linkOf(token).connection, true, kAttNotification, le16(kNotifyValueHandle), frame);
}

void TraceRecorder::packageEncrypted(const LumoToken& token, Bytes&& plain, ByteView encrypted) {
    // A token without a key passes packages through unchanged: nothing to add then.
    if (std::equal(plain.begin(), plain.end(), encrypted.begin(), encrypted.end())) return;
    Pending& p = linkOf(token).pending.emplace_back();
    p.headSize = std::min(encrypted.size(), p.head.size());
    std::copy_n(encrypted.begin(), p.headSize, p.head.begin());
    p.size = encrypted.size();
    p.plain = std::move(plain);
}

void TraceRecorder::packageDecrypted(const LumoToken& token, ByteView encrypted, ByteView plain) {
    if (std::equal(plain.begin(), plain.end(), encrypted.begin(), encrypted.end())) return;
    plainRecord(linkOf(token).connection, true, plain);
}

}  // namespace vexa::trace
