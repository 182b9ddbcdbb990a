// The file-system and storage commands of the virtual token.
#include <algorithm>

#include "Emulator/VirtualTokenDevice.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"

namespace vexa {
namespace {
Bytes statusReply(uint8_t status) { return Bytes{status}; }
}  // namespace

Bytes VirtualTokenDevice::executeFile(uint8_t code, ByteView payload) {
    switch (code) {
        case kCodeOpenFile: return openFile(payload);
        case kCodeCloseFile: {
            if (payload.size() != 1) return statusReply(kStatusInvalidMessage);
            const auto it = handles_.find(payload[0]);
            if (it == handles_.end()) return statusReply(kStatusFileSystem);
            storages_[it->second.storage]->close(it->second.file);
            handles_.erase(it);
            return statusReply(kStatusOk);
        }
        case kCodeReadFile: return readFile(payload);
        case kCodeWriteFile: return writeFile(payload);
        case kCodeRemoveFile:
        case kCodeOpenDir: {
            const auto path = takeZeroTerminated(payload);
            if (!path) return statusReply(kStatusInvalidMessage);
            VirtualTokenFileSystem& fs = *storages_[selected_];
            const bool done = code == kCodeRemoveFile ? fs.remove(path->text) : fs.openDirectory(path->text);
            return statusReply(done ? kStatusOk : kStatusFileSystem);
        }
        case kCodeDirItem: return nextDirEntry();
        case kCodeSelectStorage:
            if (payload.size() != 1) return statusReply(kStatusInvalidMessage);
            if (payload[0] >= storages_.size()) return statusReply(kStatusFileSystem);
            selected_ = payload[0];
            return statusReply(kStatusOk);
        default: return statusReply(kStatusNotSupported);
    }
}

Bytes VirtualTokenDevice::openFile(ByteView payload) {
    if (payload.empty()) return statusReply(kStatusInvalidMessage);
    const auto path = takeZeroTerminated(payload.subspan(1));
    if (!path) return statusReply(kStatusInvalidMessage);
    // Lowest free handle; 0 stays unused so that it never names an open file.
    uint8_t number = 0;
    for (unsigned h = 1; h <= config_.maxOpenFiles && h <= 255; ++h) {
        if (!handles_.count(static_cast<uint8_t>(h))) {
            number = static_cast<uint8_t>(h);
            break;
        }
    }
    if (number == 0) return statusReply(kStatusFileSystem);
    auto file = storages_[selected_]->open(path->text, payload[0], clock_.now());
    if (!file) return statusReply(kStatusFileSystem);
    handles_[number] = Handle{selected_, std::move(file)};
    return Bytes{kStatusOk, number};
}

Bytes VirtualTokenDevice::readFile(ByteView payload) {
    if (payload.size() != 3) return statusReply(kStatusInvalidMessage);
    const auto it = handles_.find(payload[0]);
    if (it == handles_.end()) return statusReply(kStatusFileSystem);
    const size_t count = std::min<size_t>((size_t{payload[1]} << 8) | payload[2], config_.maxReadSize);
    const size_t capped = std::min(count, replyLimit_ - 1);
    // The status byte, then the file's bytes read straight after it, with room for the package
    // the reply goes out in.
    Bytes out;
    out.reserve(LumoTokenCommand::packageCapacity(1 + capped));
    out.push_back(kStatusOk);
    if (!storages_[it->second.storage]->readAppend(it->second.file, capped, out)) return statusReply(kStatusFileSystem);
    return out;
}

Bytes VirtualTokenDevice::writeFile(ByteView payload) {
    if (payload.size() < 3) return statusReply(kStatusInvalidMessage);
    const size_t length = (size_t{payload[1]} << 8) | payload[2];
    if (payload.size() != 3 + length) return statusReply(kStatusInvalidMessage);
    const auto it = handles_.find(payload[0]);
    if (it == handles_.end()) return statusReply(kStatusFileSystem);
    const bool written = storages_[it->second.storage]->write(it->second.file, payload.subspan(3));
    return statusReply(written ? kStatusOk : kStatusFileSystem);
}

Bytes VirtualTokenDevice::nextDirEntry() {
    std::optional<VirtualTokenFileSystem::Entry> entry;
    if (!storages_[selected_]->nextEntry(entry)) return statusReply(kStatusFileSystem);
    if (!entry) return statusReply(kStatusOk);
    Bytes out{kStatusOk};
    auto field = [&out](const std::string& text) {
        out.insert(out.end(), text.begin(), text.end());
        out.push_back(0);
    };
    field(std::to_string(entry->size));
    field(VirtualTokenClock::format(entry->createdAt));
    field(entry->isDirectory ? "D" : "F");
    field(entry->name);
    return out;
}

}  // namespace vexa
