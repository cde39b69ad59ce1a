// The patient link tree: names made from the data set, defaults, the
// relative link target, and links that are never replaced.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits.h>
#include <sys/stat.h>

#include "store/localstore.h"
#include "tests/store/storetest.h"

namespace
{

struct LinkStore : TestStore {
    // Stores and links an image; returns WriteSymlinks' result.
    int link(const char *sop, const std::vector<std::pair<DcmTagKey, std::string>> &more)
    {
        DcmDataset *ds = makeImage("1.2.3", "4.5", sop, more);
        int r = store.WriteDataset(ds, 0, nullptr, 0);
        if (r == 0)
            r = store.WriteSymlinks(ds);
        delete ds;
        return r;
    }
    // Every link below B/patient, relative to it.
    std::vector<std::string> links()
    {
        std::vector<std::string> out;
        for (const auto &p : listTree(dir / "patient"))
            if (p.back() != '/')
                out.push_back(p);
        return out;
    }
};

} // namespace

TEST(WriteSymlinks, NamesFromTheDataset)
{
    struct Case {
        std::vector<std::pair<DcmTagKey, std::string>> elements;
        const char *expected;
    } cases[] = {
        {{{DCM_PatientName, "Doe^John"},
          {DCM_PatientBirthDate, "19700101"},
          {DCM_PatientID, "12345"},
          {DCM_StudyDate, "20240102"},
          {DCM_StudyTime, "101530.123"},
          {DCM_StudyDescription, "Head"},
          {DCM_SeriesDate, "20240102"},
          {DCM_SeriesTime, "101700"},
          {DCM_BodyPartExamined, "HEAD"},
          {DCM_SeriesDescription, "T1 SE.AX"},
          {DCM_InstanceNumber, "7"}},
         "Doe^John_19700101_12345/20240102_101530_Head/20240102_101700_HEAD_T1_SE.AX/z_0007.dcm"},
        // A blank and a byte above 127 (an umlaut in ISO 8859-1) become "_".
        {{{DCM_PatientName, "M\xfcller Hans"},
          {DCM_PatientID, "<absent>"},
          {DCM_InstanceNumber, "12345"}},
         "M_ller_Hans_19000101_NoID/19000101_000000_NoDesc/19000101_000000_NoBPE_NoDesc/"
         "z_12345.dcm"},
        {{{DCM_PatientName, "<absent>"}, {DCM_PatientID, "<absent>"}},
         "NoName_19000101_NoID/19000101_000000_NoDesc/19000101_000000_NoBPE_NoDesc/z_0000.dcm"},
        {{{DCM_PatientName, "../../etc"}, {DCM_PatientID, "a/b"}, {DCM_InstanceNumber, "x1"}},
         ".._.._etc_19000101_a_b/19000101_000000_NoDesc/19000101_000000_NoBPE_NoDesc/z_0000.dcm"},
        {{{DCM_PatientName, std::string(3000, 'A')}},
         "TooLong_19000101_12345/19000101_000000_NoDesc/19000101_000000_NoBPE_NoDesc/z_0000.dcm"},
    };
    for (const auto &c : cases) {
        LinkStore s;
        EXPECT_EQ(0, s.link("6.7", c.elements));
        EXPECT_EQ(std::vector<std::string>{c.expected}, s.links());
    }
}

// A streamed image's head is parsed only for linkTreeTags (and the UIDs):
// the link made of those alone is the link made of the whole data set.
TEST(WriteSymlinks, TheListedAttributesMakeTheSameLink)
{
    const std::vector<std::pair<DcmTagKey, std::string>> all = {
        {DCM_PatientName, "Doe^John"},     {DCM_PatientBirthDate, "19700101"},
        {DCM_PatientID, "12345"},          {DCM_StudyDate, "20240102"},
        {DCM_StudyTime, "101530"},         {DCM_StudyDescription, "Head"},
        {DCM_SeriesDate, "20240103"},      {DCM_SeriesTime, "101700"},
        {DCM_BodyPartExamined, "HEAD"},    {DCM_SeriesDescription, "T1"},
        {DCM_InstanceNumber, "7"},         {DCM_AccessionNumber, "A1"},
        {DCM_StationName, "CT1"},          {DCM_ProtocolName, "P"},
        {DCM_AcquisitionDate, "20240104"}, {DCM_ContentDate, "20240105"},
    };
    std::vector<DcmTagKey> tags;
    LocalStore::linkTreeTags(&tags);
    std::vector<std::pair<DcmTagKey, std::string>> listed;
    for (const auto &e : all)
        if (std::find(tags.begin(), tags.end(), e.first) != tags.end())
            listed.push_back(e);
    EXPECT_LT(listed.size(), all.size());
    LinkStore whole, picked;
    ASSERT_EQ(0, whole.link("6.7", all));
    ASSERT_EQ(0, picked.link("6.7", listed));
    EXPECT_EQ(whole.links(), picked.links());
    EXPECT_EQ(
        whole.links(),
        std::vector<std::string>{
            "Doe^John_19700101_12345/20240102_101530_Head/20240103_101700_HEAD_T1/z_0007.dcm"});
}

TEST(WriteSymlinks, TargetIsRelativeAndResolves)
{
    LinkStore s;
    ASSERT_EQ(0, s.link("6.7", {{DCM_InstanceNumber, "1"}}));
    std::vector<std::string> links = s.links();
    ASSERT_EQ(1u, links.size());
    std::string link = s.dir / ("patient/" + links[0]);
    char target[PATH_MAX] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ("../../../../uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm", std::string(target));
    struct stat viaLink, direct;
    ASSERT_EQ(0, stat(link.c_str(), &viaLink));
    ASSERT_EQ(0, stat((s.dir / "uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm").c_str(), &direct));
    EXPECT_EQ(direct.st_ino, viaLink.st_ino);

    // The base directory can move: the relative link still resolves.
    TempDir other;
    std::string moved = other / "moved";
    ASSERT_EQ(0, rename(s.dir.c_str(), moved.c_str()));
    EXPECT_EQ(0, stat((moved + "/patient/" + links[0]).c_str(), &viaLink));
    ASSERT_EQ(0, rename(moved.c_str(), s.dir.c_str()));
}

TEST(WriteSymlinks, ExistingLinkIsKept)
{
    LinkStore s;
    ASSERT_EQ(0, s.link("6.7", {{DCM_InstanceNumber, "3"}}));
    ASSERT_EQ(0, s.link("6.8", {{DCM_InstanceNumber, "3"}}));
    std::vector<std::string> links = s.links();
    ASSERT_EQ(1u, links.size());
    char target[PATH_MAX] = {0};
    ASSERT_GT(readlink((s.dir / ("patient/" + links[0])).c_str(), target, sizeof target - 1), 0);
    EXPECT_NE(std::string::npos, std::string(target).find("image_6.7.dcm"));
}

TEST(WriteSymlinks, DirectoryFailureGives5)
{
    LinkStore s;
    writeFile(s.dir / "patient", "a file where the link tree should be");
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    EXPECT_EQ(5, s.store.WriteSymlinks(ds));
    EXPECT_TRUE(s.log.contains("Cannot create patient link base directory. ("));
    delete ds;
}

// Names past the file system's 255 bytes: a person name of three 64-character
// groups with a 64-character ID, a 300-character series description. Each
// long part is cut and ends in a digest of the whole, so that two names that
// differ only past the cut stay apart; the cut is logged.
TEST(WriteSymlinks, NamesPastTheFileSystemsLimitAreShortened)
{
    LinkStore s;
    std::string group(64, 'N'), id(64, '7'), description(300, 'D');
    std::string name = group + "^" + group + "^" + group;
    ASSERT_EQ(0, s.link("6.7", {{DCM_PatientName, name},
                                {DCM_PatientID, id},
                                {DCM_SeriesDescription, description},
                                {DCM_InstanceNumber, "1"}}));
    ASSERT_EQ(0, s.link("6.8", {{DCM_PatientName, name},
                                {DCM_PatientID, id.substr(0, 63) + "8"},
                                {DCM_SeriesDescription, description},
                                {DCM_InstanceNumber, "1"}}));
    std::vector<std::string> links = s.links();
    ASSERT_EQ(2u, links.size());
    std::string patient = links[0].substr(0, links[0].find('/'));
    EXPECT_EQ(217u, patient.size());
    EXPECT_EQ((name + "_19000101_" + id).substr(0, 200), patient.substr(0, 200));
    EXPECT_EQ('~', patient[200]);
    EXPECT_NE(patient, links[1].substr(0, links[1].find('/')));
    std::string series = links[0].substr(0, links[0].rfind('/'));
    series = series.substr(series.rfind('/') + 1);
    EXPECT_EQ(217u, series.size());
    EXPECT_EQ("19000101_000000_NoBPE_DDD", series.substr(0, 25));
    struct stat st;
    EXPECT_EQ(0, stat((s.dir / ("patient/" + links[0])).c_str(), &st));
    EXPECT_TRUE(s.log.contains("Link tree name shortened to "));
}
