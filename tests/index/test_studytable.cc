// The in-memory study table: resizing, reloads when the hash file changed,
// compaction of deleted studies, and the key digests kept with it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "index/keymatch.h"
#include "index/studyindex.h"
#include "index/studytable.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/store/storetest.h"

namespace
{

struct Table : TestStore {
    std::string hashPath() const { return B("uid/STUDYINDEX.hash"); }
    std::string dataPath() const { return B("uid/STUDYINDEX.dat"); }
    // Stores one image of study 1.2.<n>.
    void addStudy(int n, const char *modality = "CT")
    {
        std::string study = "1.2." + std::to_string(n);
        ASSERT_EQ(0, put(study.c_str(), "4.5", "6.7", {{DCM_Modality, modality}}));
    }
    // Marks study record i deleted in both files, as deleting a study does.
    void markDeleted(int i)
    {
        int fd = open(hashPath().c_str(), O_RDWR);
        studyhash h;
        ASSERT_EQ(1, studyindex_readRecord(fd, i, &h, sizeof h));
        h.patientNameBits |= STUDYHASH_DELETED;
        ASSERT_EQ(0, studyindex_writeRecord(fd, i, &h, sizeof h));
        close(fd);
        fd = open(dataPath().c_str(), O_RDWR);
        studydata zero = {};
        ASSERT_EQ(0, studyindex_writeRecord(fd, i, &zero, sizeof zero));
        close(fd);
    }
    // Study UID keys of the data file, in file order ("" for a cleared record).
    std::vector<std::string> keys()
    {
        std::vector<std::string> out;
        std::string data = readFile(dataPath());
        for (size_t off = 0; off + 512 <= data.size(); off += 512)
            out.push_back(std::string(data.data() + off, strnlen(data.data() + off, 64)));
        return out;
    }
    void setMtime(const std::string &path, time_t seconds)
    {
        struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    }
};

} // namespace

TEST(ReallocStudyHash, ResizesAndEmpties)
{
    studytable t;
    EXPECT_EQ(0, studytable_resize(&t, 5));
    EXPECT_EQ(5, t.studyCount);
    ASSERT_NE(nullptr, t.studyTable);
    t.studyTable[4].studyUidCrc = 42;
    EXPECT_EQ(0, studytable_resize(&t, 7));
    EXPECT_EQ(42u, t.studyTable[4].studyUidCrc);
    EXPECT_EQ(0, studytable_resize(&t, 0));
    EXPECT_EQ(0, t.studyCount);
    EXPECT_EQ(nullptr, t.studyTable);
    // The store's entry point resizes its own table the same way.
    Table s;
    EXPECT_EQ(0, s.store.reallocStudyHash(5));
    EXPECT_EQ(5, s.store.getStudyTable().studyCount);
    EXPECT_EQ(0, s.store.reallocStudyHash(0));
    EXPECT_EQ(nullptr, s.store.getStudyTable().studyTable);
}

TEST(UpdateStudyHash, NoFileThenFirstStudyOfAnotherProcess)
{
    Table t;
    EXPECT_FALSE(t.store.mustUpdateStudyHash());
    EXPECT_EQ(-1, t.store.updateStudyHash());
    {
        LocalStore worker(t.dir.c_str());
        DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
        ASSERT_EQ(0, worker.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
    }
    EXPECT_TRUE(t.store.mustUpdateStudyHash());
    EXPECT_EQ(1, t.store.updateStudyHash());
    EXPECT_EQ(1, t.store.getStudyTable().studyCount);
    EXPECT_EQ(crc32_string("1.2.3"), t.store.getStudyTable().studyTable[0].studyUidCrc);
    EXPECT_FALSE(t.store.mustUpdateStudyHash());
    EXPECT_EQ(0, t.store.updateStudyHash());
}

TEST(UpdateStudyHash, InPlaceRewriteIsSeenByItsMtime)
{
    Table t;
    t.addStudy(1);
    t.setMtime(t.hashPath(), 1000000000);
    EXPECT_EQ(1, t.store.updateStudyHash());
    EXPECT_EQ(1000000000u, t.store.getStudyTable().studyTableTime);
    {
        LocalStore worker(t.dir.c_str());
        DcmDataset *ds = makeImage("1.2.1", "4.6", "6.8", {{DCM_Modality, "MR"}});
        ASSERT_EQ(0, worker.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
    }
    EXPECT_TRUE(t.store.mustUpdateStudyHash()); // same count, new mtime
    EXPECT_EQ(1, t.store.updateStudyHash());
    EXPECT_EQ(MODALITY_CT | MODALITY_MR, t.store.getStudyTable().studyTable[0].modalityBits);
}

TEST(UpdateStudyHash, MalformedFileIsNeverLoaded)
{
    Table t;
    t.addStudy(1);
    writeFile(t.hashPath(), std::string(30, '\0'));
    EXPECT_FALSE(t.store.mustUpdateStudyHash());
    EXPECT_EQ(-1, t.store.updateStudyHash());
    EXPECT_EQ(1, t.store.getStudyTable().studyCount); // the old contents stay
    EXPECT_EQ(3, t.put("1.2.1", "4.5", "6.8"));
    EXPECT_EQ(-1, t.store.compactStudyHash());
    EXPECT_EQ(30, fileSize(t.hashPath()));
}

TEST(CompactStudyHash, FiveStudiesTwoDeleted)
{
    Table t;
    for (int n = 0; n < 5; n++)
        t.addStudy(n);
    t.markDeleted(1);
    t.markDeleted(3);
    EXPECT_EQ(1, t.store.compactStudyHash());
    EXPECT_EQ(84, fileSize(t.hashPath()));
    EXPECT_EQ(1536, fileSize(t.dataPath()));
    EXPECT_EQ((std::vector<std::string>{"1.2.0", "1.2.2", "1.2.4"}), t.keys());
    ASSERT_EQ(3, t.store.getStudyTable().studyCount);
    EXPECT_EQ(readFile(t.hashPath()),
              std::string((const char *)t.store.getStudyTable().studyTable, 84));
    EXPECT_EQ(crc32_string("1.2.4"), t.store.getStudyTable().studyTable[2].studyUidCrc);

    long long hashTime = mtimeNs(t.hashPath()), dataTime = mtimeNs(t.dataPath());
    usleep(20000);
    EXPECT_EQ(0, t.store.compactStudyHash());
    EXPECT_EQ(hashTime, mtimeNs(t.hashPath()));
    EXPECT_EQ(dataTime, mtimeNs(t.dataPath()));

    // The moved studies are found again: a further image merges, not appends.
    ASSERT_EQ(0, t.put("1.2.4", "4.6", "6.9"));
    EXPECT_EQ(84, fileSize(t.hashPath()));
}

// What a compaction or a keys writer killed before its rename left goes at
// the next compaction (the listener runs one at every start), even one with
// nothing to drop; a live writer's temporary keys file stays.
TEST(CompactStudyHash, LeftoversOfKilledWritersGo)
{
    Table t;
    t.addStudy(0);
    std::string uid = t.hashPath().substr(0, t.hashPath().rfind('/'));
    std::vector<std::string> gone = {uid + "/STUDYINDEX.dat.compact.tmp",
                                     uid + "/STUDYINDEX.hash.compact.tmp",
                                     uid + "/STUDYINDEX.keys.2147483646.tmp"};
    std::string live = uid + "/STUDYINDEX.keys.2147483645.tmp";
    for (const std::string &path : gone)
        writeFile(path, "left");
    writeFile(live, "held");
    int held = open(live.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    EXPECT_EQ(0, t.store.compactStudyHash());
    for (const std::string &path : gone)
        EXPECT_FALSE(exists(path)) << path;
    EXPECT_TRUE(exists(live));
    close(held);
}

TEST(CompactStudyHash, EveryStudyDeleted)
{
    Table t;
    t.addStudy(0);
    t.addStudy(1);
    t.markDeleted(0);
    t.markDeleted(1);
    EXPECT_EQ(1, t.store.compactStudyHash());
    EXPECT_EQ(0, fileSize(t.hashPath()));
    EXPECT_EQ(0, fileSize(t.dataPath()));
    EXPECT_EQ(0, t.store.getStudyTable().studyCount);
}

TEST(CompactStudyHash, MissingDataFileChangesNothing)
{
    Table t;
    t.addStudy(0);
    t.addStudy(1);
    t.markDeleted(0);
    std::string hash = readFile(t.hashPath());
    ASSERT_EQ(0, unlink(t.dataPath().c_str()));
    EXPECT_EQ(-1, t.store.compactStudyHash());
    EXPECT_EQ(hash, readFile(t.hashPath()));
    EXPECT_FALSE(exists(t.dataPath()));
}

// Pins compaction over a stale table: another process merged into a record
// in the same second as this process's last load, which the mtime cannot
// show; compaction must not write the old summary back.
TEST(CompactStudyHash, KeepsMergesTheMtimeCannotShow)
{
    Table t;
    t.addStudy(0);
    t.addStudy(1);
    t.setMtime(t.hashPath(), 1000000000);
    ASSERT_EQ(1, t.store.updateStudyHash());
    {
        LocalStore worker(t.dir.c_str());
        DcmDataset *ds = makeImage("1.2.1", "4.6", "6.8", {{DCM_Modality, "MR"}});
        ASSERT_EQ(0, worker.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
    }
    t.setMtime(t.hashPath(), 1000000000); // the same second as the load
    t.markDeleted(0);
    t.setMtime(t.hashPath(), 1000000000);
    ASSERT_FALSE(t.store.mustUpdateStudyHash());
    EXPECT_EQ(1, t.store.compactStudyHash());
    studyhash h;
    std::string hash = readFile(t.hashPath());
    ASSERT_EQ(28u, hash.size());
    memcpy(&h, hash.data(), sizeof h);
    EXPECT_EQ(MODALITY_CT | MODALITY_MR, h.modalityBits);
}

// The table stays current without rereading the file for this process's
// own additions: the record count follows each append.
TEST(StudyTable, OwnAppendsKeepTheTableCurrent)
{
    Table t;
    for (int n = 0; n < 20; n++)
        t.addStudy(n);
    EXPECT_EQ(20, t.store.getStudyTable().studyCount);
    EXPECT_EQ(readFile(t.hashPath()),
              std::string((const char *)t.store.getStudyTable().studyTable, 20 * 28));
}

// The key digests follow the study files through the write path (new
// studies, a merge that changes the ID), a delete and a compaction: each
// leaves STUDYINDEX.keys stamped for the files as they are, so it is never
// rebuilt after them, and the table's digests stay usable for queries.
TEST(StudyTable, KeyDigestsFollowWritesDeletesAndCompaction)
{
    Table t;
    std::string stem = t.B("uid/STUDYINDEX");
    t.addStudy(0);
    EXPECT_EQ(1, t.store.refreshStudyTable()); // builds the keys file
    EXPECT_TRUE(t.log.contains("Rebuilding the key digests of 1 studies."));
    EXPECT_EQ(0, t.store.refreshStudyTable()); // nothing changed since
    t.addStudy(1);
    t.addStudy(2);
    ASSERT_EQ(0, t.put("1.2.1", "4.5", "6.8", {{DCM_PatientID, "MERGED"}}));
    long bad = -1;
    EXPECT_EQ(0, studykeys_check(stem.c_str(), 3, &bad));
    const studytable &table = t.store.getStudyTable();
    ASSERT_TRUE(studytable_keysUsable(&table));
    keymatch_key k;
    keymatch_compile(&k, KEYMATCH_TEXT, "MERGED");
    EXPECT_EQ(studykeys_compile(&k, nullptr).id, table.keys.records[1].patientId);

    ASSERT_EQ(0, t.store.DeleteFile("1.2.0", "4.5", "6.7"));
    EXPECT_EQ(0, studykeys_check(stem.c_str(), 3, &bad));
    EXPECT_EQ(1, t.store.compactStudyHash());
    EXPECT_EQ(0, studykeys_check(stem.c_str(), 2, &bad));
    EXPECT_TRUE(studytable_keysUsable(&t.store.getStudyTable()));
    EXPECT_EQ(studykeys_compile(&k, nullptr).id, t.store.getStudyTable().keys.records[0].patientId);
    // Through all of it the file was built once, at the first refresh.
    EXPECT_EQ(0, t.store.refreshStudyTable());
    std::string log = t.log.text();
    EXPECT_EQ(std::string::npos, log.find("Rebuilding", log.find("Rebuilding") + 1));
}
