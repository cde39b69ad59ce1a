// Study index records: offsets, summaries (text bits, date numbers, modality
// bits), studyDataMake's filling and merging, and whole-record I/O.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <string.h>

#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcdicent.h"
#include "dcmtk/dcmdata/dcdict.h"
#include "index/studyindex.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/store/storetest.h"

TEST(RecordLayout, SizesAndOffsets)
{
    EXPECT_EQ(28u, sizeof(studyhash));
    EXPECT_EQ(512u, sizeof(studydata));
    EXPECT_EQ(320u, sizeof(seriesrecord));
    EXPECT_EQ(768u, sizeof(imagerecord));
    struct Case {
        long index;
        size_t size;
        off_t offset;
    } cases[] = {
        {0, 28, 0},
        {3, 28, 84},
        {3, 512, 1536},
        {2, 320, 640},
        {2, 768, 1536},
        {100000, 512, 51200000},
        {5000000, 768, 3840000000LL}, // beyond 32 bits
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.offset, studyindex_offset(c.index, c.size)) << c.index << " " << c.size;
}

TEST(RecordLayoutDeathTest, NegativeIndexAborts)
{
    EXPECT_DEATH(studyindex_offset(-1, 28), "");
}

TEST(RecordLayout, FieldListsCoverTheRecords)
{
    size_t end = 0;
    for (const auto &f : studyindex_seriesFields) {
        EXPECT_EQ(end, f.offset);
        end = f.offset + f.width;
    }
    EXPECT_EQ(offsetof(seriesrecord, reserved), end);
    end = 0;
    for (const auto &f : studyindex_imageFields) {
        EXPECT_EQ(end, f.offset);
        end = f.offset + f.width;
    }
    EXPECT_EQ(offsetof(imagerecord, reserved), end);
    EXPECT_EQ(DCM_SeriesInstanceUID, studyindex_seriesFields[0].tag);
    EXPECT_EQ(DCM_SOPInstanceUID, studyindex_imageFields[0].tag);
}

TEST(Summaries, TextBits)
{
    struct Case {
        const char *text;
        uint32_t bits;
    } cases[] = {
        {"DOE^JOHN", 0x0000C530u},
        {"doe^john", 0x0000C530u},
        {"O'BRIEN-2", (1u << 15) | (1u << 2) | (1u << 18) | (1u << 9) | (1u << 5) | (1u << 14) |
                          0x20000000u | 0x40000000u},
        {"", 0},
        {"   ", 0},
        {nullptr, 0},
        {"^=*?_\"#$%&'+<>@\\`|~", 0},
        {"!", 0x20000000u},
        {"(", 0x20000000u},
        {")", 0x20000000u},
        {",", 0x20000000u},
        {".", 0x20000000u},
        {"/", 0x20000000u},
        {":", 0x20000000u},
        {";", 0x20000000u},
        {"[", 0x20000000u},
        {"]", 0x20000000u},
        {"{", 0x20000000u},
        {"}", 0x20000000u},
        {"0123456789", 0x40000000u},
        {"az", (1u << 1) | (1u << 26)},
        {"M\xc3\xbcller", (1u << 13) | (1u << 12) | (1u << 5) | (1u << 18)}, // UTF-8 adds nothing
        {"\x01\x7f\xff", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.bits, studyindex_textBits(c.text)) << (c.text ? c.text : "(null)");
}

TEST(Summaries, DateNumbers)
{
    struct Case {
        const char *date;
        uint32_t number;
    } cases[] = {
        {"20011231", 20011231u}, {"19700101", 19700101u}, {"1970", 0},     {"", 0}, {nullptr, 0},
        {"200112310", 0},        {"2001-12-", 2001u},     {"abcdefgh", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.number, studyindex_dateNumber(c.date)) << (c.date ? c.date : "(null)");
}

TEST(Summaries, ModalityBits)
{
    struct Case {
        const char *code;
        uint32_t bit;
    } cases[] = {
        {"CT", 0x1},  {"MR", 0x2},  {"PT", 0x4},  {"ST", 0x8},   {"CR", 0x10},
        {"NM", 0x20}, {"US", 0x40}, {"RG", 0x80}, {"XA", 0x100}, {"OT", 0x10000000},
        {"ct", 0},    {"CTX", 0},   {"C", 0},     {"SR", 0},     {"DX", 0},
        {"", 0},      {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.bit, studyindex_modalityBit(c.code)) << (c.code ? c.code : "(null)");
}

TEST(Summaries, UidCrcAndKeys)
{
    EXPECT_EQ(0u, studyindex_uidCrc(""));
    EXPECT_EQ(0u, studyindex_uidCrc(nullptr));
    EXPECT_EQ(0xCBF43926u, studyindex_uidCrc("123456789")); // the CRC-32 check value
    char field[64];
    memset(field, '7', sizeof field); // a key that fills its field, no NUL
    EXPECT_TRUE(studyindex_keyEquals(field, std::string(64, '7').c_str()));
    EXPECT_FALSE(studyindex_keyEquals(field, std::string(63, '7').c_str()));
    EXPECT_FALSE(studyindex_keyEquals(field, nullptr));
    studyindex_setField(field, sizeof field, "1.2");
    EXPECT_EQ(0, memcmp(field, "1.2\0\0\0", 6));
    EXPECT_TRUE(studyindex_keyEquals(field, "1.2"));
    studyindex_setField(field, sizeof field, nullptr); // unchanged
    EXPECT_TRUE(studyindex_keyEquals(field, "1.2"));
    EXPECT_TRUE(studyindex_isLive(field));
    field[0] = 0;
    EXPECT_FALSE(studyindex_isLive(field));
}

namespace
{

struct MakeFixture {
    TempDir dir;
    LocalStore store{dir.c_str()};
    studyhash hash = {};
    studydata data = {};
    void make(const std::vector<std::pair<DcmTagKey, std::string>> &more,
              const char *study = "1.2.3")
    {
        DcmDataset *ds = makeImage(study, "4.5", "6.7", more, 0);
        store.studyDataMake(ds, &hash, &data);
        delete ds;
    }
};

} // namespace

TEST(StudyDataMake, FillsEveryField)
{
    MakeFixture f;
    f.make({{DCM_PatientBirthDate, "19700101"},
            {DCM_PatientSex, "M"},
            {DCM_StudyDate, "20240102"},
            {DCM_StudyTime, "101530.123"},
            {DCM_StudyDescription, "HEAD"},
            {DCM_StudyID, "S1"},
            {DCM_AccessionNumber, "A1"},
            {DCM_ReferringPhysicianName, "WHO^DR"},
            {DCM_ReferringPhysicianAddress, "Main St"},
            {DCM_ClinicalTrialSponsorName, "Sp"},
            {DCM_ClinicalTrialProtocolName, "Pr"},
            {DCM_ClinicalTrialSiteName, "Si"}});
    EXPECT_STREQ("1.2.3", f.data.studyInstanceUid);
    EXPECT_STREQ("DOE^JOHN", f.data.patientName);
    EXPECT_STREQ("12345", f.data.patientId);
    EXPECT_STREQ("HEAD", f.data.studyDescription);
    EXPECT_STREQ("WHO^DR", f.data.referringPhysician);
    EXPECT_STREQ("Main St", f.data.referringPhysicianAddress);
    EXPECT_EQ(0, memcmp(f.data.modalities, "CT\0\0", 4));
    EXPECT_EQ(0, memcmp(f.data.birthDate, "19700101", 8));
    EXPECT_EQ(0, memcmp(f.data.studyDate, "20240102", 8));
    EXPECT_EQ(0, memcmp(f.data.studyTime, "101530", 6));
    EXPECT_EQ(0, memcmp(f.data.patientSex, "M\0", 2));
    EXPECT_STREQ("Si", f.data.clinicalTrialSiteName);
    EXPECT_STREQ("Sp", f.data.clinicalTrialSponsorName);
    EXPECT_STREQ("Pr", f.data.clinicalTrialProtocolName);
    EXPECT_STREQ("A1", f.data.accessionNumber);
    EXPECT_STREQ("S1", f.data.studyId);
    EXPECT_EQ(0x0000C530u, f.hash.patientNameBits);
    EXPECT_EQ(studyindex_textBits("HEAD"), f.hash.studyDescriptionBits);
    EXPECT_EQ(studyindex_textBits("WHO^DR"), f.hash.referringPhysicianBits);
    EXPECT_EQ(19700101u, f.hash.birthDate);
    EXPECT_EQ(20240102u, f.hash.studyDate);
    EXPECT_EQ(MODALITY_CT, f.hash.modalityBits);
    EXPECT_EQ(crc32_string("1.2.3"), f.hash.studyUidCrc);
}

TEST(StudyDataMake, MergeKeepsAbsentValuesAndCollectsModalities)
{
    MakeFixture f;
    f.make({{DCM_StudyDescription, "HEAD"}, {DCM_PatientBirthDate, "19700101"}});
    f.hash.patientNameBits |= STUDYHASH_DELETED;
    f.make(
        {{DCM_Modality, "MR"}, {DCM_StudyDescription, "<absent>"}, {DCM_PatientBirthDate, "1970"}});
    EXPECT_STREQ("HEAD", f.data.studyDescription);
    EXPECT_EQ(0, memcmp(f.data.modalities, "CTMR\0", 5));
    EXPECT_EQ(MODALITY_CT | MODALITY_MR, f.hash.modalityBits);
    EXPECT_EQ(0u, f.hash.birthDate); // a birth date of 4 characters gives 0
    EXPECT_EQ(0u, f.hash.patientNameBits & STUDYHASH_DELETED); // assigned, not combined
    f.make({{DCM_Modality, "CT"}});
    EXPECT_EQ(0, memcmp(f.data.modalities, "CTMR\0", 5));
}

TEST(StudyDataMake, NineModalitiesKeepEightCodes)
{
    MakeFixture f;
    const char *codes[] = {"CT", "MR", "SEG", "SR", "KO", "PR", "DX", "M", "XA"};
    for (const char *code : codes)
        f.make({{DCM_Modality, code}});
    EXPECT_EQ(0, memcmp(f.data.modalities, "CTMRSESRKOPRDXM\0", 16));
    EXPECT_EQ(MODALITY_CT | MODALITY_MR | MODALITY_XA, f.hash.modalityBits);
}

TEST(StudyDataMake, WideValuesFillTheirFields)
{
    MakeFixture f;
    std::string uid64(64, '9');
    f.make({{DCM_PatientName, std::string(70, 'A')}, {DCM_StudyID, "0123456789ABCDEFXYZ"}},
           uid64.c_str());
    EXPECT_EQ(uid64, std::string(f.data.studyInstanceUid, 64));
    EXPECT_EQ(std::string(64, 'A'), std::string(f.data.patientName, 64));
    EXPECT_EQ("0123456789ABCDEF", std::string(f.data.studyId, 16));
    EXPECT_EQ(0, f.data.referringPhysician[0]); // the next field is untouched
}

TEST(StudyDataMake, ConvertsToUtf8)
{
    MakeFixture f;
    f.make({{DCM_SpecificCharacterSet, "ISO_IR 100"}, {DCM_PatientName, "M\xfcller^Hans"}});
    EXPECT_STREQ("M\xc3\xbcller^Hans", f.data.patientName);
    EXPECT_EQ(studyindex_textBits("MllerHans"), f.hash.patientNameBits);
}

TEST(StudyDataMake, NullRecordsAreLeftAlone)
{
    MakeFixture f;
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7", {{DCM_StudyDate, "20240102"}}, 0);
    f.store.studyDataMake(ds, &f.hash, nullptr);
    EXPECT_EQ(20240102u, f.hash.studyDate);
    EXPECT_EQ(0x0000C530u, f.hash.patientNameBits);
    f.store.studyDataMake(ds, nullptr, &f.data);
    EXPECT_STREQ("DOE^JOHN", f.data.patientName);
    delete ds;
}

TEST(StudyDataMake, WarnsAboutModalitiesInStudy)
{
    MakeFixture f;
    LogCapture log;
    f.store.setLogfile(log.stream());
    f.make({{DCM_ModalitiesInStudy, "CT"}, {DCM_Modality, "<absent>"}});
    EXPECT_TRUE(log.contains("Huh? ModalitiesInStudy entry present?\n"));
    EXPECT_EQ(0u, f.hash.modalityBits);
    EXPECT_EQ(0, f.data.modalities[0][0]);
}

TEST(RecordIO, ShortTailIsNotARecord)
{
    TempDir dir;
    std::string path = dir / "IMAGEINDEX.dat";
    writeFile(path, std::string(768, 'a') + std::string(100, 'b'));
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    imagerecord rec;
    EXPECT_EQ(1, studyindex_readRecord(fd, 0, &rec, sizeof rec));
    EXPECT_EQ(0, studyindex_readRecord(fd, 1, &rec, sizeof rec));
    EXPECT_EQ(0, studyindex_readRecord(fd, 2, &rec, sizeof rec));
    close(fd);
}

// Pins torn records: an append that runs out of room is cut back to where
// the record began, the file's old length, or the end of its last whole
// record when it already ended in a torn one.
TEST(RecordIO, FailedAppendLeavesNoTornRecord)
{
    struct Case {
        size_t before; // bytes in the file: whole 512-byte records and a torn tail
        long index;    // where the record is appended
        size_t after;  // bytes left after the failed append
    } cases[] = {
        {1024, 2, 1024},
        {1024 + 100, 2, 1024},
        {0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        TempDir dir;
        std::string path = dir / "STUDYINDEX.dat";
        writeFile(path, std::string(c.before, 'a'));
        int r = inChild([&]() {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {(rlim_t)(c.index * 512 + 76), (rlim_t)(c.index * 512 + 76)};
            setrlimit(RLIMIT_FSIZE, &rl);
            int fd = open(path.c_str(), O_RDWR);
            studydata rec;
            memset(&rec, 'z', sizeof rec);
            int result = studyindex_writeRecord(fd, c.index, &rec, sizeof rec);
            close(fd);
            return result == -1 ? 0 : 1;
        });
        EXPECT_EQ(0, r);
        EXPECT_EQ(std::string(c.after, 'a'), readFile(path));
    }
}

// A streamed image's head is parsed only for studyindex_recordTags: the
// records made of a data set that holds those alone must be the records
// made of the whole. The whole here is every text attribute the dictionary
// knows in the groups the records come from, each with a value.
TEST(RecordTags, TheListedAttributesMakeTheSameRecords)
{
    DcmDataset whole;
    // The dictionary's iterators are not const.
    DcmDataDictionary &dict = const_cast<DcmDataDictionary &>(dcmDataDict.rdlock());
    for (auto it = dict.normalBegin(); it != dict.normalEnd(); ++it) {
        const DcmDictEntry *e = *it;
        if (e->getGroup() < 0x0008 || e->getGroup() > 0x0040 || e->isRepeating() ||
            e->getElement() == 0)
            continue;
        DcmVR vr(e->getEVR());
        const char *name = vr.getVRName();
        char value[64];
        if (strcmp(name, "DA") == 0)
            snprintf(value, sizeof value, "20240102");
        else if (strcmp(name, "TM") == 0)
            snprintf(value, sizeof value, "101010");
        else if (strcmp(name, "DS") == 0 || strcmp(name, "IS") == 0)
            snprintf(value, sizeof value, "%d", e->getElement() % 97);
        else if (strcmp(name, "UI") == 0)
            snprintf(value, sizeof value, "1.2.826.0.1.3680043.2.1545.%u.%u", e->getGroup(),
                     e->getElement());
        else if (strcmp(name, "CS") == 0)
            snprintf(value, sizeof value, "CT");
        else if (strcmp(name, "PN") == 0 || strcmp(name, "LO") == 0 || strcmp(name, "SH") == 0 ||
                 strcmp(name, "ST") == 0 || strcmp(name, "LT") == 0 || strcmp(name, "AE") == 0)
            snprintf(value, sizeof value, "V%04x%04x", e->getGroup(), e->getElement());
        else
            continue;
        whole.putAndInsertString(DcmTag(e->getKey()), value);
    }
    dcmDataDict.rdunlock();
    // The character set (a CS, "CT" above) is one the conversion knows.
    whole.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    ASSERT_GT(whole.card(), 500u);

    std::vector<DcmTagKey> tags;
    studyindex_recordTags(&tags);
    DcmDataset listed;
    for (const DcmTagKey &t : tags) {
        DcmElement *e = nullptr;
        if (whole.findAndGetElement(t, e).good() && e != nullptr)
            listed.insert(static_cast<DcmElement *>(e->clone()), OFTrue);
    }
    ASSERT_LT(listed.card(), 60u);

    studyhash h1, h2;
    studydata d1, d2;
    memset(&h1, 0, sizeof h1);
    memset(&h2, 0, sizeof h2);
    memset(&d1, 0, sizeof d1);
    memset(&d2, 0, sizeof d2);
    studyindex_makeRecords(&whole, &h1, &d1, nullptr);
    studyindex_makeRecords(&listed, &h2, &d2, nullptr);
    EXPECT_EQ(memcmp(&h1, &h2, sizeof h1), 0);
    EXPECT_EQ(memcmp(&d1, &d2, sizeof d1), 0);
    EXPECT_NE(d1.patientName[0], 0); // the records did take values
    seriesrecord s1, s2;
    studyindex_makeSeries(&whole, &s1);
    studyindex_makeSeries(&listed, &s2);
    EXPECT_EQ(memcmp(&s1, &s2, sizeof s1), 0);
    imagerecord i1, i2;
    studyindex_makeImage(&whole, &i1);
    studyindex_makeImage(&listed, &i2);
    EXPECT_EQ(memcmp(&i1, &i2, sizeof i1), 0);
    EXPECT_NE(i1.imageComments[0], 0);
}

// The key a search for the study uses is the one the whole records carry,
// and nothing else is set.
TEST(StudyDataMake, KeyAloneIsTheRecordsKey)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.2.1545.44");
    ds.putAndInsertString(DCM_PatientName, "KEY^ONLY");
    ds.putAndInsertString(DCM_Modality, "MR");
    studyhash kh = {}, rh = {};
    studydata kd = {}, rd = {};
    studyindex_makeKey(&ds, &kh, &kd);
    studyindex_makeRecords(&ds, &rh, &rd, nullptr);
    EXPECT_EQ(kh.studyUidCrc, rh.studyUidCrc);
    EXPECT_NE(kh.studyUidCrc, 0u);
    EXPECT_EQ(memcmp(kd.studyInstanceUid, rd.studyInstanceUid, sizeof kd.studyInstanceUid), 0);
    studydata keyOnly = {};
    memcpy(keyOnly.studyInstanceUid, rd.studyInstanceUid, sizeof keyOnly.studyInstanceUid);
    EXPECT_EQ(memcmp(&kd, &keyOnly, sizeof kd), 0);
    EXPECT_EQ(kh.patientNameBits, 0u);
    EXPECT_EQ(kh.modalityBits, 0u);
    // Without a study UID nothing is set.
    DcmDataset none;
    studyhash nh = {};
    studydata nd = {};
    studyindex_makeKey(&none, &nh, &nd);
    studyhash zh = {};
    studydata zd = {};
    EXPECT_EQ(memcmp(&nh, &zh, sizeof nh), 0);
    EXPECT_EQ(memcmp(&nd, &zd, sizeof nd), 0);
}
