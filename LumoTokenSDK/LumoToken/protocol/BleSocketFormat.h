#pragma once
// Splits a package into Bluetooth LE frames of at most 140 bytes and joins received frames back.
// Frame: index byte (0, 1, 2, ...); the first frame then carries the package length
// (2 bytes, little-endian); the rest of each frame is the next package bytes.
// Splitting keeps no state; joining keeps the state of the one package being received.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

inline constexpr char kLumoBleSocketErrorDomain[] = "LumoBleSocketError";
inline constexpr int64_t kLumoBleSocketInvalidIndexErrorCode = 3;
inline constexpr int64_t kLumoBleSocketInvalidLengthErrorCode = 4;
inline constexpr char kLumoBleSocketInvalidIndexMessage[] = "An invalid index of frame in package.";
inline constexpr char kLumoBleSocketInvalidLengthMessage[] = "An invalid lenght of package.";

class BleSocketFormat {
public:
    static constexpr size_t kMaxFrameSize = 140;
    /// 137 bytes in the first frame plus 255 frames of 139: the most 256 frame indexes can carry.
    static constexpr size_t kMaxPackageSize = 35582;

    /// Results of addFrame().
    static constexpr int kFrameComplete = 1;      // bytes received == announced length
    static constexpr int kFrameIncomplete = 2;    // more frames needed
    static constexpr int kFrameInvalidIndex = 3;  // index does not follow the last accepted one
    static constexpr int kFrameInvalidLength = 4; // more bytes than announced, or a truncated first frame
    static constexpr int kFrameEmpty = 5;         // nothing changes

    using Completion = std::function<void(const std::optional<Bytes>& package, const OptError& error)>;

    /// The frames to write, in order. An empty package gives none; so does a package longer
    /// than kMaxPackageSize, which the frame index cannot number.
    std::vector<Bytes> pack2Frames(ByteView package) const { return pack2Frames(package, kMaxFrameSize); }
    /// The same with frames of at most `frameSize` bytes (4 to 140; clamped), for a link that
    /// carries less than 140 bytes at a time. None when 256 frames of that size cannot hold it.
    std::vector<Bytes> pack2Frames(ByteView package, size_t frameSize) const;
    /// The longest package 256 frames of `frameSize` bytes carry.
    static size_t maxPackageSize(size_t frameSize);
    /// The frames of pack2Frames(package, frameSize), built one after the other in `frame` (a
    /// buffer the caller keeps, so no frame needs an allocation of its own) and handed to
    /// `take(const Bytes&)`, which returns false to stop. Returns the number of frames handed over.
    template <class Take>
    static size_t forEachFrame(ByteView package, size_t frameSize, Bytes& frame, Take&& take);

    /// Adds one received frame to the package being joined; returns 1 to 5 (see above).
    /// Index 0 always starts a new package. After a result 3 or 4 the following frames of the
    /// same package give the same result until a frame with index 0 arrives. A first frame
    /// shorter than its 3 header bytes gives 4 and counts as an overrun package.
    int addFrame(ByteView frame);

    /// The package bytes received so far.
    const Bytes& getPackage() const { return m_pack; }
    /// Hands over the package received so far and resets (after a result 1: the whole package).
    Bytes takePackage();
    /// Gives a buffer back (a package done with) for the next package to be joined in, when
    /// nothing is being joined; its bytes are dropped.
    void recycle(Bytes buffer);
    /// The error reported for a result of addFrame(): 3 and 4 give one, the others none.
    static OptError frameError(int result);

    /// Empties the received bytes; the last index and announced length stay.
    void reset();

    /// Adds a frame and reports: 1 -> (package, nothing) after which the state is reset,
    /// 3 and 4 -> (nothing, "LumoBleSocketError" 3 or 4), 2 and 5 -> no call. At most one call
    /// per frame; `completion` may be empty. The joining state is already reset when a
    /// complete package is handed over, so the completion may feed further frames.
    void addFrameWithCompletion(ByteView frame, const Completion& completion);

    /// Index of the last accepted frame, and the length announced by the last first frame.
    uint8_t lastIndex() const { return m_id; }
    uint16_t waitLen() const { return m_waitLen; }

private:
    static size_t clampFrameSize(size_t frameSize);
    static constexpr size_t kFirstHeader = 3;  // index, length low, length high
    static constexpr size_t kNextHeader = 1;   // index

    Bytes m_pack;
    uint8_t m_id = 0;
    uint16_t m_waitLen = 0;
};

template <class Take>
size_t BleSocketFormat::forEachFrame(ByteView package, size_t frameSize, Bytes& frame, Take&& take) {
    const size_t length = package.size();
    frameSize = clampFrameSize(frameSize);
    if (length == 0 || length > maxPackageSize(frameSize)) return 0;
    size_t pos = 0;
    size_t count = 0;
    while (pos < length) {
        const bool isFirst = count == 0;
        const size_t header = isFirst ? kFirstHeader : kNextHeader;
        const size_t chunk = std::min(length - pos, frameSize - header);
        // Built by appending, so that a reused buffer is not first filled with zeros.
        frame.clear();
        frame.push_back(static_cast<uint8_t>(count));
        if (isFirst) {
            frame.push_back(static_cast<uint8_t>(length & 0xFF));
            frame.push_back(static_cast<uint8_t>(length >> 8));
        }
        frame.insert(frame.end(), package.begin() + static_cast<std::ptrdiff_t>(pos), package.begin() + static_cast<std::ptrdiff_t>(pos + chunk));
        pos += chunk;
        ++count;
        if (!take(static_cast<const Bytes&>(frame))) break;
    }
    return count;
}

}  // namespace vexa
