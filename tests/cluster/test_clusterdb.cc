// The cluster's database connection (cluster/clusterdb.h) against a real
// PostgreSQL 15: a transaction replayed whole after the server restarted
// under it, a unique key's conflict, a function that goes on after a
// failed statement, migrations run twice, a forked child's own
// connection, a read-only server. A binary of its own: it restarts its
// server.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "cluster/clusterdb.h"
#include "runtime/logprintf.h"
#include "tests/index/pgproxy.h"
#include "tests/index/pgserver.h"
#include "tests/store/storetest.h"

namespace
{
class ClusterDb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        logprintf_setmaxlevel(LOGLEVEL_INFO);
        std::string why = PgServer::get().unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override
    {
        if (HasFailure())
            fprintf(stderr, "clusterdb log:\n%s", log.text().c_str());
    }
    static std::string sql(const std::string &statement, const std::string &extra = "")
    {
        PGconn *c = PQconnectdb((PgServer::get().conninfo() + extra).c_str());
        EXPECT_EQ(CONNECTION_OK, PQstatus(c)) << PQerrorMessage(c);
        PGresult *r = PQexec(c, statement.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK)
            << statement << ": " << PQresultErrorMessage(r);
        std::string out =
            PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        PQfinish(c);
        return out;
    }
    LogCapture log;
};
} // namespace

TEST_F(ClusterDb, ATransactionIsReplayedWholeAfterTheServerRestartsUnderIt)
{
    clusterdb db(PgServer::get().conninfo(), log.stream());
    ASSERT_EQ(CLUSTERDB_OK, db.exec("CREATE TABLE velto_t_replay (k text PRIMARY KEY, n int)"));
    int calls = 0;
    int r = db.transact([&](clusterdb_tx &tx) -> int {
        calls++;
        int s = tx.q("INSERT INTO velto_t_replay VALUES ('a', $1::int)", {std::to_string(calls)});
        if (s != CLUSTERDB_OK)
            return s;
        // The first run's server dies before its COMMIT (as in a crash or
        // a failover): the run's insert is gone with it.
        if (calls == 1) {
            EXPECT_EQ(0, PgServer::get().restart("immediate"));
        }
        return tx.q("INSERT INTO velto_t_replay VALUES ('b', $1::int)", {std::to_string(calls)});
    });
    EXPECT_EQ(CLUSTERDB_OK, r);
    EXPECT_EQ(2, calls);
    // Both rows of the second run, none of the first.
    EXPECT_EQ("2", sql("SELECT count(*) FROM velto_t_replay WHERE n = 2"));
    EXPECT_EQ("0", sql("SELECT count(*) FROM velto_t_replay WHERE n = 1"));
    // A statement on its own after a second restart: reconnected.
    ASSERT_EQ(0, PgServer::get().restart("immediate"));
    clusterdb_rows rows;
    EXPECT_EQ(CLUSTERDB_OK, db.exec("SELECT count(*) FROM velto_t_replay", {}, &rows));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("2", rows.at(0, 0));
    EXPECT_TRUE(log.contains("connection lost") || log.contains("57P01"));
}

TEST_F(ClusterDb, ACommitWhoseAnswerIsLostIsAskedAboutNotRunTwice)
{
    PgProxy proxy(PgServer::get().dir());
    clusterdb db("host=" + proxy.dir() + " dbname=postgres user=velto", log.stream());
    ASSERT_EQ(CLUSTERDB_OK, db.exec("CREATE TABLE velto_t_claim (id int PRIMARY KEY, owner text)"));
    ASSERT_EQ(CLUSTERDB_OK, db.exec("INSERT INTO velto_t_claim SELECT g, NULL FROM"
                                    " generate_series(1, 10) g"));
    // A claim: the lowest free job becomes this node's. Run twice, it
    // would take a second job and forget the first.
    auto claim = [&](int *calls, std::string *job) {
        return db.transact([&](clusterdb_tx &tx) -> int {
            (*calls)++;
            clusterdb_rows rows;
            int s = tx.q("UPDATE velto_t_claim SET owner = 'n1' WHERE id = (SELECT min(id) FROM"
                         " velto_t_claim WHERE owner IS NULL) RETURNING id",
                         {}, &rows);
            if (s == CLUSTERDB_OK && rows.size() == 1)
                *job = rows.at(0, 0);
            return s;
        });
    };
    // Cut after the server answered the COMMIT: it took, and is not run again.
    int calls = 0;
    std::string job;
    proxy.arm(PgProxy::CUT_AFTER_COMMIT);
    EXPECT_EQ(CLUSTERDB_OK, claim(&calls, &job));
    EXPECT_EQ(1, proxy.cuts());
    EXPECT_EQ(1, calls);
    EXPECT_EQ("1", job);
    EXPECT_EQ("1", sql("SELECT count(*) FROM velto_t_claim WHERE owner = 'n1'"));
    EXPECT_TRUE(log.contains("an unanswered COMMIT took"));
    // Cut before it reached the server: nothing took, and it is run again.
    calls = 0;
    proxy.arm(PgProxy::CUT_BEFORE_COMMIT);
    EXPECT_EQ(CLUSTERDB_OK, claim(&calls, &job));
    EXPECT_EQ(2, proxy.cuts());
    EXPECT_EQ(2, calls);
    EXPECT_EQ("2", job);
    EXPECT_EQ("2", sql("SELECT count(*) FROM velto_t_claim WHERE owner = 'n1'"));
}

TEST_F(ClusterDb, ADatabaseThatStaysDownFailsTheCallWithinThePatience)
{
    clusterdb db(PgServer::get().conninfo(), log.stream());
    db.setPatience(1000);
    ASSERT_EQ(CLUSTERDB_OK, db.exec("SELECT 1"));
    ASSERT_EQ(0, PgServer::get().stop("fast"));
    auto t0 = std::chrono::steady_clock::now();
    int calls = 0;
    int r = db.transact([&](clusterdb_tx &tx) -> int {
        calls++;
        return tx.q("SELECT 1");
    });
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(CLUSTERDB_FAILED, r);
    EXPECT_EQ(0, calls) << "the function ran without a transaction";
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 4.0);
    EXPECT_EQ(CLUSTERDB_FAILED, db.exec("SELECT 1"));
    EXPECT_EQ(-1, db.nowMs());
    ASSERT_EQ(0, PgServer::get().start());
    EXPECT_EQ(CLUSTERDB_OK, db.exec("SELECT 1"));
    EXPECT_TRUE(log.contains("gave up"));
}

TEST_F(ClusterDb, ConflictsAndFailedStatementsAreNeverReportedAsDone)
{
    clusterdb db(PgServer::get().conninfo(), log.stream());
    ASSERT_EQ(CLUSTERDB_OK, db.exec("CREATE TABLE velto_t_conflict (k text PRIMARY KEY)"));
    clusterdb_rows rows;
    EXPECT_EQ(CLUSTERDB_OK, db.exec("INSERT INTO velto_t_conflict VALUES ('x')", {}, &rows));
    EXPECT_EQ(1, rows.affected);
    EXPECT_EQ(CLUSTERDB_CONFLICT, db.exec("INSERT INTO velto_t_conflict VALUES ('x')"));
    // A function that ignores the conflict and asks to commit: the server
    // rolled the transaction back, and transact says so; the row inserted
    // before the conflict is not there.
    int r = db.transact([&](clusterdb_tx &tx) -> int {
        EXPECT_EQ(CLUSTERDB_OK, tx.q("INSERT INTO velto_t_conflict VALUES ('y')"));
        EXPECT_EQ(CLUSTERDB_CONFLICT, tx.q("INSERT INTO velto_t_conflict VALUES ('x')"));
        return CLUSTERDB_OK;
    });
    EXPECT_EQ(CLUSTERDB_FAILED, r);
    EXPECT_EQ("0", sql("SELECT count(*) FROM velto_t_conflict WHERE k = 'y'"));
    // One that returns the conflict: rolled back, a failure.
    r = db.transact([&](clusterdb_tx &tx) -> int {
        int s = tx.q("INSERT INTO velto_t_conflict VALUES ('z')");
        return s == CLUSTERDB_OK ? tx.q("INSERT INTO velto_t_conflict VALUES ('x')") : s;
    });
    EXPECT_EQ(CLUSTERDB_FAILED, r);
    EXPECT_EQ("0", sql("SELECT count(*) FROM velto_t_conflict WHERE k = 'z'"));
    // A savepoint lets a function go on past a conflict.
    r = db.transact([&](clusterdb_tx &tx) -> int {
        int s = tx.q("SAVEPOINT a");
        if (s == CLUSTERDB_OK &&
            tx.q("INSERT INTO velto_t_conflict VALUES ('x')") == CLUSTERDB_CONFLICT)
            s = tx.q("ROLLBACK TO SAVEPOINT a");
        return s == CLUSTERDB_OK ? tx.q("INSERT INTO velto_t_conflict VALUES ('w')") : s;
    });
    EXPECT_EQ(CLUSTERDB_OK, r);
    EXPECT_EQ("1", sql("SELECT count(*) FROM velto_t_conflict WHERE k = 'w'"));
    // A statement the server refuses for itself: a failure, not replayed.
    EXPECT_EQ(CLUSTERDB_FAILED, db.exec("SELECT * FROM velto_no_such_table"));
}

TEST_F(ClusterDb, MigrationsRunOnceEachAndOnlyAdd)
{
    clusterdb a(PgServer::get().conninfo(), log.stream());
    clusterdb b(PgServer::get().conninfo(), log.stream());
    // Steps that fail when run twice (no IF NOT EXISTS): a second run
    // would show.
    static const char *const steps[] = {
        "CREATE TABLE velto_t_mig (k text PRIMARY KEY); INSERT INTO velto_t_mig VALUES ('1')",
        "ALTER TABLE velto_t_mig ADD COLUMN v text; INSERT INTO velto_t_mig VALUES ('2', 'two')",
        "CREATE INDEX velto_t_mig_v ON velto_t_mig (v); INSERT INTO velto_t_mig VALUES ('3')",
    };
    EXPECT_EQ(0, a.migrate("testmod", 2, steps));
    EXPECT_EQ(0, b.migrate("testmod", 2, steps));
    EXPECT_EQ(0, a.migrate("testmod", 2, steps));
    EXPECT_EQ("2", sql("SELECT count(*) FROM velto_t_mig"));
    EXPECT_EQ("2", sql("SELECT version FROM velto_module_version WHERE module = 'testmod'"));
    EXPECT_EQ(0, b.migrate("testmod", 3, steps));
    EXPECT_EQ(0, a.migrate("testmod", 3, steps));
    EXPECT_EQ("3", sql("SELECT count(*) FROM velto_t_mig"));
    // Older code asking for an older version leaves the newer schema.
    EXPECT_EQ(0, a.migrate("testmod", 1, steps));
    EXPECT_EQ("3", sql("SELECT version FROM velto_module_version WHERE module = 'testmod'"));
    // A failing step records nothing and says so.
    static const char *const bad[] = {"CREATE TABLE velto_t_bad (k text); SELECT 1/0"};
    EXPECT_EQ(-1, a.migrate("badmod", 1, bad));
    EXPECT_EQ("0", sql("SELECT count(*) FROM velto_module_version WHERE module = 'badmod'"));
    EXPECT_EQ("0", sql("SELECT count(*) FROM pg_tables WHERE tablename = 'velto_t_bad'"));
}

TEST_F(ClusterDb, AForkedChildConnectsOnItsOwnAndLeavesTheParentsSession)
{
    clusterdb db(PgServer::get().conninfo(), log.stream());
    clusterdb_rows rows;
    ASSERT_EQ(CLUSTERDB_OK, db.exec("SELECT pg_backend_pid()", {}, &rows));
    std::string parentPid = rows.at(0, 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        db.forked();
        clusterdb_rows mine;
        int s = db.exec("SELECT pg_backend_pid()", {}, &mine);
        _exit(s == CLUSTERDB_OK && mine.size() == 1 && mine.at(0, 0) != parentPid ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // The parent's session is the one it had: the child's goodbye went
    // nowhere.
    ASSERT_EQ(CLUSTERDB_OK, db.exec("SELECT pg_backend_pid()", {}, &rows));
    EXPECT_EQ(parentPid, rows.at(0, 0));
    // The database clock, for leases: close to this host's.
    long long now = db.nowMs();
    long long here = (long long)time(nullptr) * 1000;
    EXPECT_LT(llabs(now - here), 5000);
}

TEST_F(ClusterDb, AReadOnlyServerIsLeftUntilOneTakesWrites)
{
    clusterdb db(PgServer::get().conninfo(), log.stream());
    ASSERT_EQ(CLUSTERDB_OK, db.exec("CREATE TABLE velto_t_ro (k text PRIMARY KEY)"));
    const std::string writable = " options='-c default_transaction_read_only=off'";
    sql("ALTER SYSTEM SET default_transaction_read_only = on", writable);
    sql("SELECT pg_reload_conf()", writable);
    for (int i = 0; i < 200 && sql("SHOW default_transaction_read_only") != "on"; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ("on", sql("SHOW default_transaction_read_only"));
    auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        sql("ALTER SYSTEM RESET default_transaction_read_only", writable);
        sql("SELECT pg_reload_conf()", writable);
    });
    int r = db.transact(
        [&](clusterdb_tx &tx) -> int { return tx.q("INSERT INTO velto_t_ro VALUES ('a')"); });
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    writer.join();
    EXPECT_EQ(CLUSTERDB_OK, r);
    EXPECT_GE(waited, 1.0);
    EXPECT_TRUE(log.contains("25006"));
    EXPECT_EQ("1", sql("SELECT count(*) FROM velto_t_ro"));
}
