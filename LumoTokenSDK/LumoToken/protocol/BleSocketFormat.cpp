#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"

#include <algorithm>

namespace vexa {
size_t BleSocketFormat::clampFrameSize(size_t frameSize) { return std::clamp<size_t>(frameSize, kFirstHeader + 1, kMaxFrameSize); }

size_t BleSocketFormat::maxPackageSize(size_t frameSize) {
    frameSize = clampFrameSize(frameSize);
    return (frameSize - kFirstHeader) + 255 * (frameSize - kNextHeader);
}

std::vector<Bytes> BleSocketFormat::pack2Frames(ByteView package, size_t frameSize) const {
    std::vector<Bytes> frames;
    Bytes frame;
    forEachFrame(package, frameSize, frame, [&frames](const Bytes& f) {
        frames.push_back(f);
        return true;
    });
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

Bytes BleSocketFormat::takePackage() {
    Bytes package = std::move(m_pack);
    reset();  // leaves the moved-from buffer empty
    return package;
}

void BleSocketFormat::recycle(Bytes buffer) {
    if (!m_pack.empty() || m_pack.capacity() >= buffer.capacity()) return;
    buffer.clear();
    m_pack = std::move(buffer);
}

OptError BleSocketFormat::frameError(int result) {
    if (result == kFrameInvalidIndex)
        return Error{kLumoBleSocketErrorDomain, kLumoBleSocketInvalidIndexErrorCode, kLumoBleSocketInvalidIndexMessage};
    if (result == kFrameInvalidLength)
        return Error{kLumoBleSocketErrorDomain, kLumoBleSocketInvalidLengthErrorCode, kLumoBleSocketInvalidLengthMessage};
    return std::nullopt;
}

void BleSocketFormat::addFrameWithCompletion(ByteView frame, const Completion& completion) {
    const int result = addFrame(frame);
    if (result == kFrameComplete) {
        // Hand the bytes over and reset before calling out, so that a completion which feeds
        // the next frames itself starts from a clean state.
        const std::optional<Bytes> package(takePackage());
        if (completion) completion(package, std::nullopt);
    } else if (OptError error = frameError(result)) {
        if (completion) completion(std::nullopt, error);
    }
}

}  // namespace vexa
