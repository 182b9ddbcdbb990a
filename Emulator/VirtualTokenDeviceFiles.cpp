// The file-system and storage commands of the virtual token.
#include <algorithm>

#include "Emulator/VirtualTokenDevice.h"

namespace vexa {
namespace {
Bytes reply(uint8_t status) { return Bytes{status}; }
}  // namespace

Bytes VirtualTokenDevice::executeFile(uint8_t code, ByteView payload) {
    switch (code) {
        case kCodeOpenFile: return openFile(payload);
        case kCodeCloseFile: {
            if (payload.size() != 1) return reply(kStatusInvalidMessage);
            const auto it = handles_.find(payload[0]);
            if (it == handles_.end()) return reply(kStatusFileSystem);
            storages_[it->second.storage]->close(it->second.file);
            handles_.erase(it);
            return reply(kStatusOk);
        }
        case kCodeReadFile: return readFile(payload);
        case kCodeWriteFile: return writeFile(payload);
        case kCodeRemoveFile:
        case kCodeOpenDir: {
            const auto path = takeZeroTerminated(payload);
            if (!path) return reply(kStatusInvalidMessage);
            VirtualTokenFileSystem& fs = *storages_[selected_];
            const bool done = code == kCodeRemoveFile ? fs.remove(path->text) : fs.openDirectory(path->text);
            return reply(done ? kStatusOk : kStatusFileSystem);
        }
        case kCodeDirItem: return nextDirEntry();
        case kCodeSelectStorage:
            if (payload.size() != 1) return reply(kStatusInvalidMessage);
            if (payload[0] >= storages_.size()) return reply(kStatusFileSystem);
            selected_ = payload[0];
            return reply(kStatusOk);
        default: return reply(kStatusNotSupported);
    }
}

Bytes VirtualTokenDevice::openFile(ByteView payload) {
    if (payload.empty()) return reply(kStatusInvalidMessage);
    const auto path = takeZeroTerminated(payload.subspan(1));
    if (!path) return reply(kStatusInvalidMessage);
    // Lowest free handle; 0 stays unused so that it never names an open file.
    uint8_t number = 0;
    for (unsigned h = 1; h <= config_.maxOpenFiles && h <= 255; ++h) {
        if (!handles_.count(static_cast<uint8_t>(h))) {
            number = static_cast<uint8_t>(h);
            break;
        }
    }
    if (number == 0) return reply(kStatusFileSystem);
    auto file = storages_[selected_]->open(path->text, payload[0], clock_.now());
    if (!file) return reply(kStatusFileSystem);
    handles_[number] = Handle{selected_, std::move(file)};
    return Bytes{kStatusOk, number};
}

Bytes VirtualTokenDevice::readFile(ByteView payload) {
    if (payload.size() != 3) return reply(kStatusInvalidMessage);
    const auto it = handles_.find(payload[0]);
    if (it == handles_.end()) return reply(kStatusFileSystem);
    const size_t count = std::min<size_t>((size_t{payload[1]} << 8) | payload[2], config_.maxReadSize);
    const size_t capped = std::min(count, kMaxReplyPayload - 1);
    const auto data = storages_[it->second.storage]->read(it->second.file, capped);
    if (!data) return reply(kStatusFileSystem);
    Bytes out{kStatusOk};
    out.insert(out.end(), data->begin(), data->end());
    return out;
}

Bytes VirtualTokenDevice::writeFile(ByteView payload) {
    if (payload.size() < 3) return reply(kStatusInvalidMessage);
    const size_t length = (size_t{payload[1]} << 8) | payload[2];
    if (payload.size() != 3 + length) return reply(kStatusInvalidMessage);
    const auto it = handles_.find(payload[0]);
    if (it == handles_.end()) return reply(kStatusFileSystem);
    const bool written = storages_[it->second.storage]->write(it->second.file, payload.subspan(3));
    return reply(written ? kStatusOk : kStatusFileSystem);
}

Bytes VirtualTokenDevice::nextDirEntry() {
    std::optional<VirtualTokenFileSystem::Entry> entry;
    if (!storages_[selected_]->nextEntry(entry)) return reply(kStatusFileSystem);
    if (!entry) return reply(kStatusOk);
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
