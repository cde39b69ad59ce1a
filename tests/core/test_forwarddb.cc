// The cluster's forwarding queue (core/forwarddb.h) against a PostgreSQL
// server of the test binary's own (tests/index/pgserver.h), two nodes as
// two objects on connections of their own: a claim leases jobs that the
// other node cannot claim until the lease is over, then takes them over
// with what the first delivered; the first node learns that it lost them
// and can finish nothing of them; two nodes claiming at once in threads
// never share a job; held jobs are kept, dropped, and settled by another
// node after their lease by whether the image is stored; a paused
// destination's jobs are not claimed; a failed job waits, is retried all
// at once, and the finished ones go into the history.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "cluster/clusterdb.h"
#include "core/forward.h"
#include "core/forwarddb.h"
#include "tests/index/pgserver.h"

namespace
{

// One node: its own connection and queue.
struct node {
    node(const std::string &name, long leaseMs)
        : db(PgServer::get().conninfo(), stderr), q(&db, name, leaseMs, stderr)
    {
    }
    clusterdb db;
    forwarddb q;
};

class ForwardDb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string why = PgServer::get().unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        admin_.reset(new node("admin", 1000));
        ASSERT_EQ(admin_->q.migrate(), 0);
        for (const char *t : {"velto_forward_jobs", "velto_forward_sent", "velto_forward_paused",
                              "velto_forward_history"})
            ASSERT_EQ(admin_->db.exec((std::string("DELETE FROM ") + t).c_str()), CLUSTERDB_OK);
    }
    // Rows of the jobs table in state.
    long rows(int state)
    {
        clusterdb_rows r;
        EXPECT_EQ(admin_->db.exec("SELECT count(*) FROM velto_forward_jobs WHERE state = "
                                  "$1::integer",
                                  {std::to_string(state)}, &r),
                  CLUSTERDB_OK);
        return r.size() == 1 ? atol(r.at(0, 0).c_str()) : -1;
    }
    std::vector<std::string> submit(node &n, int count, const std::string &dest = "DEST")
    {
        std::vector<std::string> ids;
        for (int i = 0; i < count; i++) {
            forward_job j;
            j.destination = dest;
            j.study = "1.2.3";
            j.origin = "web tester";
            EXPECT_EQ(n.q.submit(&j), 0);
            ids.push_back(j.id);
        }
        return ids;
    }
    std::unique_ptr<node> admin_;
};

static std::vector<std::string> idsOf(const std::vector<forward_job> &jobs)
{
    std::vector<std::string> ids;
    for (const forward_job &j : jobs)
        ids.push_back(j.id);
    return ids;
}

// An image's data set for the rules.
static void image(DcmDataset *ds, const char *instance)
{
    ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.3");
    ds->putAndInsertString(DCM_SeriesInstanceUID, "1.2.3.1");
    ds->putAndInsertString(DCM_SOPInstanceUID, instance);
    ds->putAndInsertString(DCM_Modality, "CT");
}

} // namespace

TEST_F(ForwardDb, LeaseKeepsOthersOutThenTheyResumeWhereItStopped)
{
    node a("node-a", 400), b("node-b", 400);
    std::vector<std::string> made = submit(a, 3);
    std::vector<forward_job> got, other;
    ASSERT_EQ(a.q.claim(10, &got), 0);
    ASSERT_EQ(idsOf(got), made);
    // Leased to a: b finds nothing due.
    ASSERT_EQ(b.q.claim(10, &other), 0);
    EXPECT_TRUE(other.empty());
    // a delivers one image of the first job, renews, and dies.
    ASSERT_EQ(a.q.noteSent(made[0], "1.2.3.1.1"), 0);
    std::set<std::string> lost;
    ASSERT_EQ(a.q.renew(made, &lost), 0);
    EXPECT_TRUE(lost.empty());
    ASSERT_EQ(b.q.claim(10, &other), 0);
    EXPECT_TRUE(other.empty()) << "claimed within a renewed lease";
    // The lease is over (the test's own lease: 400 ms): b takes them over,
    // and sees what a delivered.
    usleep(600 * 1000);
    ASSERT_EQ(b.q.claim(10, &other), 0);
    ASSERT_EQ(idsOf(other), made);
    std::set<std::string> sent;
    b.q.sentSet(made[0], &sent);
    EXPECT_EQ(sent, std::set<std::string>{"1.2.3.1.1"});
    EXPECT_EQ(other[0].sent, 1);
    // a, back, learns that it lost them, and can settle none of them.
    ASSERT_EQ(a.q.renew(made, &lost), 0);
    EXPECT_EQ(lost, std::set<std::string>(made.begin(), made.end()));
    forward_job j0 = got[0];
    j0.total = 1;
    ASSERT_EQ(a.q.finish(j0, 0), 0);
    forward_job failed = got[1];
    failed.attempts = 1;
    failed.error = "cannot connect";
    ASSERT_EQ(a.q.release(failed, 60), 0);
    forward_job now;
    ASSERT_EQ(b.q.read(made[0], &now), 1);
    EXPECT_EQ(now.state, FORWARD_PENDING);
    ASSERT_EQ(b.q.read(made[1], &now), 1);
    EXPECT_EQ(now.attempts, 0);
    // b's settle counts: a web job is kept done, a failed try waits.
    ASSERT_EQ(b.q.finish(j0, 0), 0);
    ASSERT_EQ(b.q.read(made[0], &now), 1);
    EXPECT_EQ(now.state, FORWARD_DONE);
    EXPECT_EQ(now.total, 1);
    ASSERT_EQ(b.q.release(failed, 60), 0);
    ASSERT_EQ(b.q.read(made[1], &now), 1);
    EXPECT_EQ(now.state, FORWARD_PENDING);
    EXPECT_EQ(now.attempts, 1);
    EXPECT_EQ(now.error, "cannot connect");
    EXPECT_GE(now.next, (long long)time(nullptr) + 50);
    // Released, the third is due again at once; the waiting one is not.
    forward_job third = other[2];
    ASSERT_EQ(b.q.release(third, 0), 0);
    ASSERT_EQ(a.q.claim(10, &got), 0);
    EXPECT_EQ(idsOf(got), std::vector<std::string>{made[2]});
    // A rule's job finished goes with its sent rows.
    forward_job rule = got[0];
    rule.origin = "rule 1";
    ASSERT_EQ(a.q.finish(rule, 0), 0);
    EXPECT_EQ(b.q.read(made[2], &now), 0);
}

TEST_F(ForwardDb, TwoNodesClaimingAtOnceNeverShareAJob)
{
    node seed("seed", 60000);
    std::vector<std::string> made = submit(seed, 200);
    std::mutex mu;
    std::vector<std::string> all;
    std::vector<std::vector<std::string>> each(2);
    auto work = [&](int k) {
        node n(k == 0 ? "node-a" : "node-b", 60000);
        for (;;) {
            std::vector<forward_job> got;
            if (n.q.claim(7, &got) != 0 || got.empty())
                break;
            for (forward_job &j : got) {
                j.origin = "rule 1";
                n.q.finish(j, 0);
                each[k].push_back(j.id);
            }
        }
    };
    std::thread t0(work, 0), t1(work, 1);
    t0.join();
    t1.join();
    for (auto &v : each)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, made) << "a job claimed twice or never";
    EXPECT_EQ(rows(FORWARD_PENDING), 0);
    // Both took part (the claims interleave).
    EXPECT_FALSE(each[0].empty());
    EXPECT_FALSE(each[1].empty());
}

TEST_F(ForwardDb, HeldJobsKeptDroppedOrSettledAfterTheirLease)
{
    forward_rules rules;
    char error[256];
    ASSERT_EQ(forward_parseRules("DEST when=store Modality=CT\nQUIET when=quiet:1\n"
                                 "MR when=store Modality=MR\n",
                                 &rules, error, sizeof error),
              0)
        << error;
    node a("node-a", 300), b("node-b", 300);
    DcmDataset one, two, three;
    image(&one, "1.2.3.1.1");
    image(&two, "1.2.3.1.2");
    image(&three, "1.2.3.1.3");
    // Held: on-store jobs invisible to claims, the quiet job made at once.
    std::vector<forward_job> held1, held2, held3;
    ASSERT_EQ(a.q.hold(&rules, &one, "CT1", "1.2.3", "1.2.3.1", "1.2.3.1.1", &held1), 0);
    ASSERT_EQ(held1.size(), 1u);
    EXPECT_EQ(rows(FORWARDDB_HELD), 1);
    EXPECT_EQ(rows(FORWARD_PENDING), 1); // the quiet job
    std::vector<forward_job> got;
    ASSERT_EQ(b.q.claim(10, &got), 0);
    EXPECT_TRUE(got.empty()) << "a held job or a study not yet quiet claimed";
    // Refused: its job goes.
    a.q.drop(held1);
    EXPECT_EQ(rows(FORWARDDB_HELD), 0);
    // Kept: pending.
    ASSERT_EQ(a.q.hold(&rules, &two, "CT1", "1.2.3", "1.2.3.1", "1.2.3.1.2", &held2), 0);
    ASSERT_EQ(a.q.keep(held2), 0);
    EXPECT_EQ(rows(FORWARDDB_HELD), 0);
    EXPECT_EQ(rows(FORWARD_PENDING), 2);
    // A node killed between hold and keep: two held jobs, settled by b
    // after the lease, by whether the image is stored.
    ASSERT_EQ(a.q.hold(&rules, &three, "CT1", "1.2.3", "1.2.3.1", "1.2.3.1.3", &held3), 0);
    std::vector<forward_job> held4;
    DcmDataset four;
    image(&four, "1.2.3.1.4");
    ASSERT_EQ(a.q.hold(&rules, &four, "CT1", "1.2.3", "1.2.3.1", "1.2.3.1.4", &held4), 0);
    auto stored = [](const forward_job &j) { return j.instance == "1.2.3.1.3"; };
    EXPECT_EQ(b.q.settleHeld(stored), 0) << "settled within the lease";
    EXPECT_EQ(rows(FORWARDDB_HELD), 2);
    usleep(450 * 1000);
    EXPECT_EQ(b.q.settleHeld(stored), 1);
    EXPECT_EQ(rows(FORWARDDB_HELD), 0);
    EXPECT_EQ(rows(FORWARD_PENDING), 3); // two, three and the quiet job
    forward_job now;
    EXPECT_EQ(b.q.read(held3[0].id, &now), 1);
    EXPECT_EQ(b.q.read(held4[0].id, &now), 0);
    // The store that outlived its lease keeps its image after all: its job
    // is made again.
    ASSERT_EQ(a.q.keep(held4), 0);
    EXPECT_EQ(b.q.read(held4[0].id, &now), 1);
    EXPECT_EQ(now.state, FORWARD_PENDING);
    // The quiet job waits for its quiet second; the image jobs are due.
    ASSERT_EQ(b.q.claim(10, &got), 0);
    EXPECT_EQ(got.size(), 3u);
    for (const forward_job &j : got)
        EXPECT_EQ(j.destination, "DEST");
}

TEST_F(ForwardDb, QuietJobRefreshedWhileSentStaysPending)
{
    forward_rules rules;
    char error[256];
    ASSERT_EQ(forward_parseRules("QUIET when=quiet:1\n", &rules, error, sizeof error), 0);
    node a("node-a", 5000);
    DcmDataset one;
    image(&one, "1.2.3.1.1");
    ASSERT_EQ(a.q.noteStored(&rules, &one, nullptr, "1.2.3", "1.2.3.1", "1.2.3.1.1"), 0);
    ASSERT_EQ(a.q.noteStored(&rules, &one, nullptr, "1.2.3", "1.2.3.1", "1.2.3.1.1"), 0);
    EXPECT_EQ(rows(FORWARD_PENDING), 1) << "one job per rule and study";
    std::vector<forward_job> got;
    usleep(1100 * 1000);
    ASSERT_EQ(a.q.claim(10, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    // An image while it is sent: the finish leaves it pending.
    ASSERT_EQ(a.q.noteStored(&rules, &one, nullptr, "1.2.3", "1.2.3.1", "1.2.3.1.2"), 0);
    ASSERT_EQ(a.q.finish(got[0], got[0].touchedNs), 0);
    EXPECT_EQ(rows(FORWARD_PENDING), 1);
    ASSERT_EQ(a.q.claim(10, &got), 0);
    EXPECT_TRUE(got.empty()) << "not quiet yet";
    usleep(1100 * 1000);
    ASSERT_EQ(a.q.claim(10, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(a.q.finish(got[0], got[0].touchedNs), 0);
    EXPECT_EQ(rows(FORWARD_PENDING), 0);
}

TEST_F(ForwardDb, PausedFailedRetriedAllAndHistory)
{
    node a("node-a", 5000);
    submit(a, 2, "DEST");
    std::vector<std::string> other = submit(a, 1, "OTHER");
    ASSERT_EQ(a.q.setPaused("DEST", true), 0);
    ASSERT_EQ(a.q.setPaused("DEST", true), 0);
    std::set<std::string> paused;
    a.q.pausedSet(&paused);
    EXPECT_EQ(paused, std::set<std::string>{"DEST"});
    std::vector<forward_job> got;
    ASSERT_EQ(a.q.claim(10, &got), 0);
    EXPECT_EQ(idsOf(got), other);
    ASSERT_EQ(a.q.setPaused("DEST", false), 0);
    std::vector<forward_job> dest;
    ASSERT_EQ(a.q.claim(10, &dest), 0);
    ASSERT_EQ(dest.size(), 2u);
    // One fails for good, one waits after a failed try.
    dest[0].state = FORWARD_FAILED;
    dest[0].attempts = 8;
    dest[1].attempts = 2;
    ASSERT_EQ(a.q.release(dest[0], 0), 0);
    ASSERT_EQ(a.q.release(dest[1], 3600), 0);
    size_t pending, failed;
    a.q.counts(&pending, &failed);
    EXPECT_EQ(pending, 2u); // OTHER (claimed) and the waiting one
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(a.q.retry(dest[0].id), 1);
    EXPECT_EQ(a.q.retry(dest[0].id), 0) << "retried twice";
    // Due at once: claimed and failed again.
    ASSERT_EQ(a.q.claim(10, &got), 0);
    EXPECT_EQ(idsOf(got), std::vector<std::string>{dest[0].id});
    ASSERT_EQ(a.q.release(dest[0], 0), 0);
    EXPECT_EQ(a.q.retryAll("DEST", "9.9"), 0);
    EXPECT_EQ(a.q.retryAll("DEST", ""), 2);
    ASSERT_EQ(a.q.claim(10, &got), 0);
    EXPECT_EQ(got.size(), 2u);
    for (const forward_job &j : got)
        EXPECT_EQ(j.attempts, 0);
    // The history, oldest first, the last max.
    std::vector<forward_finished> h(3);
    for (int i = 0; i < 3; i++) {
        h[i].at = 1000 + i;
        h[i].destination = "DEST";
        h[i].study = "1.2.3";
        h[i].origin = "rule 1";
        h[i].jobs = i + 1;
        h[i].images = 10 * (i + 1);
    }
    ASSERT_EQ(a.q.noteFinished(h), 0);
    std::vector<forward_finished> back;
    a.q.history(2, &back);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].jobs, 2);
    EXPECT_EQ(back[1].images, 30);
    a.q.pruneHistory(86400);
    a.q.history(10, &back);
    EXPECT_TRUE(back.empty()) << "entries of 1970 kept";
}
