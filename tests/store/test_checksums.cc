// The checksum record of stored images (store/checksums.h): written by the
// write path as the bytes go out, read back, verified, compacted; a torn
// line is not believed, a later line wins.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "store/checksums.h"
#include "store/localstore.h"
#include "tests/store/storetest.h"

namespace
{

struct Store : TestStore {
    std::string seriesDir() const { return B("uid/E2/E7/study_1.2.3/series_4.5"); }
    std::string image(const char *sop) const
    {
        return seriesDir() + "/image_" + std::string(sop) + ".dcm";
    }
};

checksums_record computed(const std::string &path)
{
    checksums_record r;
    EXPECT_EQ(0, checksums_computePath(path, &r));
    return r;
}

// Flips one bit of the file at offset, keeping its size.
void flipBit(const std::string &path, off_t offset)
{
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char c = 0;
    ASSERT_EQ(1, pread(fd, &c, 1, offset));
    c ^= 0x10;
    ASSERT_EQ(1, pwrite(fd, &c, 1, offset));
    close(fd);
}

} // namespace

TEST(Checksums, HasherIsSha256)
{
    checksums_hasher h;
    h.add("ab", 2);
    h.add("c", 1);
    checksums_record r = h.finish();
    EXPECT_EQ(3u, r.size);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", r.sha256);
}

// The pipe's thread hashes what it is given in order: the digest of many
// buffers of uneven sizes, with the hasher used directly between drains, is
// that of the same bytes hashed in one go; a pipe ended with buffers still
// waiting hashes them first.
TEST(Checksums, PipeHashesInOrder)
{
    std::string all;
    checksums_hasher piped;
    {
        checksums_pipe pipe(&piped, 2);
        for (int i = 0; i < 200; i++) {
            std::string buf((size_t)(i * 977 % 70000) + 1, (char)('a' + i % 26));
            all += buf;
            pipe.give(&buf);
            EXPECT_TRUE(buf.empty());
            if (i == 100) {
                pipe.drain();
                piped.add("!", 1);
                all += "!";
            }
        }
    }
    checksums_hasher direct;
    direct.add(all.data(), all.size());
    checksums_record a = piped.finish(), b = direct.finish();
    EXPECT_EQ(all.size(), a.size);
    EXPECT_EQ(b.sha256, a.sha256);
}

TEST(Checksums, EveryStoredImageHasItsLine)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8", {}, 0, 5000));
    std::map<std::string, checksums_record> all;
    ASSERT_EQ(0, checksums_read(s.seriesDir(), &all));
    ASSERT_EQ(2u, all.size());
    for (const char *sop : {"6.7", "6.8"}) {
        checksums_record want = computed(s.image(sop));
        EXPECT_EQ(want.sha256, all[sop].sha256) << sop;
        EXPECT_EQ(want.size, all[sop].size) << sop;
    }
    checksums_record one;
    EXPECT_EQ(0, checksums_lookupImage(s.image("6.8"), &one));
    EXPECT_EQ(CHECKSUMS_GOOD, checksums_verifyPath(s.image("6.8"), one));
    EXPECT_EQ(1, checksums_lookupImage(s.image("9.9"), &one));
}

TEST(Checksums, AReplacedImageGetsALaterLineThatWins)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7", {{DCM_PatientName, "OTHER^NAME"}}, 1));
    checksums_record r;
    ASSERT_EQ(0, checksums_lookupImage(s.image("6.7"), &r));
    EXPECT_EQ(computed(s.image("6.7")).sha256, r.sha256);
    std::string text = readFile(checksums_path(s.seriesDir()));
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
}

TEST(Checksums, AFlippedBitIsDamageOfTheSameSize)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7", {}, 0, 4096));
    checksums_record r, found;
    ASSERT_EQ(0, checksums_lookupImage(s.image("6.7"), &r));
    flipBit(s.image("6.7"), (off_t)r.size - 100);
    EXPECT_EQ(CHECKSUMS_DAMAGED, checksums_verifyPath(s.image("6.7"), r, &found));
    EXPECT_EQ(r.size, found.size);
    EXPECT_NE(r.sha256, found.sha256);
    // Cut short: damaged without a read.
    ASSERT_EQ(0, truncate(s.image("6.7").c_str(), 10));
    EXPECT_EQ(CHECKSUMS_DAMAGED, checksums_verifyPath(s.image("6.7"), r));
    EXPECT_EQ(CHECKSUMS_UNREAD, checksums_verifyPath(s.image("6.6"), r));
}

TEST(Checksums, ATornLastLineIsIgnoredAndEndedByTheNextAppend)
{
    TempDir d;
    checksums_record a;
    a.size = 12;
    a.sha256 = std::string(64, 'a');
    ASSERT_EQ(0, checksums_append(d.str(), "1.1", a, nullptr));
    // A crash in an append: half a line.
    {
        int fd = open(checksums_path(d.str()).c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(10, write(fd, "1.2 34 bbb", 10));
        close(fd);
    }
    std::map<std::string, checksums_record> all;
    size_t torn = 0;
    ASSERT_EQ(0, checksums_read(d.str(), &all, &torn));
    EXPECT_EQ(1u, all.size());
    EXPECT_EQ(1u, torn);
    checksums_record b;
    b.size = 34;
    b.sha256 = std::string(64, 'b');
    ASSERT_EQ(0, checksums_append(d.str(), "1.2", b, nullptr, true));
    ASSERT_EQ(0, checksums_read(d.str(), &all, &torn));
    EXPECT_EQ(2u, all.size());
    EXPECT_EQ(1u, torn);
    EXPECT_EQ(b.sha256, all["1.2"].sha256);
    // Compaction keeps the images named, one line each.
    size_t dropped = 0;
    EXPECT_EQ(1, checksums_compact(d.str(), {"1.2"}, nullptr, &dropped));
    EXPECT_EQ(1u, dropped);
    EXPECT_EQ("1.2 34 " + std::string(64, 'b') + "\n", readFile(checksums_path(d.str())));
    EXPECT_EQ(0, checksums_compact(d.str(), {"1.2"}, nullptr));
}

TEST(Checksums, ALinkedFileGetsItsLine)
{
    Store s;
    TempDir src;
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7", {}, 64);
    std::string file = src / "in.dcm";
    DcmFileFormat ff(ds);
    ASSERT_TRUE(ff.saveFile(file.c_str(), EXS_LittleEndianExplicit).good());
    ASSERT_EQ(0, s.store.WriteDataset(ff.getDataset(), 0, file.c_str(), 2));
    delete ds;
    checksums_record r;
    ASSERT_EQ(0, checksums_lookupImage(s.image("6.7"), &r));
    EXPECT_EQ(computed(file).sha256, r.sha256);
}

TEST(Checksums, ADeletedImageHasNoRecordLeft)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
    ASSERT_EQ(0, s.store.DeleteFile("1.2.3", "4.5", "6.7"));
    std::map<std::string, checksums_record> all;
    size_t torn = 0;
    ASSERT_EQ(0, checksums_read(s.seriesDir(), &all, &torn));
    EXPECT_EQ(1u, all.size());
    EXPECT_EQ(1u, all.count("6.8"));
    EXPECT_EQ(0u, torn);
    // Stored again: its new line counts.
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    checksums_record r;
    ASSERT_EQ(0, checksums_lookupImage(s.image("6.7"), &r));
    EXPECT_EQ(computed(s.image("6.7")).sha256, r.sha256);
    // The last image gone: the series' file goes with its directory.
    ASSERT_EQ(0, s.store.DeleteFile("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.store.DeleteFile("1.2.3", "4.5", "6.8"));
    EXPECT_NE(0, access(s.seriesDir().c_str(), F_OK));
}
