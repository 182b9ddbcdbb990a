#include "LumoTokenSDK/LumoToken/protocol/CRC8.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vexa {
namespace {

// One step of the reflected CRC per input byte, precomputed for every byte value:
// table[v] is the CRC register after shifting the eight bits of v through it.
constexpr std::array<uint8_t, 256> makeTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned crc = v;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0x8Cu : crc >> 1;
        }
        table[v] = static_cast<uint8_t>(crc);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x5E && kTable[0x80] == 0x8C, "CRC-8/MAXIM-DOW table");

// The CRC is linear and its register is one byte wide, so sixteen bytes can be folded at once:
// kSlices[k][v] is the register after byte v followed by k zero bytes. Only the first lookup of a
// block depends on the register; the other fifteen are independent, and the bytes are read as two
// 64-bit words, so the loop is bound by table loads rather than by the register chain.
constexpr size_t kSliceCount = 16;

constexpr std::array<std::array<uint8_t, 256>, kSliceCount> makeSlices() {
    std::array<std::array<uint8_t, 256>, kSliceCount> slices{};
    slices[0] = kTable;
    for (size_t k = 1; k < kSliceCount; ++k)
        for (unsigned v = 0; v < 256; ++v) slices[k][v] = kTable[slices[k - 1][v]];
    return slices;
}

constexpr auto kSlices = makeSlices();

// Byte i of the little-endian word `w` (the i-th byte in memory order).
inline unsigned byteOf(uint64_t w, unsigned i) { return static_cast<unsigned>(w >> (8 * i)) & 0xFFu; }

uint64_t loadWord(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

uint8_t crcTables(const uint8_t* bytes, size_t length) {
    unsigned crc = 0;
    size_t i = 0;
    for (; i + kSliceCount <= length; i += kSliceCount) {
        const uint64_t a = loadWord(bytes + i) ^ crc;
        const uint64_t b = loadWord(bytes + i + 8);
        crc = (kSlices[15][byteOf(a, 0)] ^ kSlices[14][byteOf(a, 1)] ^ kSlices[13][byteOf(a, 2)] ^ kSlices[12][byteOf(a, 3)]) ^
              (kSlices[11][byteOf(a, 4)] ^ kSlices[10][byteOf(a, 5)] ^ kSlices[9][byteOf(a, 6)] ^ kSlices[8][byteOf(a, 7)]) ^
              (kSlices[7][byteOf(b, 0)] ^ kSlices[6][byteOf(b, 1)] ^ kSlices[5][byteOf(b, 2)] ^ kSlices[4][byteOf(b, 3)]) ^
              (kSlices[3][byteOf(b, 4)] ^ kSlices[2][byteOf(b, 5)] ^ kSlices[1][byteOf(b, 6)] ^ kSlices[0][byteOf(b, 7)]);
    }
    for (; i < length; ++i) crc = kTable[crc ^ bytes[i]];
    return static_cast<uint8_t>(crc);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Long inputs fold with carry-less multiplication. With init 0 and no final XOR the CRC is the
// message polynomial times x^8 modulo P = x^8 + x^5 + x^4 + 1, so any shorter message congruent
// modulo P, at the same distance from the end, has the same CRC. Sixteen bytes read
// little-endian hold, at bit k, the coefficient of x^(127-k) (bit 0 of the first byte is sent
// first). Folding a block A into the next block B replaces A * x^128 by
// A_low64 * (x^191 mod P) + A_high64 * (x^127 mod P): carry-less products of such reflected
// halves land one degree low, which the exponents one below 192 and 128 make up for. What remains
// is one 16-byte block plus the tail, which the tables finish.

// x^n mod P, coefficient of x^d at bit d.
constexpr unsigned powerModP(unsigned n) {
    unsigned r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x100u) r ^= 0x131u;
    }
    return r;
}

// A polynomial of degree below 8 in the reflected 64-bit form: the coefficient of x^d at bit 63-d.
constexpr uint64_t reflected64(unsigned poly) {
    uint64_t out = 0;
    for (unsigned d = 0; d < 8; ++d)
        if (poly & (1u << d)) out |= uint64_t{1} << (63 - d);
    return out;
}

// Folding over 16 bytes, and over 64 bytes for four blocks folded side by side.
constexpr uint64_t kFold16Low = reflected64(powerModP(191));  // multiplies the first 8 bytes of a block
constexpr uint64_t kFold16High = reflected64(powerModP(127)); // multiplies the last 8
constexpr uint64_t kFold64Low = reflected64(powerModP(575));
constexpr uint64_t kFold64High = reflected64(powerModP(511));

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

__attribute__((target("pclmul,sse2"))) uint8_t crcFolded(const uint8_t* bytes, size_t length) {
    const auto load = [bytes](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)); };
    const __m128i k16 = _mm_set_epi64x(static_cast<long long>(kFold16High), static_cast<long long>(kFold16Low));
    const __m128i k64 = _mm_set_epi64x(static_cast<long long>(kFold64High), static_cast<long long>(kFold64Low));
    // Four independent chains, 64 bytes apart, then folded into one.
    __m128i a0 = load(0), a1 = load(16), a2 = load(32), a3 = load(48);
    size_t i = 64;
    for (; i + 64 <= length; i += 64) {
        a0 = fold(a0, k64, load(i));
        a1 = fold(a1, k64, load(i + 16));
        a2 = fold(a2, k64, load(i + 32));
        a3 = fold(a3, k64, load(i + 48));
    }
    __m128i acc = fold(fold(fold(a0, k16, a1), k16, a2), k16, a3);
    for (; i + 16 <= length; i += 16) acc = fold(acc, k16, load(i));
    uint8_t rest[16 + 15];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), acc);
    std::memcpy(rest + 16, bytes + i, length - i);
    return crcTables(rest, 16 + (length - i));
}

// With 512-bit registers four 16-byte lanes fold side by side, each by 64 bytes per step (the
// kFold64 pair). Leading zero bytes do not change this CRC, so the message is read as if padded in
// front to whole 64-byte blocks: the first, partial block is a masked load that ends where the
// whole blocks begin (the masked-off bytes before the message are not read), and no tail is left
// at the end. The first three lanes then fold into the last, by 384, 256 and 128 bits (x^447 and
// x^383, x^319 and x^255, x^191 and x^127, by the rule above), the last lane is added as it is,
// and the tables finish that one block. A single chain of folds: at package sizes, two or four
// chains side by side were not clearly faster.
#define WIDE_TARGET __attribute__((target("avx512f,avx512bw,vpclmulqdq")))

WIDE_TARGET inline __m512i foldWide(__m512i acc, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, k, 0x00), _mm512_clmulepi64_epi128(acc, k, 0x11), next, 0x96);
}

WIDE_TARGET uint8_t crcWide(const uint8_t* bytes, size_t length) {
    constexpr auto ll = [](uint64_t k) { return static_cast<long long>(k); };
    const size_t head = length % 64;
    const auto headStart = reinterpret_cast<uintptr_t>(bytes) - (64 - head);
    __m512i acc = head ? _mm512_maskz_loadu_epi8(~uint64_t{0} << (64 - head), reinterpret_cast<const void*>(headStart))
                       : _mm512_loadu_si512(bytes);
    const __m512i k64 = _mm512_set_epi64(ll(kFold64High), ll(kFold64Low), ll(kFold64High), ll(kFold64Low),
                                         ll(kFold64High), ll(kFold64Low), ll(kFold64High), ll(kFold64Low));
    for (size_t i = head ? head : 64; i < length; i += 64) acc = foldWide(acc, k64, _mm512_loadu_si512(bytes + i));

    constexpr uint64_t k447 = reflected64(powerModP(447)), k383 = reflected64(powerModP(383));
    constexpr uint64_t k319 = reflected64(powerModP(319)), k255 = reflected64(powerModP(255));
    const __m512i kLanes = _mm512_set_epi64(0, 0, ll(kFold16High), ll(kFold16Low), ll(k255), ll(k319), ll(k383), ll(k447));
    alignas(64) uint64_t lanes[8];
    _mm512_store_si512(lanes, foldWide(acc, kLanes, _mm512_maskz_mov_epi64(0xC0, acc)));
    const uint64_t block[2] = {lanes[0] ^ lanes[2] ^ lanes[4] ^ lanes[6], lanes[1] ^ lanes[3] ^ lanes[5] ^ lanes[7]};
    return crcTables(reinterpret_cast<const uint8_t*>(block), sizeof block);
}
#undef WIDE_TARGET

const bool kHaveClmul = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul"));
const bool kHaveWideClmul = __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512bw");

uint8_t crcOf(const uint8_t* bytes, size_t length) {
    // From 24 bytes on, one masked load beats the tables' byte-at-a-time tail.
    if (kHaveWideClmul && length >= 24) return crcWide(bytes, length);
    // Below a few blocks the tables are as quick.
    return kHaveClmul && length >= 64 ? crcFolded(bytes, length) : crcTables(bytes, length);
}
#else
uint8_t crcOf(const uint8_t* bytes, size_t length) { return crcTables(bytes, length); }
#endif

}  // namespace

uint8_t CRC8(const uint8_t* bytes, uint16_t length) {
    return length == 0 ? 0 : crcOf(bytes, length);
}

uint8_t CRC8(ByteView bytes) {
    return bytes.empty() ? 0 : crcOf(bytes.data(), bytes.size());
}

}  // namespace vexa
