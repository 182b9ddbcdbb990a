#include "Tools/vexatoken/trace/CaptureReader.h"

#include <algorithm>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Tools/vexatoken/trace/AttLayout.h"
#include "Tools/vexatoken/trace/Btsnoop.h"

namespace vexa::trace {
namespace {

constexpr uint16_t kMonitorAclTx = 4, kMonitorAclRx = 5;
constexpr size_t kMaxL2cap = 4 + 0xFFFF;

class CaptureScanner {
public:
    CaptureScanner(TokenCapture& out, std::optional<TokenHandles> handles) : out_(out), given_(handles) {}

    void record(uint32_t datalink, const BtsnoopRecord& r) {
        time_ = r.unixMicros;
        ByteView acl;
        uint32_t adapter = 0;
        if (datalink == kDatalinkH4) {
            if (r.data.empty() || r.data[0] != kH4Acl) return;
            acl = r.data.subspan(1);
        } else if (datalink == kDatalinkHci) {
            if (r.flags & kBtsnoopCommandOrEvent) return;
            acl = r.data;
        } else {
            const uint32_t opcode = r.flags & 0xFFFF;
            if (opcode != kMonitorAclTx && opcode != kMonitorAclRx) return;
            adapter = r.flags >> 16;
            acl = r.data;
        }
        if (acl.size() < 4) return;
        const uint16_t header = get16(acl, 0);
        const ByteView data = acl.subspan(4, std::min<size_t>(get16(acl, 2), acl.size() - 4));
        const uint32_t link = adapter << 16 | (header & 0x0FFF);
        // The ACL direction keeps fragments of both ways apart; ATT opcodes tell the roles.
        const bool received = r.flags & kBtsnoopReceived || (datalink == kDatalinkMonitor && (r.flags & 0xFFFF) == kMonitorAclRx);
        joinAcl(link, (uint64_t{link} << 1) | received, (header >> 12) & 0x3, data);
    }

private:
    struct Joiner {
        Bytes buffer;
        size_t expected = 0;
    };
    struct Link {
        TokenHandles handles;
        uint16_t readByType = 0;  // 16-bit type of the last Read By Type Request
        uint16_t nameHandle = 0;
        uint16_t readHandle = 0;
        std::vector<std::pair<uint16_t, Bytes>> prepared;  // (offset, part) of a long write
    };

    void joinAcl(uint32_t link, uint64_t key, uint8_t boundary, ByteView data) {
        Joiner& j = joiners_[key];
        if (boundary == kAclContinuing) {
            if (j.expected == 0) return;  // its start was not captured
            j.buffer.insert(j.buffer.end(), data.begin(), data.end());
            if (j.expected == kMaxL2cap && j.buffer.size() >= 4) j.expected = 4 + size_t{get16(j.buffer, 0)};
        } else {
            j.buffer.assign(data.begin(), data.end());
            j.expected = data.size() >= 4 ? 4 + size_t{get16(data, 0)} : kMaxL2cap;
        }
        if (j.buffer.size() < j.expected) return;
        const Bytes frame = std::move(j.buffer);
        j = Joiner{};
        if (frame.size() < 4 || get16(frame, 2) != kAttCid) return;
        att(link, ByteView(frame).subspan(4, get16(frame, 0)));
    }

    Link& linkState(uint32_t link) {
        auto [it, added] = links_.try_emplace(link);
        if (added && given_) it->second.handles = *given_;
        return it->second;
    }

    void event(TokenEvent::Kind kind, uint32_t link, bool toToken, ByteView bytes) {
        out_.events.push_back(TokenEvent{kind, time_, link, toToken, Bytes(bytes.begin(), bytes.end())});
    }

    void att(uint32_t link, ByteView pdu) {
        if (pdu.empty()) return;
        Link& l = linkState(link);
        const uint8_t op = pdu[0];
        const uint16_t handle = pdu.size() >= 3 ? get16(pdu, 1) : 0;
        switch (op) {
        case kAttReadByTypeRequest:
            l.readByType = pdu.size() == 7 ? get16(pdu, 5) : 0;
            break;
        case kAttReadByTypeResponse:
            if (pdu.size() >= 2) readByTypeResponse(link, l, pdu[1], pdu.subspan(2));
            break;
        case kAttReadRequest:
            l.readHandle = handle;
            break;
        case kAttReadResponse:
            if (l.readHandle != 0 && l.readHandle == l.nameHandle) out_.names[link] = std::string(pdu.begin() + 1, pdu.end());
            l.readHandle = 0;
            break;
        case kAttWriteRequest:
        case kAttWriteCommand:
        case kAttNotification:
        case kAttIndication:
            if (pdu.size() >= 3) value(link, l, op, handle, pdu.subspan(3));
            break;
        case kAttPrepareWriteRequest:
            if (pdu.size() >= 5 && handle != 0 && handle == l.handles.write) l.prepared.emplace_back(get16(pdu, 3), Bytes(pdu.begin() + 5, pdu.end()));
            break;
        case kAttExecuteWriteRequest:
            if (pdu.size() >= 2 && pdu[1] == 0x01 && !l.prepared.empty()) event(TokenEvent::Kind::Frame, link, true, joinPrepared(l));
            l.prepared.clear();
            break;
        default:
            break;
        }
    }

    void readByTypeResponse(uint32_t link, Link& l, size_t entry, ByteView list) {
        static const AttUuid128 write = attUuid128(kLumoTokenWriteCharacteristicUUID);
        static const AttUuid128 notify = attUuid128(kLumoTokenNotifyCharacteristicUUID);
        if (entry < 2) return;
        for (size_t at = 0; at + entry <= list.size(); at += entry) {
            const ByteView e = list.subspan(at, entry);
            if (l.readByType == kUuidDeviceName) {
                out_.names[link] = std::string(e.begin() + 2, e.end());
            } else if ((l.readByType == kUuidCharacteristic || l.readByType == 0) && (entry == 7 || entry == 21)) {
                // Characteristic declaration: handle, properties, value handle, UUID.
                const uint16_t valueHandle = get16(e, 3);
                const ByteView uuid = e.subspan(5);
                if (entry == 7 && get16(uuid, 0) == kUuidDeviceName) l.nameHandle = valueHandle;
                if (given_ || entry != 21) continue;
                if (std::equal(uuid.begin(), uuid.end(), write.begin())) l.handles.write = valueHandle;
                if (std::equal(uuid.begin(), uuid.end(), notify.begin())) l.handles.notify = valueHandle;
                out_.handles[link] = l.handles;
            }
        }
    }

    static Bytes joinPrepared(Link& l) {
        std::stable_sort(l.prepared.begin(), l.prepared.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        Bytes value;
        for (const auto& [offset, part] : l.prepared) {
            if (offset > value.size()) break;  // a gap: the rest was not captured
            value.resize(offset);
            value.insert(value.end(), part.begin(), part.end());
        }
        return value;
    }

    void value(uint32_t link, const Link& l, uint8_t op, uint16_t handle, ByteView v) {
        const bool write = op == kAttWriteRequest || op == kAttWriteCommand;
        if (handle == kPlainRecordHandle && v.size() >= kPlainRecordHeaderSize &&
            std::equal(kPlainRecordMagic.begin(), kPlainRecordMagic.end(), v.begin())) {
            event(TokenEvent::Kind::Plain, link, v[4] == kPlainToToken, v.subspan(kPlainRecordHeaderSize));
        } else if (handle != 0 && handle == (write ? l.handles.write : l.handles.notify)) {
            event(TokenEvent::Kind::Frame, link, write, v);
        }
    }

    TokenCapture& out_;
    std::optional<TokenHandles> given_;
    int64_t time_ = 0;
    std::map<uint64_t, Joiner> joiners_;
    std::map<uint32_t, Link> links_;
};

}  // namespace

TokenCapture readTokenCapture(ByteView file, std::optional<TokenHandles> handles) {
    TokenCapture capture;
    BtsnoopReader reader(file);
    if (reader.error()) {
        capture.notCapture = reader.error();
        return capture;
    }
    CaptureScanner scanner(capture, handles);
    while (const auto record = reader.next()) {
        if (!capture.firstMicros) capture.firstMicros = record->unixMicros;
        ++capture.records;
        scanner.record(reader.datalink(), *record);
    }
    capture.truncatedAt = reader.truncatedAt();
    return capture;
}

}  // namespace vexa::trace
