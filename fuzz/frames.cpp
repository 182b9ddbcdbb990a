// Feeds a sequence of frames (each preceded by its length byte) into the joiner and checks:
// at most one callback per frame, matching addFrame's result; a completed package has exactly
// the announced length and leaves nothing held. Then splits the whole input as a package and
// joins it back.
#include <cstdlib>

#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"

using namespace vexa;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BleSocketFormat joiner;
    BleSocketFormat mirror;  // the same frames through addFrame, to compare outcomes
    size_t pos = 0;
    while (pos < size) {
        const size_t len = std::min<size_t>(data[pos], size - pos - 1);
        const ByteView frame(data + pos + 1, len);
        pos += 1 + len;

        const int result = mirror.addFrame(frame);
        check(result >= 1 && result <= 5);
        if (result == 1) {
            check(mirror.getPackage().size() == mirror.waitLen());
            mirror.reset();
        }

        int calls = 0;
        joiner.addFrameWithCompletion(frame, [&](const std::optional<Bytes>& package, const OptError& error) {
            ++calls;
            check(package.has_value() != error.has_value());
            if (package) {
                check(result == 1);
                check(package->size() == joiner.waitLen());
                check(joiner.getPackage().empty());
            } else {
                check(error->domain == kLumoBleSocketErrorDomain);
                check(error->code == result);
            }
        });
        check(calls == ((result == 1 || result == 3 || result == 4) ? 1 : 0));
        check(joiner.getPackage() == mirror.getPackage());
        check(joiner.lastIndex() == mirror.lastIndex() && joiner.waitLen() == mirror.waitLen());
    }

    // Round trip of the input as one package.
    const ByteView package(data, size);
    const auto frames = joiner.pack2Frames(package);
    if (size == 0 || size > BleSocketFormat::kMaxPackageSize) {
        check(frames.empty());
        return 0;
    }
    BleSocketFormat receiver;
    int complete = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        check(frames[i].size() <= BleSocketFormat::kMaxFrameSize);
        receiver.addFrameWithCompletion(frames[i], [&](const std::optional<Bytes>& joined, const OptError& error) {
            check(!error && joined && i + 1 == frames.size());
            check(std::equal(joined->begin(), joined->end(), package.begin(), package.end()));
            ++complete;
        });
    }
    check(complete == 1);
    return 0;
}
