// The index library on its own (this program links no store): the UID
// tree's names, and a query and an instance search over an index directory
// written here record by record, with a study deleted from the table and
// compacted away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmdata/dcdeftag.h"

#include "dicomnet/dicomnet.h"
#include "index/finddataset.h"
#include "index/retrievelist.h"
#include "index/studyindex.h"
#include "index/studytable.h"
#include "index/uidtree.h"
#include "runtime/runtime.h"

namespace
{

typedef std::vector<std::string> Texts;

// Reads back everything written to a log stream.
std::string logText(FILE *log)
{
    fflush(log);
    std::string text;
    char buf[4096];
    rewind(log);
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, log)) > 0)
        text.append(buf, n);
    return text;
}

TEST(UidTree, NamesFilesByTheStudyUidsCrc)
{
    // The buckets are the low and the next byte of the CRC-32 (as zlib's
    // crc32 computes it) of the study UID: E2/E7 for 1.2.3.
    crc32_init(CRC32_POLYNOMIAL);
    EXPECT_STREQ("/b/uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm",
                 uidtree_path("/b", "1.2.3", "4.5", "6.7", nullptr).c_str());
    EXPECT_STREQ(
        "/uid/52/E4/study_1.2.840.10008.5.1.4.1.1.2",
        uidtree_path(nullptr, "1.2.840.10008.5.1.4.1.1.2", nullptr, nullptr, nullptr).c_str());
    EXPECT_STREQ("/b/uid/series_4.5", uidtree_path("/b", nullptr, "4.5", nullptr, nullptr).c_str());
    EXPECT_STREQ("/b/uid/STUDYINDEX", uidtree_indexStem("/b", nullptr, nullptr, nullptr).c_str());
    EXPECT_STREQ("/b/uid/E2/E7/study_1.2.3/SERIESINDEX",
                 uidtree_indexStem("/b", "1.2.3", nullptr, nullptr).c_str());
    EXPECT_STREQ("/b/uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX",
                 uidtree_indexStem("/b", "1.2.3", "4.5", nullptr).c_str());
    EXPECT_STREQ("/b/uid/E2/E7", uidtree_bucketPath("/b", "1.2.3", nullptr).c_str());
}

TEST(UidTree, RefusesUidsThatCannotNameAFile)
{
    std::string longest(64, '1'), tooLong(65, '1');
    const struct {
        const char *uid;
        const char *problem;
    } cases[] = {
        {"1.2.3", nullptr},
        {longest.c_str(), nullptr},
        {nullptr, "empty"},
        {"", "empty"},
        {tooLong.c_str(), "longer than 64 characters"},
        {"1.2/../3", "holds a character other than a digit or a dot"},
        {"1.2\n3", "holds a character other than a digit or a dot"},
        {"1.2\x7f", "holds a character other than a digit or a dot"},
        {"1.2.abc", "holds a character other than a digit or a dot"},
        {"1.2\\3", "holds a character other than a digit or a dot"},
        {"1.2*", "holds a character other than a digit or a dot"},
        {".", "has an empty component"},
        {"..", "has an empty component"},
        {"...", "has an empty component"},
        {"1..2", "has an empty component"},
        {".1.2", "has an empty component"},
        {"1.2.", "has an empty component"},
        {"0", nullptr},
        {"1.2.0.3", nullptr},
        {"1.02.3", nullptr}, // a leading zero: made by some modalities
    };
    for (const auto &c : cases) {
        const char *p = uidtree_uidProblem(c.uid);
        EXPECT_STREQ(c.problem, p) << (c.uid ? c.uid : "(null)");
    }
    FILE *log = tmpfile();
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(0, uidtree_checkUid("1.2.3", "Study Instance UID", log));
    EXPECT_EQ(-1, uidtree_checkUid(tooLong.c_str(), "Study Instance UID", log));
    std::string line =
        "]:Refusing Study Instance UID (longer than 64 characters): " + tooLong + "\n";
    std::string text = logText(log);
    ASSERT_GE(text.size(), line.size());
    EXPECT_EQ(line, text.substr(text.size() - line.size()));
    // What a peer sent reaches the log as printable text only.
    EXPECT_EQ(-1, uidtree_checkUid("1.\x1b[2J", "SOP Instance UID", log));
    line = "]:Refusing SOP Instance UID (holds a character other than a digit or a dot): "
           "1.?[2J\n";
    text = logText(log);
    ASSERT_GE(text.size(), line.size());
    EXPECT_EQ(line, text.substr(text.size() - line.size()));
    fclose(log);
}

// An index directory written record by record, as the write path lays it
// out: three studies (A and C of DOE, B of ROE, in this order), study A with
// one series of one image.
class IndexDir : public ::testing::Test
{
protected:
    std::string base;
    studytable table;
    FILE *log = nullptr;

    void SetUp() override
    {
        crc32_init(CRC32_POLYNOMIAL);
        char tmpl[] = "/tmp/velto-index-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        base = tmpl;
        log = tmpfile();
        ASSERT_NE(nullptr, log);
        addStudy("1.1", "DOE^JOHN", "20200101");
        addStudy("1.2", "ROE^RICHARD", "20210101");
        addStudy("1.3", "DOE^JANE", "20220101");
        seriesrecord s = {};
        studyindex_setField(s.seriesInstanceUid, sizeof s.seriesInstanceUid, "1.1.1");
        studyindex_setField(s.studyInstanceUid, sizeof s.studyInstanceUid, "1.1");
        studyindex_setField(s.modality, sizeof s.modality, "CT");
        append(uidtree_indexStem(base.c_str(), "1.1", nullptr, nullptr) + ".dat", &s, sizeof s);
        imagerecord i = {};
        studyindex_setField(i.sopInstanceUid, sizeof i.sopInstanceUid, "1.1.1.1");
        studyindex_setField(i.seriesInstanceUid, sizeof i.seriesInstanceUid, "1.1.1");
        studyindex_setField(i.studyInstanceUid, sizeof i.studyInstanceUid, "1.1");
        studyindex_setField(i.instanceNumber, sizeof i.instanceNumber, "7");
        append(uidtree_indexStem(base.c_str(), "1.1", "1.1.1", nullptr) + ".dat", &i, sizeof i);
        ASSERT_EQ(1, studytable_update(&table, stem(".hash").c_str()));
    }
    void TearDown() override
    {
        studytable_free(&table);
        fclose(log);
        std::string rm = "rm -rf '" + base + "'";
        EXPECT_EQ(0, system(rm.c_str()));
    }

    std::string stem(const char *suffix)
    {
        return std::string(uidtree_indexStem(base.c_str(), nullptr, nullptr, nullptr).c_str()) +
               suffix;
    }
    // Appends a record to the index file at path, making its directories.
    void append(const OFString &path, const void *record, size_t size)
    {
        std::string mk = "mkdir -p '" + std::string(path.c_str(), path.rfind('/')) + "'";
        ASSERT_EQ(0, system(mk.c_str()));
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0664);
        ASSERT_GE(fd, 0);
        ASSERT_EQ((ssize_t)size, write(fd, record, size));
        close(fd);
    }
    void addStudy(const char *uid, const char *name, const char *date)
    {
        DcmDataset ds;
        ds.putAndInsertString(DCM_StudyInstanceUID, uid);
        ds.putAndInsertString(DCM_PatientName, name);
        ds.putAndInsertString(DCM_PatientID, name);
        ds.putAndInsertString(DCM_StudyDate, date);
        ds.putAndInsertString(DCM_Modality, "CT");
        studyhash h = {};
        studydata d = {};
        studyindex_makeRecords(&ds, &h, &d, nullptr);
        append(stem(".dat").c_str(), &d, sizeof d);
        append(stem(".hash").c_str(), &h, sizeof h);
    }
    // Runs a query to its end: the values of tag in the answers, and the
    // last result in *last.
    Texts find(std::initializer_list<std::pair<DcmTagKey, const char *>> keys, const DcmTagKey &tag,
               const char *level = nullptr, int *last = nullptr)
    {
        DcmDataset query;
        for (const auto &k : keys)
            query.putAndInsertString(k.first, k.second);
        finddataset_index ix = {base.c_str(), &table, log};
        void *handle = nullptr;
        Texts out;
        int r;
        for (int n = 0; n < 100; n++) {
            DcmDataset *response = nullptr;
            r = finddataset_next(&ix, &handle, &query, &response, level, 0);
            if (r == 0) {
                const char *v = dicomnet_getTagString(response, tag);
                out.push_back(v ? v : "");
            }
            delete response;
            if (r != 0)
                break;
        }
        EXPECT_EQ(nullptr, handle);
        if (last)
            *last = r;
        return out;
    }
};

TEST_F(IndexDir, AnswersEveryLevelFromTheIndexFiles)
{
    EXPECT_EQ((Texts{"1.3", "1.1"}), find({{DCM_QueryRetrieveLevel, "STUDY"},
                                           {DCM_StudyInstanceUID, ""},
                                           {DCM_PatientName, "doe*"}},
                                          DCM_StudyInstanceUID));
    EXPECT_EQ((Texts{"20210101"}), find({{DCM_QueryRetrieveLevel, "STUDY"},
                                         {DCM_StudyDate, "20201231-20211231"},
                                         {DCM_PatientName, ""}},
                                        DCM_StudyDate));
    EXPECT_EQ((Texts{"1.1.1"}), find({{DCM_QueryRetrieveLevel, "SERIES"},
                                      {DCM_StudyInstanceUID, "1.1"},
                                      {DCM_SeriesInstanceUID, ""}},
                                     DCM_SeriesInstanceUID));
    // A retrieve names the level: the answer carries the UIDs of the file.
    EXPECT_EQ((Texts{"1.1.1.1"}),
              find({{DCM_StudyInstanceUID, "1.1"}}, DCM_SOPInstanceUID, "IMAGE"));
    EXPECT_EQ((Texts{"7"}), find({{DCM_QueryRetrieveLevel, "IMAGE"},
                                  {DCM_StudyInstanceUID, "1.1"},
                                  {DCM_InstanceNumber, ""}},
                                 DCM_InstanceNumber));
}

TEST_F(IndexDir, LocatesInstancesOfLiveStudiesInOneWalk)
{
    // A second series of study 1.1: a live image, a cleared one, another.
    seriesrecord s = {};
    studyindex_setField(s.seriesInstanceUid, sizeof s.seriesInstanceUid, "1.1.2");
    append(uidtree_indexStem(base.c_str(), "1.1", nullptr, nullptr) + ".dat", &s, sizeof s);
    OFString images = uidtree_indexStem(base.c_str(), "1.1", "1.1.2", nullptr) + ".dat";
    for (const char *uid : {"1.1.2.1", "1.1.2.9", "1.1.2.2"}) {
        imagerecord i = {};
        studyindex_setField(i.sopInstanceUid, sizeof i.sopInstanceUid, uid);
        if (strcmp(uid, "1.1.2.9") == 0)
            i.sopInstanceUid[0] = 0;
        append(images, &i, sizeof i);
    }
    finddataset_index ix = {base.c_str(), &table, log};
    std::vector<retrievelist_image> places;
    // Missing, cleared and listed twice, in any order.
    std::vector<std::string> wanted = {"1.1.2.2", "1.1.1.2", "1.1.1.1",
                                       "1.1.2.9", "1.1.2.1", "1.1.1.1"};
    ASSERT_EQ(4, retrievelist_locateAll(&ix, wanted, &places));
    ASSERT_EQ(wanted.size(), places.size());
    const char *series[] = {"1.1.2", "", "1.1.1", "", "1.1.2", "1.1.1"};
    for (size_t i = 0; i < wanted.size(); i++) {
        EXPECT_EQ(series[i], places[i].series) << wanted[i];
        EXPECT_EQ(*series[i] ? "1.1" : "", places[i].study) << wanted[i];
    }
    // The instances of a study flagged deleted are no longer there.
    table.studyTable[0].patientNameBits |= STUDYHASH_DELETED;
    EXPECT_EQ(0, retrievelist_locateAll(&ix, wanted, &places));
    EXPECT_EQ("", places[2].study);
}

TEST_F(IndexDir, StudiesEnteredAreAppendedOrMergedAndSaySo)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_StudyInstanceUID, "1.4");
    ds.putAndInsertString(DCM_PatientName, "POE^EDGAR");
    ds.putAndInsertString(DCM_Modality, "CT");
    int changed = -1;
    ASSERT_EQ(0, studytable_add(&table, stem("").c_str(), &ds, 0664, log, &changed));
    EXPECT_EQ(STUDYTABLE_DATA | STUDYTABLE_HASH | STUDYTABLE_KEYS, changed);
    EXPECT_EQ(4, table.studyCount);
    // The same image again changes nothing; another modality is merged.
    ASSERT_EQ(0, studytable_add(&table, stem("").c_str(), &ds, 0664, log, &changed));
    EXPECT_EQ(0, changed);
    ds.putAndInsertString(DCM_Modality, "MR");
    ASSERT_EQ(0, studytable_add(&table, stem("").c_str(), &ds, 0664, log, &changed));
    EXPECT_EQ(STUDYTABLE_DATA | STUDYTABLE_HASH | STUDYTABLE_KEYS, changed);
    EXPECT_EQ(4, table.studyCount);
    EXPECT_EQ(MODALITY_CT | MODALITY_MR, table.studyTable[3].modalityBits);
    EXPECT_EQ((Texts{"1.4"}), find({{DCM_QueryRetrieveLevel, "STUDY"},
                                    {DCM_StudyInstanceUID, ""},
                                    {DCM_ModalitiesInStudy, "MR"}},
                                   DCM_StudyInstanceUID));

    // Into a directory without study files: both are made.
    studytable fresh;
    std::string other = base + "/other";
    ASSERT_EQ(0, mkdir(other.c_str(), 0755));
    ASSERT_EQ(0, studytable_add(&fresh, (other + "/STUDYINDEX").c_str(), &ds, 0664, log, &changed));
    EXPECT_EQ(STUDYTABLE_CREATED | STUDYTABLE_DATA | STUDYTABLE_HASH | STUDYTABLE_KEYS, changed);
    EXPECT_EQ(1, fresh.studyCount);
    studytable_free(&fresh);
}

TEST_F(IndexDir, RecordsAreFoundByKeyAndClearedInPlace)
{
    OFString path = uidtree_indexStem(base.c_str(), "1.1", nullptr, nullptr) + ".dat";
    seriesrecord s = {};
    studyindex_setField(s.seriesInstanceUid, sizeof s.seriesInstanceUid, "1.1.2");
    append(path, &s, sizeof s);
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    seriesrecord rec;
    studyindex_search found = studyindex_searchKey(fd, "1.1.2", &rec, sizeof rec);
    EXPECT_EQ(1, found.found);
    EXPECT_EQ(1, found.others);
    EXPECT_EQ(-1, studyindex_searchKey(fd, "1.1", &rec, sizeof rec).found);
    EXPECT_EQ(1, studyindex_liveAfter(fd, 0, &rec, sizeof rec));
    ASSERT_EQ(0, studyindex_clearRecord(fd, 1, sizeof rec));
    EXPECT_EQ(0, studyindex_liveAfter(fd, 0, &rec, sizeof rec));
    found = studyindex_searchKey(fd, "1.1.1", &rec, sizeof rec);
    EXPECT_EQ(0, found.found);
    EXPECT_EQ(0, found.others);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(2 * (off_t)sizeof rec, st.st_size);
    close(fd);
}

TEST_F(IndexDir, AUidThatCannotNameAFileNamesNoIndex)
{
    int last = 0;
    EXPECT_EQ(Texts{}, find({{DCM_QueryRetrieveLevel, "SERIES"}, {DCM_StudyInstanceUID, "../1.1"}},
                            DCM_SeriesInstanceUID, nullptr, &last));
    EXPECT_EQ(-1, last);
    EXPECT_NE(std::string::npos,
              logText(log).find("Refusing Study Instance UID (holds a character other than a "
                                "digit or a dot): ../1.1\n"));
}

TEST_F(IndexDir, DeletedStudiesLeaveTheAnswersAndThenTheFiles)
{
    int hashFd = open(stem(".hash").c_str(), O_RDWR);
    int dataFd = open(stem(".dat").c_str(), O_RDWR);
    ASSERT_GE(hashFd, 0);
    ASSERT_GE(dataFd, 0);
    EXPECT_EQ(0, studytable_markDeleted(&table, hashFd, dataFd, "1.1"));
    EXPECT_EQ(-1, studytable_markDeleted(&table, hashFd, dataFd, "1.9"));
    close(dataFd);
    studyhash h;
    ASSERT_EQ(1, studyindex_readRecord(hashFd, 0, &h, sizeof h));
    EXPECT_EQ(STUDYHASH_DELETED, h.patientNameBits & STUDYHASH_DELETED);
    EXPECT_EQ(0, memcmp(&h, &table.studyTable[0], sizeof h));
    close(hashFd);
    EXPECT_EQ((Texts{"1.3"}), find({{DCM_QueryRetrieveLevel, "STUDY"},
                                    {DCM_StudyInstanceUID, ""},
                                    {DCM_PatientName, "DOE*"}},
                                   DCM_StudyInstanceUID));

    EXPECT_EQ(1, studytable_compactFile(&table, stem("").c_str(), log));
    EXPECT_EQ(2, table.studyCount);
    struct stat st;
    ASSERT_EQ(0, stat(stem(".dat").c_str(), &st));
    EXPECT_EQ(2 * 512, st.st_size);
    ASSERT_EQ(0, stat(stem(".hash").c_str(), &st));
    EXPECT_EQ(2 * 28, st.st_size);
    EXPECT_EQ((Texts{"1.3", "1.2"}),
              find({{DCM_QueryRetrieveLevel, "STUDY"}, {DCM_StudyInstanceUID, ""}},
                   DCM_StudyInstanceUID));
    EXPECT_FALSE(studytable_mustUpdate(&table, stem(".hash").c_str()));
}

} // namespace
