// Deleting images, series and studies: the cascade through the index files
// and directories, results and messages, and deletes running while another
// process stores into the same series.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>

#include "index/studyindex.h"
#include "runtime/runtime.h"
#include "store/localstore.h"
#include "tests/index/querytest.h"

class DeleteTest : public StoreTest
{
protected:
    // Record i of an index file as raw bytes ("" when it is not there whole).
    std::string record(const std::string &file, long i, size_t size)
    {
        std::string all = readFile(file);
        if (all.size() < (i + 1) * size)
            return "";
        return all.substr(i * size, size);
    }
    std::string hashFile() { return dir / "uid/STUDYINDEX.hash"; }
    std::string dataFile() { return dir / "uid/STUDYINDEX.dat"; }
    std::string bucket(const char *study) { return store->GetUidBasePath(study).c_str(); }
    bool zero(const std::string &rec)
    {
        return !rec.empty() && rec == std::string(rec.size(), '\0');
    }
};

TEST_F(DeleteTest, OneOfTwoImages)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.2"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_EQ(1536, fileSize(indexPath("1.1", "1.1.1")));
    EXPECT_TRUE(zero(record(indexPath("1.1", "1.1.1"), 0, 768)));
    EXPECT_STREQ("1.1.1.2", record(indexPath("1.1", "1.1.1"), 1, 768).c_str());
    EXPECT_FALSE(exists(uidPath("1.1", "1.1.1", "1.1.1.1")));
    EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", "1.1.1.2")));
    EXPECT_STREQ("1.1.1", record(indexPath("1.1", nullptr), 0, 320).c_str());
    EXPECT_TRUE(log.contains("Del IMG\n"));
    EXPECT_TRUE(log.contains("Del IMG - unlink(" + uidPath("1.1", "1.1.1", "1.1.1.1") + ")\n"));
    EXPECT_FALSE(log.contains("Del SER"));
}

TEST_F(DeleteTest, LastImageTakesSeriesAndStudy)
{
    ASSERT_EQ(0, put("1.0", "1.0.1", "1.0.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1", {{DCM_Modality, "MR"}}));
    ASSERT_EQ(0, put("1.2", "1.2.1", "1.2.1.1"));
    std::string hashBefore = record(hashFile(), 1, 28);
    std::string studyDir = uidPath("1.1", nullptr, nullptr);
    ASSERT_TRUE(exists(studyDir));

    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_FALSE(exists(studyDir));
    EXPECT_FALSE(exists(bucket("1.1") + "/DELETEME"));
    EXPECT_TRUE(exists(bucket("1.1")));
    EXPECT_EQ(3 * 512, fileSize(dataFile()));
    EXPECT_TRUE(zero(record(dataFile(), 1, 512)));
    EXPECT_STREQ("1.2", record(dataFile(), 2, 512).c_str());
    // The summary stays, CRC included, with the deleted flag.
    std::string hashAfter = record(hashFile(), 1, 28);
    ASSERT_EQ(28u, hashAfter.size());
    std::string expected = hashBefore;
    expected[0] |= 1;
    EXPECT_EQ(expected, hashAfter);
    EXPECT_EQ(1u, store->getStudyTable().studyTable[1].patientNameBits & STUDYHASH_DELETED);
    EXPECT_EQ(0u, store->getStudyTable().studyTable[0].patientNameBits & STUDYHASH_DELETED);
    EXPECT_TRUE(log.contains("Del SERIES - movedown(" + indexPath("1.1", "1.1.1") + ")\n"));
    EXPECT_TRUE(log.contains("SERIES movehelp is " + bucket("1.1") + "\n"));
    EXPECT_TRUE(log.contains("Del STUDY - movedown(" + indexPath("1.1", nullptr) + ")\n"));
    EXPECT_TRUE(log.contains("Del SER rmdir(" + studyDir + ")\n"));

    // Compaction then removes the study from both files.
    EXPECT_EQ(1, store->compactStudyHash());
    EXPECT_EQ(2 * 512, fileSize(dataFile()));
    EXPECT_EQ(2 * 28, fileSize(hashFile()));
    EXPECT_STREQ("1.2", record(dataFile(), 1, 512).c_str());
}

TEST_F(DeleteTest, StoringTheStudyAgainMakesANewRecord)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_EQ(2 * 28, fileSize(hashFile()));
    QueryRun run = find({{DCM_QueryRetrieveLevel, "STUDY"}, {DCM_StudyInstanceUID, ""}});
    EXPECT_EQ((std::vector<std::string>{"1.1"}), run.column(DCM_StudyInstanceUID));
    run = find({{DCM_QueryRetrieveLevel, "IMAGE"}, {DCM_StudyInstanceUID, "1.1"}}, "IMAGE");
    EXPECT_EQ((std::vector<std::string>{"1.1.1.1"}), run.column(DCM_SOPInstanceUID));
}

TEST_F(DeleteTest, LastImageOfOneSeriesKeepsTheStudy)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.2", "1.1.2.1"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_FALSE(exists(uidPath("1.1", "1.1.1", nullptr)));
    EXPECT_TRUE(exists(uidPath("1.1", "1.1.2", "1.1.2.1")));
    EXPECT_TRUE(zero(record(indexPath("1.1", nullptr), 0, 320)));
    EXPECT_STREQ("1.1.2", record(indexPath("1.1", nullptr), 1, 320).c_str());
    EXPECT_STREQ("1.1", record(dataFile(), 0, 512).c_str());
    EXPECT_EQ(0u, store->getStudyTable().studyTable[0].patientNameBits & STUDYHASH_DELETED);
    EXPECT_FALSE(log.contains("Del STUDY"));
}

TEST_F(DeleteTest, ClearedRecordsDoNotKeepASeries)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.2"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.3"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.3"));
    EXPECT_TRUE(exists(uidPath("1.1", nullptr, nullptr)));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.2"));
    EXPECT_FALSE(exists(uidPath("1.1", nullptr, nullptr)));
}

TEST_F(DeleteTest, MissingEntriesAndFiles)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    struct Case {
        const char *what;
        const char *study, *series, *image;
        const char *message; // logged, or null
    } cases[] = {
        {"image not in the index", "1.1", "1.1.1", "1.1.1.9", "Del IMG - not found!\n"},
        {"series without image index", "1.1", "1.1.9", "1.1.9.1", nullptr},
        {"study without series index", "1.9", "1.9.1", "1.9.1.1", nullptr},
        {"series not in the series index", "1.1", "1.1.9", nullptr, "Del SERIES - not found!\n"},
        {"nothing given", nullptr, nullptr, nullptr, nullptr},
        {"image without series", "1.1", nullptr, "1.1.1.1", nullptr},
        {"series without study", nullptr, "1.1.1", nullptr, nullptr},
        {"empty study UID", "", "1.1.1", "1.1.1.1", nullptr},
    };
    for (const auto &c : cases) {
        size_t logBefore = log.text().size();
        EXPECT_EQ(1, store->DeleteFile(c.study, c.series, c.image)) << c.what;
        std::string logged = log.text().substr(logBefore);
        if (c.message) {
            EXPECT_NE(std::string::npos, logged.find(c.message)) << c.what;
        }
        EXPECT_EQ(std::string::npos, logged.find("unlink(")) << c.what;
        EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", "1.1.1.1"))) << c.what;
        EXPECT_STREQ("1.1.1.1", record(indexPath("1.1", "1.1.1"), 0, 768).c_str()) << c.what;
    }
    // The missing image index ends the call right after its first message.
    size_t logBefore = log.text().size();
    store->DeleteFile("1.1", "1.1.9", "1.1.9.1");
    std::string logged = log.text().substr(logBefore);
    size_t at = logged.find("Del IMG\n");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(std::string::npos, logged.find("Del", at + 1));
}

TEST_F(DeleteTest, SameImageTwice)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.2"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_EQ(1, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", "1.1.1.2")));
}

TEST_F(DeleteTest, SeriesAndStudyForms)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.2", "1.1.2.1"));
    // The series form leaves the image file below, so its directory stays.
    EXPECT_EQ(-1, store->DeleteFile("1.1", "1.1.1", nullptr));
    EXPECT_FALSE(exists(indexPath("1.1", "1.1.1")));
    EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", "1.1.1.1")));
    EXPECT_TRUE(zero(record(indexPath("1.1", nullptr), 0, 320)));
    EXPECT_TRUE(log.contains("Del SERIES rmdir " + uidPath("1.1", "1.1.1", nullptr) + " failed\n"));
    EXPECT_STREQ("1.1", record(dataFile(), 0, 512).c_str());

    // The study form: entry and series index gone, directory left.
    EXPECT_EQ(-1, store->DeleteFile("1.1", nullptr, nullptr));
    EXPECT_FALSE(exists(indexPath("1.1", nullptr)));
    EXPECT_TRUE(zero(record(dataFile(), 0, 512)));
    EXPECT_EQ(1u, store->getStudyTable().studyTable[0].patientNameBits & STUDYHASH_DELETED);
    EXPECT_FALSE(exists(bucket("1.1") + "/DELETEME"));
}

// Regression: a UID holding "/" led the delete's unlink and rmdir out of
// the UID tree.
TEST_F(DeleteTest, UidWithSlashIsRefused)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    writeFile(dir / "victim.dcm", "x");
    std::string climb = "1.1.1/../../../../../..";
    EXPECT_EQ(1, store->DeleteFile("1.1", "1.1.1", (climb + "/victim").c_str()));
    EXPECT_EQ(1, store->DeleteFile("1.1", climb.c_str(), nullptr));
    EXPECT_TRUE(exists(dir / "victim.dcm"));
    EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", "1.1.1.1")));
    EXPECT_TRUE(log.contains("Refusing SOP Instance UID"));
}

// Regression: the image and series records were searched and cleared
// without the lock under which stores write them.
TEST_F(DeleteTest, DeleteWaitsForTheWritersLock)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.2"));
    ASSERT_EQ(0, put("1.1", "1.1.2", "1.1.2.1"));
    struct Case {
        std::string lockedFile;
        const char *series, *image;
    } cases[] = {
        {indexPath("1.1", "1.1.1"), "1.1.1", "1.1.1.1"},
        {indexPath("1.1", nullptr), "1.1.2", nullptr},
    };
    for (const auto &c : cases) {
        long long start = nowMs();
        pid_t holder = holdLock(c.lockedFile, 400);
        ASSERT_GT(holder, 0);
        store->DeleteFile("1.1", c.series, c.image);
        long long waited = nowMs() - start;
        int status;
        waitpid(holder, &status, 0);
        EXPECT_GE(waited, 350) << c.lockedFile;
    }
}

// A writer process stores new images into a series while this process
// deletes the series' older images one by one: no store is lost, every
// delete holds.
TEST_F(DeleteTest, DeleteWhileAnotherProcessStoresIntoTheSeries)
{
    const int old = 40, fresh = 40;
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.0")); // stays: the series is never emptied
    for (int i = 1; i <= old; i++)
        ASSERT_EQ(0, put("1.1", "1.1.1", ("1.1.1.1." + std::to_string(i)).c_str()));
    ChildProcess writer([&](const std::function<void()> &awaitGo) {
        LocalStore own(dir.c_str());
        awaitGo();
        int failures = 0;
        for (int i = 1; i <= fresh; i++) {
            std::unique_ptr<DcmDataset> ds(
                makeImage("1.1", "1.1.1", ("1.1.1.2." + std::to_string(i)).c_str(), {}, 0));
            failures += own.WriteDataset(ds.get(), 1, nullptr, 0) != 0;
        }
        return failures;
    });
    writer.go();
    int deleteFailures = 0;
    for (int i = 1; i <= old; i++)
        deleteFailures +=
            store->DeleteFile("1.1", "1.1.1", ("1.1.1.1." + std::to_string(i)).c_str()) != 0;
    int storeFailures = writer.result();
    EXPECT_EQ(0, storeFailures);
    EXPECT_EQ(0, deleteFailures);

    QueryRun run =
        find({{DCM_QueryRetrieveLevel, "IMAGE"}, {DCM_StudyInstanceUID, "1.1"}}, "IMAGE");
    std::set<std::string> found;
    for (const auto &s : run.column(DCM_SOPInstanceUID))
        EXPECT_TRUE(found.insert(s).second) << "listed twice: " << s;
    EXPECT_EQ((size_t)(1 + fresh), found.size());
    for (int i = 1; i <= fresh; i++) {
        std::string sop = "1.1.1.2." + std::to_string(i);
        EXPECT_EQ(1u, found.count(sop)) << sop;
        EXPECT_TRUE(exists(uidPath("1.1", "1.1.1", sop.c_str()))) << sop;
    }
    for (int i = 1; i <= old; i++)
        EXPECT_FALSE(exists(uidPath("1.1", "1.1.1", ("1.1.1.1." + std::to_string(i)).c_str())));
    // Every record has its own slot: none was written over another.
    EXPECT_EQ((long)(1 + old + fresh) * 768, fileSize(indexPath("1.1", "1.1.1")));
}

// The series' last image is deleted while another process stores a new
// image into the same series: the store either succeeds and its image can
// be found, or it reports its failure.
TEST_F(DeleteTest, DeleteOfLastImageRacingAStore)
{
    int lost = 0, storedOk = 0;
    for (int round = 0; round < 30; round++) {
        std::string series = "1.1." + std::to_string(round);
        std::string gone = series + ".1", fresh = series + ".2";
        ASSERT_EQ(0, put("1.1", series.c_str(), gone.c_str()));
        ASSERT_EQ(0, put("1.1", "1.1.99", ("1.1.99." + std::to_string(round)).c_str()));
        ChildProcess writer([&](const std::function<void()> &awaitGo) {
            LocalStore own(dir.c_str());
            std::unique_ptr<DcmDataset> ds(makeImage("1.1", series.c_str(), fresh.c_str(), {}, 0));
            awaitGo();
            return own.WriteDataset(ds.get(), 1, nullptr, 0);
        });
        writer.go();
        // Different rounds meet the store at different steps.
        usleep((round % 10) * 400);
        store->DeleteFile("1.1", series.c_str(), gone.c_str());
        int stored = writer.result();
        if (stored != 0)
            continue;
        storedOk++;
        QueryRun run = find({{DCM_QueryRetrieveLevel, "IMAGE"},
                             {DCM_StudyInstanceUID, "1.1"},
                             {DCM_SeriesInstanceUID, series},
                             {DCM_SOPInstanceUID, fresh}});
        QueryRun listed = find({{DCM_QueryRetrieveLevel, "SERIES"},
                                {DCM_StudyInstanceUID, "1.1"},
                                {DCM_SeriesInstanceUID, series}});
        bool findable = run.responses.size() == 1 && listed.responses.size() == 1 &&
                        exists(uidPath("1.1", series.c_str(), fresh.c_str()));
        lost += !findable;
    }
    EXPECT_EQ(0, lost) << "of " << storedOk << " stores that reported success";
    // A failed store can leave its series listed without images; the other
    // series' images are all still listed.
    QueryRun all =
        find({{DCM_QueryRetrieveLevel, "IMAGE"}, {DCM_StudyInstanceUID, "1.1"}}, "IMAGE");
    EXPECT_EQ(1, all.last);
    EXPECT_EQ((size_t)(30 + storedOk), all.responses.size());
}

// The states a delete killed at each of its steps leaves, each with the
// intent file it had written: the next start finishes every one; an
// intent torn in its write (the delete had not begun) is dropped, one
// that a live process holds is left alone.
TEST_F(DeleteTest, FinishDeletesGoesOnWhereAKilledDeleteStopped)
{
    const char *studies[] = {"1.1", "1.2", "1.3", "1.4", "1.5", "1.6"};
    for (const char *s : studies) {
        std::string r = std::string(s) + ".1";
        ASSERT_EQ(0, put(s, r.c_str(), (r + ".1").c_str()));
    }
    ASSERT_EQ(0, put("1.7", "1.7.1", "1.7.1.1"));
    ASSERT_EQ(0, put("1.7", "1.7.1", "1.7.1.2"));
    auto intent = [&](const char *name, const std::string &text) {
        writeFile(path("uid/DELETING." + std::string(name)), text);
    };
    auto zeroRecord = [&](const std::string &file, size_t size) {
        writeFile(file, std::string(size, '\0') + readFile(file).substr(size));
    };
    // 1.1: killed before its first step.
    intent("1.0", "1.1\t1.1.1\t1.1.1.1\n");
    // 1.2: the image file and its record gone, the series level not begun.
    intent("1.1", "1.2\t1.2.1\t1.2.1.1\n");
    ASSERT_EQ(0, unlink(uidPath("1.2", "1.2.1", "1.2.1.1").c_str()));
    zeroRecord(indexPath("1.2", "1.2.1"), 768);
    // 1.3: the series level done, the study level not begun.
    intent("1.2", "1.3\t1.3.1\t1.3.1.1\n");
    ASSERT_EQ(0, unlink(uidPath("1.3", "1.3.1", "1.3.1.1").c_str()));
    ASSERT_EQ(0, unlink(indexPath("1.3", "1.3.1").c_str()));
    ASSERT_EQ(0, unlink((uidPath("1.3", "1.3.1", nullptr) + "/CHECKSUMS").c_str()));
    ASSERT_EQ(0, rmdir(uidPath("1.3", "1.3.1", nullptr).c_str()));
    zeroRecord(indexPath("1.3", nullptr), 320);
    // 1.4: killed between moving the image index aside and unlinking it.
    intent("1.3", "1.4\t1.4.1\t1.4.1.1\n");
    ASSERT_EQ(0, unlink(uidPath("1.4", "1.4.1", "1.4.1.1").c_str()));
    zeroRecord(indexPath("1.4", "1.4.1"), 768);
    zeroRecord(indexPath("1.4", nullptr), 320);
    ASSERT_EQ(0, rename(indexPath("1.4", "1.4.1").c_str(), (bucket("1.4") + "/DELETEME").c_str()));
    // 1.5: killed in the intent's own write.
    intent("1.4", "1.5\t1.5.1\t1.5");
    // 1.6: a delete still running in a live process.
    intent("1.5", "1.6\t1.6.1\t1.6.1.1\n");
    int held = open(path("uid/DELETING.1.5").c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(held, LOCK_EX));
    // 1.7: killed after its last step, before the intent was removed.
    ASSERT_EQ(0, store->DeleteFile("1.7", "1.7.1", "1.7.1.1"));
    intent("1.6", "1.7\t1.7.1\t1.7.1.1\n");

    EXPECT_EQ(5, store->FinishDeletes());
    close(held);
    for (const char *s : {"1.1", "1.2", "1.3", "1.4"}) {
        EXPECT_FALSE(exists(uidPath(s, nullptr, nullptr))) << s;
        EXPECT_FALSE(exists(bucket(s) + "/DELETEME")) << s;
    }
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(1u, store->getStudyTable().studyTable[i].patientNameBits & STUDYHASH_DELETED)
            << i;
    for (int i = 4; i < 7; i++)
        EXPECT_EQ(0u, store->getStudyTable().studyTable[i].patientNameBits & STUDYHASH_DELETED)
            << i;
    EXPECT_TRUE(exists(uidPath("1.5", "1.5.1", "1.5.1.1")));
    EXPECT_TRUE(exists(uidPath("1.6", "1.6.1", "1.6.1.1")));
    EXPECT_TRUE(exists(uidPath("1.7", "1.7.1", "1.7.1.2")));
    EXPECT_STREQ("1.7.1.2", record(indexPath("1.7", "1.7.1"), 1, 768).c_str());
    EXPECT_TRUE(
        log.contains("Dropping " + path("uid/DELETING.1.4") + ": its delete had not begun"));
    for (int n = 0; n < 7; n++)
        EXPECT_EQ(n == 5, exists(path("uid/DELETING.1." + std::to_string(n)))) << n;
    // The live one is finished by the next start after its holder died.
    EXPECT_EQ(1, store->FinishDeletes());
    EXPECT_FALSE(exists(uidPath("1.6", nullptr, nullptr)));
}

// A delete leaves no intent behind, whatever its result.
TEST_F(DeleteTest, DeleteRemovesItsIntent)
{
    ASSERT_EQ(0, put("1.1", "1.1.1", "1.1.1.1"));
    EXPECT_EQ(1, store->DeleteFile("1.1", "1.1.1", "1.1.1.9"));
    EXPECT_EQ(0, store->DeleteFile("1.1", "1.1.1", "1.1.1.1"));
    std::vector<std::string> left;
    DIR *d = opendir(path("uid").c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent *de = readdir(d))
        if (strncmp(de->d_name, "DELETING", 8) == 0)
            left.push_back(de->d_name);
    closedir(d);
    EXPECT_EQ(std::vector<std::string>(), left);
    EXPECT_EQ(0, store->FinishDeletes());
}
