// De-identification's pieces (core/deidentify.h, core/forward.h): the
// site's key is made once (32 bytes, mode 0600, the store owner's) and then
// only read, one of another length refused and left; a UID's replacement
// is a 2.25 UID, the same for the same UID and key and another for another
// UID or key; the options parse; a forwarding rule and a job carry their
// deidentify setting through the rules file and the job file; a data set
// de-identified keeps its pixel data and its pseudonym across two runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/deidentify.h"
#include "core/forward.h"
#include "tests/store/storetest.h"

TEST(DeidentifyKey, MadeOnceThenRead)
{
    TempDir base;
    deidentify_key a, b;
    std::string error;
    ASSERT_EQ(deidentify_loadKey(base.c_str(), &a, &error), 0) << error;
    struct stat st;
    ASSERT_EQ(stat((base / DEIDENTIFY_KEY_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, DEIDENTIFY_KEY_BYTES);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(deidentify_loadKey(base.c_str(), &b, &error), 0) << error;
    EXPECT_EQ(memcmp(a.bytes, b.bytes, sizeof a.bytes), 0);
    // No temporary file left beside it.
    EXPECT_EQ(access((base / DEIDENTIFY_KEY_FILE ".tmp").c_str(), F_OK), -1);

    // A key of another length is an error, never replaced.
    int fd = open((base / DEIDENTIFY_KEY_FILE).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    close(fd);
    EXPECT_EQ(deidentify_loadKey(base.c_str(), &b, &error), -1);
    EXPECT_NE(error.find("not a key of 32 bytes"), std::string::npos) << error;
    ASSERT_EQ(stat((base / DEIDENTIFY_KEY_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, DEIDENTIFY_KEY_BYTES + 1);
}

TEST(DeidentifyKey, MadeByRootGivenToTheStoresOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    TempDir base;
    ASSERT_EQ(chown(base.c_str(), 4242, 4243), 0);
    deidentify_key key;
    std::string error;
    ASSERT_EQ(deidentify_loadKey(base.c_str(), &key, &error), 0) << error;
    struct stat st;
    ASSERT_EQ(stat((base / DEIDENTIFY_KEY_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4243u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DeidentifyUid, StablePerKeyAndUid)
{
    deidentify_key k1, k2;
    memset(k1.bytes, 1, sizeof k1.bytes);
    memset(k2.bytes, 2, sizeof k2.bytes);
    std::string u = deidentify_uid(k1, "1.2.3.4");
    EXPECT_EQ(u.compare(0, 5, "2.25."), 0);
    EXPECT_LE(u.size(), 64u);
    EXPECT_NE(u[5], '0');
    EXPECT_EQ(u.find_first_not_of("0123456789.", 0), std::string::npos);
    EXPECT_EQ(deidentify_uid(k1, "1.2.3.4"), u);
    EXPECT_NE(deidentify_uid(k1, "1.2.3.5"), u);
    EXPECT_NE(deidentify_uid(k2, "1.2.3.4"), u);
}

TEST(DeidentifyOptions, ParsedOrRefused)
{
    deidentify_options o;
    EXPECT_TRUE(deidentify_parseOptions("yes", &o));
    EXPECT_FALSE(o.shiftDates || o.retainDevice || o.retainPatient || o.refuseBurnedIn);
    EXPECT_TRUE(deidentify_parseOptions("dates,device,patient,refuse-burned-in", &o));
    EXPECT_TRUE(o.shiftDates && o.retainDevice && o.retainPatient && o.refuseBurnedIn);
    EXPECT_EQ(deidentify_optionWords(o), "dates,device,patient,refuse-burned-in");
    EXPECT_FALSE(deidentify_parseOptions("dates,everything", nullptr));
    EXPECT_FALSE(deidentify_parseOptions("", nullptr));
}

TEST(DeidentifyForward, RuleAndJobCarryTheSetting)
{
    forward_rules rules;
    char error[256] = "";
    ASSERT_EQ(forward_parseRules("RESEARCH deidentify=dates,device Modality=CT\nPACS "
                                 "deidentify=no\n",
                                 &rules, error, sizeof error),
              0)
        << error;
    EXPECT_EQ(rules.rules[0].deidentify, "dates,device");
    EXPECT_EQ(rules.rules[1].deidentify, "");
    EXPECT_EQ(forward_parseRules("PACS deidentify=maybe\n", &rules, error, sizeof error), -1);
    EXPECT_EQ(std::string(error).compare(0, 24, "line 1: deidentify must "), 0) << error;

    TempDir base;
    forward_job job;
    job.destination = "RESEARCH";
    job.study = "1.2.3";
    job.origin = "web alice";
    job.deidentify = "yes";
    ASSERT_EQ(forward_submit(base.c_str(), &job, nullptr), 0);
    forward_job read;
    ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
    EXPECT_EQ(read.deidentify, "yes");
}

TEST(DeidentifyDataset, PseudonymStablePixelsKept)
{
    deidentify_key key;
    memset(key.bytes, 7, sizeof key.bytes);
    auto make = [](DcmDataset *ds, const char *id) {
        ds->putAndInsertString(DCM_PatientName, "DOE^JANE");
        ds->putAndInsertString(DCM_PatientID, id);
        ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.3");
        ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5");
        ds->putAndInsertString(DCM_Modality, "CT");
        ds->putAndInsertString(DCM_BurnedInAnnotation, "NO");
        ds->putAndInsertString(DCM_InstitutionName, "ST ELSEWHERE");
        ds->putAndInsertString(DcmTagKey(0x0009, 0x0010), "ACME");
        ds->putAndInsertString(DcmTagKey(0x0009, 0x1001), "PRIVATE");
        static const Uint8 pixels[4] = {1, 2, 3, 4};
        ds->putAndInsertUint8Array(DCM_PixelData, pixels, 4);
    };
    DcmDataset a, b, c;
    make(&a, "P1");
    make(&b, "P1");
    make(&c, "P2");
    deidentify_options o;
    deidentify_result ra, rb, rc;
    ASSERT_EQ(deidentify_dataset(key, o, &a, &ra), DEIDENTIFY_DONE);
    ASSERT_EQ(deidentify_dataset(key, o, &b, &rb), DEIDENTIFY_DONE);
    ASSERT_EQ(deidentify_dataset(key, o, &c, &rc), DEIDENTIFY_DONE);
    EXPECT_EQ(ra.pseudonymId, rb.pseudonymId);
    EXPECT_NE(ra.pseudonymId, rc.pseudonymId);
    EXPECT_EQ(ra.study, deidentify_uid(key, "1.2.3"));
    EXPECT_FALSE(ra.burnedIn);
    OFString v;
    EXPECT_TRUE(a.findAndGetOFString(DCM_InstitutionName, v).good());
    EXPECT_EQ(v, "");
    EXPECT_FALSE(a.tagExists(DcmTagKey(0x0009, 0x1001)));
    EXPECT_FALSE(a.tagExists(DcmTagKey(0x0009, 0x0010)));
    const Uint8 *pixels = nullptr;
    unsigned long n = 0;
    ASSERT_TRUE(a.findAndGetUint8Array(DCM_PixelData, pixels, &n).good());
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(memcmp(pixels, "\1\2\3\4", 4), 0);
    EXPECT_TRUE(a.findAndGetOFString(DCM_PatientIdentityRemoved, v).good());
    EXPECT_EQ(v, "YES");

    // Burned in: reported, or with its option refused and left as it was.
    DcmDataset d;
    make(&d, "P1");
    d.putAndInsertString(DCM_BurnedInAnnotation, "YES");
    deidentify_result rd;
    o.refuseBurnedIn = true;
    EXPECT_EQ(deidentify_dataset(key, o, &d, &rd), DEIDENTIFY_REFUSED);
    EXPECT_TRUE(d.findAndGetOFString(DCM_PatientName, v).good());
    EXPECT_EQ(v, "DOE^JANE");
    o.refuseBurnedIn = false;
    EXPECT_EQ(deidentify_dataset(key, o, &d, &rd), DEIDENTIFY_DONE);
    EXPECT_TRUE(rd.burnedIn);
}

TEST(DeidentifyDataset, DatesShiftedAlikeTimeZonesAndRangesKept)
{
    deidentify_key key;
    memset(key.bytes, 9, sizeof key.bytes);
    DcmDataset ds;
    ds.putAndInsertString(DCM_PatientID, "P1");
    ds.putAndInsertString(DCM_StudyDate, "20200102");
    ds.putAndInsertString(DCM_StudyTime, "030405");
    ds.putAndInsertString(DCM_AcquisitionDateTime, "20200102030405-0500");
    ds.putAndInsertString(DCM_ContentDate, "20200102-20200103");
    ds.putAndInsertString(DCM_SeriesDate, "notadate");
    deidentify_options o;
    o.shiftDates = true;
    deidentify_result r;
    ASSERT_EQ(deidentify_dataset(key, o, &ds, &r), DEIDENTIFY_DONE);
    OFString date, time, dt, range, bad;
    ASSERT_TRUE(ds.findAndGetOFString(DCM_StudyDate, date).good());
    ASSERT_TRUE(ds.findAndGetOFString(DCM_StudyTime, time).good());
    ASSERT_TRUE(ds.findAndGetOFStringArray(DCM_AcquisitionDateTime, dt).good());
    ASSERT_TRUE(ds.findAndGetOFStringArray(DCM_ContentDate, range).good());
    EXPECT_NE(date, "20200102");
    EXPECT_EQ(date.size(), 8u);
    EXPECT_EQ(time, "030405");
    EXPECT_EQ(dt, date + "030405-0500");
    ASSERT_EQ(range.size(), 17u);
    EXPECT_EQ(range.substr(0, 9), date + "-");
    EXPECT_NE(range.substr(9), "20200103");
    // A value that is no date is emptied, never left unshifted.
    EXPECT_TRUE(ds.findAndGetOFString(DCM_SeriesDate, bad).good());
    EXPECT_EQ(bad, "");
}

TEST(DeidentifyDataset, BurnedInByAttributeModalityOrClass)
{
    deidentify_key key;
    memset(key.bytes, 3, sizeof key.bytes);
    struct {
        const char *sopClass, *modality, *burned;
        bool expected;
    } cases[] = {
        {"1.2.840.10008.5.1.4.1.1.2", "CT", nullptr, false},
        {"1.2.840.10008.5.1.4.1.1.2", "CT", "YES", true},
        {"1.2.840.10008.5.1.4.1.1.6.1", "US", nullptr, true},
        {"1.2.840.10008.5.1.4.1.1.6.1", "US", "NO", false},
        {"1.2.840.10008.5.1.4.1.1.7", "CT", nullptr, true},
        {"1.2.840.10008.5.1.4.1.1.7.2", "CT", nullptr, true},
        {"1.2.840.10008.5.1.4.1.1.77.1.1", "CT", nullptr, false},
    };
    for (const auto &c : cases) {
        DcmDataset ds;
        ds.putAndInsertString(DCM_SOPClassUID, c.sopClass);
        ds.putAndInsertString(DCM_Modality, c.modality);
        if (c.burned != nullptr)
            ds.putAndInsertString(DCM_BurnedInAnnotation, c.burned);
        static const Uint8 pixels[2] = {0, 0};
        ds.putAndInsertUint8Array(DCM_PixelData, pixels, 2);
        deidentify_result r;
        ASSERT_EQ(deidentify_dataset(key, deidentify_options(), &ds, &r), DEIDENTIFY_DONE);
        EXPECT_EQ(r.burnedIn, c.expected) << c.sopClass << " " << c.modality;
    }
}
