// Writing a dataset: the index entries and files of a store, replace and
// append rules, refused input, failures that must leave nothing half-written,
// and concurrent writers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcvrlo.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "store/studylock.h"
#include "tests/store/storetest.h"

namespace
{

// Study 1.2.3 lies in the bucket E2/E7.
struct Store : TestStore {
    std::string studyDir() const { return B("uid/E2/E7/study_1.2.3"); }
    std::string seriesDir() const { return studyDir() + "/series_4.5"; }
};

} // namespace

TEST(WriteDataset, FirstImageCreatesIndexAndFile)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    EXPECT_EQ(28, fileSize(s.B("uid/STUDYINDEX.hash")));
    EXPECT_EQ(512, fileSize(s.B("uid/STUDYINDEX.dat")));
    EXPECT_EQ(320, fileSize(s.studyDir() + "/SERIESINDEX.dat"));
    EXPECT_EQ(768, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
    std::string image = s.seriesDir() + "/image_6.7.dcm";
    DcmFileFormat ff;
    ASSERT_TRUE(ff.loadFile(image.c_str()).good());
    OFString sop;
    ff.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop);
    EXPECT_EQ("6.7", std::string(sop.c_str()));
    EXPECT_EQ(EXS_LittleEndianExplicit, ff.getDataset()->getOriginalXfer());
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
    EXPECT_EQ(1, s.store.getStudyTable().studyCount);

    seriesrecord series;
    std::string bytes = readFile(s.studyDir() + "/SERIESINDEX.dat");
    memcpy(&series, bytes.data(), sizeof series);
    EXPECT_STREQ("4.5", series.seriesInstanceUid);
    EXPECT_STREQ("1.2.3", series.studyInstanceUid);
    EXPECT_EQ(0, memcmp(series.modality, "CT", 2));
    imagerecord image_rec;
    bytes = readFile(s.seriesDir() + "/IMAGEINDEX.dat");
    memcpy(&image_rec, bytes.data(), sizeof image_rec);
    EXPECT_STREQ("6.7", image_rec.sopInstanceUid);
    EXPECT_STREQ("4.5", image_rec.seriesInstanceUid);
    EXPECT_STREQ("1.2.3", image_rec.studyInstanceUid);
}

TEST(WriteDataset, SameImageAgainWithoutOverwriteRewritesNothing)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    std::string image = s.seriesDir() + "/image_6.7.dcm";
    std::string imageIndex = s.seriesDir() + "/IMAGEINDEX.dat";
    std::vector<std::string> files = {image, imageIndex, s.studyDir() + "/SERIESINDEX.dat",
                                      s.B("uid/STUDYINDEX.dat"), s.B("uid/STUDYINDEX.hash")};
    std::map<std::string, std::pair<long long, std::string>> before;
    for (const auto &f : files)
        before[f] = {mtimeNs(f), readFile(f)};
    usleep(20000);
    EXPECT_EQ(1, s.put("1.2.3", "4.5", "6.7"));
    EXPECT_TRUE(s.log.contains("Target file " + image + " exists - not storing.\n"));
    for (const auto &f : files) {
        EXPECT_EQ(before[f].second, readFile(f)) << f;
        EXPECT_EQ(before[f].first, mtimeNs(f)) << f;
    }
    // A refused copy with other contents changes no byte of any index file
    // either: the index keeps describing the file that stays.
    EXPECT_EQ(1, s.put("1.2.3", "4.5", "6.7",
                       {{DCM_ImageComments, "second copy"}, {DCM_PatientName, "SMITH^WRONG"}}));
    for (const auto &f : files) {
        EXPECT_EQ(before[f].second, readFile(f)) << f;
        EXPECT_EQ(before[f].first, mtimeNs(f)) << f;
    }
}

TEST(WriteDataset, OverwriteReplacesTheFile)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    std::string image = s.seriesDir() + "/image_6.7.dcm";
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7", {{DCM_ImageComments, "replaced"}}, 1));
    DcmFileFormat ff;
    ASSERT_TRUE(ff.loadFile(image.c_str()).good());
    OFString comment;
    ff.getDataset()->findAndGetOFString(DCM_ImageComments, comment);
    EXPECT_EQ("replaced", std::string(comment.c_str()));
    EXPECT_EQ(768, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
}

TEST(WriteDataset, SecondImageAppendsImageRecordOnly)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    long long seriesTime = mtimeNs(s.studyDir() + "/SERIESINDEX.dat");
    usleep(20000);
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
    EXPECT_EQ(1536, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
    EXPECT_EQ(seriesTime, mtimeNs(s.studyDir() + "/SERIESINDEX.dat"));
    EXPECT_EQ(28, fileSize(s.B("uid/STUDYINDEX.hash")));
}

TEST(WriteDataset, ChangedSeriesRecordIsReplacedInPlace)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7", {{DCM_SeriesDescription, "AX T1"}}));
    ASSERT_EQ(0, s.put("1.2.3", "4.6", "6.9"));
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8", {{DCM_SeriesDescription, "AX T2"}}));
    std::string bytes = readFile(s.studyDir() + "/SERIESINDEX.dat");
    ASSERT_EQ(640u, bytes.size());
    seriesrecord rec;
    memcpy(&rec, bytes.data(), sizeof rec);
    EXPECT_STREQ("4.5", rec.seriesInstanceUid);
    EXPECT_STREQ("AX T2", rec.seriesDescription);
}

TEST(WriteDataset, MissingUidReturns6AndCreatesNothing)
{
    struct Case {
        const char *study, *series, *sop;
        const char *message;
    } cases[] = {
        {nullptr, "4.5", "6.7", "No DCM_StudyInstanceUID?\n"},
        {"1.2.3", nullptr, "6.7", "No DCM_SeriesInstanceUID?\n"},
        {"1.2.3", "4.5", nullptr, "No DCM_SOPInstanceUID?\n"},
        {"", "4.5", "6.7", "No DCM_StudyInstanceUID?\n"},
    };
    for (const auto &c : cases) {
        Store s;
        EXPECT_EQ(6, s.put(c.study, c.series, c.sop));
        EXPECT_TRUE(s.log.contains(c.message)) << s.log.text();
        EXPECT_EQ(std::vector<std::string>{}, listTree(s.B()));
    }
}

// Pins the refusal of UIDs that would escape the UID tree, be cut short, or
// collide in the 64-byte index keys: nothing may be created for them.
TEST(WriteDataset, RefusedUidsCreateNothing)
{
    std::string tooLong = std::string(60, '1') + ".12345"; // 66 characters
    struct Case {
        std::string study, series, sop;
    } cases[] = {
        {"1.2/../../x", "4.5", "6.7"},
        {"1.2.3", "../4.5", "6.7"},
        {"1.2.3", "4.5", "6.7/../../../../../../tmp/evil"},
        {"1.2\n.3", "4.5", "6.7"},
        {"1.2.3", "4.5\x01", "6.7"},
        {tooLong, "4.5", "6.7"},
        {"1.2.3", tooLong, "6.7"},
        {"1.2.3", "4.5", tooLong},
    };
    for (const auto &c : cases) {
        Store s;
        // The toolkit strips white space from UI values; a peer can still
        // send a UID element with another VR, which keeps every byte.
        DcmDataset *ds = makeImage(nullptr, nullptr, nullptr);
        const std::pair<DcmTagKey, std::string> uids[] = {{DCM_StudyInstanceUID, c.study},
                                                          {DCM_SeriesInstanceUID, c.series},
                                                          {DCM_SOPInstanceUID, c.sop}};
        for (const auto &uid : uids) {
            DcmLongString *element = new DcmLongString(DcmTag(uid.first, EVR_LO));
            element->putString(uid.second.c_str());
            ds->insert(element, OFTrue);
        }
        EXPECT_EQ(6, s.store.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
        EXPECT_TRUE(s.log.contains("Refusing")) << s.log.text();
        EXPECT_EQ(std::vector<std::string>{}, listTree(s.B())) << c.study << " " << c.series;
    }
}

TEST(WriteDataset, UidWithEmbeddedNulIsRefused)
{
    Store s;
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    // A value whose NUL would cut "6.7" short of the rest.
    const char raw[] = "6.7\0/../../x";
    ds->putAndInsertString(DCM_SOPInstanceUID, raw, (Uint32)(sizeof raw - 1));
    EXPECT_EQ(6, s.store.WriteDataset(ds, 0, nullptr, 0));
    EXPECT_EQ(std::vector<std::string>{}, listTree(s.B()));
    delete ds;
}

TEST(WriteDataset, LongestUidsAreAcceptedAndLettersOrDotsAloneRefused)
{
    Store s;
    std::string uid64(64, '7');
    EXPECT_EQ(6, s.put(uid64.c_str(), "4.5a", "6.7b"));
    EXPECT_EQ(6, s.put("..", "4.5", "6.7"));
    EXPECT_EQ(6, s.put("1.2", "4.5", ".."));
    EXPECT_EQ(std::vector<std::string>{}, listTree(s.B()));
    ASSERT_EQ(0, s.put(uid64.c_str(), "4.5", "6.7"));
    // A second image of the 64-character study finds the same study record.
    ASSERT_EQ(0, s.put(uid64.c_str(), "4.5", "6.8"));
    EXPECT_EQ(28, fileSize(s.B("uid/STUDYINDEX.hash")));
    std::string bytes = readFile(s.B("uid/STUDYINDEX.dat"));
    ASSERT_EQ(512u, bytes.size());
    EXPECT_EQ(uid64, bytes.substr(0, 64)); // the key fills its field, no NUL
}

TEST(WriteDataset, MergesSecondImageIntoStudy)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7", {{DCM_StudyDescription, "HEAD"}}));
    ASSERT_EQ(0,
              s.put("1.2.3", "4.6", "6.8", {{DCM_Modality, "MR"}, {DCM_AccessionNumber, "A77"}}));
    std::string hash = readFile(s.B("uid/STUDYINDEX.hash"));
    std::string data = readFile(s.B("uid/STUDYINDEX.dat"));
    ASSERT_EQ(28u, hash.size());
    ASSERT_EQ(512u, data.size());
    studyhash h;
    studydata d;
    memcpy(&h, hash.data(), sizeof h);
    memcpy(&d, data.data(), sizeof d);
    EXPECT_EQ(MODALITY_CT | MODALITY_MR, h.modalityBits);
    EXPECT_EQ(0, memcmp(d.modalities, "CTMR\0\0", 6));
    EXPECT_STREQ("HEAD", d.studyDescription); // kept: the second image lacks it
    EXPECT_STREQ("A77", d.accessionNumber);
    EXPECT_EQ(0, memcmp(&h, &s.store.getStudyTable().studyTable[0], sizeof h));
}

// Pins the merge into a stale copy: another process merged into the study
// record in place (same record count); this process must merge into the
// file's record, not into its own older table entry.
TEST(WriteDataset, MergeStartsFromTheFilesRecord)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7")); // CT
    {
        LocalStore other(s.dir.c_str());
        DcmDataset *ds = makeImage("1.2.3", "4.6", "6.8", {{DCM_Modality, "MR"}});
        ASSERT_EQ(0, other.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
    }
    ASSERT_EQ(0, s.put("1.2.3", "4.7", "6.9", {{DCM_Modality, "US"}}));
    studyhash h;
    std::string hash = readFile(s.B("uid/STUDYINDEX.hash"));
    ASSERT_EQ(28u, hash.size());
    memcpy(&h, hash.data(), sizeof h);
    EXPECT_EQ(MODALITY_CT | MODALITY_MR | MODALITY_US, h.modalityBits);
}

TEST(WriteDataset, NewStudiesAppendAndTableFollows)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.put("1.2.4", "4.5", "6.7"));
    {
        // Another process adds a study: the next store reloads the table.
        LocalStore other(s.dir.c_str());
        DcmDataset *ds = makeImage("1.2.5", "4.5", "6.7");
        ASSERT_EQ(0, other.WriteDataset(ds, 0, nullptr, 0));
        delete ds;
    }
    ASSERT_EQ(0, s.put("1.2.6", "4.5", "6.7"));
    EXPECT_EQ(4, s.store.getStudyTable().studyCount);
    EXPECT_EQ(4 * 28, fileSize(s.B("uid/STUDYINDEX.hash")));
    EXPECT_EQ(4 * 512, fileSize(s.B("uid/STUDYINDEX.dat")));
    EXPECT_EQ(readFile(s.B("uid/STUDYINDEX.hash")),
              std::string((const char *)s.store.getStudyTable().studyTable, 4 * 28));
}

TEST(WriteDataset, MalformedHashFileGives3)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    writeFile(s.B("uid/STUDYINDEX.hash"), std::string(30, '\1'));
    EXPECT_EQ(3, s.put("1.2.3", "4.5", "6.8"));
    EXPECT_EQ(30, fileSize(s.B("uid/STUDYINDEX.hash")));
    EXPECT_FALSE(exists(s.seriesDir() + "/image_6.8.dcm"));
}

TEST(WriteDataset, UnconvertibleTransferSyntaxIsKept)
{
    const char *sample =
        "/usr/lib/python3/dist-packages/pydicom/data/test_files/SC_rgb_jpeg_dcmtk.dcm";
    if (access(sample, R_OK) != 0)
        GTEST_SKIP() << "no JPEG sample";
    DcmFileFormat in;
    ASSERT_TRUE(in.loadFile(sample).good());
    DcmDataset *ds = in.getDataset();
    E_TransferSyntax original = ds->getOriginalXfer();
    ASSERT_NE(EXS_LittleEndianExplicit, original);
    ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.3");
    ds->putAndInsertString(DCM_SeriesInstanceUID, "4.5");
    ds->putAndInsertString(DCM_SOPInstanceUID, "6.7");
    Store s;
    unsigned mask = logprintf_getmask();
    logprintf_setmaxlevel(128);
    EXPECT_EQ(0, s.store.WriteDataset(ds, 0, nullptr, 0));
    logprintf_setmaxlevel(mask == 0 ? 0 : (mask + 1) / 2);
    EXPECT_TRUE(
        s.log.contains("LocalStore::WriteDataset: Cannot write LE-Exp TS, using original.\n"));
    DcmFileFormat out;
    ASSERT_TRUE(out.loadFile((s.seriesDir() + "/image_6.7.dcm").c_str()).good());
    EXPECT_EQ(original, out.getDataset()->getOriginalXfer());
}

TEST(WriteDataset, LinkModes)
{
    Store s;
    std::string source = s.B("source.dcm");
    writeFile(source, "not really DICOM");
    DcmDataset *ds = makeImage("1.2.3", "4.5", "6.7");
    EXPECT_EQ(0, s.store.WriteDataset(ds, 0, source.c_str(), 1));
    char target[1024] = {0};
    ASSERT_GT(readlink((s.seriesDir() + "/image_6.7.dcm").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(source, target);
    EXPECT_EQ(768, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
    EXPECT_EQ(3, s.store.WriteDataset(ds, 1, source.c_str(), 1)); // link exists
    delete ds;
    ds = makeImage("1.2.3", "4.5", "6.8");
    EXPECT_EQ(3, s.store.WriteDataset(ds, 0, nullptr, 2));
    EXPECT_EQ(0, s.store.WriteDataset(ds, 0, source.c_str(), 2));
    struct stat a, b;
    ASSERT_EQ(0, stat(source.c_str(), &a));
    ASSERT_EQ(0, stat((s.seriesDir() + "/image_6.8.dcm").c_str(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino);
    delete ds;
}

// Runs one store in a child whose file size limit stands in for a full disk.
static int storeWithFileLimit(Store &s, long limit, const char *study, const char *series,
                              const char *sop, size_t pixels)
{
    return inChild([&]() {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {(rlim_t)limit, (rlim_t)limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        DcmDataset *ds = makeImage(study, series, sop, {}, pixels);
        int r = s.store.WriteDataset(ds, 0, nullptr, 0);
        delete ds;
        return r;
    });
}

// Pins the silent truncation of a full disk: the toolkit's saveFile reports
// success when its last buffered bytes cannot be written. Every cut point
// must give 3 and leave neither the image nor its temporary file.
TEST(WriteDataset, FullDiskWhileWritingTheImage)
{
    long full;
    {
        Store probe;
        ASSERT_EQ(0, probe.put("1.2.3", "4.5", "6.7", {}, 0, 20000));
        full = fileSize(probe.seriesDir() + "/image_6.7.dcm");
        ASSERT_GT(full, 20000);
    }
    for (long cut : {full - 1, full - 50, full - 5000, 10000L, 2000L}) {
        Store s;
        EXPECT_EQ(3, storeWithFileLimit(s, cut, "1.2.3", "4.5", "6.7", 20000)) << cut;
        EXPECT_FALSE(exists(s.seriesDir() + "/image_6.7.dcm")) << cut;
        EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty()) << cut;
        // The index is written only for a file in place: not even the
        // directories are made for an image that could not be written.
        EXPECT_FALSE(exists(s.B("uid/STUDYINDEX.hash"))) << cut;
        EXPECT_FALSE(exists(s.seriesDir())) << cut;
    }
}

// Pins the torn record of a failed append: the index files must keep whole
// records only (and the two study files one record per study each).
TEST(WriteDataset, FullDiskWhileAppendingIndexRecords)
{
    {
        Store s;
        ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
        ASSERT_EQ(0, s.put("1.2.4", "4.5", "6.7"));
        // The third study's data record (bytes 1024 to 1536) crosses the limit.
        EXPECT_EQ(3, storeWithFileLimit(s, 1100, "1.2.5", "4.5", "6.7", 64));
        EXPECT_EQ(1024, fileSize(s.B("uid/STUDYINDEX.dat")));
        EXPECT_EQ(56, fileSize(s.B("uid/STUDYINDEX.hash")));
    }
    {
        Store s;
        ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
        ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
        EXPECT_EQ(3, storeWithFileLimit(s, 1600, "1.2.3", "4.5", "6.9", 64));
        EXPECT_EQ(1536, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
        EXPECT_FALSE(exists(s.seriesDir() + "/image_6.9.dcm"));
        // Once there is room again the same image is stored normally.
        EXPECT_EQ(0, s.put("1.2.3", "4.5", "6.9"));
        EXPECT_EQ(2304, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
    }
}

TEST(WriteDataset, UnwritableStoreGives3AndLeavesNoTemporaryFile)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    int r = inChild([&]() {
        if (geteuid() == 0) {
            // root writes anywhere: become nobody, for whom the store is read-only.
            if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                return 99;
        } else if (system(("chmod -R a-w '" + s.B() + "'").c_str()) != 0) {
            return 98;
        }
        int results = 0;
        for (const char *sop : {"6.7", "6.8"}) {
            DcmDataset *ds = makeImage("1.2.3", "4.5", sop);
            results = results * 10 + s.store.WriteDataset(ds, 1, nullptr, 0);
            delete ds;
        }
        return results;
    });
    EXPECT_EQ(33, r);
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
    EXPECT_FALSE(exists(s.seriesDir() + "/image_6.8.dcm"));
    EXPECT_EQ(768, fileSize(s.seriesDir() + "/IMAGEINDEX.dat"));
}

// Pins a record lost to a concurrent delete: the delete holds the image
// index locked and moves it aside while a store waits for that lock; the
// store must write into the file that replaces it, not into the removed one.
TEST(WriteDataset, IndexMovedAsideWhileWaitingForItsLock)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    std::string index = s.seriesDir() + "/IMAGEINDEX.dat";
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(index.c_str(), O_RDWR);
        VLCompat_LockWholeFile(fd, F_WRLCK);
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        usleep(300000);
        std::string aside = s.B("uid/E2/E7/DELETEME");
        if (rename(index.c_str(), aside.c_str()) != 0 || unlink(aside.c_str()) != 0)
            _exit(2);
        _exit(0); // closing the descriptor releases the lock
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    EXPECT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    close(ready[0]);
    close(ready[1]);
    std::string bytes = readFile(index);
    ASSERT_EQ(768u, bytes.size());
    EXPECT_STREQ("6.8", bytes.c_str());
}

// Pins lost and duplicated records of concurrent writers: four processes
// store 250 images each into one series at the same time.
TEST(WriteDataset, ConcurrentWritersIntoOneSeries)
{
    Store s;
    enum { WRITERS = 4, EACH = 250 };
    std::vector<pid_t> pids;
    fflush(nullptr);
    for (int w = 0; w < WRITERS; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            LocalStore store(s.dir.c_str());
            int failures = 0;
            for (int i = 0; i < EACH; i++) {
                char sop[64];
                snprintf(sop, sizeof sop, "6.%d.%d", w, i);
                DcmDataset *ds = makeImage("1.2.3", "4.5", sop);
                failures += store.WriteDataset(ds, 0, nullptr, 0) != 0;
                delete ds;
            }
            _exit(failures > 0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(28, fileSize(s.B("uid/STUDYINDEX.hash")));
    EXPECT_EQ(512, fileSize(s.B("uid/STUDYINDEX.dat")));
    EXPECT_EQ(320, fileSize(s.studyDir() + "/SERIESINDEX.dat"));
    std::string index = readFile(s.seriesDir() + "/IMAGEINDEX.dat");
    ASSERT_EQ((size_t)WRITERS * EACH * 768, index.size());
    std::set<std::string> keys;
    for (size_t off = 0; off < index.size(); off += 768)
        keys.insert(std::string(index.data() + off, strnlen(index.data() + off, 64)));
    EXPECT_EQ((size_t)WRITERS * EACH, keys.size());
    EXPECT_EQ((size_t)WRITERS * EACH, findSuffix(s.seriesDir(), ".dcm").size());
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
}

// The write path remembers the keys of the series and image index it wrote
// last. These cases change the image index behind a store's back (through a
// second store on the same directory, as another worker would) and pin the
// records that a stale memory would have put in the wrong place.
namespace
{

// Keys of the image index's records, in file order ("" for a cleared one).
std::vector<std::string> imageKeys(const Store &s)
{
    std::vector<std::string> keys;
    std::string bytes = readFile(s.seriesDir() + "/IMAGEINDEX.dat");
    for (size_t off = 0; off + 768 <= bytes.size(); off += 768)
        keys.emplace_back(bytes.data() + off, strnlen(bytes.data() + off, 64));
    return keys;
}

int putWith(LocalStore &store, const char *sop, const char *comment, int overwrite)
{
    DcmDataset *ds = makeImage("1.2.3", "4.5", sop, {{DCM_ImageComments, comment}});
    int r = store.WriteDataset(ds, overwrite, nullptr, 0);
    delete ds;
    return r;
}

} // namespace

TEST(WriteDataset, RememberedIndexFollowsChangesByOthers)
{
    using Keys = std::vector<std::string>;
    struct Case {
        const char *name;
        // What the other process does after this store wrote 6.1 and 6.2.
        std::function<void(Store &, LocalStore &)> meanwhile;
        const char *sop; // what this store writes next (overwrite mode)
        Keys expected;
    } cases[] = {
        {"record appended by another: replaced, not duplicated",
         [](Store &, LocalStore &other) { ASSERT_EQ(0, putWith(other, "6.3", "b", 1)); }, "6.3",
         Keys{"6.1", "6.2", "6.3"}},
        {"record cleared by a delete: appended after the others, as a fresh store would",
         [](Store &, LocalStore &other) { ASSERT_EQ(0, other.DeleteFile("1.2.3", "4.5", "6.1")); },
         "6.1", Keys{"", "6.2", "6.1"}},
        {"index replaced (series emptied): written into the new file",
         [](Store &s, LocalStore &other) {
             ASSERT_EQ(0, other.DeleteFile("1.2.3", "4.5", "6.1"));
             ASSERT_EQ(0, other.DeleteFile("1.2.3", "4.5", "6.2"));
             ASSERT_FALSE(exists(s.seriesDir()));
             ASSERT_EQ(0, putWith(other, "6.9", "b", 0));
         },
         "6.2", Keys{"6.9", "6.2"}},
        {"index cut short by hand: the lost record is appended again",
         [](Store &s, LocalStore &) {
             ASSERT_EQ(0, truncate((s.seriesDir() + "/IMAGEINDEX.dat").c_str(), 768));
         },
         "6.2", Keys{"6.1", "6.2"}},
        {"damaged tail: the new record starts after the last whole one",
         [](Store &s, LocalStore &) {
             ASSERT_EQ(0, truncate((s.seriesDir() + "/IMAGEINDEX.dat").c_str(), 768 + 100));
         },
         "6.4", Keys{"6.1", "6.4"}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        Store s;
        LocalStore other(s.dir.c_str());
        other.setLogfile(s.log.stream());
        ASSERT_EQ(0, putWith(s.store, "6.1", "a", 1));
        ASSERT_EQ(0, putWith(s.store, "6.2", "a", 1));
        c.meanwhile(s, other);
        ASSERT_EQ(0, putWith(s.store, c.sop, "c", 1));
        EXPECT_EQ(c.expected, imageKeys(s));
        // The record written last holds this store's data.
        std::string bytes = readFile(s.seriesDir() + "/IMAGEINDEX.dat");
        for (size_t off = 0; off + 768 <= bytes.size(); off += 768) {
            imagerecord rec;
            memcpy(&rec, bytes.data() + off, sizeof rec);
            if (std::string(rec.sopInstanceUid) == c.sop) {
                EXPECT_STREQ("c", rec.imageComments);
            }
        }
    }
}

// The descriptors this process holds open (their targets), from /proc.
static std::vector<std::string> openTargets()
{
    std::vector<std::string> targets;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return targets;
    while (struct dirent *de = readdir(d)) {
        char target[4096];
        ssize_t n = readlinkat(dirfd(d), de->d_name, target, sizeof target - 1);
        if (n > 0)
            targets.push_back(std::string(target, (size_t)n));
    }
    closedir(d);
    return targets;
}

// The series directory is flushed through a descriptor kept from the
// flush before; once another process has deleted the series and made it
// anew, the flush goes to the new directory, never to the removed one.
TEST(WriteDataset, SyncWritesFlushesTheDirectoryThatIsThere)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    ASSERT_EQ(0, s.store.SyncWrites());
    {
        std::string base = s.B();
        LocalStore elsewhere(base.c_str());
        ASSERT_EQ(0, elsewhere.DeleteFile("1.2.3", "4.5", "6.7"));
        ASSERT_FALSE(exists(s.seriesDir()));
        std::unique_ptr<DcmDataset> ds(makeImage("1.2.3", "4.5", "6.9", {}, 64));
        ASSERT_EQ(0, elsewhere.WriteDataset(ds.get(), 0, nullptr, 0));
    }
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
    ASSERT_EQ(0, s.store.SyncWrites());
    std::vector<std::string> removed;
    for (const std::string &t : openTargets())
        if (t.rfind(s.B(), 0) == 0 && t.find(" (deleted)") != std::string::npos)
            removed.push_back(t);
    EXPECT_EQ(std::vector<std::string>(), removed);
    std::vector<std::string> targets = openTargets();
    EXPECT_NE(targets.end(), std::find(targets.begin(), targets.end(), s.seriesDir()));
    EXPECT_FALSE(s.log.contains("Cannot"));
}

TEST(WriteDataset, SyncEachImageStillStoresAndSyncWritesReportsSuccess)
{
    Store s;
    EXPECT_EQ(0, s.store.SyncWrites()); // nothing written yet
    s.store.setSyncEachImage(1);
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    s.store.setSyncEachImage(0);
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.8"));
    EXPECT_EQ(0, s.store.SyncWrites());
    EXPECT_EQ((std::vector<std::string>{"6.7", "6.8"}), imageKeys(s));
    EXPECT_TRUE(exists(s.seriesDir() + "/image_6.7.dcm"));
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
    EXPECT_FALSE(s.log.contains("Cannot"));
}

namespace
{

// The live image records of the series' image index.
std::vector<std::string> indexedIn(const std::string &seriesDir)
{
    std::vector<std::string> keys;
    std::string bytes = readFile(seriesDir + "/IMAGEINDEX.dat");
    for (size_t off = 0; off + 768 <= bytes.size(); off += 768)
        if (bytes[off] != '\0')
            keys.emplace_back(bytes.data() + off, strnlen(bytes.data() + off, 64));
    return keys;
}

// The bytes of an image file as the store writes it.
std::string imageBytes(const char *study, const char *series, const char *sop)
{
    Store other;
    EXPECT_EQ(0, other.put(study, series, sop));
    return readFile(other.store.GetUidPath(study, series, sop, 1).c_str());
}

} // namespace

// What a store killed at each stage leaves in B/uid as STORING.*.tmp, and
// what the next start (FinishStores) makes of it: a file placed under its
// name but not (or not wholly) indexed is entered; one never placed goes,
// with the empty directories made for it; one cut short goes; one that a
// live writer holds locked stays.
TEST(WriteDataset, AStoreCutShortIsFinishedAtTheNextStart)
{
    Store s;
    ASSERT_EQ(0, s.put("1.2.3", "4.5", "6.7"));
    std::string placedTmp = s.B("uid/STORING.99999.0.tmp");
    writeFile(placedTmp, imageBytes("1.2.3", "4.5", "6.8"));
    ASSERT_EQ(0, link(placedTmp.c_str(), (s.seriesDir() + "/image_6.8.dcm").c_str()));

    std::string unplacedTmp = s.B("uid/STORING.99999.1.tmp");
    writeFile(unplacedTmp, imageBytes("1.2.4", "4.6", "6.9"));
    std::string unplacedSeries = s.store.GetUidPath("1.2.4", "4.6", nullptr, 1).c_str();
    ASSERT_EQ(0, s.store.CreateUidPath("1.2.4", "4.6"));

    std::string cutTmp = s.B("uid/STORING.99999.2.tmp");
    writeFile(cutTmp, imageBytes("1.2.3", "4.5", "6.10").substr(0, 300));

    std::string liveTmp = s.B("uid/STORING.99999.3.tmp");
    writeFile(liveTmp, imageBytes("1.2.3", "4.5", "6.11"));
    int live = open(liveTmp.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(live, LOCK_EX));

    EXPECT_EQ(1, s.store.FinishStores());
    EXPECT_EQ((std::vector<std::string>{"6.7", "6.8"}), indexedIn(s.seriesDir()));
    EXPECT_TRUE(exists(s.seriesDir() + "/image_6.8.dcm"));
    EXPECT_FALSE(exists(placedTmp));
    EXPECT_FALSE(exists(unplacedTmp));
    EXPECT_FALSE(exists(unplacedSeries));
    EXPECT_FALSE(exists(unplacedSeries.substr(0, unplacedSeries.rfind('/'))));
    EXPECT_FALSE(exists(cutTmp));
    EXPECT_TRUE(exists(liveTmp));
    EXPECT_TRUE(s.log.contains("Entered " + s.seriesDir() + "/image_6.8.dcm in the index"));
    close(live);
    // Its writer gone, the last one is finished too: never placed, removed.
    EXPECT_EQ(0, s.store.FinishStores());
    EXPECT_TRUE(findSuffix(s.B(), ".tmp").empty());
}

// The lock file made by root (storeindex rebuild finishing a delete) goes
// to the owner of the UID tree, so that a server running as that user can
// still lock it.
// Two stores in one process (two archives, a second node in a test) lock
// a study apart, as two processes do: each takes its locks through its own
// descriptor, so the second waits until the first lets go. One descriptor
// for the whole process made both holders at once.
TEST(StudyLock, TwoStoresInOneProcessLockApart)
{
    Store s;
    ASSERT_EQ(0, s.store.CreateUidPath(nullptr, nullptr));
    LocalStore other(s.dir.c_str());
    std::string uidDir = s.B("uid");
    studylock first;
    ASSERT_EQ(0,
              studylock_acquire(s.store.getStudyLocks(), &first, uidDir.c_str(), "1.2.3", nullptr));
    std::atomic<bool> got(false);
    std::thread second([&] {
        studylock lock;
        if (studylock_acquire(other.getStudyLocks(), &lock, uidDir.c_str(), "1.2.3", nullptr) == 0)
            got = true;
    });
    // Waits for as long as the first holds it (a second that got it would
    // be done within this time).
    usleep(200 * 1000);
    EXPECT_FALSE(got);
    studylock_release(&first);
    second.join();
    EXPECT_TRUE(got);
}

TEST(StudyLock, MadeByRootItBelongsToTheTreesOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Store s;
    ASSERT_EQ(0, s.store.CreateUidPath(nullptr, nullptr));
    ASSERT_EQ(0, chown(s.B("uid").c_str(), 65534, 65534));
    studylock_file file;
    studylock lock;
    ASSERT_EQ(0, studylock_acquire(&file, &lock, s.B("uid").c_str(), "1.2.3", nullptr));
    struct stat st;
    ASSERT_EQ(0, stat(s.B("uid/" STUDYLOCK_FILE).c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(65534u, st.st_gid);
}

TEST(StudyLock, AllWaitsForEveryHolderAndHoldsEveryStudy)
{
    Store s;
    ASSERT_EQ(0, s.store.CreateUidPath(nullptr, nullptr));
    LocalStore backup(s.dir.c_str()), third(s.dir.c_str());
    std::string uidDir = s.B("uid");
    studylock one;
    ASSERT_EQ(0,
              studylock_acquire(s.store.getStudyLocks(), &one, uidDir.c_str(), "1.2.3", nullptr));
    std::atomic<bool> gotAll(false);
    studylock all;
    std::thread taker([&] {
        if (studylock_acquireAll(backup.getStudyLocks(), &all, uidDir.c_str(), nullptr, 10) == 0)
            gotAll = true;
    });
    // Waits for as long as a study's lock is held (as in the test above).
    usleep(200 * 1000);
    EXPECT_FALSE(gotAll);
    studylock_release(&one);
    taker.join();
    ASSERT_TRUE(gotAll);
    // Now no study can be locked by anyone else, whichever its byte.
    std::atomic<bool> gotOther(false);
    std::thread other([&] {
        studylock lock;
        if (studylock_acquire(third.getStudyLocks(), &lock, uidDir.c_str(), "9.8.7.6", nullptr) ==
            0)
            gotOther = true;
    });
    usleep(200 * 1000);
    EXPECT_FALSE(gotOther);
    studylock_release(&all);
    other.join();
    EXPECT_TRUE(gotOther);
}

TEST(StudyLock, OneBackupAtATime)
{
    Store s;
    ASSERT_EQ(0, s.store.CreateUidPath(nullptr, nullptr));
    LocalStore other(s.dir.c_str());
    std::string uidDir = s.B("uid");
    studylock first, second, study;
    ASSERT_EQ(0, studylock_tryBackup(s.store.getStudyLocks(), &first, uidDir.c_str(), nullptr));
    EXPECT_EQ(1, studylock_tryBackup(other.getStudyLocks(), &second, uidDir.c_str(), nullptr));
    // The backup's byte is no study's: stores go on beside a backup.
    EXPECT_EQ(0,
              studylock_acquire(other.getStudyLocks(), &study, uidDir.c_str(), "1.2.3", nullptr));
    studylock_release(&study);
    studylock_release(&first);
    EXPECT_EQ(0, studylock_tryBackup(other.getStudyLocks(), &second, uidDir.c_str(), nullptr));
}

TEST(StudyLock, AllGivesUpAfterItsWaitAndKeepsNothing)
{
    Store s;
    ASSERT_EQ(0, s.store.CreateUidPath(nullptr, nullptr));
    LocalStore backup(s.dir.c_str()), other(s.dir.c_str());
    std::string uidDir = s.B("uid");
    studylock one, all, study;
    ASSERT_EQ(0,
              studylock_acquire(s.store.getStudyLocks(), &one, uidDir.c_str(), "1.2.3", nullptr));
    errno = 0;
    EXPECT_EQ(-1, studylock_acquireAll(backup.getStudyLocks(), &all, uidDir.c_str(), nullptr, 0.2));
    EXPECT_EQ(ETIMEDOUT, errno);
    // The studies taken on the way are free again.
    EXPECT_EQ(0,
              studylock_acquire(other.getStudyLocks(), &study, uidDir.c_str(), "9.8.7.6", nullptr));
}
