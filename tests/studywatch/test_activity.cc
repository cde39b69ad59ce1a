// The quietness of studies in the cluster's database (cluster/activity.h)
// against a real PostgreSQL server (tests/index/pgserver.h): what each
// node's upsert counts, which studies a claimer takes, that two claimers
// never take one study, the lease, and a change during a render.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cluster/activity.h"
#include "cluster/clusterdb.h"
#include "index/pgindex.h"
#include "tests/index/pgserver.h"
#include "tests/store/storetest.h"

namespace
{

// One statement on a connection of its own; its first value ("" if none).
std::string sql(const std::string &conninfo, const std::string &statement)
{
    PGconn *c = PQconnectdb(conninfo.c_str());
    PGresult *r = PQexec(c, statement.c_str());
    EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
        << statement << ": " << PQerrorMessage(c);
    std::string v =
        PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    PQfinish(c);
    return v;
}

// Each test on a database of its own: a claimer takes every quiet study
// of its database.
class Activity : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!PgServer::get().unavailable().empty())
            GTEST_SKIP() << PgServer::get().unavailable();
        static int made = 0;
        name_ = "velto_act_" + std::to_string(getpid()) + "_" + std::to_string(++made);
        sql(PgServer::get().conninfo(), "CREATE DATABASE " + name_);
        conninfo_ = PgServer::get().conninfo() + " dbname=" + name_;
        a_.reset(new clusterdb(conninfo_, stderr));
        b_.reset(new clusterdb(conninfo_, stderr));
        ASSERT_EQ(0, activity_migrate(a_.get()));
        ASSERT_EQ(0, activity_migrate(b_.get())) << "a second migration changes nothing";
    }
    void TearDown() override
    {
        a_.reset();
        b_.reset();
        if (!conninfo_.empty())
            sql(PgServer::get().conninfo(), "DROP DATABASE " + name_);
    }
    // Moves every study's last change back by ms: quiet without a wait.
    void age(long ms)
    {
        sql(conninfo_,
            "UPDATE velto_study_activity SET changed_ms = changed_ms - " + std::to_string(ms));
    }
    std::string column(const std::string &study, const char *name)
    {
        return sql(conninfo_, std::string("SELECT coalesce(") + name +
                                  "::text, '') FROM velto_study_activity WHERE study = '" + study +
                                  "'");
    }
    static std::vector<std::string> studies(const std::vector<activity_claim> &claims)
    {
        std::vector<std::string> out;
        for (const activity_claim &c : claims)
            out.push_back(c.study);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string name_, conninfo_;
    std::unique_ptr<clusterdb> a_, b_;
};

TEST_F(Activity, EveryNodesChangeCountsAndOnlyQuietStudiesAreClaimed)
{
    ASSERT_EQ(0, activity_note(a_.get(), "1.2.1", "a", "stored"));
    ASSERT_EQ(0, activity_note(b_.get(), "1.2.1", "b", "stored"));
    ASSERT_EQ(0, activity_note(a_.get(), "1.2.2", "a", "stored"));
    EXPECT_EQ("2", column("1.2.1", "changes"));
    EXPECT_EQ("b", column("1.2.1", "changed_by"));
    std::vector<activity_claim> claims;
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 60000, 30000, 10, &claims));
    EXPECT_TRUE(claims.empty()) << "nothing is quiet for a minute yet";
    age(61000);
    // A change on another node makes 1.2.2 busy again.
    ASSERT_EQ(0, activity_note(b_.get(), "1.2.2", "b", "changed"));
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 60000, 30000, 10, &claims));
    ASSERT_EQ(1u, claims.size());
    EXPECT_EQ("1.2.1", claims[0].study);
    EXPECT_EQ(2, claims[0].change);
    EXPECT_EQ("wa", column("1.2.1", "claimed_by"));
    EXPECT_EQ("changed", column("1.2.2", "changed_what"));
}

TEST_F(Activity, TwoClaimersNeverTakeOneStudyAndALockedRowIsSkippedNotWaitedOn)
{
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(0, activity_note(a_.get(), "1.3." + std::to_string(i), "a", "stored"));
    age(1000);
    // Another claimer's transaction holds 1.3.0 and 1.3.1.
    PGconn *holder = PQconnectdb(conninfo_.c_str());
    PQclear(PQexec(holder, "BEGIN"));
    PGresult *r = PQexec(holder, "SELECT study FROM velto_study_activity"
                                 " WHERE study IN ('1.3.0', '1.3.1') FOR UPDATE");
    ASSERT_EQ(2, PQntuples(r));
    PQclear(r);
    std::vector<activity_claim> first, second;
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 0, 30000, 3, &first));
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 0, 30000, 10, &second));
    EXPECT_EQ(3u, first.size());
    EXPECT_EQ(1u, second.size()) << "what a left, less the rows held";
    std::vector<std::string> all = studies(first);
    for (const std::string &s : studies(second))
        all.push_back(s);
    std::sort(all.begin(), all.end());
    EXPECT_EQ((std::vector<std::string>{"1.3.2", "1.3.3", "1.3.4", "1.3.5"}), all);
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    second.clear();
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 0, 30000, 10, &second));
    EXPECT_EQ((std::vector<std::string>{"1.3.0", "1.3.1"}), studies(second));
}

TEST_F(Activity, AClaimHoldsWhileRenewedAndIsTakenOverOnceItsLeaseRanOut)
{
    ASSERT_EQ(0, activity_note(a_.get(), "1.4.1", "a", "stored"));
    age(1000);
    std::vector<activity_claim> claims;
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 0, 30000, 10, &claims));
    ASSERT_EQ(1u, claims.size());
    EXPECT_EQ(1, activity_renew(a_.get(), "wa", "1.4.1", 30000));
    claims.clear();
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 0, 30000, 10, &claims));
    EXPECT_TRUE(claims.empty()) << "a running claim is the claimer's";
    // Its lease runs out (wa died): wb takes it; wa's late renewal and end
    // change nothing of wb's claim.
    sql(conninfo_, "UPDATE velto_study_activity SET claimed_until = claimed_until - 60000");
    EXPECT_EQ(0, activity_renew(a_.get(), "wa", "1.4.1", 30000));
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 0, 30000, 10, &claims));
    ASSERT_EQ(1u, claims.size());
    EXPECT_EQ(0, activity_rendered(a_.get(), "wa", activity_claim{"1.4.1", 1}));
    EXPECT_EQ("wb", column("1.4.1", "claimed_by"));
    EXPECT_EQ("0", column("1.4.1", "rendered_change"));
    EXPECT_EQ(0, activity_rendered(b_.get(), "wb", claims[0]));
    EXPECT_EQ("1", column("1.4.1", "rendered_change"));
    EXPECT_EQ("", column("1.4.1", "claimed_by"));
    claims.clear();
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 0, 30000, 10, &claims));
    EXPECT_TRUE(claims.empty()) << "rendered at its last change";
}

TEST_F(Activity, AChangeDuringTheRenderLeavesTheStudyToBeRenderedAgain)
{
    ASSERT_EQ(0, activity_note(a_.get(), "1.5.1", "a", "stored"));
    age(1000);
    std::vector<activity_claim> claims;
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "wa", 0, 30000, 10, &claims));
    ASSERT_EQ(1u, claims.size());
    ASSERT_EQ(0, activity_note(b_.get(), "1.5.1", "b", "changed"));
    ASSERT_EQ(0, activity_rendered(a_.get(), "wa", claims[0]));
    EXPECT_EQ("1", column("1.5.1", "rendered_change"));
    std::vector<activity_claim> again;
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 60000, 30000, 10, &again));
    EXPECT_TRUE(again.empty()) << "not before it is quiet again";
    age(61000);
    ASSERT_EQ(0, activity_claimQuiet(b_.get(), "wb", 60000, 30000, 10, &again));
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(2, again[0].change);
}

// The index's own transactions note their studies (activity_migrateIndex):
// a commit counts its image, an abort leaves nothing, and an upload's
// change of an image's location is no change of its study.
TEST_F(Activity, TheIndexsTransactionNotesItsStudyAndOnlyWhatItCommits)
{
    pgindex ix(conninfo_, "act", stderr);
    ix.setSessionName("n7");
    ASSERT_EQ(0, ix.open());
    ASSERT_EQ(0, activity_migrateIndex(a_.get()));
    ASSERT_EQ(0, activity_migrateIndex(b_.get())) << "a second migration changes nothing";
    auto add = [&](const char *sop, bool commit) {
        std::unique_ptr<DcmDataset> ds(makeImage("4.1", "4.1.1", sop, {}, 0));
        index_transaction *t = ix.begin("4.1");
        ASSERT_NE(nullptr, t);
        ASSERT_EQ(INDEX_OK, ix.add(t, ds.get(), INDEX_ADD_NEW));
        if (commit)
            ASSERT_EQ(INDEX_OK, ix.commit(t));
        else
            ix.abort(t);
    };
    add("4.1.1.1", true);
    add("4.1.1.2", true);
    EXPECT_EQ("2", column("4.1", "changes"));
    EXPECT_EQ("n7", column("4.1", "changed_by"));
    add("4.1.1.3", false);
    EXPECT_EQ("2", column("4.1", "changes"));
    EXPECT_EQ(INDEX_OK, ix.setInTier({"4.1.1.1", "4.1.1.2"}));
    EXPECT_EQ("2", column("4.1", "changes"));
    age(60000);
    std::vector<activity_claim> claims;
    ASSERT_EQ(0, activity_claimQuiet(a_.get(), "n7", 1000, 30000, 10, &claims));
    EXPECT_EQ(std::vector<std::string>{"4.1"}, studies(claims));
}

} // namespace
