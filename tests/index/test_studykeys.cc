// Key digests of the study index: a digest never rejects a value that the
// key matches, and STUDYINDEX.keys is trusted only while it describes the
// study files as they are (missing, short, stale and foreign writes).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "index/keymatch.h"
#include "index/studykeys.h"
#include "tests/runtime/test_tempdir.h"

namespace
{

// A stored field of width bytes holding value (cut to the width).
std::string field(const std::string &value, size_t width = 64)
{
    std::string f(width, '\0');
    memcpy(&f[0], value.data(), value.size() < width ? value.size() : width);
    return f;
}

struct Case {
    int kind;
    const char *key;
    const char *stored;
    bool passes; // what the digests say: the record may match
};

// Keys and stored values, matching or not: whenever keymatch says the value
// matches, the digests must let the record through; they should rule out
// the values listed as not passing.
const Case cases[] = {
    {KEYMATCH_TEXT, "P001", "P001", true},
    {KEYMATCH_TEXT, "P001", "p001", false},          // IDs keep their case
    {KEYMATCH_TEXT, "P001", " P001  ", true},        // padding
    {KEYMATCH_TEXT, "P001 ", "P001", true},          // padded key
    {KEYMATCH_TEXT, "P001", "X\\P001", true},        // multi-valued: no digest
    {KEYMATCH_TEXT, "P00*", "Q001", true},           // wildcard ID key: no condition
    {KEYMATCH_TEXT, "A\\B", "C", true},              // a list
    {KEYMATCH_TEXT, "\"\"", "X", true},              // empty-value key
    {KEYMATCH_PN, "SMITH^JOHN", "Smith^John", true}, // names without case
    {KEYMATCH_PN, "SMITH^JOHN", "SMITH^JOHN^^", true},
    {KEYMATCH_PN, "SMITH^JOHN^", "SMITH^JOHN", true},
    {KEYMATCH_PN, "SMITH^JOHN", "SMITH^JOAN", false},
    {KEYMATCH_PN, "Wang^XiaoDong", "Wang^XiaoDong=王^小东", true}, // groups: no digest
    {KEYMATCH_PN, "王^小东", "王^小东", true},
    {KEYMATCH_PN, "王^小东", "王^大东", false},
    {KEYMATCH_PN, "smi*", "SMITH^JOHN", true}, // the name's start
    {KEYMATCH_PN, "smith^jo*", "SMITH^JOHN", true},
    {KEYMATCH_PN, "SMITH^JOHNATHAN*", "SMITH^JOHN", true}, // 8 bytes compared
    {KEYMATCH_PN, "SMITH^JA*", "SMITH^JOHN", false},
    {KEYMATCH_PN, "smy*", "SMITH^JOHN", false},
    {KEYMATCH_PN, "SM?TH*", "SMYTH^JOHN", true},
    {KEYMATCH_PN, "SM?TH*", "SXITH", false},
    {KEYMATCH_PN, "*H^J*", "SMITH^JOHN", true},
    {KEYMATCH_PN, "A=B", "A=B", true},
    {KEYMATCH_PN, "A=*", "B", false},
    // Without case in every script: a key with other than ASCII letters
    // has its ASCII start as the condition (it had the digest of its bytes).
    {KEYMATCH_PN, "müller^jürgen", "MÜLLER^JÜRGEN", true},
    {KEYMATCH_PN, "müller*", "MÜLLER^JÜRGEN", true},
    {KEYMATCH_PN, "müller", "NÜLLER", false}, // the ASCII start
    {KEYMATCH_PN, "ΣΩΚΡΆΤΗΣ", "σωκράτης", true},
    {KEYMATCH_PN, "ivanov", "ИВАНОВ", false}, // no transliteration
};

} // namespace

TEST(StudyKeys, DigestsNeverRejectAMatch)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + c.stored);
        keymatch_key k;
        keymatch_compile(&k, c.kind, c.key);
        studydata rec = {};
        char *f = c.kind == KEYMATCH_PN ? rec.patientName : rec.patientId;
        memcpy(f, c.stored, strlen(c.stored));
        studykeys_query q =
            c.kind == KEYMATCH_PN ? studykeys_compile(nullptr, &k) : studykeys_compile(&k, nullptr);
        bool passes = studykeys_mayMatch(studykeys_make(&rec), q);
        if (keymatch_matches(k, f, strnlen(f, 64))) {
            EXPECT_TRUE(passes);
        }
        EXPECT_EQ(c.passes, passes);
    }
}

TEST(StudyKeys, FullWidthFieldAndQueries)
{
    studydata rec = {};
    memset(rec.patientId, 'A', sizeof rec.patientId); // no NUL: the whole field
    std::string id(64, 'A');
    keymatch_key k;
    keymatch_compile(&k, KEYMATCH_TEXT, id.c_str());
    studykeys_query q = studykeys_compile(&k, nullptr);
    EXPECT_EQ(studykeys_make(&rec).patientId, q.id);
    EXPECT_TRUE(studykeys_any(q));
    EXPECT_FALSE(studykeys_any(studykeys_compile(nullptr, nullptr)));
    // The prefix stops at 8 bytes; a record without a name digest passes.
    keymatch_compile(&k, KEYMATCH_PN, "ABCDEFGHIJ*");
    q = studykeys_compile(nullptr, &k);
    EXPECT_EQ(8u, q.prefixLen);
    EXPECT_EQ(0u, q.name);
    studykeys_record none = {5, 0, {}};
    EXPECT_TRUE(studykeys_mayMatch(none, q));
}

namespace
{

// A stem with n studies written as the write path writes them: data
// records (ID "ID<i>", name "PAT^N<i>") and summaries.
struct Files {
    TempDir dir;
    std::string stem = dir.sub("STUDYINDEX");

    static studydata record(int i)
    {
        studydata d = {};
        snprintf(d.studyInstanceUid, sizeof d.studyInstanceUid, "1.2.%d", i);
        snprintf(d.patientId, sizeof d.patientId, "ID%d", i);
        snprintf(d.patientName, sizeof d.patientName, "PAT^N%d", i);
        return d;
    }
    void write(int n)
    {
        int dfd = open((stem + ".dat").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        int hfd = open((stem + ".hash").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        for (int i = 0; i < n; i++) {
            studydata d = record(i);
            studyhash h = {};
            ASSERT_EQ(0, studyindex_writeRecord(dfd, i, &d, sizeof d));
            ASSERT_EQ(0, studyindex_writeRecord(hfd, i, &h, sizeof h));
        }
        close(dfd);
        close(hfd);
    }
    // Rewrites data record i with another ID, as a merge does; with
    // restamp through begin/commit, else as a program that knows nothing
    // of the keys file.
    void changeId(int i, const char *id, bool restamp, int count)
    {
        int keys = restamp ? studykeys_begin(stem.c_str(), count) : -1;
        int fd = open((stem + ".dat").c_str(), O_RDWR);
        studydata d = record(i);
        snprintf(d.patientId, sizeof d.patientId, "%s", id);
        ASSERT_EQ(0, studyindex_writeRecord(fd, i, &d, sizeof d));
        close(fd);
        if (restamp) {
            ASSERT_GE(keys, 0);
            studykeys_record r = studykeys_make(&d);
            ASSERT_EQ(0, studykeys_commit(keys, stem.c_str(), i, &r));
        }
    }
    uint32_t idOf(const char *id)
    {
        std::string f = field(id);
        return studykeys_idDigest(f.data(), f.size());
    }
};

} // namespace

TEST(StudyKeysFile, MissingShortAndRebuilt)
{
    Files f;
    f.write(3);
    studykeys_table t;
    EXPECT_EQ(0, studykeys_load(f.stem.c_str(), 3, &t)); // missing
    long bad = -1;
    EXPECT_EQ(1, studykeys_check(f.stem.c_str(), 3, &bad));
    ASSERT_EQ(0, studykeys_rebuild(f.stem.c_str(), 3, &t, nullptr));
    ASSERT_EQ(3u, t.records.size());
    EXPECT_EQ(f.idOf("ID1"), t.records[1].patientId);
    EXPECT_EQ(0, studykeys_check(f.stem.c_str(), 3, &bad));
    // On disk: the 64-byte header, then 16 bytes per study.
    struct stat st;
    ASSERT_EQ(0, stat(studykeys_path(f.stem.c_str()).c_str(), &st));
    EXPECT_EQ(64 + 3 * 16, st.st_size);
    // Another count (summaries appended by someone else) is not trusted.
    EXPECT_EQ(0, studykeys_load(f.stem.c_str(), 4, &t));
    EXPECT_TRUE(t.records.empty());
    // Cut short: not trusted, found by the check.
    ASSERT_EQ(0, truncate(studykeys_path(f.stem.c_str()).c_str(), 64 + 2 * 16 + 3));
    EXPECT_EQ(0, studykeys_load(f.stem.c_str(), 3, &t));
    EXPECT_EQ(2, studykeys_check(f.stem.c_str(), 3, &bad));
    // A data file shorter than the summaries: the rest has no digest.
    ASSERT_EQ(0, studykeys_rebuild(f.stem.c_str(), 5, &t, nullptr));
    ASSERT_EQ(5u, t.records.size());
    EXPECT_EQ(0u, t.records[4].patientId);
}

TEST(StudyKeysFile, WritersRestampForeignWritesMakeItStale)
{
    Files f;
    f.write(3);
    studykeys_table t;
    ASSERT_EQ(0, studykeys_rebuild(f.stem.c_str(), 3, &t, nullptr));

    // Through begin/commit: trusted, with the new digest, and noticed as a
    // change by a reader holding the old table.
    f.changeId(1, "NEW", true, 3);
    EXPECT_TRUE(studykeys_changed(f.stem.c_str(), t));
    ASSERT_EQ(1, studykeys_load(f.stem.c_str(), 3, &t));
    EXPECT_EQ(f.idOf("NEW"), t.records[1].patientId);
    EXPECT_FALSE(studykeys_changed(f.stem.c_str(), t));
    long bad = -1;
    EXPECT_EQ(0, studykeys_check(f.stem.c_str(), 3, &bad));

    // A write that did not restamp (a crash before the commit, a program
    // that knows nothing of the keys): stale, and a writer's begin refuses
    // the file too, so that it is never restamped into trust.
    f.changeId(2, "OTHER", false, 3);
    // Within one tick of the file system's clock the mtime may not move;
    // a later write would move it.
    struct timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (f.stem + ".dat").c_str(), later, 0));
    EXPECT_TRUE(studykeys_changed(f.stem.c_str(), t)); // a reader notices
    EXPECT_EQ(0, studykeys_load(f.stem.c_str(), 3, &t));
    EXPECT_EQ(3, studykeys_check(f.stem.c_str(), 3, &bad));
    EXPECT_EQ(-1, studykeys_begin(f.stem.c_str(), 3));
    ASSERT_EQ(0, studykeys_rebuild(f.stem.c_str(), 3, &t, nullptr));
    EXPECT_EQ(f.idOf("OTHER"), t.records[2].patientId);

    // Digests that disagree with the data under valid stamps (damage) are
    // found by the check.
    int fd = studykeys_begin(f.stem.c_str(), 3);
    studykeys_record wrong = {1, 1, {}};
    ASSERT_EQ(0, studykeys_commit(fd, f.stem.c_str(), 0, &wrong));
    EXPECT_EQ(4, studykeys_check(f.stem.c_str(), 3, &bad));
    EXPECT_EQ(0, bad);
}

TEST(StudyKeysFile, WholeFileWrite)
{
    Files f;
    f.write(2);
    studydata recs[2] = {Files::record(0), Files::record(1)};
    ASSERT_EQ(0, studykeys_write(f.stem.c_str(), recs, 2, nullptr));
    studykeys_table t;
    ASSERT_EQ(1, studykeys_load(f.stem.c_str(), 2, &t));
    EXPECT_EQ(f.idOf("ID0"), t.records[0].patientId);
    // No temporary file stays behind.
    EXPECT_NE(
        0,
        access((studykeys_path(f.stem.c_str()) + "." + std::to_string(getpid()) + ".tmp").c_str(),
               F_OK));
}

TEST(StudyKeysFile, FailedRebuildWaitsForTheStudyFilesToChange)
{
    Files f;
    f.write(2);
    // The temporary file cannot be made (a directory has its name).
    std::string temp = studykeys_path(f.stem.c_str()) + "." + std::to_string(getpid()) + ".tmp";
    ASSERT_EQ(0, mkdir(temp.c_str(), 0755));
    studykeys_table t;
    EXPECT_EQ(-1, studykeys_rebuild(f.stem.c_str(), 2, &t, nullptr));
    EXPECT_TRUE(t.failed);
    EXPECT_TRUE(t.records.empty());
    EXPECT_FALSE(studykeys_changed(f.stem.c_str(), t)); // no retry for the same files
    f.changeId(1, "OTHER", false, 2);
    struct timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (f.stem + ".dat").c_str(), later, 0));
    EXPECT_TRUE(studykeys_changed(f.stem.c_str(), t));
    ASSERT_EQ(0, rmdir(temp.c_str()));
    EXPECT_EQ(0, studykeys_rebuild(f.stem.c_str(), 2, &t, nullptr));
    EXPECT_FALSE(t.failed);
}
