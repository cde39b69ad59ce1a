// Storage commitment's open requests in the cluster's database
// (cluster/commitjobs.h) against a real PostgreSQL server
// (tests/index/pgserver.h): a request stays its node's while the lease
// runs, is claimed by one other node once it ran out, and a delivery that
// fails is given back a few times, then dropped.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "cluster/clusterdb.h"
#include "cluster/commitjobs.h"
#include "tests/index/pgserver.h"

namespace
{

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

class CommitJobs : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!PgServer::get().unavailable().empty())
            GTEST_SKIP() << PgServer::get().unavailable();
        static int made = 0;
        name_ = "velto_cj_" + std::to_string(getpid()) + "_" + std::to_string(++made);
        sql(PgServer::get().conninfo(), "CREATE DATABASE " + name_);
        conninfo_ = PgServer::get().conninfo() + " dbname=" + name_;
        a_.reset(new clusterdb(conninfo_, stderr));
        b_.reset(new clusterdb(conninfo_, stderr));
        ASSERT_EQ(0, commitjobs_migrate(a_.get()));
        ASSERT_EQ(0, commitjobs_migrate(b_.get()));
    }
    void TearDown() override
    {
        a_.reset();
        b_.reset();
        if (!conninfo_.empty())
            sql(PgServer::get().conninfo(), "DROP DATABASE " + name_);
    }
    // Every claim's lease run out, as when its node died.
    void expire() { sql(conninfo_, "UPDATE velto_commit_job SET claimed_until = 0"); }
    std::string count() { return sql(conninfo_, "SELECT count(*) FROM velto_commit_job"); }

    std::string name_, conninfo_;
    std::unique_ptr<clusterdb> a_, b_;
};

commitjob request(const char *transaction)
{
    commitjob job;
    job.requester = "MODALITY";
    job.transaction = transaction;
    job.items = "1.2.840.10008.5.1.4.1.1.7 1.2.3.1\n1.2.840.10008.5.1.4.1.1.7 1.2.3.2\n";
    return job;
}

TEST_F(CommitJobs, ARequestIsItsNodesUntilTheLeaseRunsOutThenOneOtherNodesAndGoesWhenDone)
{
    long long id = commitjobs_add(a_.get(), "a", request("1.2.9.1"), 30000);
    ASSERT_GT(id, 0);
    std::vector<commitjob> claimed;
    ASSERT_EQ(0, commitjobs_claim(b_.get(), "b", 30000, 4, &claimed));
    EXPECT_TRUE(claimed.empty()) << "node a's lease runs";
    EXPECT_EQ(1, commitjobs_renew(a_.get(), id, "a", 30000));
    expire();
    EXPECT_EQ(0, commitjobs_renew(a_.get(), id, "a", 30000)) << "a lease run out is not renewed";
    ASSERT_EQ(0, commitjobs_claim(b_.get(), "b", 30000, 4, &claimed));
    ASSERT_EQ(1u, claimed.size());
    EXPECT_EQ(id, claimed[0].id);
    EXPECT_EQ("MODALITY", claimed[0].requester);
    EXPECT_EQ("1.2.9.1", claimed[0].transaction);
    EXPECT_EQ(request("").items, claimed[0].items);
    std::vector<commitjob> again;
    ASSERT_EQ(0, commitjobs_claim(a_.get(), "a", 30000, 4, &again));
    EXPECT_TRUE(again.empty()) << "node b's now";
    EXPECT_EQ(0, commitjobs_renew(a_.get(), id, "a", 30000));
    EXPECT_EQ(0, commitjobs_done(b_.get(), id));
    EXPECT_EQ("0", count());
}

TEST_F(CommitJobs, AFailedDeliveryIsGivenBackThenDroppedAfterItsAttempts)
{
    long long id = commitjobs_add(a_.get(), "a", request("1.2.9.2"), 30000);
    ASSERT_GT(id, 0);
    EXPECT_EQ(0, commitjobs_failed(b_.get(), id, "b")) << "only the claimer's failure counts";
    EXPECT_EQ("0", sql(conninfo_, "SELECT attempts FROM velto_commit_job"));
    for (int attempt = 1; attempt < COMMITJOBS_ATTEMPTS; attempt++) {
        std::vector<commitjob> claimed;
        const char *node = attempt % 2 ? "a" : "b";
        if (attempt > 1) {
            ASSERT_EQ(
                0, commitjobs_claim(attempt % 2 ? a_.get() : b_.get(), node, 30000, 4, &claimed));
            ASSERT_EQ(1u, claimed.size()) << "given back at once, for any node";
            EXPECT_EQ(attempt - 1, claimed[0].attempts);
        }
        EXPECT_EQ(1, commitjobs_failed(attempt % 2 ? a_.get() : b_.get(), id, node));
    }
    std::vector<commitjob> claimed;
    ASSERT_EQ(0, commitjobs_claim(a_.get(), "a", 30000, 4, &claimed));
    ASSERT_EQ(1u, claimed.size());
    EXPECT_EQ(0, commitjobs_failed(a_.get(), id, "a"));
    EXPECT_EQ("0", count());
}

} // namespace
