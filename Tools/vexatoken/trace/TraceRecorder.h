#pragma once
// Records a session as a btsnoop capture (layout in AttLayout.h): the frames in both directions
// with their times, and beside each encrypted package its plain text. The key is never written.
// Install it with VexaTokenManager::setFrameObserver or VexaToken::setFrameObserver; it runs on
// the main queue like the session. Records are buffered and written in large pieces; the file is
// complete once the recorder is flushed or destroyed.
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
    void packageEncrypted(const LumoToken& token, ByteView plain, ByteView encrypted) override;
    void packageDecrypted(const LumoToken& token, ByteView encrypted, ByteView plain) override;

private:
    struct Link {
        uint16_t connection = 0;
        // Packages encrypted and not written yet, oldest first: (encrypted, plain).
        std::deque<std::pair<Bytes, Bytes>> pending;
        BleSocketFormat written;  // joins the frames written while packages are pending
    };

    Link& linkOf(const LumoToken& token);
    void openLink(const LumoToken& token, const Link& link);
    int64_t nowMicros() const;
    void att(uint16_t connection, bool fromToken, uint8_t opcode, ByteView body, ByteView value = {});
    void plainRecord(uint16_t connection, bool fromToken, ByteView package);
    void matchWritten(Link& link);

    std::FILE* file_;
    std::shared_ptr<DispatchQueue> clock_;
    int64_t startMicros_ = 0;
    Duration startTime_{};
    Bytes buffer_;
    bool failed_ = false;
    std::map<const LumoToken*, Link> links_;
    const LumoToken* lastToken_ = nullptr;
    Link* lastLink_ = nullptr;
};

}  // namespace vexa::trace
