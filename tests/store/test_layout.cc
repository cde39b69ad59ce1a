// Store configuration and directory layout: the base directory file, the UID
// tree's paths, directory creation, UID checks, the "Have" queries and the
// disk-space figures.
#include <gtest/gtest.h>

#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/store/storetest.h"

TEST(BaseDirConfig, FirstLineOfTheFile)
{
    struct Case {
        const char *contents;
        const char *expected;
    } cases[] = {
        {"/data/dicom\r\n", "/data/dicom"},
        {"/data/dicom\n/other\n", "/data/dicom"},
        {"/data/dicom", "/data/dicom"},
        {"\n/data/dicom\n", ""},
        {"", ""},
        {" /with blanks \n", " /with blanks "},
        {"/a\rjunk\n", "/a"},
    };
    TempDir dir;
    for (const auto &c : cases) {
        writeFile(dir / "LocalStoreDir", c.contents);
        LocalStore store(dir.c_str());
        store.ReadBaseDirConfig((dir / "LocalStoreDir").c_str());
        EXPECT_STREQ(c.expected, store.getBaseDir()) << "file: " << c.contents;
        EXPECT_EQ(1, store.getBaseDirOwned());
    }
}

TEST(BaseDirConfig, LongLineKeepsFirst1023Characters)
{
    TempDir dir;
    writeFile(dir / "LocalStoreDir", std::string(1500, 'x') + "\n");
    LocalStore store(dir.c_str());
    store.ReadBaseDirConfig((dir / "LocalStoreDir").c_str());
    EXPECT_EQ(std::string(1023, 'x'), store.getBaseDir());
}

TEST(BaseDirConfig, MissingFileOrNullChangesNothing)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    store.ReadBaseDirConfig(nullptr);
    store.ReadBaseDirConfig((dir / "none").c_str());
    EXPECT_EQ(dir.str(), store.getBaseDir());
    EXPECT_EQ(0, store.getBaseDirOwned());
}

TEST(BaseDirConfig, EmptyBaseDirGivesPathsFromUid)
{
    TempDir dir;
    writeFile(dir / "LocalStoreDir", "\n");
    LocalStore store(dir.c_str());
    store.ReadBaseDirConfig((dir / "LocalStoreDir").c_str());
    EXPECT_EQ("/uid/STUDYINDEX", std::string(store.GetUidIndexPath(nullptr, nullptr).c_str()));
}

TEST(BaseDirConfig, DefaultConstructorReadsOverrideOrDefault)
{
    // The default constructor searches the configuration path; with HOME
    // pointing at a directory that holds .velto/etc/LocalStoreDir (and no
    // system-wide override) that file wins, else "/ct/dicom".
    TempDir home;
    std::string etc = home / ".velto";
    mkdir(etc.c_str(), 0755);
    etc += "/etc";
    mkdir(etc.c_str(), 0755);
    writeFile(etc + "/LocalStoreDir", home / "store\r\n");
    int r = inChild([&]() {
        setenv("HOME", home.c_str(), 1);
        setenv("progpath", "/nonexistent", 1);
        if (access("/etc/velto/override/LocalStoreDir", R_OK) == 0)
            return 0;
        LocalStore store;
        return store.getBaseDir() == home / "store" && store.getBaseDirOwned() ? 0 : 1;
    });
    EXPECT_EQ(0, r);
}

TEST(UidTree, PathsOfTheLevels)
{
    struct Case {
        const char *study, *series, *image;
        int withBase;
        const char *expected; // "B" stands for the base directory
    } cases[] = {
        {"1.2.3", nullptr, nullptr, 0, "/uid/E2/E7/study_1.2.3"},
        {"", nullptr, nullptr, 0, "/uid/00/00/study_"},
        {"1.2.3", "4.5", "6.7", 0, "/uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm"},
        {"1.2.3", "4.5", "6.7", 1, "B/uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm"},
        {"1.2.3", "4.5", nullptr, 1, "B/uid/E2/E7/study_1.2.3/series_4.5"},
        {nullptr, nullptr, nullptr, 1, "B/uid"},
        {nullptr, nullptr, nullptr, 0, "/uid"},
        {nullptr, "4.5", nullptr, 0, "/uid/series_4.5"},
        {nullptr, nullptr, "6.7", 0, "/uid/image_6.7.dcm"},
    };
    TempDir dir;
    LocalStore store(dir.c_str());
    for (const auto &c : cases) {
        std::string expected = c.expected;
        if (expected[0] == 'B')
            expected = dir.str() + expected.substr(1);
        EXPECT_EQ(expected, store.GetUidPath(c.study, c.series, c.image, c.withBase).c_str());
    }
}

TEST(UidTree, BucketIsLowTwoBytesOfCrc)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    const char *uid = "1.2.840.113619.2.55.3.604688119.971.1051278519.1";
    uint32_t crc = crc32_string(uid);
    char expected[64];
    snprintf(expected, sizeof expected, "/uid/%02X/%02X/study_", crc & 0xff, (crc >> 8) & 0xff);
    EXPECT_EQ(std::string(expected) + uid, store.GetUidPath(uid, nullptr, nullptr, 0).c_str());
}

TEST(UidTree, PathOfADataset)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    EXPECT_EQ("/uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm",
              std::string(store.GetUidPath(ds, 0).c_str()));
    delete ds->remove(DCM_SeriesInstanceUID);
    EXPECT_EQ("/uid/E2/E7/study_1.2.3/image_6.7.dcm", std::string(store.GetUidPath(ds, 0).c_str()));
    delete ds;
}

TEST(UidTree, IndexAndBasePaths)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    std::string B = dir.str();
    EXPECT_EQ(B + "/uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX",
              store.GetUidIndexPath("1.2.3", "4.5").c_str());
    EXPECT_EQ(B + "/uid/E2/E7/study_1.2.3/SERIESINDEX",
              store.GetUidIndexPath("1.2.3", nullptr).c_str());
    EXPECT_EQ(B + "/uid/STUDYINDEX", store.GetUidIndexPath(nullptr, nullptr).c_str());
    EXPECT_EQ(B + "/uid/E2/E7", store.GetUidBasePath("1.2.3").c_str());
    EXPECT_EQ(B + "/uid/00/00", store.GetUidBasePath("").c_str());
}

TEST(CreateUidPath, CreatesEveryLevelAndAcceptsExisting)
{
    TempDir dir;
    std::string base = dir / "store";
    LogCapture log;
    LocalStore store(base.c_str());
    store.setLogfile(log.stream());
    EXPECT_EQ(0, store.CreateUidPath("1.2.3", "4.5"));
    struct stat st;
    EXPECT_EQ(0, stat((base + "/uid/E2/E7/study_1.2.3/series_4.5").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, store.CreateUidPath("1.2.3", "4.5"));
    EXPECT_EQ(0, store.CreateUidPath(nullptr, nullptr));
    EXPECT_EQ("", log.text());
}

TEST(CreateUidPath, FailureNamesTheStep)
{
    struct Case {
        const char *blocker; // a file placed where a directory should go
        const char *message;
    } cases[] = {
        {"", "Cannot create storage base directory.\n"},
        {"/uid", "Cannot create storage uid base directory.\n"},
        {"/uid/E2", "Cannot create storage study C1 directory.\n"},
        {"/uid/E2/E7", "Cannot create storage study C2 directory.\n"},
        {"/uid/E2/E7/study_1.2.3", "Cannot create storage study directory.\n"},
        {"/uid/E2/E7/study_1.2.3/series_4.5", "Cannot create storage series directory.\n"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        std::string base = dir / "store";
        std::string blocker = base + c.blocker;
        // Make the parents of the blocker, then the blocker as a plain file.
        std::string parent = blocker.substr(0, blocker.rfind('/'));
        std::string cmd = "mkdir -p '" + parent + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
        writeFile(blocker, "x");
        LogCapture log;
        LocalStore store(base.c_str());
        store.setLogfile(log.stream());
        EXPECT_EQ(5, store.CreateUidPath("1.2.3", "4.5")) << c.blocker;
        EXPECT_TRUE(log.contains(c.message)) << c.blocker << ": " << log.text();
    }
}

TEST(CheckUid, RefusesUnsafeUids)
{
    struct Case {
        std::string uid;
        int expected;
    } cases[] = {
        {"1.2.3", 0},
        {"1.2.abc", 6},
        {std::string(64, '1'), 0},
        {std::string(65, '1'), 6},
        {"", 6},
        {"1.2/../../etc", 6},
        {"/", 6},
        {"1.2\n3", 6},
        {"1.2\t3", 6},
        {std::string("1.2\x7f", 4), 6},
        {"..", 6}, // a bare name in a ZIP download
        {".", 6},
        {"1.02", 0}, // a leading zero: made by some modalities
    };
    TempDir dir;
    LogCapture log;
    LocalStore store(dir.c_str());
    store.setLogfile(log.stream());
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, store.CheckUid(c.uid.c_str(), "Study Instance UID")) << c.uid;
    EXPECT_EQ(6, store.CheckUid(nullptr, "Study Instance UID"));
    EXPECT_TRUE(log.contains("Refusing Study Instance UID"));
}

TEST(CheckAndComplainDir, ReportsWhatIsMissing)
{
    TempDir dir;
    LogCapture log;
    LocalStore store(dir.c_str());
    store.setLogfile(log.stream());
    EXPECT_EQ(0, store.check_and_complain_dir(dir.c_str()));
    EXPECT_EQ(4, store.check_and_complain_dir((dir / "missing").c_str()));
    EXPECT_TRUE(log.contains("Cannot read Storage base directory " + (dir / "missing") + ".\n"));
}

TEST(HaveQueries, MissingFiles)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    EXPECT_EQ(0xFFFFFFFFu, store.HaveFileSize("1.2.3", "4.5", "6.7"));
    EXPECT_EQ(0u, store.HaveFileTime("1.2.3", "4.5", "6.7"));
    EXPECT_EQ(0u, store.HaveFileTime("1.2.3", "4.5", nullptr));
    EXPECT_EQ(2, store.HaveFile("1.2.3", "4.5", "6.7"));
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    EXPECT_EQ(2, store.HaveDataset(ds));
    delete ds;
}

TEST(HaveQueries, StoredImage)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    ASSERT_EQ(0, store.WriteDataset(ds, 0, nullptr, 0));
    std::string image = dir / "uid/E2/E7/study_1.2.3/series_4.5/image_6.7.dcm";
    EXPECT_EQ(0, store.HaveDataset(ds));
    EXPECT_EQ(0, store.HaveFile("1.2.3", "4.5", "6.7"));
    EXPECT_EQ((uint32_t)fileSize(image), store.HaveFileSize("1.2.3", "4.5", "6.7"));
    struct stat st;
    ASSERT_EQ(0, stat((dir / "uid/E2/E7/study_1.2.3/series_4.5/IMAGEINDEX.dat").c_str(), &st));
    EXPECT_EQ((uint32_t)st.st_mtime, store.HaveFileTime("1.2.3", "4.5", nullptr));
    delete ds;
}

TEST(DiskSpace, ZeroBeforeTheFirstImageThenFigures)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    EXPECT_EQ(0u, store.LS_GetTotalSpace());
    EXPECT_EQ(0u, store.LS_GetFreeSpace());
    ASSERT_EQ(0, store.CreateUidPath(nullptr, nullptr));
    EXPECT_GT(store.LS_GetTotalSpace(), 0u);
    EXPECT_LE(store.LS_GetFreeSpace(), store.LS_GetTotalSpace());
}

TEST(Construction, NoHashFileLeavesTableEmpty)
{
    TempDir dir;
    LocalStore store(dir.c_str());
    EXPECT_EQ(0, store.getStudyTable().studyCount);
    EXPECT_EQ(nullptr, store.getStudyTable().studyTable);
    EXPECT_FALSE(store.mustUpdateStudyHash());
    EXPECT_EQ(std::vector<std::string>{}, listTree(dir.str()));
}
