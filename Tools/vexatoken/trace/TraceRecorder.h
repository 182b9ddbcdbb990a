#pragma once
// Records a session as a btsnoop capture (layout in AttLayout.h): the frames in both directions
// with their times, and beside each encrypted package its plain text. The key is never written.
// Install it with VexaTokenManager::setFrameObserver or VexaToken::setFrameObserver; it runs on
// the main queue like the session. Records are buffered and written in large pieces; the file is
// complete once the recorder is flushed or destroyed.
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "LumoTokenSDK/LumoToken/LumoFrameObserver.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "Platform/DispatchQueue.h"

namespace vexa::trace {

class TraceRecorder final : public LumoFrameObserver {
public:
    /// Creates (or empties) `path` and writes the file header. Times are the wall clock at this
    /// call plus the time passed since on `clock` (the main queue: virtual time on a simulated
    /// link). Null, with `error` set, when the file cannot be created.
    static std::shared_ptr<TraceRecorder> create(const std::string& path, std::shared_ptr<DispatchQueue> clock, std::string& error);
    TraceRecorder(std::FILE* file, std::shared_ptr<DispatchQueue> clock);
    ~TraceRecorder() override;
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    /// Writes what is buffered; false once any write to the file has failed.
    bool flush();

    void frameWritten(const LumoToken& token, ByteView frame) override;
    void frameNotified(const LumoToken& token, ByteView frame) override;
    void packageEncrypted(const LumoToken& token, Bytes&& plain, ByteView encrypted) override;
    void packageDecrypted(const LumoToken& token, ByteView encrypted, ByteView plain) override;

private:
    // An encrypted package whose frames are not written yet: how it starts and how long it is,
    // to know its frames, and its plain text.
    struct Pending {
        std::array<uint8_t, BleSocketFormat::kMaxFrameSize - 3> head;  // the encrypted bytes of its first frame
        size_t headSize = 0;
        size_t size = 0;
        Bytes plain;
    };
    struct Link {
        uint16_t connection = 0;
        std::deque<Pending> pending;  // oldest first
        bool writing = false;         // the frames being written are those of pending.front()
        size_t written = 0;           // ... and this many of its bytes are written
    };

    // The token's link, opened on first use; also takes the time for the records that follow.
    Link& linkOf(const LumoToken& token);
    void openLink(const LumoToken& token, const Link& link);
    int64_t nowMicros() const;
    // Room for `size` more bytes in the buffer (written out first when full).
    uint8_t* reserve(size_t size);
    void record(uint32_t flags, ByteView data);
    void att(uint16_t connection, bool fromToken, uint8_t opcode, ByteView body, ByteView value = {});
    void plainRecord(uint16_t connection, bool fromToken, ByteView package);
    void trackWritten(Link& link, ByteView frame);

    std::FILE* file_;
    std::shared_ptr<DispatchQueue> clock_;
    int64_t startMicros_ = 0;
    int64_t now_ = 0;  // the time of the records being written
    Duration startTime_{};
    Bytes buffer_;     // fixed size; the first used_ bytes hold records not yet written out
    size_t used_ = 0;
    bool failed_ = false;
    std::map<const LumoToken*, Link> links_;
    const LumoToken* lastToken_ = nullptr;
    Link* lastLink_ = nullptr;
};

}  // namespace vexa::trace
