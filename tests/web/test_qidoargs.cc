// The search arguments of QIDO-RS: each filter goes to the level whose
// query matches it, and what the index would take as "match anything"
// because it is malformed is refused with its reason.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "dicomnet/dicomnet.h"
#include "index/keymatch.h"
#include "web/qido.h"

namespace
{

using argList = std::vector<std::pair<std::string, std::string>>;

// Parses args at level: the reason of a refusal, or "" when accepted.
std::string parse(const argList &args, int level, qidoargs *out)
{
    std::string error;
    bool ok = qido_parseArgs(args, level, out, &error);
    EXPECT_EQ(ok, error.empty());
    return error;
}

} // namespace

TEST(QidoArgs, FiltersGoToTheLevelThatMatchesThem)
{
    qidoargs a;
    ASSERT_EQ(parse({{"PatientName", "DOE^*"},
                     {"Modality", "CT"},
                     {"SeriesDescription", "AX*"},
                     {"00080016", "1.2.840.10008.5.1.4.1.1.2"},
                     {"SOPClassesInStudy", "1.2.3"},
                     {"limit", "5"},
                     {"includefield", "all,StudyID"}},
                    QIDO_IMAGE, &a),
              "");
    EXPECT_STREQ(dicomnet_getTagString(&a.keys[QIDO_STUDY], DCM_PatientName), "DOE^*");
    EXPECT_STREQ(dicomnet_getTagString(&a.keys[QIDO_SERIES], DCM_Modality), "CT");
    EXPECT_STREQ(dicomnet_getTagString(&a.keys[QIDO_SERIES], DCM_SeriesDescription), "AX*");
    EXPECT_STREQ(dicomnet_getTagString(&a.keys[QIDO_IMAGE], DCM_SOPClassUID),
                 "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_TRUE(a.studyClasses);
    EXPECT_TRUE(a.keys[QIDO_STUDY].tagExists(DCM_SOPClassesInStudy));
    EXPECT_EQ(a.limit, 5u);
    EXPECT_TRUE(a.includeAll);
    ASSERT_EQ(a.included.size(), 1u);
    EXPECT_EQ(a.included[0], DCM_StudyID);

    // In a study search Modality is the study's: the index matches it
    // against the modalities of the study.
    qidoargs s;
    ASSERT_EQ(parse({{"Modality", "MR"}}, QIDO_STUDY, &s), "");
    EXPECT_STREQ(dicomnet_getTagString(&s.keys[QIDO_STUDY], DCM_Modality), "MR");
    EXPECT_FALSE(s.keys[QIDO_SERIES].tagExists(DCM_Modality));
}

TEST(QidoArgs, MalformedValuesAreRefused)
{
    const argList refused[] = {
        {{"StudyDate", "garbage"}},
        {{"StudyDate", "2024-13-01"}},
        {{"StudyDate", "20241301"}},
        {{"StudyDate", "20240132"}},
        {{"StudyDate", "2024"}},
        {{"StudyDate", "-"}},
        {{"StudyDate", "20240101-2024x"}},
        {{"StudyTime", "25"}},
        {{"StudyTime", "1261"}},
        {{"StudyTime", "120000.1234567"}},
        {{"StudyInstanceUID", "1.2.3\\abc"}},
        {{"StudyInstanceUID", "1.2.3\\\\4"}},
        {{"StudyInstanceUID", std::string(65, '1')}},
        {{"SeriesInstanceUID", "1.2.*"}},
        {{"AcquisitionDateTime", "2024011"}},
        {{"AcquisitionDateTime", "20240101120000+01"}},
        {{"limit", "-1"}},
        {{"limit", "99999999999999999999999"}},
        {{"offset", "x"}},
        {{"NoSuchAttribute", "1"}},
        {{"includefield", "NoSuchAttribute"}},
        // What no query can match: a sequence, a private attribute, the
        // query's own elements, meta information, one attribute twice.
        {{"ReferencedSeriesSequence", "1"}},
        {{"00091001", "x"}},
        {{"QueryRetrieveLevel", "IMAGE"}},
        {{"SpecificCharacterSet", "ISO_IR 100"}},
        {{"00020010", "1.2"}},
        {{"PatientID", "A"}, {"PatientID", "B"}},
        // Binary data, which a key would match whatever its value: pixels,
        // overlays (in any of the repeating groups), LUTs, documents, a
        // group length.
        {{"PixelData", "x"}},
        {{"7FE00010", "x"}},
        {{"7FE00008", "x"}},
        {{"OverlayData", "x"}},
        {{"60003000", "x"}},
        {{"601E3000", "x"}},
        {{"00420011", "x"}},
        {{"00281201", "x"}},
        {{"00283006", "x"}},
        {{"00080000", "1"}},
    };
    for (const argList &args : refused) {
        qidoargs a;
        EXPECT_NE(parse(args, QIDO_STUDY, &a), "") << args[0].first << "=" << args[0].second;
    }
}

TEST(QidoArgs, WellFormedValuesAreTaken)
{
    const argList taken[] = {
        {{"StudyDate", "20240102"}},
        {{"StudyDate", "20240101-20241231"}},
        {{"StudyDate", "-20240101"}},
        {{"StudyDate", "20240101-"}},
        {{"StudyDate", "2024.01.02"}},
        {{"StudyDate", ""}},
        {{"StudyDate", "*"}},
        {{"StudyDate", "\"\""}},
        {{"StudyTime", "12"}},
        {{"StudyTime", "1230-1300"}},
        {{"StudyTime", "123000.5"}},
        {{"StudyTime", "12:30:00"}},
        {{"StudyInstanceUID", "1.2.3\\4.5"}},
        {{"AcquisitionDateTime", "20240101120000.1+0100"}},
        {{"AcquisitionDateTime", "2024-202501"}},
        {{"PatientName", "*?^[]\\x"}},
    };
    for (const argList &args : taken) {
        qidoargs a;
        EXPECT_EQ(parse(args, QIDO_SERIES, &a), "") << args[0].first << "=" << args[0].second;
    }
}
