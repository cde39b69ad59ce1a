// Tests of storeindex: a store is built with LocalStore::WriteDataset in a
// temporary directory, damaged in one way, checked (the damage must be
// found), rebuilt, and checked again (nothing found, the index as the write
// path made it).
#include "dcmtk/config/osconfig.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "index/studyindex.h"
#include "index/studykeys.h"
#include "store/localstore.h"
#include "store/storebackup.h"
#include "store/storecheck.h"
#include "store/storerebuild.h"
#include "store/studylock.h"

static std::string readAll(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

static void writeAll(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

static bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs a check and returns its output lines; *count gets the result.
static std::vector<std::string> check(const std::string &base, int *count)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    *count = storecheck_run(base.c_str(), out);
    fclose(out);
    std::vector<std::string> lines;
    std::string text(buf, len);
    free(buf);
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

static std::string joined(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

// Every index file below B/uid, path relative to B -> contents.
static void collectIndex(const std::string &dir, const std::string &rel,
                         std::map<std::string, std::string> *out)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d))
            names.push_back(de->d_name);
        closedir(d);
    }
    for (const std::string &name : names) {
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            collectIndex(path, rel + "/" + name, out);
        else if (name == "STUDYINDEX.keys")
            continue; // derived from the study files: checked on its own
        else if (name.find("INDEX.") != std::string::npos)
            (*out)[rel + "/" + name] = readAll(path);
    }
}

// A store with three studies written through the write path: study 1.1
// with two series (two images and one), study 1.2 with one image of two
// modalities' worth of merges, study 1.3 with one image. Each image file
// gets its own modification time, one second apart, in the order written,
// as a real store's would be.
class StoreIndexTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/velto-storeindex-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        store = new LocalStore(base.c_str());
        add("1.1", "1.1.1", "1.1.1.1", "CT", "FIRST^PATIENT");
        add("1.1", "1.1.1", "1.1.1.2", "CT", "FIRST^PATIENT");
        add("1.2", "1.2.1", "1.2.1.1", "MR", "SECOND^PATIENT");
        add("1.1", "1.1.2", "1.1.2.1", "PT", "FIRST^PATIENT^RENAMED");
        add("1.2", "1.2.1", "1.2.1.2", "CT", "SECOND^PATIENT");
        add("1.3", "1.3.1", "1.3.1.1", "US", "THIRD^PATIENT");
        collectIndex(base + "/uid", "uid", &original);
    }

    void TearDown() override
    {
        delete store;
        std::string cmd = "rm -rf '" + base + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void add(const char *study, const char *series, const char *sop, const char *modality,
             const char *name)
    {
        DcmDataset ds;
        ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
        ds.putAndInsertString(DCM_StudyInstanceUID, study);
        ds.putAndInsertString(DCM_SeriesInstanceUID, series);
        ds.putAndInsertString(DCM_SOPInstanceUID, sop);
        ds.putAndInsertString(DCM_Modality, modality);
        ds.putAndInsertString(DCM_PatientName, name);
        ds.putAndInsertString(DCM_PatientID, "PID");
        ds.putAndInsertString(DCM_StudyDate, "20240102");
        ds.putAndInsertString(DCM_SeriesDescription, (std::string("SERIES ") + sop).c_str());
        ds.putAndInsertString(DCM_InstanceNumber, "1");
        ASSERT_EQ(store->WriteDataset(&ds, 0, nullptr, 0), 0) << sop;
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = 1700000000 + written++;
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, image(study, series, sop).c_str(), times, 0), 0);
    }

    std::string image(const char *study, const char *series, const char *sop)
    {
        return store->GetUidPath(study, series, sop, 1).c_str();
    }
    std::string dir(const char *study, const char *series = nullptr)
    {
        return store->GetUidPath(study, series, nullptr, 1).c_str();
    }
    std::string uid(const char *name) { return base + "/uid/" + name; }

    // Every file below dir (path below it -> bytes; a symbolic link: its
    // target), but the study lock file.
    static void collectFiles(const std::string &dir, const std::string &rel,
                             std::map<std::string, std::string> *out)
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *de = readdir(d))
                names.push_back(de->d_name);
            closedir(d);
        }
        for (const std::string &name : names) {
            std::string path = dir + "/" + name;
            struct stat st;
            if (name == "." || name == ".." || name == STUDYLOCK_FILE || lstat(path.c_str(), &st))
                continue;
            if (S_ISDIR(st.st_mode))
                collectFiles(path, rel + name + "/", out);
            else
                (*out)[rel + name] = readAll(path);
        }
    }

    // Overwrites len bytes at off of the file with zeros.
    void zero(const std::string &path, off_t off, size_t len)
    {
        std::string bytes = readAll(path);
        ASSERT_LE((size_t)off + len, bytes.size()) << path;
        bytes.replace((size_t)off, len, len, '\0');
        writeAll(path, bytes);
    }

    std::map<std::string, std::string> index()
    {
        std::map<std::string, std::string> now;
        collectIndex(base + "/uid", "uid", &now);
        return now;
    }

    std::string base;
    LocalStore *store = nullptr;
    int written = 0;
    std::map<std::string, std::string> original;
};

TEST_F(StoreIndexTest, StoreWrittenByTheWritePathIsConsistent)
{
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
}

TEST_F(StoreIndexTest, RebuildOfAConsistentStoreReproducesTheIndexByteForByte)
{
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_EQ(index(), original);
    EXPECT_FALSE(exists(uid("REBUILDING")));
}

TEST_F(StoreIndexTest, RebuildWritesTheKeyDigestsAndCheckFindsThemDamaged)
{
    // No keys file yet (only a process that answers queries makes one):
    // no finding, it is derived data.
    int count;
    check(base, &count);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    long bad = -1;
    std::string stem = uid("STUDYINDEX");
    EXPECT_EQ(studykeys_check(stem.c_str(), 3, &bad), 0);
    // A digest that is not the data record's, under valid stamps.
    int fd = studykeys_begin(stem.c_str(), 3);
    studykeys_record wrong = {7, 7, {}};
    ASSERT_EQ(studykeys_commit(fd, stem.c_str(), 1, &wrong), 0);
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 1);
    EXPECT_NE(joined(lines).find("record 1: the key digests do not belong"), std::string::npos)
        << joined(lines);
    // Cut short under valid stamps: malformed.
    ASSERT_EQ(truncate(studykeys_path(stem.c_str()).c_str(), 64 + 16), 0);
    lines = check(base, &count);
    EXPECT_EQ(count, 1);
    EXPECT_NE(joined(lines).find("STUDYINDEX.keys: malformed"), std::string::npos) << joined(lines);
}

// One way of damaging the store: what the check must report, and whether
// the rebuilt index must equal the one the write path made.
struct Damage {
    const char *name;
    std::function<void(StoreIndexTest *)> apply;
    std::vector<const char *> kinds;
    bool sameIndexAfterRebuild;
};

class DamageTest : public StoreIndexTest, public ::testing::WithParamInterface<int>
{
};

static const std::vector<Damage> &damages()
{
    static const std::vector<Damage> table = {
        {"HashTruncatedTo30Bytes",
         [](StoreIndexTest *t) { ASSERT_EQ(truncate(t->uid("STUDYINDEX.hash").c_str(), 30), 0); },
         {STORECHECK_MALFORMED, STORECHECK_OUT_OF_STEP},
         true},
        {"StudyDataRecordZeroed",
         [](StoreIndexTest *t) { t->zero(t->uid("STUDYINDEX.dat"), 512, 512); },
         {STORECHECK_OUT_OF_STEP, STORECHECK_UNINDEXED},
         true},
        {"StudyHashRecordZeroed",
         [](StoreIndexTest *t) { t->zero(t->uid("STUDYINDEX.hash"), 28, 28); },
         {STORECHECK_OUT_OF_STEP},
         true},
        {"StudyDataRecordTorn",
         [](StoreIndexTest *t) { t->zero(t->uid("STUDYINDEX.dat"), 0, 100); },
         {STORECHECK_TORN},
         true},
        {"StudyFilesOutOfStep",
         [](StoreIndexTest *t) {
             std::string dat = readAll(t->uid("STUDYINDEX.dat"));
             writeAll(t->uid("STUDYINDEX.dat"), dat + dat.substr(0, 512));
         },
         {STORECHECK_OUT_OF_STEP},
         true},
        {"ImageRecordZeroed",
         [](StoreIndexTest *t) { t->zero(t->dir("1.1", "1.1.1") + "/IMAGEINDEX.dat", 768, 768); },
         {STORECHECK_UNINDEXED},
         true},
        {"ImageRecordTorn",
         [](StoreIndexTest *t) { t->zero(t->dir("1.1", "1.1.1") + "/IMAGEINDEX.dat", 0, 1); },
         {STORECHECK_TORN, STORECHECK_UNINDEXED},
         true},
        {"ImageIndexWithPartialRecord",
         [](StoreIndexTest *t) {
             std::string p = t->dir("1.2", "1.2.1") + "/IMAGEINDEX.dat";
             writeAll(p, readAll(p) + "12345");
         },
         {STORECHECK_MALFORMED},
         true},
        {"ImageRecordTwice",
         [](StoreIndexTest *t) {
             std::string p = t->dir("1.2", "1.2.1") + "/IMAGEINDEX.dat";
             std::string b = readAll(p);
             writeAll(p, b + b.substr(0, 768));
         },
         {STORECHECK_DUPLICATE},
         true},
        {"ImageIndexDeleted",
         [](StoreIndexTest *t) {
             ASSERT_EQ(unlink((t->dir("1.1", "1.1.1") + "/IMAGEINDEX.dat").c_str()), 0);
         },
         {STORECHECK_UNINDEXED},
         true},
        {"SeriesIndexDeleted",
         [](StoreIndexTest *t) {
             ASSERT_EQ(unlink((t->dir("1.1") + "/SERIESINDEX.dat").c_str()), 0);
         },
         {STORECHECK_UNINDEXED},
         true},
        {"SeriesRecordZeroed",
         [](StoreIndexTest *t) { t->zero(t->dir("1.1") + "/SERIESINDEX.dat", 0, 320); },
         {STORECHECK_UNINDEXED},
         true},
        {"StaleTemporaryFiles",
         [](StoreIndexTest *t) {
             writeAll(t->image("1.1", "1.1.1", "1.1.1.9") + ".4242.tmp", "partial");
             writeAll(t->uid("STUDYINDEX.hash.4243.tmp"), "x");
         },
         {STORECHECK_STALE_TMP},
         true},
        {"StaleDeleteme",
         [](StoreIndexTest *t) {
             std::string bucket = t->store->GetUidBasePath("1.3").c_str();
             writeAll(bucket + "/DELETEME", std::string(768, 'x'));
         },
         {STORECHECK_DELETEME},
         true},
        // A delete killed after unlinking the image, before its record.
        {"DeleteCutShort",
         [](StoreIndexTest *t) {
             writeAll(t->uid("DELETING.77.0"), "1.2\t1.2.1\t1.2.1.2\n");
             ASSERT_EQ(unlink(t->image("1.2", "1.2.1", "1.2.1.2").c_str()), 0);
         },
         {STORECHECK_INTENT, STORECHECK_MISSING},
         false},
        {"InterruptedRebuildMarker",
         [](StoreIndexTest *t) { writeAll(t->uid("REBUILDING"), ""); },
         {STORECHECK_REBUILD},
         true},
        {"StudyDirectoryInWrongBucket",
         [](StoreIndexTest *t) {
             ASSERT_EQ(mkdir(t->uid("00").c_str(), 0777), 0);
             ASSERT_EQ(mkdir(t->uid("00/00").c_str(), 0777), 0);
             ASSERT_EQ(rename(t->dir("1.3").c_str(), t->uid("00/00/study_1.3").c_str()), 0);
         },
         {STORECHECK_MISPLACED},
         true},
        // Regression: an image file removed by hand stays in every index
        // level and is offered to queries and retrieves until rebuilt.
        {"ImageFileDeleted",
         [](StoreIndexTest *t) {
             ASSERT_EQ(unlink(t->image("1.3", "1.3.1", "1.3.1.1").c_str()), 0);
         },
         {STORECHECK_MISSING},
         false},
        // What a store stopped right after making its directories leaves:
        // empty directories, which are not images without an index entry.
        {"EmptyStudyDirectoryOfAStoppedStore",
         [](StoreIndexTest *t) { ASSERT_EQ(t->store->CreateUidPath("1.5", nullptr), 0); },
         {STORECHECK_EMPTY_DIR},
         true},
        {"EmptySeriesDirectoryOfAStoppedStore",
         [](StoreIndexTest *t) { ASSERT_EQ(t->store->CreateUidPath("1.3", "1.3.9"), 0); },
         {STORECHECK_EMPTY_DIR},
         true},
        {"IndexEntryOfAKilledStore",
         [](StoreIndexTest *t) {
             DcmDataset ds;
             ds.putAndInsertString(DCM_StudyInstanceUID, "1.4");
             ds.putAndInsertString(DCM_SeriesInstanceUID, "1.4.1");
             ds.putAndInsertString(DCM_SOPInstanceUID, "1.4.1.1");
             ds.putAndInsertString(DCM_Modality, "CT");
             ASSERT_EQ(t->store->WriteDataset(&ds, 0, nullptr, 0), 0);
             ASSERT_EQ(unlink(t->image("1.4", "1.4.1", "1.4.1.1").c_str()), 0);
         },
         {STORECHECK_MISSING},
         true},
    };
    return table;
}

TEST_P(DamageTest, CheckFindsTheDamageAndRebuildRepairsIt)
{
    const Damage &d = damages()[GetParam()];
    SCOPED_TRACE(d.name);
    d.apply(this);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_GT(count, 0);
    // Every line is a finding but the warnings (an image file gone leaves
    // its checksum line behind: stale-checksum).
    size_t warnings = 0;
    for (const std::string &l : lines)
        warnings += l.size() > 10 && l.compare(l.size() - 10, 10, " (warning)") == 0;
    EXPECT_EQ((size_t)count, lines.size() - warnings);
    for (const char *kind : d.kinds) {
        bool found = false;
        for (const std::string &l : lines)
            found = found || l.compare(0, strlen(kind) + 1, std::string(kind) + ":") == 0;
        EXPECT_TRUE(found) << "no " << kind << " finding in:\n" << joined(lines);
    }

    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
    if (d.sameIndexAfterRebuild) {
        EXPECT_EQ(index(), original);
    }
}

INSTANTIATE_TEST_SUITE_P(Damages, DamageTest, ::testing::Range(0, (int)damages().size()),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(damages()[info.param].name);
                         });

TEST_F(StoreIndexTest, RebuildDropsWhatHasNoImageAndKeepsTheRest)
{
    ASSERT_EQ(unlink(image("1.3", "1.3.1", "1.3.1.1").c_str()), 0);
    ASSERT_EQ(unlink(image("1.1", "1.1.2", "1.1.2.1").c_str()), 0);
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_FALSE(exists(dir("1.3")));
    EXPECT_FALSE(exists(dir("1.1", "1.1.2")));
    EXPECT_EQ(readAll(uid("STUDYINDEX.hash")).size(), 2 * sizeof(studyhash));
    EXPECT_EQ(readAll(uid("STUDYINDEX.dat")).size(), 2 * sizeof(studydata));
    EXPECT_EQ(readAll(dir("1.1") + "/SERIESINDEX.dat").size(), sizeof(seriesrecord));
    EXPECT_EQ(readAll(dir("1.1", "1.1.1") + "/IMAGEINDEX.dat"),
              original["uid" + std::string(dir("1.1", "1.1.1")).substr(base.size() + 4) +
                       "/IMAGEINDEX.dat"]);
}

// Deletes leave cleared records and a study marked deleted: consistent. A
// rebuild then leaves the deleted study out, as compaction would.
TEST_F(StoreIndexTest, DeletedImagesAndStudiesAreConsistent)
{
    ASSERT_EQ(store->DeleteFile("1.1", "1.1.1", "1.1.1.1"), 0);
    ASSERT_EQ(store->DeleteFile("1.3", "1.3.1", "1.3.1.1"), 0);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
    EXPECT_EQ(readAll(uid("STUDYINDEX.hash")).size(), 3 * sizeof(studyhash));
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
    EXPECT_EQ(readAll(uid("STUDYINDEX.hash")).size(), 2 * sizeof(studyhash));
    EXPECT_EQ(readAll(dir("1.1", "1.1.1") + "/IMAGEINDEX.dat").size(), sizeof(imagerecord));
}

// A delete cut short before its first step is finished by the rebuild, not
// undone: it was asked for.
TEST_F(StoreIndexTest, RebuildFinishesADeleteCutShort)
{
    writeAll(uid("DELETING.77.0"), "1.3\t1.3.1\t1.3.1.1\n");
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_FALSE(exists(uid("DELETING.77.0")));
    EXPECT_FALSE(exists(dir("1.3")));
    EXPECT_EQ(readAll(uid("STUDYINDEX.dat")).size(), 2 * sizeof(studydata));
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
}

// Images of a -S writer that died before its tree reached the disk (here
// the files and the series' index lost): check names the journal, and the
// rebuild writes its images into the store before it reads the tree.
TEST_F(StoreIndexTest, CheckReportsAJournalLeftBehindAndRebuildWritesItsImages)
{
    {
        LocalStore writer(base.c_str());
        writer.setSyncEachImage(1);
        DcmDataset ds;
        ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
        ds.putAndInsertString(DCM_StudyInstanceUID, "1.4");
        ds.putAndInsertString(DCM_SeriesInstanceUID, "1.4.1");
        ds.putAndInsertString(DCM_SOPInstanceUID, "1.4.1.1");
        ds.putAndInsertString(DCM_Modality, "CR");
        ASSERT_EQ(writer.WriteDataset(&ds, 0, nullptr, 0), 0);
    }
    std::string stored = readAll(image("1.4", "1.4.1", "1.4.1.1"));
    ASSERT_EQ(unlink(image("1.4", "1.4.1", "1.4.1.1").c_str()), 0);
    ASSERT_EQ(unlink((dir("1.4", "1.4.1") + "/IMAGEINDEX.dat").c_str()), 0);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_NE(joined(lines).find(STORECHECK_JOURNAL ": " + uid("JOURNAL.0") + ": 1 image(s)"),
              std::string::npos)
        << joined(lines);
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_EQ(readAll(image("1.4", "1.4.1", "1.4.1.1")), stored);
    EXPECT_EQ(readAll(dir("1.4", "1.4.1") + "/IMAGEINDEX.dat").size(), sizeof(imagerecord));
    lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
}

TEST_F(StoreIndexTest, RebuildEntersAnImageFileThatWasNeverIndexed)
{
    // A copy of an image under its own UIDs, placed by hand.
    DcmDataset ds;
    ds.putAndInsertString(DCM_StudyInstanceUID, "1.3");
    ds.putAndInsertString(DCM_SeriesInstanceUID, "1.3.1");
    ds.putAndInsertString(DCM_SOPInstanceUID, "1.3.1.7");
    ds.putAndInsertString(DCM_Modality, "US");
    DcmFileFormat ff(&ds);
    ASSERT_TRUE(
        ff.saveFile(image("1.3", "1.3.1", "1.3.1.7").c_str(), EXS_LittleEndianExplicit).good());
    int count;
    std::vector<std::string> lines = check(base, &count);
    ASSERT_EQ(count, 1) << joined(lines);
    EXPECT_EQ(lines[0].rfind(STORECHECK_UNINDEXED ":", 0), 0u) << lines[0];
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_EQ(readAll(dir("1.3", "1.3.1") + "/IMAGEINDEX.dat").size(), 2 * sizeof(imagerecord));
    lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
}

TEST_F(StoreIndexTest, FilesThatCannotBeEnteredAreLeftInPlaceAndReported)
{
    std::string garbage = image("1.2", "1.2.1", "1.2.1.8");
    writeAll(garbage, "this is not DICOM");
    // A valid image whose UIDs are not those of its place.
    std::string stray = image("1.2", "1.2.1", "1.2.1.9");
    writeAll(stray, readAll(image("1.3", "1.3.1", "1.3.1.1")));
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, nullptr), STOREREBUILD_PARTIAL);
    EXPECT_TRUE(exists(garbage));
    EXPECT_TRUE(exists(stray));
    EXPECT_EQ(index(), original);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 2) << joined(lines);
}

TEST_F(StoreIndexTest, RebuildRemovesStaleFilesAndEmptiedDirectories)
{
    std::string tmp = image("1.3", "1.3.1", "1.3.1.1") + ".999.tmp";
    writeAll(tmp, "x");
    ASSERT_EQ(unlink(image("1.3", "1.3.1", "1.3.1.1").c_str()), 0);
    std::string bucket = store->GetUidBasePath("1.3").c_str();
    writeAll(bucket + "/DELETEME", "y");
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    EXPECT_FALSE(exists(tmp));
    EXPECT_FALSE(exists(bucket + "/DELETEME"));
    EXPECT_FALSE(exists(dir("1.3")));
}

// An interrupted rebuild: the rebuild cannot write the series index of study
// 1.2 (a directory stands at its temporary name). It fails; the image indexes
// written so far are whole and new, the study files are still the old ones,
// and the marker makes the check report it until a rebuild completes.
TEST_F(StoreIndexTest, FailedRebuildLeavesTheStudyIndexWholeAndIsReported)
{
    truncate(uid("STUDYINDEX.hash").c_str(), 30);
    std::string oldHash = readAll(uid("STUDYINDEX.hash"));
    std::string oldData = readAll(uid("STUDYINDEX.dat"));
    std::string obstacle = dir("1.2") + "/SERIESINDEX.dat." + std::to_string(getpid()) + ".tmp";
    ASSERT_EQ(mkdir(obstacle.c_str(), 0777), 0);
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, nullptr), STOREREBUILD_FAILED);
    EXPECT_EQ(readAll(uid("STUDYINDEX.hash")), oldHash);
    EXPECT_EQ(readAll(uid("STUDYINDEX.dat")), oldData);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_NE(joined(lines).find(STORECHECK_REBUILD ":"), std::string::npos) << joined(lines);
    ASSERT_EQ(rmdir(obstacle.c_str()), 0);
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
    EXPECT_EQ(index(), original);
}

// A rebuild killed at arbitrary moments never leaves a torn or malformed
// index file: every file is the old one or the new one, and a rebuild run
// afterwards completes.
TEST_F(StoreIndexTest, KilledRebuildLeavesWholeFiles)
{
    for (int i = 0; i < 30; i++) {
        add("1.9", ("1.9." + std::to_string(i % 5)).c_str(), ("1.9.0." + std::to_string(i)).c_str(),
            "CT", "MANY^IMAGES");
    }
    truncate(uid("STUDYINDEX.hash").c_str(), 30);
    for (int delay = 0; delay < 20000; delay += 1000) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only async-safe work after fork in a test that may have threads.
            int r = storerebuild_run(base.c_str(), nullptr, nullptr);
            _exit(r);
        }
        usleep(delay);
        kill(pid, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        int count;
        std::vector<std::string> lines = check(base, &count);
        for (const std::string &l : lines) {
            EXPECT_NE(l.rfind(STORECHECK_TORN ":", 0), 0u) << l;
            EXPECT_NE(l.rfind(STORECHECK_DUPLICATE ":", 0), 0u) << l;
            if (l.find("IMAGEINDEX") != std::string::npos ||
                l.find("SERIESINDEX") != std::string::npos) {
                EXPECT_NE(l.rfind(STORECHECK_MALFORMED ":", 0), 0u) << l;
            }
        }
    }
    ASSERT_EQ(storerebuild_run(base.c_str(), nullptr, stderr), STOREREBUILD_OK);
    int count;
    std::vector<std::string> lines = check(base, &count);
    EXPECT_EQ(count, 0) << joined(lines);
}

TEST(StoreIndexEmpty, StoreWithoutUidTreeIsConsistentAndRebuildsToNothing)
{
    char tmpl[] = "/tmp/velto-storeindex-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    int count;
    check(base, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(storerebuild_run(base.c_str(), nullptr, nullptr), STOREREBUILD_OK);
    EXPECT_FALSE(exists(base + "/uid"));
    EXPECT_EQ(storecheck_run((base + "/absent").c_str(), nullptr), -1);
    EXPECT_EQ(storerebuild_run((base + "/absent").c_str(), nullptr, nullptr), STOREREBUILD_FAILED);
    rmdir(base.c_str());
}

// The backup's snapshot is taken in two passes, the second under every
// study's lock: what changed between them (an image and a whole study
// deleted, images added to a study and in a new one, an image replaced) is
// in the backup as it is at the second, and the restored store is the
// store then, file for file, and consistent.
TEST_F(StoreIndexTest, BackupHoldsTheStoreAsItIsUnderTheLock)
{
    // The store as written, older than the margin below when the backup
    // begins.
    usleep(100 * 1000);
    storebackup_test test;
    test.recentSeconds = 0.05;
    test.arg = this;
    test.betweenPasses = [](void *arg) {
        StoreIndexTest *t = static_cast<StoreIndexTest *>(arg);
        ASSERT_EQ(t->store->DeleteFile("1.1", "1.1.1", "1.1.1.1"), 0);
        ASSERT_EQ(t->store->DeleteFile("1.3", "1.3.1", "1.3.1.1"), 0);
        t->add("1.2", "1.2.1", "1.2.1.3", "CT", "SECOND^PATIENT");
        t->add("1.4", "1.4.1", "1.4.1.1", "XA", "FOURTH^PATIENT");
        DcmDataset ds;
        ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
        ds.putAndInsertString(DCM_StudyInstanceUID, "1.1");
        ds.putAndInsertString(DCM_SeriesInstanceUID, "1.1.2");
        ds.putAndInsertString(DCM_SOPInstanceUID, "1.1.2.1");
        ds.putAndInsertString(DCM_Modality, "PT");
        ds.putAndInsertString(DCM_PatientName, "FIRST^PATIENT^REPLACED");
        ASSERT_EQ(t->store->WriteDataset(&ds, 1, nullptr, 0), 0);
    };
    std::string dest = base + "-backup", restored = base + "-restored";
    EXPECT_EQ(storebackup_run(base.c_str(), dest.c_str(), store->getStudyLocks(), {}, {}, nullptr,
                              stderr, &test),
              STOREBACKUP_OK);
    std::map<std::string, std::string> now, back;
    collectFiles(base, "", &now);
    EXPECT_EQ(now.count(STOREBACKUP_SNAPSHOT "/uid/STUDYINDEX.hash"), 0u);
    ASSERT_EQ(storebackup_restoreFiles(dest.c_str(), restored.c_str(), nullptr, stderr),
              STOREBACKUP_OK);
    ASSERT_EQ(storebackup_restored(restored.c_str()), 0);
    collectFiles(restored, "", &back);
    EXPECT_EQ(back, now);
    EXPECT_EQ(
        back.count("uid/" + std::string(dir("1.3")).substr(base.size() + 5) + "/SERIESINDEX.dat"),
        0u);
    int count;
    std::vector<std::string> lines = check(restored, &count);
    EXPECT_EQ(count, 0) << joined(lines);
    std::string cmd = "rm -rf '" + dest + "' '" + restored + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}
