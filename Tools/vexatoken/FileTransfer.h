#pragma once
// Whole-file transfers with the token: open, read or write in chunks, close.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Bytes.h"
#include "Tools/vexatoken/TokenSession.h"

namespace vexa::tool {

/// Called with the number of bytes transferred so far.
using TransferProgress = std::function<void(uint64_t done)>;

/// Reads the whole file at `path` of the selected storage. On a failure the file is closed and
/// the failure thrown.
Bytes readRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path,
                     const TransferProgress& progress = {});

/// Creates (or empties) the file at `path` and writes `data` into it.
void writeRemoteFile(TokenSession& session, const std::shared_ptr<VexaToken>& token, const std::string& path, ByteView data,
                     const TransferProgress& progress = {});

}  // namespace vexa::tool
