#pragma once
// How a trace shows a session as Bluetooth HCI traffic (btsnoop datalink 1002, H4), so that
// Wireshark and the decoder read it like a capture of a real link:
//
//   H4 type 0x02 | ACL: connection handle + flags, length (LE) | L2CAP: length, CID 4 (ATT) | ATT PDU
//
// Each connection opens with an LE Connection Complete event and the GATT discovery a central
// would run, on fixed handles:
//
//   0x0001  primary service 0x1800 (GAP), to 0x0003
//   0x0002    characteristic declaration: read, value 0x0003, Device Name (0x2A00)
//   0x0003    Device Name: the token's name
//   0x0010  primary service a63928c5-f337-4181-9412-09b8a6d8826f, to 0x0015
//   0x0011    characteristic declaration: write, value 0x0012, 563e2883-5c3a-41da-8e02-15640ae703e6
//   0x0012    write characteristic: each frame to the token is a Write Request (0x12) here,
//             followed by a Write Response (0x13) (recorded with it: the session does not see
//             the link's answers, so a write that failed looks answered too)
//   0x0013    characteristic declaration: notify, value 0x0014, 5609a734-12c2-49e9-9edd-6eba3fdedc92
//   0x0014    notify characteristic: each frame from the token is a Handle Value Notification (0x1B)
//   0x0015    Client Characteristic Configuration, written 01 00 (notifications on)
//
// Decrypted packages: beside each encrypted package, right after its last frame, the trace holds
// the package in plain text as an ATT PDU on handle 0xFFF0, which no GATT table here uses: a Write
// Command (0x52) for a package to the token, a Handle Value Notification (0x1B) for one from it.
// Its value is
//
//   offset 0  4 bytes  "VXPT"
//   offset 4  1 byte   direction: 0 host to token, 1 token to host
//   offset 5  rest     the package in plain text (a decrypted reply keeps the cipher's zero filler
//                      after its CRC byte)
//
// The session key itself is never part of a trace.
#include <array>
#include <cstdint>
#include <string_view>

#include "Platform/Bytes.h"

namespace vexa::trace {

inline constexpr uint8_t kH4Command = 0x01;
inline constexpr uint8_t kH4Acl = 0x02;
inline constexpr uint8_t kH4Event = 0x04;
inline constexpr uint16_t kAttCid = 0x0004;
/// ACL packet-boundary flags: first fragment from the host, continuing fragment, first fragment
/// from the controller.
inline constexpr uint8_t kAclFirstFromHost = 0x0;
inline constexpr uint8_t kAclContinuing = 0x1;
inline constexpr uint8_t kAclFirstFromController = 0x2;

enum AttOpcode : uint8_t {
    kAttErrorResponse = 0x01,
    kAttMtuRequest = 0x02,
    kAttMtuResponse = 0x03,
    kAttFindInformationRequest = 0x04,
    kAttFindInformationResponse = 0x05,
    kAttReadByTypeRequest = 0x08,
    kAttReadByTypeResponse = 0x09,
    kAttReadRequest = 0x0A,
    kAttReadResponse = 0x0B,
    kAttReadByGroupTypeRequest = 0x10,
    kAttReadByGroupTypeResponse = 0x11,
    kAttWriteRequest = 0x12,
    kAttWriteResponse = 0x13,
    kAttPrepareWriteRequest = 0x16,
    kAttExecuteWriteRequest = 0x18,
    kAttNotification = 0x1B,
    kAttIndication = 0x1D,
    kAttWriteCommand = 0x52,
};

inline constexpr uint16_t kGapServiceHandle = 0x0001;
inline constexpr uint16_t kDeviceNameDeclarationHandle = 0x0002;
inline constexpr uint16_t kDeviceNameHandle = 0x0003;
inline constexpr uint16_t kTokenServiceHandle = 0x0010;
inline constexpr uint16_t kWriteDeclarationHandle = 0x0011;
inline constexpr uint16_t kWriteValueHandle = 0x0012;
inline constexpr uint16_t kNotifyDeclarationHandle = 0x0013;
inline constexpr uint16_t kNotifyValueHandle = 0x0014;
inline constexpr uint16_t kNotifyConfigHandle = 0x0015;
inline constexpr uint16_t kTokenServiceEndHandle = 0x0015;
inline constexpr uint16_t kPlainRecordHandle = 0xFFF0;

inline constexpr uint16_t kUuidPrimaryService = 0x2800;
inline constexpr uint16_t kUuidCharacteristic = 0x2803;
inline constexpr uint16_t kUuidClientConfig = 0x2902;
inline constexpr uint16_t kUuidGap = 0x1800;
inline constexpr uint16_t kUuidDeviceName = 0x2A00;

inline constexpr std::array<uint8_t, 4> kPlainRecordMagic = {'V', 'X', 'P', 'T'};
inline constexpr size_t kPlainRecordHeaderSize = 5;
inline constexpr uint8_t kPlainToToken = 0;
inline constexpr uint8_t kPlainFromToken = 1;

/// A 128-bit UUID text (8-4-4-4-12) as ATT carries it: 16 bytes, least significant first.
using AttUuid128 = std::array<uint8_t, 16>;
AttUuid128 attUuid128(std::string_view text);

/// Writes "H4 ACL + L2CAP (ATT)" headers for an ATT PDU of `attLength` bytes at `out` (the PDU
/// follows them); returns their end.
uint8_t* writeAclAttHeader(uint8_t* out, uint16_t connection, bool fromController, size_t attLength);
/// Size of those headers: H4 type, ACL header, L2CAP header.
inline constexpr size_t kAclAttHeaderSize = 1 + 4 + 4;

inline void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline uint16_t get16(ByteView b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

}  // namespace vexa::trace
