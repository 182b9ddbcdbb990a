#include "Emulator/VirtualTokenFileSystem.h"

#include <algorithm>

#include "Platform/Utf16.h"

namespace vexa {

std::optional<std::vector<std::string>> splitTokenPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") {
            if (part.size() > VirtualTokenFileSystem::kMaxNameLength || !isValidUtf8(part)) return std::nullopt;
            if (part.find('\0') != std::string_view::npos) return std::nullopt;
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return parts;
}

VirtualTokenFileSystem::VirtualTokenFileSystem(size_t capacity) : capacity_(capacity), root_(std::make_shared<Node>()) {
    root_->isDirectory = true;
}

VirtualTokenFileSystem::~VirtualTokenFileSystem() = default;

std::shared_ptr<VirtualTokenFileSystem::Node> VirtualTokenFileSystem::lookup(const std::vector<std::string>& parts) const {
    std::shared_ptr<Node> node = root_;
    for (const auto& part : parts) {
        if (!node->isDirectory) return nullptr;
        const auto it = node->children.find(part);
        if (it == node->children.end()) return nullptr;
        node = it->second;
    }
    return node;
}

std::shared_ptr<VirtualTokenFileSystem::Node> VirtualTokenFileSystem::lookupParent(const std::vector<std::string>& parts) const {
    if (parts.empty()) return nullptr;
    auto parent = lookup(std::vector<std::string>(parts.begin(), parts.end() - 1));
    return parent && parent->isDirectory ? parent : nullptr;
}

std::shared_ptr<VirtualTokenFileSystem::Node> VirtualTokenFileSystem::createFile(const std::shared_ptr<Node>& parent,
                                                                                 const std::string& name, int64_t now) {
    auto node = std::make_shared<Node>();
    node->createdAt = now;
    parent->children[name] = node;
    return node;
}

bool VirtualTokenFileSystem::resize(Node& node, uint64_t newSize) {
    const size_t oldSize = node.data.size();
    if (newSize > oldSize && newSize - oldSize > capacity_ - used_) return false;
    used_ = used_ - oldSize + static_cast<size_t>(newSize);
    node.data.resize(static_cast<size_t>(newSize));
    return true;
}

VirtualTokenFileSystem::FileRef VirtualTokenFileSystem::open(std::string_view path, uint8_t mode, int64_t now) {
    if (mode > kOpenReadWrite) return nullptr;
    const auto parts = splitTokenPath(path);
    if (!parts || parts->empty()) return nullptr;
    const auto parent = lookupParent(*parts);
    if (!parent) return nullptr;
    std::shared_ptr<Node> node;
    if (const auto it = parent->children.find(parts->back()); it != parent->children.end()) node = it->second;
    if (node && node->isDirectory) return nullptr;
    if (!node) {
        if (mode == kOpenRead || mode == kOpenReadWrite) return nullptr;
        node = createFile(parent, parts->back(), now);
    } else if (mode == kOpenWrite) {
        resize(*node, 0);
    }
    auto file = std::make_shared<OpenFile>();
    file->node = node;
    file->mode = static_cast<OpenMode>(mode);
    file->position = mode == kOpenAppend ? node->data.size() : 0;
    ++node->openCount;
    ++openCount_;
    return file;
}

std::optional<Bytes> VirtualTokenFileSystem::read(const FileRef& file, size_t count) {
    Bytes out;
    if (!readAppend(file, count, out)) return std::nullopt;
    return out;
}

bool VirtualTokenFileSystem::readAppend(const FileRef& file, size_t count, Bytes& out) {
    if (!file || file->closed) return false;
    if (file->mode != kOpenRead && file->mode != kOpenReadWrite) return false;
    const Bytes& data = file->node->data;
    const size_t start = static_cast<size_t>(std::min<uint64_t>(file->position, data.size()));
    const size_t n = std::min(count, data.size() - start);
    file->position = start + n;
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(start), data.begin() + static_cast<std::ptrdiff_t>(start + n));
    // Read ahead: a file is mostly read on in order, and its next bytes then come from the cache.
    const size_t ahead = std::min(n, data.size() - file->position);
    for (size_t at = 0; at < ahead; at += 64) __builtin_prefetch(data.data() + file->position + at);
    return true;
}

bool VirtualTokenFileSystem::write(const FileRef& file, ByteView data) {
    if (!file || file->closed || file->mode == kOpenRead) return false;
    Node& node = *file->node;
    const uint64_t at = file->mode == kOpenAppend ? node.data.size() : std::min<uint64_t>(file->position, node.data.size());
    const uint64_t end = at + data.size();
    if (end > node.data.size() && !resize(node, end)) return false;
    std::copy(data.begin(), data.end(), node.data.begin() + static_cast<std::ptrdiff_t>(at));
    file->position = end;
    // The next write mostly goes on from here: its bytes are fetched ahead, for writing.
    const size_t ahead = static_cast<size_t>(std::min<uint64_t>(data.size(), node.data.size() - end));
    for (size_t i = 0; i < ahead; i += 64) __builtin_prefetch(node.data.data() + end + i, 1);
    return true;
}

bool VirtualTokenFileSystem::close(const FileRef& file) {
    if (!file || file->closed) return false;
    file->closed = true;
    --file->node->openCount;
    --openCount_;
    return true;
}

bool VirtualTokenFileSystem::remove(std::string_view path) {
    const auto parts = splitTokenPath(path);
    if (!parts || parts->empty()) return false;
    const auto parent = lookupParent(*parts);
    if (!parent) return false;
    const auto it = parent->children.find(parts->back());
    if (it == parent->children.end()) return false;
    const Node& node = *it->second;
    if (node.openCount > 0 || (node.isDirectory && !node.children.empty())) return false;
    used_ -= node.data.size();
    parent->children.erase(it);
    return true;
}

bool VirtualTokenFileSystem::openDirectory(std::string_view path) {
    const auto parts = splitTokenPath(path);
    if (!parts) return false;
    auto dir = lookup(*parts);
    if (!dir || !dir->isDirectory) return false;
    Listing listing;
    listing.directory = dir;
    for (const auto& [name, child] : dir->children) listing.names.push_back(name);
    listing_ = std::move(listing);
    return true;
}

bool VirtualTokenFileSystem::nextEntry(std::optional<Entry>& entry) {
    entry.reset();
    if (!listing_) return false;
    while (listing_->next < listing_->names.size()) {
        const std::string& name = listing_->names[listing_->next++];
        const auto it = listing_->directory->children.find(name);
        if (it == listing_->directory->children.end()) continue;
        const Node& node = *it->second;
        entry = Entry{name, node.isDirectory, node.data.size(), node.createdAt};
        return true;
    }
    return true;
}

void VirtualTokenFileSystem::closeDirectory() { listing_.reset(); }

bool VirtualTokenFileSystem::makeDirectory(std::string_view path, int64_t now) {
    const auto parts = splitTokenPath(path);
    if (!parts) return false;
    std::shared_ptr<Node> node = root_;
    for (const auto& part : *parts) {
        auto& child = node->children[part];
        if (!child) {
            child = std::make_shared<Node>();
            child->isDirectory = true;
            child->createdAt = now;
        }
        if (!child->isDirectory) return false;
        node = child;
    }
    return true;
}

bool VirtualTokenFileSystem::writeFile(std::string_view path, ByteView contents, int64_t now) {
    const auto parts = splitTokenPath(path);
    if (!parts || parts->empty()) return false;
    const auto parent = lookupParent(*parts);
    if (!parent) return false;
    std::shared_ptr<Node> node;
    if (const auto it = parent->children.find(parts->back()); it != parent->children.end()) node = it->second;
    if (node && node->isDirectory) return false;
    const size_t oldSize = node ? node->data.size() : 0;
    if (contents.size() > oldSize && contents.size() - oldSize > capacity_ - used_) return false;
    if (!node) node = createFile(parent, parts->back(), now);
    resize(*node, contents.size());
    std::copy(contents.begin(), contents.end(), node->data.begin());
    return true;
}

std::optional<Bytes> VirtualTokenFileSystem::readFile(std::string_view path) const {
    const auto parts = splitTokenPath(path);
    if (!parts) return std::nullopt;
    const auto node = lookup(*parts);
    if (!node || node->isDirectory) return std::nullopt;
    return node->data;
}

std::optional<VirtualTokenFileSystem::Entry> VirtualTokenFileSystem::stat(std::string_view path) const {
    const auto parts = splitTokenPath(path);
    if (!parts) return std::nullopt;
    const auto node = lookup(*parts);
    if (!node) return std::nullopt;
    return Entry{parts->empty() ? std::string() : parts->back(), node->isDirectory, node->data.size(), node->createdAt};
}

std::optional<std::vector<VirtualTokenFileSystem::Entry>> VirtualTokenFileSystem::list(std::string_view path) const {
    const auto parts = splitTokenPath(path);
    if (!parts) return std::nullopt;
    const auto dir = lookup(*parts);
    if (!dir || !dir->isDirectory) return std::nullopt;
    std::vector<Entry> entries;
    for (const auto& [name, node] : dir->children)
        entries.push_back(Entry{name, node->isDirectory, node->data.size(), node->createdAt});
    return entries;
}

}  // namespace vexa
