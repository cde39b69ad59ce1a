// Query templates and matching: the pattern match, date ranges, the summary
// test against studyhash records, templates made from query identifiers and
// the study text test.
#include <gtest/gtest.h>

#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "index/querymatch.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/index/querytest.h"

TEST(WildcardMatch, Patterns)
{
    struct Case {
        const char *value;
        const char *pattern;
        int matches;
    } cases[] = {
        {"SMITH^JOHN", "smi*", 1},
        {"SMITH^JOHN", "*JOHN", 1},
        {"SMITH^JOHN", "*MIT*", 1},
        {"SMITH^JOHN", "SMITH^JOHN", 1},
        {"SMITH^JOHN", "smith^john", 1},
        {"SMITH^JOHN", "SMITH", 0},  // no wildcard: the whole value
        {"SMITH^JOHN", "S?ITH*", 0}, // "?" stands for itself
        {"S?ITH^JOHN", "S?ITH*", 1},
        {"SMITH^JOHN", "S*H", 0}, // "*" inside stands for itself
        {"S*H", "S*H", 1},
        {"SMITH^JOHN", "", 1},
        {"", "", 1},
        {"", "*", 1},
        {"SMITH^JOHN", "*", 1},
        {"SMITH^JOHN", "**", 1},
        {"", "**", 1},
        {"SMITH^JOHN", "*XYZ*", 0},
        {"AB", "*ABC", 0}, // value shorter than the suffix
        {"AB", "ABC*", 0},
        {"ABC", "ABC*", 1},
        {"ABC", "*ABC", 1},
        {"ABC", "*ABC*", 1},
        {"ABC", "ABCD", 0},
        {"\xc3\xa9", "\xc3\x89", 0}, // only ASCII letters ignore case
        {nullptr, "*", 1},
        {"X", nullptr, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.matches, wildcardMatch(c.value, c.pattern) == 0)
            << "value " << (c.value ? c.value : "(null)") << " pattern "
            << (c.pattern ? c.pattern : "(null)");
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
        {"study date range", {}, 1, 1},
        {"study date before", {}, 0, 1},
        {"birth date after", {}, 0, 1},
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

TEST_F(TemplateTest, TemplateFromQuery)
{
    QueryKeys q = {{DCM_QueryRetrieveLevel, "STUDY"},
                   {DCM_StudyInstanceUID, "1.2.3"},
                   {DCM_PatientName, "SMI*"},
                   {DCM_PatientID, "ID7"},
                   {DCM_PatientBirthDate, "19700101-19701231"},
                   {DCM_StudyDate, "-20011231"},
                   {DCM_StudyTime, "120000"},
                   {DCM_StudyDescription, "*HEAD*"},
                   {DCM_ReferringPhysicianName, "WHO^DR"},
                   {DCM_AccessionNumber, "ACC1"},
                   {DCM_PatientSex, "F"},
                   {DCM_Modality, "MR"}};
    DcmDataset *query = makeQuery(q);
    studyhash_template th;
    studydata_template td;
    querymatch_initTemplate(&th);
    memset(&td, 0, sizeof td);
    store->studyDataMakeTemplate(query, &th, &td);
    delete query;

    EXPECT_EQ(studyindex_uidCrc("1.2.3"), th.studyUidCrc);
    // Wildcards add no bits: the letters S, M and I only.
    EXPECT_EQ((1u << 19) | (1u << 13) | (1u << 9), th.patientNameBits);
    EXPECT_EQ(studyindex_textBits("HEAD"), th.studyDescriptionBits);
    EXPECT_EQ(studyindex_textBits("WHO^DR"), th.referringPhysicianBits);
    EXPECT_EQ(19700101u, th.birthDateFrom);
    EXPECT_EQ(19701231u, th.birthDateTo);
    EXPECT_EQ(0u, th.studyDateFrom);
    EXPECT_EQ(20011231u, th.studyDateTo);
    EXPECT_EQ((uint32_t)MODALITY_MR, th.modalityBits);
    EXPECT_STREQ("1.2.3", td.studyInstanceUid);
    EXPECT_STREQ("SMI*", td.patientName);
    EXPECT_STREQ("ID7", td.patientId);
    EXPECT_STREQ("*HEAD*", td.studyDescription);
    EXPECT_STREQ("ACC1", td.accessionNumber);
    EXPECT_STREQ("19700101-19701231", td.birthDate);
    EXPECT_EQ(0, memcmp(td.modalities[0], "MR", 2));
    EXPECT_EQ(0, memcmp(td.patientSex, "F", 2));
    EXPECT_TRUE(log.contains("Template-in : SMI*\n"));
}

TEST_F(TemplateTest, ModalitiesInStudyImposesNoCondition)
{
    DcmDataset *query = makeQuery({{DCM_ModalitiesInStudy, "CT"}});
    studyhash_template th;
    querymatch_initTemplate(&th);
    store->studyDataMakeTemplate(query, &th, nullptr);
    delete query;
    EXPECT_EQ(0u, th.modalityBits);
    EXPECT_TRUE(log.contains("Huh? ModalitiesInStudy entry present?\n"));
}

TEST_F(TemplateTest, UnknownModalityAndUidListImposeWhatTheyShould)
{
    DcmDataset *query = makeQuery({{DCM_Modality, "SR"}, {DCM_StudyInstanceUID, "1.2.3\\1.2.4"}});
    studyhash_template th;
    querymatch_initTemplate(&th);
    store->studyDataMakeTemplate(query, &th, nullptr);
    delete query;
    EXPECT_EQ(0u, th.modalityBits);
    // Two UIDs are hashed as one text: no study has that CRC.
    EXPECT_EQ(studyindex_uidCrc("1.2.3\\1.2.4"), th.studyUidCrc);
}

TEST_F(TemplateTest, ConvertedNameAndItsSummary)
{
    // Latin-1 u-umlaut: the template holds UTF-8, the summary only the letters.
    DcmDataset *query =
        makeQuery({{DCM_SpecificCharacterSet, "ISO_IR 100"}, {DCM_PatientName, "M\xfcLLER*"}});
    studyhash_template th;
    studydata_template td;
    querymatch_initTemplate(&th);
    memset(&td, 0, sizeof td);
    store->studyDataMakeTemplate(query, &th, &td);
    delete query;
    EXPECT_STREQ("M\xc3\xbcLLER*", td.patientName);
    EXPECT_EQ(studyindex_textBits("MLLER"), th.patientNameBits);
}

// A data record with the given name and the other texts empty.
static studydata record(const char *uid, const char *name)
{
    studydata d = {};
    studyindex_setField(d.studyInstanceUid, sizeof d.studyInstanceUid, uid);
    studyindex_setField(d.patientName, sizeof d.patientName, name);
    studyindex_setField(d.patientSex, sizeof d.patientSex, "M");
    studyindex_setField(d.clinicalTrialSiteName, sizeof d.clinicalTrialSiteName,
                        "SITE-NAME-OF-24-CHARACTR");
    return d;
}

TEST(StudyText, FieldsAndWidths)
{
    std::string name64(64, 'Q');
    studydata john = record("1.2.3", "JOHN^DOE");
    studydata wide = record("1.2.3", name64.c_str());
#define TF(member) offsetof(studydata_template, member), sizeof(((studydata_template *)0)->member)
    struct Case {
        const char *what;
        const studydata *rec;
        size_t offset, width; // template field
        std::string pattern;
        int matches;
    } cases[] = {
        {"empty template", &john, TF(patientName), "", 1},
        {"DOE is not JOHN^DOE", &john, TF(patientName), "DOE", 0},
        {"*DOE", &john, TF(patientName), "*DOE", 1},
        {"uid exact", &john, TF(studyInstanceUid), "1.2.3", 1},
        {"uid other", &john, TF(studyInstanceUid), "1.2.4", 0},
        {"64-character name", &wide, TF(patientName), name64, 1},
        {"65-character pattern", &wide, TF(patientName), name64 + "Q", 0},
        {"sex", &john, TF(patientSex), "M", 1},
        {"sex other", &john, TF(patientSex), "F", 0},
        {"site full width", &john, TF(clinicalTrialSiteName), "SITE-NAME-OF-24-CHARACTR", 1},
        {"study id absent in record", &john, TF(studyId), "7", 0},
        {"study date not text-tested", &john, TF(studyDate), "1999", 1},
        {"modality not text-tested", &john, TF(modalities), "US", 1},
    };
#undef TF
    for (const auto &c : cases) {
        studydata_template t;
        memset(&t, 0, sizeof t);
        studyindex_setField((char *)&t + c.offset, c.width, c.pattern.c_str());
        EXPECT_EQ(c.matches, querymatch_studyText(c.rec, &t) == 0) << c.what;
    }
}
