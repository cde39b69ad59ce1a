// The forwarding rules and queue (core/forward.h): the rules file is read
// with its options and conditions, and a malformed line is refused naming
// its line; an image gets the jobs of exactly the rules it matches (keys
// matched as C-FIND matches them, the calling title by pattern); a quiet
// rule makes one job per study that later images refresh; a job's sent
// images are counted from its .done file, a cut last line not counted; a
// failed job is retried; the retry wait doubles up to its cap; the jobs
// of an image being stored are held until kept or dropped, and a start
// settles what a dead store left held; a destination is paused and its
// jobs retried all at once; the history of finished jobs is kept for its
// time and bounded in bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcmetinf.h"

#include "core/forward.h"
#include "tests/store/storetest.h"

static int parse(const std::string &text, forward_rules *rules, std::string *error)
{
    char e[256] = "";
    int r = forward_parseRules(text, rules, e, sizeof e);
    *error = e;
    return r;
}

TEST(ForwardRules, OptionsAndConditionsRead)
{
    forward_rules rules;
    std::string error;
    ASSERT_EQ(
        parse("# site rules\n"
              "max-attempts 3\n"
              "\n"
              "PACS2 when=store calling=CT* Modality=CT   # CT from the scanners\n"
              "ARCH when=quiet:90 syntax=explicit (0008,0016)=1.2.840.10008.5.1.4.1.1.2\n"
              "LAB when=quiet syntax=implicit \"StudyDescription=CT HEAD\" StudyDate=20240101-\n",
              &rules, &error),
        0)
        << error;
    EXPECT_EQ(rules.maxAttempts, 3);
    ASSERT_EQ(rules.rules.size(), 3u);
    const forward_rule &a = rules.rules[0], &b = rules.rules[1], &c = rules.rules[2];
    EXPECT_EQ(a.line, 4);
    EXPECT_EQ(a.destination, "PACS2");
    EXPECT_EQ(a.when, FORWARD_ON_STORE);
    EXPECT_EQ(a.syntax, FORWARD_SYNTAX_STORED);
    EXPECT_EQ(a.calling, "CT*");
    ASSERT_EQ(a.conditions.size(), 1u);
    EXPECT_EQ(a.conditions[0].tag, DCM_Modality);
    EXPECT_EQ(b.when, FORWARD_ON_QUIET);
    EXPECT_EQ(b.quiet, 90u);
    EXPECT_EQ(b.syntax, FORWARD_SYNTAX_EXPLICIT);
    ASSERT_EQ(b.conditions.size(), 1u);
    EXPECT_EQ(b.conditions[0].tag, DCM_SOPClassUID);
    EXPECT_EQ(c.quiet, (unsigned)FORWARD_DEFAULT_QUIET);
    EXPECT_EQ(c.syntax, FORWARD_SYNTAX_IMPLICIT);
    ASSERT_EQ(c.conditions.size(), 2u);
    EXPECT_EQ(c.conditions[0].value, "CT HEAD");
}

TEST(ForwardRules, MalformedLinesRefusedWithTheirNumber)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"PACS when=later\n", "line 1: when must be"},
        {"# ok\nPACS when=quiet:0\n", "line 2: when must be"},
        {"\n\nPACS syntax=jpeg\n", "line 3: syntax must be"},
        {"PACS NoSuchKeyword=1\n", "line 1: unknown attribute NoSuchKeyword"},
        {"PACS StudyDate=20241345\n", "line 1: malformed DA key"},
        {"PACS SOPClassUID=1.2.x\n", "line 1: malformed UI key"},
        {"PACS Modality\n", "line 1: expected NAME=VALUE"},
        {"PACS PixelData=1\n", "line 1: attribute PixelData cannot be matched"},
        {"A_TITLE_FAR_TOO_LONG when=store\n", "line 1: a rule starts with the destination"},
        {"when=store\n", "line 1: a rule starts with the destination"},
        {"max-attempts 0\n", "line 1: max-attempts takes"},
        {"PACS calling=\n", "line 1: calling must be"},
    };
    for (const auto &c : cases) {
        forward_rules rules;
        rules.rules.emplace_back();
        std::string error;
        EXPECT_EQ(parse(c.text, &rules, &error), -1) << c.text;
        EXPECT_EQ(error.compare(0, strlen(c.error), c.error), 0) << c.text << " -> " << error;
        EXPECT_TRUE(rules.rules.empty()) << c.text;
    }
}

TEST(ForwardRules, FileAlongPathOrGiven)
{
    TempDir dir;
    forward_rules rules;
    char error[256] = "";
    EXPECT_EQ(forward_loadRules((dir / "none").c_str(), &rules, error, sizeof error), -1);
    writeFile(dir / "ForwardRules", "PACS\nPACS Modality=(\n");
    EXPECT_EQ(forward_loadRules((dir / "ForwardRules").c_str(), &rules, error, sizeof error), 0)
        << error;
    EXPECT_EQ(rules.path, dir / "ForwardRules");
    EXPECT_EQ(rules.rules.size(), 2u);
}

static DcmDataset image(const char *modality, const char *instance)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_Modality, modality);
    ds.putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    ds.putAndInsertString(DCM_SOPInstanceUID, instance);
    ds.putAndInsertString(DCM_PatientName, "Doe^John");
    ds.putAndInsertString(DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
    return ds;
}

TEST(ForwardQueue, JobsOfTheMatchingRulesOnly)
{
    TempDir base;
    forward_rules rules;
    std::string error;
    ASSERT_EQ(parse("CTDEST calling=CT? Modality=CT\n"
                    "NAMES PatientName=doe*\n" // person names match without case
                    "AXIAL ImageType=AXIAL\n"  // one value of a multi-valued code string
                    "NEVER Modality=MR\n"
                    "QUIET when=quiet:60 syntax=explicit\n",
                    &rules, &error),
              0)
        << error;
    DcmDataset ds = image("CT", "1.2.3.1");
    ASSERT_EQ(forward_noteStored(base.c_str(), &rules, &ds, "CT1", "1.2.3", "1.2.3.9", "1.2.3.1",
                                 nullptr),
              0);
    std::vector<forward_job> jobs;
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    std::vector<std::string> dests;
    for (const forward_job &j : jobs)
        dests.push_back(j.destination);
    std::sort(dests.begin(), dests.end());
    EXPECT_EQ(dests, (std::vector<std::string>{"AXIAL", "CTDEST", "NAMES", "QUIET"}));
    for (const forward_job &j : jobs) {
        EXPECT_EQ(j.state, FORWARD_PENDING);
        EXPECT_EQ(j.study, "1.2.3");
        if (j.destination == "QUIET") {
            EXPECT_EQ(j.quiet, 60u);
            EXPECT_EQ(j.instance, "");
            EXPECT_EQ(j.syntax, FORWARD_SYNTAX_EXPLICIT);
            EXPECT_EQ(j.id.compare(0, 2, "q-"), 0);
        } else {
            EXPECT_EQ(j.instance, "1.2.3.1");
            EXPECT_EQ(j.series, "1.2.3.9");
            EXPECT_EQ(j.total, 1);
        }
    }

    // Another caller: not CTDEST's; a later image of the study refreshes the
    // quiet job instead of making another.
    forward_job quiet;
    for (const forward_job &j : jobs)
        if (j.destination == "QUIET")
            quiet = j;
    usleep(20000);
    DcmDataset second = image("CT", "1.2.3.2");
    ASSERT_EQ(forward_noteStored(base.c_str(), &rules, &second, "MR1", "1.2.3", "1.2.3.9",
                                 "1.2.3.2", nullptr),
              0);
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 6u); // AXIAL and NAMES again; QUIET refreshed
    forward_job again;
    ASSERT_EQ(forward_read(base.c_str(), quiet.id, &again), 1);
    EXPECT_GT(again.touchedNs, quiet.touchedNs);
    size_t pending = 0, failed = 0;
    forward_counts(base.c_str(), &pending, &failed);
    EXPECT_EQ(pending, 6u);
    EXPECT_EQ(failed, 0u);
}

// The on-store jobs of an image being stored are held (not listed) until
// kept or dropped; what a dead store left held is settled by whether its
// image is stored, and one a live store holds is left alone.
static bool storedIfFirst(void *, const forward_job &job)
{
    return job.instance == "1.2.3.1";
}

TEST(ForwardQueue, HeldJobsKeptDroppedOrSettled)
{
    TempDir base;
    forward_rules rules;
    std::string error;
    ASSERT_EQ(parse("ONE\nTWO Modality=CT\n", &rules, &error), 0) << error;
    DcmDataset ds = image("CT", "1.2.3.1");
    std::vector<forward_job> jobs;

    forward_held kept;
    ASSERT_EQ(forward_hold(base.c_str(), &rules, &ds, "CT1", "1.2.3", "1.2.3.9", "1.2.3.1", &kept,
                           nullptr),
              0);
    EXPECT_EQ(kept.ids.size(), 2u);
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_TRUE(jobs.empty()); // the forwarder sees nothing yet
    ASSERT_EQ(forward_keep(base.c_str(), &kept, nullptr), 0);
    EXPECT_TRUE(kept.ids.empty());
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 2u);

    forward_held dropped;
    DcmDataset second = image("CT", "1.2.3.2");
    ASSERT_EQ(forward_hold(base.c_str(), &rules, &second, "CT1", "1.2.3", "1.2.3.9", "1.2.3.2",
                           &dropped, nullptr),
              0);
    forward_drop(base.c_str(), &dropped);
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 2u);

    // A store that died after its hold (left unlocked), for an image that is
    // stored and one that is not; one held by a live store; one torn.
    forward_held dead, deadMissing, live;
    DcmDataset third = image("MR", "1.2.3.1");
    ASSERT_EQ(forward_hold(base.c_str(), &rules, &third, "CT1", "1.2.3", "1.2.3.9", "1.2.3.1",
                           &dead, nullptr),
              0);
    DcmDataset fourth = image("MR", "1.2.3.4");
    ASSERT_EQ(forward_hold(base.c_str(), &rules, &fourth, "CT1", "1.2.3", "1.2.3.9", "1.2.3.4",
                           &deadMissing, nullptr),
              0);
    ASSERT_EQ(forward_hold(base.c_str(), &rules, &fourth, "CT1", "1.2.3", "1.2.3.9", "1.2.3.1",
                           &live, nullptr),
              0);
    forward_leaveHeld(&dead);
    forward_leaveHeld(&deadMissing);
    std::string torn = forward_dir(base.c_str()) + "/0000000001-000000001-1-0.held";
    int fd = open(torn.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "destination ONE\nstudy 1.2.3\n", 28), 28);
    close(fd);
    EXPECT_EQ(forward_settleHeld(base.c_str(), storedIfFirst, nullptr, nullptr), 1);
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 3u);
    EXPECT_NE(access(torn.c_str(), F_OK), 0);
    ASSERT_EQ(live.ids.size(), 1u);
    EXPECT_EQ(access((forward_dir(base.c_str()) + "/" + live.ids[0] + ".held").c_str(), F_OK), 0);
    ASSERT_EQ(forward_keep(base.c_str(), &live, nullptr), 0);
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 4u);
}

TEST(ForwardQueue, SentCountedFailedRetriedFinished)
{
    TempDir base;
    forward_job job;
    job.destination = "PACS";
    job.study = "1.2.3";
    job.origin = "web alice";
    job.total = 3;
    ASSERT_EQ(forward_submit(base.c_str(), &job, nullptr), 0);
    ASSERT_EQ(forward_noteSent(base.c_str(), job.id, "1.2.3.1", nullptr), 0);
    ASSERT_EQ(forward_noteSent(base.c_str(), job.id, "1.2.3.2", nullptr), 0);
    // A line a crash cut short does not count.
    int fd = open((base / ("forward/" + job.id + ".done")).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1.2.3", 5), 5);
    close(fd);
    forward_job read;
    ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
    EXPECT_EQ(read.sent, 2);
    std::set<std::string> sent;
    forward_sentSet(base.c_str(), job.id, &sent);
    EXPECT_EQ(sent, (std::set<std::string>{"1.2.3.1", "1.2.3.2"}));

    // Only a failed job can be retried.
    EXPECT_EQ(forward_retry(base.c_str(), job.id, nullptr), 0);
    read.state = FORWARD_FAILED;
    read.attempts = 4;
    read.error = "cannot\nconnect";
    ASSERT_EQ(forward_write(base.c_str(), read, nullptr), 0);
    ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
    EXPECT_EQ(read.error, "cannot?connect");
    EXPECT_EQ(forward_retry(base.c_str(), job.id, nullptr), 1);
    ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
    EXPECT_EQ(read.state, FORWARD_PENDING);
    EXPECT_EQ(read.attempts, 0);
    EXPECT_EQ(forward_retry(base.c_str(), "../../etc/passwd", nullptr), 0);
    EXPECT_EQ(forward_read(base.c_str(), "../x", &read), 0);

    // A web job is kept as done; a rule's job goes with its record.
    ASSERT_EQ(forward_finish(base.c_str(), read, read.touchedNs, nullptr), 0);
    ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
    EXPECT_EQ(read.state, FORWARD_DONE);
    read.origin = "rule 2";
    ASSERT_EQ(forward_finish(base.c_str(), read, read.touchedNs, nullptr), 0);
    EXPECT_FALSE(exists(base / ("forward/" + job.id + ".job")));
    EXPECT_FALSE(exists(base / ("forward/" + job.id + ".done")));
}

TEST(ForwardQueue, QuietJobTouchedWhileSentStays)
{
    TempDir base;
    forward_rules rules;
    std::string error;
    ASSERT_EQ(parse("Q when=quiet:5\n", &rules, &error), 0);
    DcmDataset ds = image("CT", "1.2.3.1");
    ASSERT_EQ(
        forward_noteStored(base.c_str(), &rules, &ds, "", "1.2.3", "1.2.3.9", "1.2.3.1", nullptr),
        0);
    std::vector<forward_job> jobs;
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    ASSERT_EQ(jobs.size(), 1u);
    long long taken = jobs[0].touchedNs;
    // A failed try rewrites the job; the study's quiet time goes on.
    usleep(20000);
    forward_job tried = jobs[0];
    tried.attempts = 1;
    ASSERT_EQ(forward_write(base.c_str(), tried, nullptr), 0);
    forward_job reread;
    ASSERT_EQ(forward_read(base.c_str(), tried.id, &reread), 1);
    EXPECT_EQ(reread.attempts, 1);
    EXPECT_EQ(reread.touchedNs, taken);
    usleep(20000);
    ASSERT_EQ(
        forward_noteStored(base.c_str(), &rules, &ds, "", "1.2.3", "1.2.3.9", "1.2.3.2", nullptr),
        0);
    // A new image came while it was being sent: it stays for the next try.
    ASSERT_EQ(forward_finish(base.c_str(), jobs[0], taken, nullptr), 0);
    forward_job after;
    ASSERT_EQ(forward_read(base.c_str(), jobs[0].id, &after), 1);
    EXPECT_EQ(after.state, FORWARD_PENDING);
    ASSERT_EQ(forward_finish(base.c_str(), after, after.touchedNs, nullptr), 0);
    EXPECT_EQ(forward_read(base.c_str(), jobs[0].id, &after), 0);
}

TEST(ForwardQueue, RetryWaitDoublesToItsCap)
{
    EXPECT_EQ(forward_retryWait(10, 1), 10);
    EXPECT_EQ(forward_retryWait(10, 2), 20);
    EXPECT_EQ(forward_retryWait(10, 4), 80);
    EXPECT_EQ(forward_retryWait(10, 30), FORWARD_MAX_WAIT);
    EXPECT_EQ(forward_retryWait(1, 1000), FORWARD_MAX_WAIT);
}

TEST(ForwardLoops, OwnTitleFoundAndCallerNeverADestination)
{
    TempDir base;
    forward_rules rules;
    std::string error;
    ASSERT_EQ(parse("PEER\n# comment\nARCHIVE Modality=CT\n", &rules, &error), 0) << error;
    EXPECT_EQ(forward_ruleTo(&rules, "ARCHIVE"), 3);
    EXPECT_EQ(forward_ruleTo(&rules, " ARCHIVE  "), 3);
    EXPECT_EQ(forward_ruleTo(&rules, "OTHER"), 0);
    EXPECT_EQ(forward_ruleTo(&rules, ""), 0);
    // An image from PEER makes no job back to PEER (ARCHIVE's rule still
    // takes it).
    DcmDataset ds = image("CT", "1.2.3.1");
    ASSERT_EQ(forward_noteStored(base.c_str(), &rules, &ds, "PEER", "1.2.3", "1.2.3.9", "1.2.3.1",
                                 nullptr),
              0);
    std::vector<forward_job> jobs;
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].destination, "ARCHIVE");
}

TEST(ForwardLoops, DeliveryRecordsByFingerprintOfTheDataSet)
{
    TempDir base;
    // Two files of one data set with other meta headers, and a changed one.
    DcmDataset ds = image("CT", "1.2.3.1");
    std::string a = std::string(base.c_str()) + "/a.dcm", b = std::string(base.c_str()) + "/b.dcm",
                c = std::string(base.c_str()) + "/c.dcm";
    DcmFileFormat fa(&ds), fb(&ds);
    fb.getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, "SOMEONE_ELSE");
    ASSERT_TRUE(fa.saveFile(a.c_str(), EXS_LittleEndianExplicit).good());
    ASSERT_TRUE(fb.saveFile(b.c_str(), EXS_LittleEndianExplicit).good());
    DcmDataset changed = image("CT", "1.2.3.1");
    changed.putAndInsertString(DCM_PatientName, "CHANGED^NAME");
    DcmFileFormat fc(&changed);
    ASSERT_TRUE(fc.saveFile(c.c_str(), EXS_LittleEndianExplicit).good());
    std::string pa, pb, pc;
    ASSERT_TRUE(forward_fingerprint(a, &pa));
    ASSERT_TRUE(forward_fingerprint(b, &pb));
    ASSERT_TRUE(forward_fingerprint(c, &pc));
    EXPECT_EQ(pa, pb);
    EXPECT_NE(pa, pc);
    EXPECT_FALSE(forward_fingerprint(std::string(base.c_str()) + "/none.dcm", &pa));

    EXPECT_FALSE(forward_deliveredBefore(base.c_str(), "DEST", "1.2.3.1", pb));
    forward_noteDelivered(base.c_str(), "DEST", "1.2.3.1", pb);
    EXPECT_TRUE(forward_deliveredBefore(base.c_str(), "DEST", "1.2.3.1", pb));
    EXPECT_FALSE(forward_deliveredBefore(base.c_str(), "DEST", "1.2.3.1", pc));
    EXPECT_FALSE(forward_deliveredBefore(base.c_str(), "OTHER", "1.2.3.1", pb));
    EXPECT_FALSE(forward_deliveredBefore(base.c_str(), "DEST", "1.2.3.2", pb));
}

TEST(ForwardOperations, PauseRetryAllPerDestinationAndStudy)
{
    TempDir base;
    std::vector<std::string> ids;
    for (const char *dest : {"PACS", "PACS", "PACS", "OTHER"}) {
        forward_job job;
        job.destination = dest;
        job.study = ids.size() == 2 ? "1.2.4" : "1.2.3";
        job.origin = "rule 1";
        job.total = 1;
        ASSERT_EQ(forward_submit(base.c_str(), &job, nullptr), 0);
        // All failed or waiting after a failed try, but the first.
        forward_job read;
        ASSERT_EQ(forward_read(base.c_str(), job.id, &read), 1);
        read.attempts = ids.empty() ? 0 : 3;
        read.state = ids.size() == 1 ? FORWARD_PENDING : FORWARD_FAILED;
        read.next = ids.empty() ? read.next : 4000000000LL;
        read.error = "down";
        if (!ids.empty()) {
            ASSERT_EQ(forward_write(base.c_str(), read, nullptr), 0);
        }
        ids.push_back(job.id);
    }
    // One study of one destination; then the rest of it, the other untouched.
    EXPECT_EQ(forward_retryAll(base.c_str(), "PACS", "1.2.4", nullptr), 1);
    EXPECT_EQ(forward_retryAll(base.c_str(), "PACS", "", nullptr), 1);
    EXPECT_EQ(forward_retryAll(base.c_str(), "PACS", "", nullptr), 0);
    for (size_t i = 0; i < ids.size(); i++) {
        forward_job read;
        ASSERT_EQ(forward_read(base.c_str(), ids[i], &read), 1);
        EXPECT_EQ(read.state, i == 3 ? FORWARD_FAILED : FORWARD_PENDING) << i;
        EXPECT_EQ(read.attempts, i == 3 ? 3 : 0) << i;
        if (i != 3) {
            EXPECT_LE(forward_dueAt(read), (long long)time(nullptr)) << i;
        }
    }
    std::set<std::string> paused;
    ASSERT_EQ(forward_setPaused(base.c_str(), "A B\"", true, nullptr), 0);
    ASSERT_EQ(forward_setPaused(base.c_str(), "PACS", true, nullptr), 0);
    ASSERT_EQ(forward_setPaused(base.c_str(), "PACS", true, nullptr), 0);
    forward_pausedSet(base.c_str(), &paused);
    EXPECT_EQ(paused, (std::set<std::string>{"A B\"", "PACS"}));
    ASSERT_EQ(forward_setPaused(base.c_str(), "PACS", false, nullptr), 0);
    ASSERT_EQ(forward_setPaused(base.c_str(), "NONE", false, nullptr), 0);
    forward_pausedSet(base.c_str(), &paused);
    EXPECT_EQ(paused, (std::set<std::string>{"A B\""}));
    // Neither a pause nor the wake-up is a job.
    std::vector<forward_job> jobs;
    ASSERT_EQ(forward_list(base.c_str(), &jobs), 0);
    EXPECT_EQ(jobs.size(), 4u);
}

TEST(ForwardOperations, QuietJobDueAfterItsQuietTime)
{
    forward_job j;
    j.next = 1000;
    j.quiet = 30;
    j.touchedNs = 2000 * 1000000000LL;
    EXPECT_EQ(forward_dueAt(j), 2030);
    j.next = 5000; // waiting after a failed try
    EXPECT_EQ(forward_dueAt(j), 5000);
    j.quiet = 0;
    j.next = 1000;
    EXPECT_EQ(forward_dueAt(j), 1000);
}

TEST(ForwardOperations, HistoryKeptForItsTimeAndBounded)
{
    TempDir base;
    forward_rules rules;
    std::string error;
    ASSERT_EQ(parse("history 30\n", &rules, &error), 0) << error;
    EXPECT_EQ(rules.historyDays, 30u);
    EXPECT_EQ(parse("history 0\n", &rules, &error), -1);
    EXPECT_EQ(rules.historyDays, (unsigned)FORWARD_DEFAULT_HISTORY_DAYS);

    ASSERT_EQ(mkdir((base / "forward").c_str(), 0755), 0);
    long long now = (long long)time(nullptr);
    std::vector<forward_finished> entries(3);
    for (int i = 0; i < 3; i++) {
        entries[i].at = now - 86400LL * (10 - 4 * i); // 10, 6 and 2 days ago
        entries[i].destination = "PACS";
        entries[i].study = "1.2." + std::to_string(i);
        entries[i].origin = "rule\t1\n"; // no field breaks the line
        entries[i].jobs = 100;
        entries[i].images = 100;
    }
    ASSERT_EQ(forward_noteFinished(base.c_str(), entries, nullptr), 0);
    // A line a crash cut short is not read, nor the line it runs into.
    int fd = open((base / "forward/history").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "123\tPA", 6), 6);
    close(fd);
    std::vector<forward_finished> more(1, entries[2]);
    more[0].study = "1.2.9";
    ASSERT_EQ(forward_noteFinished(base.c_str(), more, nullptr), 0);
    ASSERT_EQ(forward_noteFinished(base.c_str(), more, nullptr), 0);
    std::vector<forward_finished> read;
    forward_history(base.c_str(), 100, &read);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[0].study, "1.2.0");
    EXPECT_EQ(read[0].origin, "rule?1?");
    EXPECT_EQ(read[3].study, "1.2.9");
    forward_history(base.c_str(), 2, &read);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].study, "1.2.2");
    // A week kept: the entry of ten days ago goes, and the torn line.
    forward_pruneHistory(base.c_str(), 7 * 86400LL);
    forward_history(base.c_str(), 100, &read);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].study, "1.2.1");
    // Bounded in bytes whatever the time kept: the newest stay.
    std::vector<forward_finished> many(60000, entries[2]);
    ASSERT_EQ(forward_noteFinished(base.c_str(), many, nullptr), 0);
    forward_pruneHistory(base.c_str(), 7 * 86400LL);
    struct stat st;
    ASSERT_EQ(stat((base / "forward/history").c_str(), &st), 0);
    EXPECT_LE(st.st_size, (off_t)FORWARD_HISTORY_MAX_BYTES);
    EXPECT_GT(st.st_size, (off_t)FORWARD_HISTORY_MAX_BYTES / 2);
    forward_history(base.c_str(), 1, &read);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].study, "1.2.2");
}
