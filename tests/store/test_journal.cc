// Tests of the image journal of -S: what goes into it, what empties it, and
// the replay of a journal whose writer died before the tree was on disk.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "store/journal.h"
#include "storetest.h"

namespace
{

const char *STUDY = "1.2.3", *SERIES = "4.5";

std::string imagePath(const TestStore &s, const std::string &sop)
{
    return s.B("uid/E2/E7/study_1.2.3/series_4.5/image_" + sop + ".dcm");
}

std::string journalPath(const TestStore &s)
{
    return s.B("uid/" JOURNAL_PREFIX "0");
}

std::vector<std::string> indexedImages(const TestStore &s)
{
    std::vector<std::string> keys;
    std::string bytes = readFile(s.B("uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX.dat"));
    for (size_t off = 0; off + 768 <= bytes.size(); off += 768)
        if (bytes[off] != '\0')
            keys.emplace_back(bytes.data() + off, strnlen(bytes.data() + off, 64));
    return keys;
}

// What a power failure may leave of the tree after the images were
// journalled: the image files and the series' and study's index files gone.
void loseTheTree(const TestStore &s, const std::vector<std::string> &sops)
{
    for (const std::string &sop : sops)
        unlink(imagePath(s, sop).c_str());
    unlink(s.B("uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX.dat").c_str());
    unlink(s.B("uid/E2/E7/study_1.2.3/SERIESINDEX.dat").c_str());
}

} // namespace

TEST(Journal, AnsweredImagesComeBackFromTheJournalOfADeadWriter)
{
    TestStore s;
    std::map<std::string, std::string> stored;
    {
        LocalStore writer(s.dir.c_str());
        writer.setLogfile(s.log.stream());
        writer.setSyncEachImage(1);
        for (const char *sop : {"6.1", "6.2", "6.3"}) {
            std::unique_ptr<DcmDataset> ds(makeImage(STUDY, SERIES, sop, {}, 3000));
            ASSERT_EQ(0, writer.WriteDataset(ds.get(), 0, nullptr, 0));
            stored[sop] = readFile(imagePath(s, sop));
        }
        // The writer dies here: no SyncWrites, the journal stays as it is.
    }
    EXPECT_EQ(3, journal_pending(journalPath(s).c_str()));
    loseTheTree(s, {"6.1", "6.2", "6.3"});

    // The store keeps a patient link tree, which the replay fills too.
    ASSERT_EQ(0, mkdir(s.B("patient").c_str(), 0755));
    LocalStore next(s.dir.c_str());
    next.setLogfile(s.log.stream());
    EXPECT_EQ(3, next.ReplayJournals());
    std::vector<std::string> links = findSuffix(s.B("patient"), ".dcm");
    ASSERT_EQ(1u, links.size()); // the three share instance number 0
    EXPECT_EQ(readFile(s.B("patient/" + links[0])), stored["6.1"]);
    for (const auto &kv : stored)
        EXPECT_EQ(kv.second, readFile(imagePath(s, kv.first))) << kv.first;
    EXPECT_EQ((std::vector<std::string>{"6.1", "6.2", "6.3"}), indexedImages(s));
    EXPECT_TRUE(exists(s.B("uid/E2/E7/study_1.2.3/SERIESINDEX.dat")));
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
    // Emptied: a second start writes nothing again.
    EXPECT_EQ(0, journal_pending(journalPath(s).c_str()));
    EXPECT_EQ(0, next.ReplayJournals());
    EXPECT_TRUE(s.log.contains("Writing the 3 image(s) of " + journalPath(s)));
}

TEST(Journal, ARecordCutShortEndsTheJournal)
{
    // The last record's image bytes damaged (its flush never ended, so it
    // was never answered): the records before it are written, it is not.
    TestStore s;
    {
        LocalStore writer(s.dir.c_str());
        writer.setSyncEachImage(1);
        for (const char *sop : {"6.1", "6.2"}) {
            std::unique_ptr<DcmDataset> ds(makeImage(STUDY, SERIES, sop, {}, 3000));
            ASSERT_EQ(0, writer.WriteDataset(ds.get(), 0, nullptr, 0));
        }
    }
    std::string bytes = readFile(journalPath(s));
    // The second record starts on the first 4096-byte boundary after the first.
    size_t second = 4096 * ((64 + 13 + readFile(imagePath(s, "6.1")).size() + 4095) / 4096);
    ASSERT_EQ(0, memcmp(bytes.data() + second, "VLJRNL1\n", 8));
    bytes[second + 64 + 20] ^= 0x55;
    writeFile(journalPath(s), bytes);
    EXPECT_EQ(1, journal_pending(journalPath(s).c_str()));
    loseTheTree(s, {"6.1", "6.2"});

    LocalStore next(s.dir.c_str());
    EXPECT_EQ(1, next.ReplayJournals());
    EXPECT_TRUE(exists(imagePath(s, "6.1")));
    EXPECT_FALSE(exists(imagePath(s, "6.2")));
    EXPECT_EQ((std::vector<std::string>{"6.1"}), indexedImages(s));
}

TEST(Journal, SyncWritesEmptiesItAndALiveWritersJournalIsLeftAlone)
{
    TestStore s;
    s.store.setSyncEachImage(1);
    ASSERT_EQ(0, s.put(STUDY, SERIES, "6.1"));
    // Held by this process: another one neither replays nor counts it.
    EXPECT_EQ(0, journal_pending(journalPath(s).c_str()));
    EXPECT_EQ(0, inChild([&] {
                  LocalStore other(s.dir.c_str());
                  return other.ReplayJournals();
              }));
    ASSERT_EQ(0, s.store.SyncWrites());
    EXPECT_EQ(0, s.store.JournalHoldsAll());
    int fd = open(journalPath(s).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(0, flock(fd, LOCK_EX | LOCK_NB)); // still held
    close(fd);
    // Emptied: an end record at its start.
    std::string bytes = readFile(journalPath(s));
    journal_header h;
    ASSERT_GE(bytes.size(), sizeof h);
    memcpy(&h, bytes.data(), sizeof h);
    EXPECT_EQ((uint32_t)JOURNAL_END, h.type);
    // The next image goes to the start again, over the end record.
    ASSERT_EQ(0, s.put(STUDY, SERIES, "6.2"));
    memcpy(&h, readFile(journalPath(s)).data(), sizeof h);
    EXPECT_EQ((uint32_t)JOURNAL_IMAGE, h.type);
    EXPECT_EQ(0u, h.seq);
    EXPECT_EQ(1, s.store.JournalHoldsAll());
}

TEST(Journal, WhatTheJournalCannotHoldIsFlushedInTheTreeAtOnce)
{
    // An image larger than a record may be, and anything noted outside the
    // journal (here a link), leave the flush to the store: nothing is left
    // for after the release.
    TestStore s;
    s.store.setSyncEachImage(1);
    ASSERT_EQ(0, s.put(STUDY, SERIES, "6.1", {}, 0, JOURNAL_IMAGE_MAX + 100));
    EXPECT_EQ(0, s.store.JournalHoldsAll());
    EXPECT_EQ(0, journal_pending(journalPath(s).c_str()));
    ASSERT_EQ(0, s.put(STUDY, SERIES, "6.2"));
    EXPECT_EQ(1, s.store.JournalHoldsAll());
    s.store.noteChanged(OFString(s.B("uid").c_str()), 1);
    EXPECT_EQ(0, s.store.JournalHoldsAll());
    ASSERT_EQ(0, s.store.SyncWrites());
    EXPECT_EQ(0, s.store.JournalHoldsAll());
    EXPECT_GT(fileSize(imagePath(s, "6.1")), (long)JOURNAL_IMAGE_MAX);
    EXPECT_FALSE(s.log.contains("Cannot"));
}

TEST(Journal, AFullJournalIsEmptiedAfterAFlushOfTheTree)
{
    // Images whose records take 1 MiB each: the journal reaches
    // JOURNAL_FULL after 16 of them, and the 17th starts it again from its
    // beginning.
    TestStore s;
    s.store.setSyncEachImage(1);
    const size_t pixels = JOURNAL_IMAGE_MAX - 4096;
    int count = JOURNAL_FULL / (1 << 20) + 1;
    for (int n = 0; n < count; n++)
        ASSERT_EQ(0, s.put(STUDY, SERIES, ("6." + std::to_string(n)).c_str(), {}, 0, pixels));
    std::string bytes = readFile(journalPath(s));
    journal_header h;
    memcpy(&h, bytes.data(), sizeof h);
    EXPECT_EQ((uint32_t)JOURNAL_IMAGE, h.type);
    EXPECT_EQ(0u, h.seq);
    // Its first record is no longer the first image's.
    std::string first = "1.2.3\t4.5\t6." + std::to_string(count - 1);
    EXPECT_EQ(first, bytes.substr(sizeof h, h.uidsLength));
    EXPECT_LT(fileSize(journalPath(s)), (long)(JOURNAL_FULL + JOURNAL_IMAGE_MAX + (1 << 20)));
    EXPECT_EQ((size_t)count, indexedImages(s).size());
    EXPECT_EQ(1, s.store.JournalHoldsAll());
}

// An image journalled and then failed (its index cannot be written) is taken
// back from the journal before it is answered: a replay never writes an
// image its peer was told had failed, and the next record takes its place.
TEST(Journal, ARecordOfAFailedStoreIsTakenBack)
{
    TestStore s;
    {
        LocalStore writer(s.dir.c_str());
        writer.setLogfile(s.log.stream());
        writer.setSyncEachImage(1);
        std::unique_ptr<DcmDataset> first(makeImage(STUDY, SERIES, "6.1", {}, 3000));
        ASSERT_EQ(0, writer.WriteDataset(first.get(), 0, nullptr, 0));
        // The second series' image index cannot be opened: a directory.
        ASSERT_EQ(0, writer.CreateUidPath(STUDY, "4.6"));
        std::string blocked = s.B("uid/E2/E7/study_1.2.3/series_4.6/IMAGEINDEX.dat");
        ASSERT_EQ(0, mkdir(blocked.c_str(), 0755));
        std::unique_ptr<DcmDataset> failed(makeImage(STUDY, "4.6", "6.2", {}, 3000));
        EXPECT_EQ(3, writer.WriteDataset(failed.get(), 0, nullptr, 0));
        std::unique_ptr<DcmDataset> third(makeImage(STUDY, SERIES, "6.3", {}, 3000));
        ASSERT_EQ(0, writer.WriteDataset(third.get(), 0, nullptr, 0));
        // The writer dies here.
    }
    EXPECT_EQ(2, journal_pending(journalPath(s).c_str()));
    loseTheTree(s, {"6.1", "6.3"});
    LocalStore next(s.dir.c_str());
    next.setLogfile(s.log.stream());
    EXPECT_EQ(2, next.ReplayJournals());
    EXPECT_EQ((std::vector<std::string>{"6.1", "6.3"}), indexedImages(s));
    EXPECT_FALSE(exists(s.B("uid/E2/E7/study_1.2.3/series_4.6/image_6.2.dcm")));
    EXPECT_TRUE(s.log.contains("Taking back "));
}

// A replay that finds the image in place, byte for byte, enters it in the
// index again without writing a second copy (which a full disk would refuse).
TEST(Journal, AnImageInPlaceIsOnlyIndexedAgain)
{
    TestStore s;
    {
        LocalStore writer(s.dir.c_str());
        writer.setSyncEachImage(1);
        std::unique_ptr<DcmDataset> ds(makeImage(STUDY, SERIES, "6.1", {}, 3000));
        ASSERT_EQ(0, writer.WriteDataset(ds.get(), 0, nullptr, 0));
    }
    unlink(s.B("uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX.dat").c_str());
    struct stat before, after;
    ASSERT_EQ(0, stat(imagePath(s, "6.1").c_str(), &before));
    LocalStore next(s.dir.c_str());
    next.setLogfile(s.log.stream());
    EXPECT_EQ(1, next.ReplayJournals());
    ASSERT_EQ(0, stat(imagePath(s, "6.1").c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ((std::vector<std::string>{"6.1"}), indexedImages(s));
}
