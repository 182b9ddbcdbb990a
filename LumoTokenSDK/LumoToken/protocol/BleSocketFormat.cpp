#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"

#include <algorithm>

namespace vexa {
namespace {

constexpr size_t kFirstHeader = 3;  // index, length low, length high
constexpr size_t kNextHeader = 1;   // index

size_t clampFrameSize(size_t frameSize) { return std::clamp<size_t>(frameSize, kFirstHeader + 1, BleSocketFormat::kMaxFrameSize); }

}  // namespace

size_t BleSocketFormat::maxPackageSize(size_t frameSize) {
    frameSize = clampFrameSize(frameSize);
    return (frameSize - kFirstHeader) + 255 * (frameSize - kNextHeader);
}

std::vector<Bytes> BleSocketFormat::pack2Frames(ByteView package, size_t frameSize) const {
    std::vector<Bytes> frames;
    const size_t length = package.size();
    frameSize = clampFrameSize(frameSize);
    if (length == 0 || length > maxPackageSize(frameSize)) return frames;

    const size_t first = frameSize - kFirstHeader;
    const size_t next = frameSize - kNextHeader;
    frames.reserve(length <= first ? 1 : 1 + (length - first + next - 1) / next);

    size_t pos = 0;
    while (pos < length) {
        const bool isFirst = frames.empty();
        const size_t take = std::min(length - pos, isFirst ? first : next);
        Bytes frame;
        frame.reserve(take + (isFirst ? kFirstHeader : kNextHeader));
        frame.push_back(static_cast<uint8_t>(frames.size()));
        if (isFirst) {
            frame.push_back(static_cast<uint8_t>(length & 0xFF));
            frame.push_back(static_cast<uint8_t>(length >> 8));
        }
        frame.insert(frame.end(), package.begin() + static_cast<std::ptrdiff_t>(pos),
                     package.begin() + static_cast<std::ptrdiff_t>(pos + take));
        frames.push_back(std::move(frame));
        pos += take;
    }
    return frames;
}

int BleSocketFormat::addFrame(ByteView frame) {
    if (frame.empty()) return kFrameEmpty;

    const uint8_t index = frame[0];
    // Compared without wrapping: nothing follows index 255.
    if (index != 0 && int{index} != int{m_id} + 1) return kFrameInvalidIndex;

    ByteView body;
    if (index == 0) {
        m_pack.clear();
        m_id = 0;
        if (frame.size() < kFirstHeader) {
            // No complete length field: hold the truncated header against an announced length
            // of 0, so this frame and the rest of its package report an overrun until the next
            // index 0.
            m_waitLen = 0;
            m_pack.assign(frame.begin(), frame.end());
            return kFrameInvalidLength;
        }
        m_waitLen = static_cast<uint16_t>(frame[1] | (frame[2] << 8));
        m_pack.reserve(m_waitLen);
        body = frame.subspan(kFirstHeader);
    } else {
        m_id = index;
        body = frame.subspan(kNextHeader);
    }
    m_pack.insert(m_pack.end(), body.begin(), body.end());

    if (m_pack.size() == m_waitLen) return kFrameComplete;
    return m_pack.size() < m_waitLen ? kFrameIncomplete : kFrameInvalidLength;
}

void BleSocketFormat::reset() {
    m_pack.clear();
}

void BleSocketFormat::addFrameWithCompletion(ByteView frame, const Completion& completion) {
    switch (addFrame(frame)) {
    case kFrameComplete: {
        // Hand the bytes over and reset before calling out, so that a completion which feeds
        // the next frames itself starts from a clean state.
        const std::optional<Bytes> package(std::move(m_pack));
        reset();  // leaves the moved-from buffer empty
        if (completion) completion(package, std::nullopt);
        break;
    }
    case kFrameInvalidIndex:
        if (completion) {
            completion(std::nullopt, Error{kLumoBleSocketErrorDomain, kLumoBleSocketInvalidIndexErrorCode,
                                           kLumoBleSocketInvalidIndexMessage});
        }
        break;
    case kFrameInvalidLength:
        if (completion) {
            completion(std::nullopt, Error{kLumoBleSocketErrorDomain, kLumoBleSocketInvalidLengthErrorCode,
                                           kLumoBleSocketInvalidLengthMessage});
        }
        break;
    default:
        break;
    }
}

}  // namespace vexa
