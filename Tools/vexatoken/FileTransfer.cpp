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

void closeRemote(TokenSession& session, const std::shared_ptr<VexaToken>& token, uint8_t handle) {
    session.require(token, ReplyKind::CloseFile, [handle](VexaToken& t) { t.closeFile(handle); });
}

// Closes a file after a failure; the first failure is the one reported, so this one is ignored.
void closeQuietly(TokenSession& session, const std::shared_ptr<VexaToken>& token, uint8_t handle) {
    try {
        if (token->isConnected()) session.call(token, ReplyKind::CloseFile, [handle](VexaToken& t) { t.closeFile(handle); });
    } catch (const ToolFailure&) {
    }
}

}  // namespace

Bytes readRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path,
                     const TransferProgress& progress) {
    const uint8_t handle = openRemote(session, token, path, kOpenForReading);
    Bytes data;
    for (;;) {
        const auto reply = session.call(token, ReplyKind::ReadFile, [handle](VexaToken& t) { t.readFile(handle, kReadChunk); });
        if (reply.error) {
            closeQuietly(session, token, handle);
            throw libraryFailure(*reply.error);
        }
        // The end of the file is a read that returns nothing.
        if (!reply.bytes || reply.bytes->empty()) break;
        data.insert(data.end(), reply.bytes->begin(), reply.bytes->end());
        if (progress) progress(data.size());
    }
    closeRemote(session, token, handle);
    return data;
}

void writeRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path, ByteView data,
                     const TransferProgress& progress) {
    const uint8_t handle = openRemote(session, token, path, kOpenForWriting);
    // Handed over a chunk at a time so that progress can be shown; the token gets each chunk
    // in several commands.
    const auto commandsPerChunk = static_cast<unsigned>((kWriteChunk + kLumoFileWritePieceSize - 1) / kLumoFileWritePieceSize);
    for (size_t offset = 0; offset < data.size(); offset += kWriteChunk) {
        const ByteView chunk = data.subspan(offset, std::min(kWriteChunk, data.size() - offset));
        const auto reply = session.call(token, ReplyKind::WriteFile, [handle, chunk](VexaToken& t) { t.writeFile(handle, chunk); },
                                        commandsPerChunk);
        if (reply.error) {
            closeQuietly(session, token, handle);
            throw libraryFailure(*reply.error);
        }
        if (progress) progress(offset + chunk.size());
    }
    closeRemote(session, token, handle);
}

}  // namespace vexa::tool
