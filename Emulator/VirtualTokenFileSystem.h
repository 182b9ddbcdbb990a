#pragma once
// One storage of the virtual token: an in-memory tree of directories and files with a byte
// capacity, open-file objects with a position, and a directory cursor for listings.
//
// Paths are UTF-8 and '/'-separated; a leading '/' is optional, empty components and "." are
// ignored, so "", "/" and "." all name the root. ".." is refused, as are names that are not
// valid UTF-8 or longer than kMaxNameLength bytes. Every failure is reported as an absent result
// or false (the token answers status 11 for all of them).
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Bytes.h"

namespace vexa {

class VirtualTokenFileSystem {
public:
    static constexpr size_t kMaxNameLength = 255;
    static constexpr size_t kDefaultCapacity = 1024 * 1024;

    /// Open modes of command 0x70.
    enum OpenMode : uint8_t {
        kOpenRead = 0,       // existing file, position 0, read only
        kOpenWrite = 1,      // create or truncate, write only
        kOpenAppend = 2,     // create if missing, every write goes to the end, write only
        kOpenReadWrite = 3,  // existing file, position 0, read and write, not truncated
    };

    /// One directory entry as the listing reports it.
    struct Entry {
        std::string name;
        bool isDirectory = false;
        uint64_t size = 0;       // bytes; 0 for a directory
        int64_t createdAt = 0;   // token clock, seconds since the Unix epoch
    };

    struct Node;
    /// An open file: it keeps its file alive and counts as an open handle until closed.
    struct OpenFile {
        std::shared_ptr<Node> node;
        OpenMode mode = kOpenRead;
        uint64_t position = 0;
        bool closed = false;
    };
    using FileRef = std::shared_ptr<OpenFile>;

    explicit VirtualTokenFileSystem(size_t capacity = kDefaultCapacity);
    ~VirtualTokenFileSystem();
    VirtualTokenFileSystem(const VirtualTokenFileSystem&) = delete;
    VirtualTokenFileSystem& operator=(const VirtualTokenFileSystem&) = delete;

    // Protocol operations (commands 0x70-0xA0).

    /// Opens `path` in `mode`; the parent directory must exist. Absent on any failure (unknown
    /// mode, missing file for read, a directory, no such parent, bad path).
    FileRef open(std::string_view path, uint8_t mode, int64_t now);
    /// Up to `count` bytes from the file's position, advancing it. Absent for a write-only or
    /// closed file. At the end of the file the result is empty.
    std::optional<Bytes> read(const FileRef& file, size_t count);
    /// The same bytes appended to `out`; false (and `out` unchanged) where read() gives nothing.
    bool readAppend(const FileRef& file, size_t count, Bytes& out);
    /// Writes at the position (or at the end in append mode), extending the file. False for a
    /// read-only or closed file, or when the storage would exceed its capacity (nothing written).
    bool write(const FileRef& file, ByteView data);
    /// Closes the file; false when it was already closed.
    bool close(const FileRef& file);
    /// Removes a file, or an empty directory. False for the root, an open file, a directory
    /// with entries, or a missing path.
    bool remove(std::string_view path);
    /// Starts a listing of the directory at `path` (a snapshot of its names, in name order).
    bool openDirectory(std::string_view path);
    /// The next entry of the listing; absent after the last one. Entries removed since the
    /// listing started are skipped. False when no listing was opened.
    bool nextEntry(std::optional<Entry>& entry);
    /// Forgets the listing (e.g. when the link drops).
    void closeDirectory();

    // Direct access for tests and applications (no handles involved).

    /// Creates a directory and any missing parents; true when it exists afterwards.
    bool makeDirectory(std::string_view path, int64_t now);
    /// Creates or replaces a file (parents must exist); obeys the capacity.
    bool writeFile(std::string_view path, ByteView contents, int64_t now);
    /// Contents of a file, absent for a directory or a missing path.
    std::optional<Bytes> readFile(std::string_view path) const;
    /// The entry at `path` (root included, with an empty name), absent when missing.
    std::optional<Entry> stat(std::string_view path) const;
    /// Entries of a directory in name order, absent when it is not a directory.
    std::optional<std::vector<Entry>> list(std::string_view path) const;

    size_t capacity() const { return capacity_; }
    size_t usedBytes() const { return used_; }
    /// Files currently open through open().
    size_t openFileCount() const { return openCount_; }

private:
    std::shared_ptr<Node> lookup(const std::vector<std::string>& parts) const;
    std::shared_ptr<Node> lookupParent(const std::vector<std::string>& parts) const;
    std::shared_ptr<Node> createFile(const std::shared_ptr<Node>& parent, const std::string& name, int64_t now);
    bool resize(Node& node, uint64_t newSize);

    size_t capacity_;
    size_t used_ = 0;
    size_t openCount_ = 0;
    std::shared_ptr<Node> root_;
    struct Listing {
        std::shared_ptr<Node> directory;
        std::vector<std::string> names;
        size_t next = 0;
    };
    std::optional<Listing> listing_;
};

/// A node of the tree: a directory (children) or a file (data).
struct VirtualTokenFileSystem::Node {
    bool isDirectory = false;
    int64_t createdAt = 0;
    Bytes data;
    std::map<std::string, std::shared_ptr<Node>> children;
    size_t openCount = 0;
};

/// Splits a path into its components; absent when it holds "..", an invalid or too long name.
std::optional<std::vector<std::string>> splitTokenPath(std::string_view path);

}  // namespace vexa
