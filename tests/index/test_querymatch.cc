// Query matching: one key against one value (wildcards, UID lists, ranges,
// empty values), date ranges, the summary test against studyhash records,
// queries compiled from identifiers and the study record test.
#include <gtest/gtest.h>

#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "index/keymatch.h"
#include "index/querymatch.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/index/querytest.h"

// One key against one stored value.
static bool matches(int kind, const char *key, const char *value)
{
    keymatch_key k;
    keymatch_compile(&k, kind, key);
    return keymatch_matches(k, value, value ? strlen(value) : 0);
}

TEST(KeyMatch, WildcardsAnywhereAndWholeValues)
{
    struct Case {
        int kind;
        const char *key, *value;
        bool matches;
    } cases[] = {
        {KEYMATCH_PN, "smi*", "SMITH^JOHN", true}, // names without case
        // ... in every script the character sets decode to (Latin-1 and
        // -2, Greek, Cyrillic, the full-width letters of the Japanese and
        // Korean sets); it was ASCII letters only.
        {KEYMATCH_PN, "müller", "MÜLLER", true},
        {KEYMATCH_PN, "MÜLLER^JÜRGEN", "müller^jürgen", true},
        {KEYMATCH_PN, "m?ller*", "MÜLLER^JÜRGEN", true},
        {KEYMATCH_PN, "*ü*", "MÜLLER", true},
        {KEYMATCH_PN, "DVOŘÁK", "dvořák", true},
        {KEYMATCH_PN, "σωκράτης", "ΣΩΚΡΆΤΗΣ", true},
        {KEYMATCH_PN, "ΣΩΚΡΆΤΗΣ", "σωκράτηΣ", true}, // final sigma
        {KEYMATCH_PN, "иванов^иван", "ИВАНОВ^ИВАН", true},
        {KEYMATCH_PN, "ｙａｍａｄａ", "ＹＡＭＡＤＡ", true},
        {KEYMATCH_PN, "müller", "MULLER", false}, // no accents dropped
        {KEYMATCH_PN, "kelvin",
         "\xe2\x84\xaa"
         "elvin",
         false},                                        // K-sign: not ASCII K
        {KEYMATCH_PN, "m\xfcller", "M\xdcLLER", false}, // stray bytes: themselves
        {KEYMATCH_PN, "m\xdcller", "M\xdcLLER", true},
        {KEYMATCH_TEXT, "müller", "MÜLLER", false}, // other texts keep their case
        {KEYMATCH_PN, "*JOHN", "SMITH^JOHN", true},
        {KEYMATCH_PN, "*MIT*", "SMITH^JOHN", true},
        {KEYMATCH_PN, "SMITH", "SMITH^JOHN", false}, // no wildcard: the whole value
        {KEYMATCH_PN, "SM?TH^JOHN", "SMITH^JOHN", true},
        {KEYMATCH_PN, "S?ITH*", "SMITH^JOHN", true},
        {KEYMATCH_PN, "S*H^J*", "SMITH^JOHN", true},
        {KEYMATCH_PN, "S*H^J*", "SMITHERS^ANNA", false},
        {KEYMATCH_PN, "S??TH", "SMITH", true},
        {KEYMATCH_PN, "S??TH", "SMTH", false},
        {KEYMATCH_PN, "*A*B*C*", "XAYBZC", true},
        {KEYMATCH_PN, "*A*B*C*", "XAYCZB", false},
        {KEYMATCH_PN, "W?NG", "W\xc3\xa4NG", true}, // "?" is one UTF-8 character
        {KEYMATCH_PN, "DOE^JOHN^^", "DOE^JOHN", true},
        {KEYMATCH_PN, "DOE^JOHN", "DOE^JOHN^^^", true},
        {KEYMATCH_PN, "Wang^XiaoDong", "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe4\xb8\x9c", true},
        {KEYMATCH_PN, "\xe7\x8e\x8b*", "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe4\xb8\x9c", true},
        {KEYMATCH_PN, "Wang*=Li*", "Wang^XiaoDong=\xe7\x8e\x8b", false},
        {KEYMATCH_TEXT, "P001", "P001", true}, // other texts with case
        {KEYMATCH_TEXT, "P001", "p001", false},
        {KEYMATCH_TEXT, "p*", "P001", false},
        {KEYMATCH_TEXT, "*", "", true},
        {KEYMATCH_TEXT, "", "", true},
        {KEYMATCH_TEXT, "A*", "", false},  // an empty value matches no real key
        {KEYMATCH_TEXT, "\"\"", "", true}, // empty-value matching
        {KEYMATCH_TEXT, "\"\"", "X", false},
        {KEYMATCH_TEXT, "HEAD", "HEAD  ", true}, // padding is not the value
        {KEYMATCH_TEXT, "B", "A\\B", true},      // one of several values
        {KEYMATCH_CODES, "MR", "CT\\MR", true},
        {KEYMATCH_CODES, "CT\\US", "MR\\US", true},
        {KEYMATCH_CODES, "MR", "CT", false},
        {KEYMATCH_CODES, "SEG", "SE", false},
        {KEYMATCH_CODES, "M?", "MR", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.matches, matches(c.kind, c.key, c.value))
            << "key " << c.key << " value " << c.value;
}

TEST(KeyMatch, UidListsCompareWholeUids)
{
    std::string uid64 = "1.2." + std::string(60, '7');
    ASSERT_EQ(64u, uid64.size());
    EXPECT_TRUE(matches(KEYMATCH_UID, "1.2.3\\1.2.4", "1.2.4"));
    EXPECT_TRUE(matches(KEYMATCH_UID, "1.2.3\\1.2.4", "1.2.3"));
    EXPECT_FALSE(matches(KEYMATCH_UID, "1.2.3\\1.2.4", "1.2.5"));
    EXPECT_FALSE(matches(KEYMATCH_UID, "1.2.3", "1.2.34"));
    EXPECT_FALSE(matches(KEYMATCH_UID, "1.2.3*", "1.2.34")); // no wildcards in UIDs
    // A key longer than the stored 64 characters is another UID.
    EXPECT_FALSE(matches(KEYMATCH_UID, (uid64 + "5").c_str(), uid64.c_str()));
    EXPECT_TRUE(matches(KEYMATCH_UID, (uid64 + "\\1.2.3").c_str(), uid64.c_str()));
    EXPECT_TRUE(matches(KEYMATCH_UID, (uid64 + "\\1.2.3").c_str(), "1.2.3"));
}

TEST(KeyMatch, DateTimeAndRanges)
{
    struct Case {
        int kind;
        const char *key, *value;
        bool matches;
    } cases[] = {
        {KEYMATCH_DATE, "20200315", "20200315", true},
        {KEYMATCH_DATE, "20200315", "", false}, // undated matches no date
        {KEYMATCH_DATE, "20200101-20201231", "", false},
        {KEYMATCH_DATE, "-20201231", "", false},
        {KEYMATCH_DATE, "20200101-20201231", "20200615", true},
        {KEYMATCH_DATE, "20200101-20201231", "20210101", false},
        {KEYMATCH_DATE, "-20201231", "19991231", true},
        {KEYMATCH_DATE, "20200101-", "20991231", true},
        {KEYMATCH_DATE, "20200101-", "20191231", false},
        {KEYMATCH_DATE, "2020.01.01-2020.12.31", "20200615", true},
        {KEYMATCH_DATE, "*", "", true},
        {KEYMATCH_TIME, "0900-1200", "101010", true},
        {KEYMATCH_TIME, "0900-1200", "120059.5", true}, // 12 is up to 12:00:59.999999
        {KEYMATCH_TIME, "0900-1200", "120100", false},
        {KEYMATCH_TIME, "0900-1200", "085959", false},
        {KEYMATCH_TIME, "-0900", "0800", true},
        {KEYMATCH_TIME, "10", "103000", true}, // 10 stands for the whole hour
        {KEYMATCH_TIME, "10:30-11:00", "10:45:00", true},
        {KEYMATCH_TIME, "101010", "", false},
        {KEYMATCH_DATETIME, "20200101120000-20200102", "20200102235959", true},
        {KEYMATCH_DATETIME, "20200101120000-20200102", "20200101115959", false},
        {KEYMATCH_DATETIME, "20200101120000+0100-", "20200101130000", true},
        {KEYMATCH_DATETIME, "20200101120000-0500", "20200101120000", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.matches, matches(c.kind, c.key, c.value))
            << "key " << c.key << " value " << c.value;

    // Combined date and time: from 22:00 on the first day to 06:00 on the second.
    keymatch_key k;
    keymatch_compileDateTime(&k, "20200101-20200102", "2200-0600");
    EXPECT_TRUE(keymatch_matches(k, "20200102030000", 14));
    EXPECT_TRUE(keymatch_matches(k, "20200101230000", 14));
    EXPECT_FALSE(keymatch_matches(k, "20200101210000", 14));
    EXPECT_FALSE(keymatch_matches(k, "20200102070000", 14));
}

class TemplateTest : public StoreTest
{
};

TEST_F(TemplateTest, DateRanges)
{
    struct Case {
        const char *range;
        unsigned from, to;
    } cases[] = {
        {"20010101-20011231", 20010101, 20011231},
        {"-20011231", 0, 20011231},
        {"20010101-", 20010101, 99991231},
        {"20010101", 20010101, 20010101},
        {"", 0, 99991231},
        {"*", 0, 99991231},
        {"2001", 2001, 2001},
        {"abc", 0, 0},
        {"20010101-abc", 20010101, 0},
        {"20010101123000-20011231", 0xFFFFFFFFu, 20011231}, // too large: no date passes
    };
    for (const auto &c : cases) {
        unsigned from = 1, to = 1;
        store->dateRangeHash(c.range, &from, &to);
        EXPECT_EQ(c.from, from) << c.range;
        EXPECT_EQ(c.to, to) << c.range;
    }
    EXPECT_TRUE(log.contains("converting daterange 20010101-20011231.\n"));
}

// A summary record of one study with the given texts and numbers.
static studyhash summary(const char *name, uint32_t birth, uint32_t date, uint32_t modalities,
                         const char *uid)
{
    studyhash h = {};
    h.patientNameBits = studyindex_textBits(name);
    h.birthDate = birth;
    h.studyDate = date;
    h.modalityBits = modalities;
    h.studyUidCrc = studyindex_uidCrc(uid);
    return h;
}

TEST_F(TemplateTest, SummaryTest)
{
    studyhash smith = summary("SMITH^JOHN", 19700101, 20010615, MODALITY_CT | MODALITY_MR, "1.2.3");
    studyhash undated = summary("SMITH^JOHN", 0, 0, 0, "1.2.4");
    struct Case {
        const char *what;
        studyhash_template t;
        int smithPasses, undatedPasses;
    } cases[] = {
        {"empty", {}, 1, 1},
        {"name bits", {}, 1, 1},
        {"missing letter", {}, 0, 0},
        {"uid", {}, 1, 0},
        {"other uid", {}, 0, 0},
        {"modality CT", {}, 1, 0},
        {"modality US", {}, 0, 0},
        {"study date range", {}, 1, 0},
        {"study date before", {}, 0, 0},
        {"birth date after", {}, 0, 0},
    };
    for (auto &c : cases)
        querymatch_initTemplate(&c.t);
    cases[1].t.patientNameBits = studyindex_textBits("SMI");
    cases[2].t.patientNameBits = studyindex_textBits("SMIX");
    cases[3].t.studyUidCrc = studyindex_uidCrc("1.2.3");
    cases[4].t.studyUidCrc = studyindex_uidCrc("1.2.9");
    cases[5].t.modalityBits = MODALITY_CT;
    cases[6].t.modalityBits = MODALITY_US;
    cases[7].t.studyDateFrom = 20010101;
    cases[7].t.studyDateTo = 20011231;
    cases[8].t.studyDateFrom = 20020101;
    cases[9].t.birthDateTo = 19691231;
    for (auto &c : cases) {
        EXPECT_EQ(c.smithPasses, store->studyHashCompare(&smith, &c.t) == 0) << c.what;
        EXPECT_EQ(c.undatedPasses, store->studyHashCompare(&undated, &c.t) == 0) << c.what;
    }
}

TEST_F(TemplateTest, DeletedStudyNeverPasses)
{
    studyhash h = summary("SMITH^JOHN", 0, 0, MODALITY_CT, "1.2.3");
    h.patientNameBits |= STUDYHASH_DELETED;
    studyhash_template t;
    querymatch_initTemplate(&t);
    EXPECT_EQ(1, store->studyHashCompare(&h, &t));
    t.studyUidCrc = h.studyUidCrc;
    EXPECT_EQ(1, store->studyHashCompare(&h, &t));
    EXPECT_TRUE(log.contains("Check Del\n"));
}

TEST_F(TemplateTest, CompiledQuery)
{
    QueryKeys q = {{DCM_QueryRetrieveLevel, "STUDY"},
                   {DCM_StudyInstanceUID, "1.2.3"},
                   {DCM_PatientName, "SMI*"},
                   {DCM_PatientID, "ID7"},
                   {DCM_PatientBirthDate, "19700101-19701231"},
                   {DCM_StudyDate, "-20011231"},
                   {DCM_StudyTime, ""},
                   {DCM_StudyDescription, "*HEAD*"},
                   {DCM_ReferringPhysicianName, "WHO^DR"},
                   {DCM_AccessionNumber, "ACC1"},
                   {DCM_PatientSex, "F"},
                   {DCM_ModalitiesInStudy, "MR\\CT"}};
    DcmDataset *query = makeQuery(q);
    querymatch_study cq;
    querymatch_compileStudy(query, &cq, 0, store->getLogfile());
    delete query;

    EXPECT_EQ(studyindex_uidCrc("1.2.3"), cq.th.studyUidCrc);
    // Wildcards add no bits: the letters S, M and I only.
    EXPECT_EQ((1u << 19) | (1u << 13) | (1u << 9), cq.th.patientNameBits);
    EXPECT_EQ(studyindex_textBits("HEAD"), cq.th.studyDescriptionBits);
    EXPECT_EQ(studyindex_textBits("WHO^DR"), cq.th.referringPhysicianBits);
    EXPECT_EQ(19700101u, cq.th.birthDateFrom);
    EXPECT_EQ(19701231u, cq.th.birthDateTo);
    EXPECT_EQ(0u, cq.th.studyDateFrom);
    EXPECT_EQ(20011231u, cq.th.studyDateTo);
    EXPECT_EQ((uint32_t)(MODALITY_MR | MODALITY_CT), cq.th.modalityBits);
    EXPECT_FALSE(cq.modalities.universal);
    // Universal keys (the empty study time) are not tested at all.
    EXPECT_EQ(9u, cq.keys.size());
    EXPECT_TRUE(log.contains("Template-in : SMI*\n"));
}

TEST_F(TemplateTest, SummaryOnlyWhereItCanReject)
{
    // A UID list, a wildcard modality and a code outside the summary's
    // table impose no summary condition; the record test decides.
    DcmDataset *query = makeQuery({{DCM_ModalitiesInStudy, "SEG\\CT"},
                                   {DCM_Modality, "C?"},
                                   {DCM_StudyInstanceUID, "1.2.3\\1.2.4"}});
    querymatch_study cq;
    querymatch_compileStudy(query, &cq, 0, store->getLogfile());
    delete query;
    EXPECT_EQ(0u, cq.th.modalityBits);
    EXPECT_EQ(0u, cq.th.studyUidCrc);
    // The key is matched, and not warned of (a line on most web searches).
    EXPECT_FALSE(cq.modalities.universal);
    EXPECT_EQ(0, logCount("ModalitiesInStudy"));
}

TEST_F(TemplateTest, ConvertedNameAndItsSummary)
{
    // Latin-1 u-umlaut: the key is UTF-8, the summary only the letters.
    DcmDataset *query =
        makeQuery({{DCM_SpecificCharacterSet, "ISO_IR 100"}, {DCM_PatientName, "M\xfcLLER*"}});
    querymatch_study cq;
    querymatch_compileStudy(query, &cq, 0, store->getLogfile());
    delete query;
    ASSERT_EQ(1u, cq.keys.size());
    EXPECT_EQ("M\xc3\xbcLLER*", cq.keys[0].key.pattern);
    EXPECT_EQ(studyindex_textBits("MLLER"), cq.th.patientNameBits);
}

// A data record with the given name and the other texts empty.
static studydata record(const char *uid, const char *name)
{
    studydata d = {};
    studyindex_setField(d.studyInstanceUid, sizeof d.studyInstanceUid, uid);
    studyindex_setField(d.patientName, sizeof d.patientName, name);
    studyindex_setField(d.patientSex, sizeof d.patientSex, "M");
    studyindex_setField(d.studyDate, sizeof d.studyDate, "20200101");
    studyindex_setField(d.studyTime, sizeof d.studyTime, "2300");
    studyindex_setField(d.clinicalTrialSiteName, sizeof d.clinicalTrialSiteName,
                        "SITE-NAME-OF-24-CHARACTR");
    return d;
}

TEST_F(TemplateTest, RecordTest)
{
    std::string name64(64, 'Q');
    studydata john = record("1.2.3", "JOHN^DOE");
    studydata wide = record("1.2.3", name64.c_str());
    struct Case {
        const char *what;
        const studydata *rec;
        QueryKeys keys;
        int flags;
        bool matches;
    } cases[] = {
        {"no keys", &john, {}, 0, true},
        {"DOE is not JOHN^DOE", &john, {{DCM_PatientName, "DOE"}}, 0, false},
        {"*DOE", &john, {{DCM_PatientName, "*DOE"}}, 0, true},
        {"uid list", &john, {{DCM_StudyInstanceUID, "1.2.9\\1.2.3"}}, 0, true},
        {"64-character name", &wide, {{DCM_PatientName, name64}}, 0, true},
        {"65-character key", &wide, {{DCM_PatientName, name64 + "Q"}}, 0, false},
        {"sex", &john, {{DCM_PatientSex, "F"}}, 0, false},
        {"site full width",
         &john,
         {{DCM_ClinicalTrialSiteName, "SITE-NAME-OF-24-CHARACTR"}},
         0,
         true},
        {"study id absent in record", &john, {{DCM_StudyID, "7"}}, 0, false},
        {"study time", &john, {{DCM_StudyTime, "2200-2359"}}, 0, true},
        {"study time outside", &john, {{DCM_StudyTime, "0000-0600"}}, 0, false},
        {"date and time apart",
         &john,
         {{DCM_StudyDate, "20200101-20200102"}, {DCM_StudyTime, "2200-0600"}},
         0,
         false},
        {"date and time combined",
         &john,
         {{DCM_StudyDate, "20200101-20200102"}, {DCM_StudyTime, "2200-0600"}},
         QUERYMATCH_COMBINED_DATETIME,
         true},
        {"combined, before the start",
         &john,
         {{DCM_StudyDate, "20200101-20200102"}, {DCM_StudyTime, "2330-0600"}},
         QUERYMATCH_COMBINED_DATETIME,
         false},
    };
    for (const auto &c : cases) {
        DcmDataset *query = makeQuery(c.keys);
        querymatch_study cq;
        querymatch_compileStudy(query, &cq, c.flags, store->getLogfile());
        delete query;
        EXPECT_EQ(c.matches, querymatch_studyRecord(c.rec, &cq)) << c.what;
    }
}

TEST(KeyLengths, LongKeysRefusedLongByRightKept)
{
    DcmTagKey offending;
    auto fits = [&offending](const DcmTagKey &tag, const std::string &value) {
        DcmDataset ds;
        ds.putAndInsertString(tag, value.c_str());
        offending = DcmTagKey();
        return querymatch_keysFit(&ds, &offending);
    };
    EXPECT_TRUE(fits(DCM_AccessionNumber, "A123456789012345"));
    EXPECT_TRUE(fits(DCM_AccessionNumber, "*1*2*3*4*5*6*7*8*9*0*1*2*3*4*5*6*"));
    EXPECT_FALSE(fits(DCM_AccessionNumber, std::string(1 << 20, 'A')));
    EXPECT_EQ(offending, DCM_AccessionNumber);
    EXPECT_FALSE(fits(DCM_AccessionNumber, std::string(66, 'A')));
    EXPECT_TRUE(fits(DCM_StudyDate, "2024.01.01-2024.12.31"));
    EXPECT_TRUE(fits(DCM_PatientName, "Yamada^Tarou=山田^太郎=やまだ^たろう"));
    // A list of a thousand UIDs: each value counts, not the whole.
    std::string uids;
    for (int i = 0; i < 1000; i++)
        uids += (i ? "\\" : "") + std::string("1.2.826.0.1.3680043.2.1143.") + std::to_string(i);
    EXPECT_TRUE(fits(DCM_StudyInstanceUID, uids));
    EXPECT_FALSE(fits(DCM_StudyInstanceUID, "1.2\\" + std::string(200, '1')));
    // In a sequence's item too.
    DcmDataset ds;
    DcmItem *item = nullptr;
    ASSERT_TRUE(ds.findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, item).good());
    item->putAndInsertString(DCM_Modality, std::string(5000, 'C').c_str());
    EXPECT_FALSE(querymatch_keysFit(&ds, &offending));
    EXPECT_EQ(offending, DCM_Modality);
}
