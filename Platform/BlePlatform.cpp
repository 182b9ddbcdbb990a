#include "Platform/BlePlatform.h"

#include <cstdio>
#include <mutex>

namespace vexa {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The Bluetooth base UUID 00000000-0000-1000-8000-00805F9B34FB.
const uint8_t kBase[16] = {0, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<BleBackend> backend;
    std::shared_ptr<DispatchQueue> queue;
};
Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

BleUUID BleUUID::fromString(std::string_view text) {
    std::string hex;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '-') {
            if (text.size() != 36 || (i != 8 && i != 13 && i != 18 && i != 23)) return {};
            continue;
        }
        if (hexValue(text[i]) < 0) return {};
        hex.push_back(text[i]);
    }
    if (hex.size() != 4 && hex.size() != 8 && hex.size() != 32) return {};
    if (hex.size() == 32 && text.size() != 32 && text.size() != 36) return {};
    Bytes data;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        data.push_back(static_cast<uint8_t>(hexValue(hex[i]) * 16 + hexValue(hex[i + 1])));
    return BleUUID(std::move(data));
}

std::string BleUUID::str() const {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < data_.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data_[i]);
        out += buf;
        if (data_.size() == 16 && (i == 3 || i == 5 || i == 7 || i == 9)) out += '-';
    }
    return out;
}

BleUUID BleUUID::to128() const {
    if (data_.size() != 2 && data_.size() != 4) return *this;
    Bytes full(kBase, kBase + 16);
    std::copy(data_.begin(), data_.end(), full.begin() + static_cast<long>(4 - data_.size()));
    return BleUUID(std::move(full));
}

void setBleBackend(std::shared_ptr<BleBackend> backend, std::shared_ptr<DispatchQueue> callbackQueue) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.backend = std::move(backend);
    r.queue = std::move(callbackQueue);
}

std::shared_ptr<BleBackend> bleBackend() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.backend;
}

std::shared_ptr<DispatchQueue> bleCallbackQueue() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.queue;
}

}  // namespace vexa
