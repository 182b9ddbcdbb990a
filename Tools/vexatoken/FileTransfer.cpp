#include "Tools/vexatoken/FileTransfer.h"

#include <algorithm>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {
namespace {

uint8_t openRemote(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path, int mode) {
    return session.require(token, ReplyKind::OpenFile, [&path, mode](VexaToken& t) { t.openFile(path, mode); }).handle;
}

// Closes the file also when a stop signal came meanwhile: the handle is not left open.
void closeRemote(TokenSession& session, const std::shared_ptr<VexaToken>& token, uint8_t handle) {
    const auto reply = session.tidyUp(token, ReplyKind::CloseFile, [handle](VexaToken& t) { t.closeFile(handle); });
    if (reply.error) throw libraryFailure(*reply.error);
}

// Closes a file after a failure or a stop signal; the first failure is the one reported, so this
// one is ignored.
void closeQuietly(TokenSession& session, const std::shared_ptr<VexaToken>& token, uint8_t handle) {
    try {
        if (token->isConnected()) session.tidyUp(token, ReplyKind::CloseFile, [handle](VexaToken& t) { t.closeFile(handle); });
    } catch (const ToolFailure&) {
    }
}

}  // namespace

Bytes readRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path,
                     const TransferProgress& progress) {
    const uint8_t handle = openRemote(session, token, path, kOpenForReading);
    Bytes data;
    try {
        for (;;) {
            const auto reply = session.call(token, ReplyKind::ReadFile, [handle](VexaToken& t) { t.readFile(handle, kReadChunk); });
            if (reply.error) throw libraryFailure(*reply.error);
            // The end of the file is a read that returns nothing.
            if (!reply.bytes || reply.bytes->empty()) break;
            data.insert(data.end(), reply.bytes->begin(), reply.bytes->end());
            if (progress) progress(data.size());
        }
    } catch (const ToolFailure&) {
        closeQuietly(session, token, handle);
        throw;
    }
    closeRemote(session, token, handle);
    return data;
}

void writeRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path, ByteView data,
                     const TransferProgress& progress) {
    const uint8_t handle = openRemote(session, token, path, kOpenForWriting);
    // Handed over a chunk at a time so that progress can be shown, and so that after a stop
    // signal the bytes the token acknowledged are known exactly.
    const auto commandsPerChunk = static_cast<unsigned>((kWriteChunk + kLumoFileWritePieceSize - 1) / kLumoFileWritePieceSize);
    try {
        for (size_t offset = 0; offset < data.size(); offset += kWriteChunk) {
            const ByteView chunk = data.subspan(offset, std::min(kWriteChunk, data.size() - offset));
            const auto reply = session.call(token, ReplyKind::WriteFile, [handle, chunk](VexaToken& t) { t.writeFile(handle, chunk); },
                                            commandsPerChunk);
            if (reply.error) throw libraryFailure(*reply.error);
            if (progress) progress(offset + chunk.size());
        }
    } catch (const ToolFailure&) {
        closeQuietly(session, token, handle);
        throw;
    }
    closeRemote(session, token, handle);
}

}  // namespace vexa::tool
