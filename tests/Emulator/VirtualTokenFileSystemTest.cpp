#include <gtest/gtest.h>

#include "Emulator/VirtualTokenFileSystem.h"

namespace vexa {
namespace {

using FS = VirtualTokenFileSystem;

TEST(VirtualTokenFileSystem, PathsAreNormalisedAndUnsafeOnesRefused) {
    EXPECT_EQ(splitTokenPath("/a//b/./c/"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(splitTokenPath(""), std::vector<std::string>{});
    EXPECT_EQ(splitTokenPath("/"), std::vector<std::string>{});
    EXPECT_FALSE(splitTokenPath("a/../b"));
    EXPECT_FALSE(splitTokenPath(std::string("a/\xC3(", 4)));
    EXPECT_FALSE(splitTokenPath(std::string(256, 'x')));
    EXPECT_TRUE(splitTokenPath(std::string(255, 'x')));
}

TEST(VirtualTokenFileSystem, OpenModesReadWriteAppendAndTruncate) {
    FS fs;
    // Missing files, unknown modes, write-only handles, open files and missing listings are
    // refused through the token's commands in VirtualTokenDeviceTest.
    EXPECT_FALSE(fs.open("missing", FS::kOpenReadWrite, 0));
    EXPECT_FALSE(fs.open("nodir/f", FS::kOpenWrite, 0));   // parent missing
    EXPECT_FALSE(fs.open("/", FS::kOpenWrite, 0));

    auto w = fs.open("f", FS::kOpenWrite, 7);
    ASSERT_TRUE(w);
    EXPECT_TRUE(fs.write(w, Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(fs.close(w));
    EXPECT_FALSE(fs.close(w));
    EXPECT_FALSE(fs.write(w, Bytes{9}));  // closed

    auto a = fs.open("f", FS::kOpenAppend, 0);
    ASSERT_TRUE(a);
    EXPECT_TRUE(fs.write(a, Bytes{5}));
    fs.close(a);
    EXPECT_EQ(fs.readFile("f"), (Bytes{1, 2, 3, 4, 5}));

    auto r = fs.open("/f", FS::kOpenRead, 0);
    ASSERT_TRUE(r);
    EXPECT_FALSE(fs.write(r, Bytes{1}));  // read-only
    EXPECT_EQ(fs.read(r, 2), (Bytes{1, 2}));
    EXPECT_EQ(fs.read(r, 10), (Bytes{3, 4, 5}));
    EXPECT_EQ(fs.read(r, 10), Bytes{});  // end of file

    auto rw = fs.open("f", FS::kOpenReadWrite, 0);
    EXPECT_EQ(fs.read(rw, 1), Bytes{1});
    EXPECT_TRUE(fs.write(rw, Bytes{7, 7}));  // overwrite in place from the position
    EXPECT_EQ(fs.readFile("f"), (Bytes{1, 7, 7, 4, 5}));

    auto t = fs.open("f", FS::kOpenWrite, 0);  // truncates
    EXPECT_EQ(fs.readFile("f"), Bytes{});
    EXPECT_EQ(fs.usedBytes(), 0u);
}

TEST(VirtualTokenFileSystem, CapacityIsNeverExceeded) {
    FS fs(10);
    auto f = fs.open("f", FS::kOpenWrite, 0);
    EXPECT_TRUE(fs.write(f, Bytes(8, 1)));  // a write past the capacity: VirtualTokenDeviceTest
    EXPECT_TRUE(fs.write(f, Bytes(2, 2)));
    EXPECT_EQ(fs.usedBytes(), 10u);
    EXPECT_FALSE(fs.writeFile("g", Bytes{1}, 0));
    fs.close(f);
    EXPECT_TRUE(fs.remove("f"));
    EXPECT_EQ(fs.usedBytes(), 0u);
    EXPECT_TRUE(fs.writeFile("g", Bytes(10, 3), 0));
}

TEST(VirtualTokenFileSystem, RemoveRefusesRootAndFullDirectories) {
    FS fs;
    ASSERT_TRUE(fs.makeDirectory("d/e", 0));
    ASSERT_TRUE(fs.writeFile("d/x", Bytes{1}, 0));
    EXPECT_FALSE(fs.remove("/"));
    EXPECT_FALSE(fs.remove("d"));  // not empty
    EXPECT_TRUE(fs.remove("d/x"));
    EXPECT_TRUE(fs.remove("d/e"));
    EXPECT_TRUE(fs.remove("d"));
    EXPECT_FALSE(fs.stat("d"));
    EXPECT_FALSE(fs.makeDirectory("a/../b", 0));
    ASSERT_TRUE(fs.writeFile("file", Bytes{}, 0));
    EXPECT_FALSE(fs.makeDirectory("file/sub", 0));
    EXPECT_FALSE(fs.open("file/sub", FS::kOpenWrite, 0));
}

TEST(VirtualTokenFileSystem, ListingWalksASnapshotInNameOrder) {
    FS fs;
    std::optional<FS::Entry> entry;
    ASSERT_TRUE(fs.makeDirectory("dir", 5));
    ASSERT_TRUE(fs.writeFile("b.txt", Bytes(3, 0), 6));
    ASSERT_TRUE(fs.writeFile("a.txt", Bytes(1, 0), 7));
    ASSERT_TRUE(fs.writeFile("c.txt", Bytes{}, 8));
    EXPECT_FALSE(fs.openDirectory("a.txt"));
    ASSERT_TRUE(fs.openDirectory(""));

    ASSERT_TRUE(fs.nextEntry(entry));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "a.txt");
    fs.remove("b.txt");                      // removed after the listing started: skipped
    ASSERT_TRUE(fs.writeFile("bb", {}, 0));  // added after: not listed
    ASSERT_TRUE(fs.nextEntry(entry));
    EXPECT_EQ(entry->name, "c.txt");
    ASSERT_TRUE(fs.nextEntry(entry));
    EXPECT_EQ(entry->name, "dir");
    EXPECT_TRUE(entry->isDirectory);
    EXPECT_TRUE(fs.nextEntry(entry));
    EXPECT_FALSE(entry);  // end, and it stays at the end
    EXPECT_TRUE(fs.nextEntry(entry));
    EXPECT_FALSE(entry);

    ASSERT_TRUE(fs.openDirectory("dir"));
    EXPECT_TRUE(fs.nextEntry(entry));
    EXPECT_FALSE(entry);  // empty directory
    fs.closeDirectory();
    EXPECT_FALSE(fs.nextEntry(entry));
}

}  // namespace
}  // namespace vexa
