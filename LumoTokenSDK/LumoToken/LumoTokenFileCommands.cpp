// Storage selection, files (open, read, write in pieces, close, remove) and directory listing.
#include "LumoTokenSDK/LumoToken/ByteComponents.h"
#include "LumoTokenSDK/LumoToken/LumoFileWriteSource.h"
#include "LumoTokenSDK/LumoToken/LumoReplyHandling.h"
#include "LumoTokenSDK/LumoToken/LumoToken.h"

namespace vexa {
namespace {

Bytes terminated(const std::string& text) {
    Bytes out;
    appendTerminated(out, text);
    return out;
}

}  // namespace

std::vector<ByteView> LumoToken::split(ByteView data, uint64_t blockSize) {
    if (blockSize == 0 || data.size() <= blockSize) return {data};
    std::vector<ByteView> pieces;
    pieces.reserve(static_cast<size_t>((data.size() + blockSize - 1) / blockSize));
    for (size_t offset = 0; offset < data.size(); offset += static_cast<size_t>(blockSize)) {
        pieces.push_back(data.subspan(offset, std::min<size_t>(static_cast<size_t>(blockSize), data.size() - offset)));
    }
    return pieces;
}

void LumoToken::openFile(const std::string& path, uint8_t mode, ByteValueCallback result) {
    Bytes payload{mode};
    appendTerminated(payload, path);
    LumoReplyHandler handler = ignoredReply();
    if (result) handler = firstByteReply([result](const Error& e) { result(0, e); }, [result](uint8_t h) { result(h, std::nullopt); });
    sendPackageWithResult(kCmdOpenFile, payload, std::move(handler));
}

void LumoToken::closeFile(uint8_t handle, ErrorCallback result) {
    sendPackageWithResult(kCmdCloseFile, Bytes{handle}, statusOnlyReply(result));
}

void LumoToken::readFile(uint8_t handle, uint16_t countByRead, DataCallback result) {
    const Bytes payload{handle, static_cast<uint8_t>(countByRead >> 8), static_cast<uint8_t>(countByRead)};
    sendPackageWithResult(kCmdReadFile, payload, restAsData(std::move(result)));
}

void LumoToken::writeToFile(uint8_t handle, ByteView data, ErrorCallback result) {
    if (!canSend()) return;  // dropped, as every command is, before the data is copied
    sendPieces(std::make_shared<LumoFileWriteSource>(kCmdWriteFile, handle, data, kLumoFileWritePieceSize, std::move(result)));
}

void LumoToken::removeFile(const std::string& path, ErrorCallback result) {
    sendPackageWithResult(kCmdRemoveFile, terminated(path), statusOnlyReply(result));
}

void LumoToken::openDir(const std::string& path, ErrorCallback result) {
    sendPackageWithResult(kCmdOpenDir, terminated(path), statusOnlyReply(result));
}

void LumoToken::getDirItem(DirItemCallback result) {
    LumoReplyHandler handler = ignoredReply();
    if (result) {
        handler = standardReply([result](const Error& e) { result(std::nullopt, e); },
                                [result](ByteView rest) {
                                    const std::vector<std::string> fields = componentsSeparatedByByte(rest, 0);
                                    // Fewer than four fields: the end of the listing.
                                    if (fields.size() < 4) return result(std::nullopt, std::nullopt);
                                    result(DirEntry{{kFSFileSize, fields[0]}, {kFSDateCreate, fields[1]}, {kFSAttributes, fields[2]},
                                                    {kFSName, fields[3]}},
                                           std::nullopt);
                                });
    }
    sendPackageWithResult(kCmdGetDirItem, {}, std::move(handler));
}

void LumoToken::selectStorage(uint8_t storage, ErrorCallback result) {
    sendPackageWithResult(kCmdSelectStorage, Bytes{storage}, statusOnlyReply(result));
}

}  // namespace vexa
