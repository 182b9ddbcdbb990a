#pragma once
// One queued command: the package to split into frames and the handler of its reply.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

class LumoPieceSource;

/// Receives exactly one of: the reply payload (never empty, byte 0 is the status) or an error.
/// The payload is the handler's to keep: a data reply hands its buffer on without a copy.
using LumoReplyHandler = std::function<void(std::optional<Bytes>&& payload, const OptError& error)>;

class LumoCommandContainer {
public:
    /// `cancelled`, when given, is shared by commands that give up together: once it is set the
    /// engine skips the command without writing it or calling its handler. `code`, when known, is
    /// the command code, against which the engine checks the code its reply carries. `operation`
    /// names the application's operation the command belongs to, for cancelling it (0: none).
    LumoCommandContainer(Bytes cmdData, LumoReplyHandler callbackReply, std::shared_ptr<const bool> cancelled = nullptr,
                         std::optional<uint8_t> code = std::nullopt, uint64_t operation = 0);
    /// A series whose pieces the engine takes from `source` one at a time, when it writes each;
    /// the entry stays at the head of the queue until the last piece is taken. `callbackReply`
    /// hears the error when the queue is failed or the operation cancelled with the series still in it.
    LumoCommandContainer(std::shared_ptr<LumoPieceSource> source, LumoReplyHandler callbackReply, uint64_t operation = 0);

    /// The package as it will be framed (already encrypted when encryption applies); empty for a series.
    const Bytes& cmdData() const { return cmdData_; }
    const LumoReplyHandler& callbackReply() const { return callbackReply_; }
    /// Hands the handler over (the engine, when it writes the command).
    LumoReplyHandler takeCallbackReply() { return std::move(callbackReply_); }
    bool isCancelled() const { return cancelled_ && *cancelled_; }
    const std::optional<uint8_t>& code() const { return code_; }
    uint64_t operation() const { return operation_; }
    /// The pieces still to write of a series, or null for a single command.
    const std::shared_ptr<LumoPieceSource>& source() const { return source_; }

private:
    Bytes cmdData_;
    LumoReplyHandler callbackReply_;
    std::shared_ptr<const bool> cancelled_;
    std::optional<uint8_t> code_;
    uint64_t operation_ = 0;
    std::shared_ptr<LumoPieceSource> source_;
};

}  // namespace vexa
