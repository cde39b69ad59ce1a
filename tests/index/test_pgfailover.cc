// The PostgreSQL index backend under a database's failures: a connection
// cut just before and just after COMMIT (a proxy between the backend and
// the server), a server that refuses connections for a while or for good,
// a server that turns read only, and images added while the server is
// restarted as a crash leaves it, and a standby promoted in its place. What is checked is the rows:
// every image acknowledged is there once, whole; nothing failed is reported done. A binary of its
// own: it stops and restarts its server.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "index/indexbackend.h"
#include "index/pgindex.h"
#include "runtime/logprintf.h"
#include "tests/index/pgproxy.h"
#include "tests/index/pgserver.h"
#include "tests/store/storetest.h"

namespace
{
class PgFailover : public ::testing::Test
{
protected:
    void SetUp() override
    {
        logprintf_setmaxlevel(LOGLEVEL_INFO);
        std::string why = PgServer::get().unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        static int made = 0;
        archive = "failover-" + std::to_string(getpid()) + "-" + std::to_string(++made);
    }
    void TearDown() override
    {
        if (HasFailure())
            fprintf(stderr, "pgindex log:\n%s", log.text().c_str());
    }
    // One statement on a connection of the test's own: its first value.
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
    // A count over this archive's rows.
    long count(const std::string &statement)
    {
        return atol(sql(statement + " '" + archive + "'").c_str());
    }
    long images(const std::string &sop)
    {
        return atol(sql("SELECT count(*) FROM velto_instances WHERE sop_uid = '" + sop +
                        "' AND archive = '" + archive + "'")
                        .c_str());
    }
    // Every row of the archive whole: each image in a series of a study of
    // a patient, no series or study left empty, each patient once.
    void expectConsistent()
    {
        long all = count("SELECT count(*) FROM velto_instances WHERE archive =");
        EXPECT_EQ(all, count("SELECT count(*) FROM velto_instances i JOIN velto_series se ON"
                             " se.id = i.series JOIN velto_studies st ON st.id = se.study JOIN"
                             " velto_patients p ON p.id = st.patient WHERE i.archive ="));
        EXPECT_EQ(0, count("SELECT count(*) FROM velto_series se JOIN velto_studies st ON"
                           " st.id = se.study WHERE NOT EXISTS (SELECT 1 FROM velto_instances i"
                           " WHERE i.series = se.id) AND st.archive ="));
        EXPECT_EQ(0, count("SELECT count(*) FROM velto_studies st WHERE NOT EXISTS"
                           " (SELECT 1 FROM velto_series se WHERE se.study = st.id) AND"
                           " st.archive ="));
    }
    static int addIn(index_backend &b, const std::string &study, const std::string &series,
                     const std::string &sop, const std::string &patient)
    {
        std::unique_ptr<DcmDataset> ds(
            makeImage(study.c_str(), series.c_str(), sop.c_str(), {{DCM_PatientID, patient}}, 0));
        index_transaction *t = b.begin(study.c_str());
        if (t == nullptr)
            return INDEX_FAILED;
        int r = b.add(t, ds.get(), INDEX_ADD_NEW);
        if (r != INDEX_OK) {
            b.abort(t);
            return r;
        }
        return b.commit(t);
    }
    static double seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    std::string archive;
    LogCapture log;
};
} // namespace

TEST_F(PgFailover, AConnectionCutAtCommitIsReplayedAndCountedOnce)
{
    PgProxy proxy(PgServer::get().dir());
    pgindex index("host=" + proxy.dir() + " dbname=postgres user=velto", archive, log.stream());
    ASSERT_EQ(0, index.open());

    // Cut before the COMMIT reached the server (nothing took) and after
    // the server answered it (it took; the backend cannot know): each add
    // is acknowledged, and its image, study and patient are there once.
    // The server is asked what it did: a transaction that did not take is
    // replayed, one that took is not (the change counter, one step per
    // image written, shows it).
    PgProxy::Cut cuts[] = {PgProxy::CUT_BEFORE_COMMIT, PgProxy::CUT_AFTER_COMMIT};
    const char *said[] = {"did not take: replayed", "took"};
    for (int i = 0; i < 2; i++) {
        std::string n = std::to_string(i + 1);
        proxy.arm(cuts[i]);
        long gen = atol(sql("SELECT last_value + is_called::int FROM velto_generation").c_str());
        EXPECT_EQ(INDEX_OK,
                  addIn(index, "1.5." + n, "1.5." + n + ".1", "1.5." + n + ".1.1", "PAT-CUT-" + n));
        EXPECT_EQ(i + 1, proxy.cuts());
        EXPECT_TRUE(log.contains(std::string("COMMIT of study 1.5.") + n + " " + said[i]))
            << said[i];
        EXPECT_EQ(gen + (i == 0 ? 2 : 1),
                  atol(sql("SELECT last_value + is_called::int FROM velto_generation").c_str()));
        EXPECT_EQ(1, images("1.5." + n + ".1.1"));
        EXPECT_EQ(1, count("SELECT count(*) FROM velto_studies WHERE study_uid = '1.5." + n +
                           "' AND archive ="));
        EXPECT_EQ(1, count("SELECT count(*) FROM velto_patients WHERE patient_key = 'PAT-CUT-" + n +
                           "' AND archive ="));
    }
    // A second image of the first study, the cut after its COMMIT: the
    // study keeps one row and two images.
    proxy.arm(PgProxy::CUT_AFTER_COMMIT);
    EXPECT_EQ(INDEX_OK, addIn(index, "1.5.1", "1.5.1.1", "1.5.1.1.2", "PAT-CUT-1"));
    EXPECT_EQ(3, proxy.cuts());
    EXPECT_EQ(3, count("SELECT count(*) FROM velto_instances WHERE archive ="));
    EXPECT_EQ(2, count("SELECT count(*) FROM velto_studies WHERE archive ="));

    // A removal whose COMMIT took unseen is done, not "missing"; one cut
    // before its COMMIT is done on the replay.
    proxy.arm(PgProxy::CUT_AFTER_COMMIT);
    EXPECT_EQ(INDEX_OK, index.remove("1.5.1", "1.5.1.1", "1.5.1.1.2"));
    EXPECT_EQ(0, images("1.5.1.1.2"));
    proxy.arm(PgProxy::CUT_BEFORE_COMMIT);
    EXPECT_EQ(INDEX_OK, index.remove("1.5.2", "1.5.2.1", "1.5.2.1.1"));
    EXPECT_EQ(0, images("1.5.2.1.1"));
    EXPECT_EQ(5, proxy.cuts());
    // Removing it again: now really missing.
    EXPECT_EQ(INDEX_MISSING, index.remove("1.5.2", "1.5.2.1", "1.5.2.1.1"));

    // A removal inside a transaction, the cut after its COMMIT: the replay
    // finds the image gone and the commit is acknowledged.
    proxy.arm(PgProxy::CUT_AFTER_COMMIT);
    index_transaction *t = index.begin("1.5.1");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(INDEX_OK, index.removeIn(t, "1.5.1", "1.5.1.1", "1.5.1.1.1"));
    EXPECT_EQ(INDEX_OK, index.commit(t));
    EXPECT_EQ(6, proxy.cuts());
    EXPECT_EQ(0, count("SELECT count(*) FROM velto_instances WHERE archive ="));
    EXPECT_EQ(0, count("SELECT count(*) FROM velto_studies WHERE archive ="));
    expectConsistent();
}

TEST_F(PgFailover, ARefusingServerIsWaitedForWithinTheBoundThenTheCallFails)
{
    pgindex index(PgServer::get().conninfo(), archive, log.stream());
    ASSERT_EQ(0, index.open());
    ASSERT_EQ(INDEX_OK, addIn(index, "1.6.1", "1.6.1.1", "1.6.1.1.1", "P6"));

    // Down for a second and a half: the add waits and is acknowledged.
    ASSERT_EQ(0, PgServer::get().stop("fast"));
    auto t0 = std::chrono::steady_clock::now();
    std::thread starter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(0, PgServer::get().start());
    });
    EXPECT_EQ(INDEX_OK, addIn(index, "1.6.1", "1.6.1.1", "1.6.1.1.2", "P6"));
    double waited = seconds(t0);
    starter.join();
    EXPECT_GE(waited, 1.0);
    EXPECT_EQ(1, images("1.6.1.1.2"));
    EXPECT_TRUE(log.contains("cannot connect (waiting)"));

    // Down for longer than the patience: the add fails within it (a C-STORE
    // is refused, not left hanging) and its image is absent.
    index.setPatience(1000);
    ASSERT_EQ(0, PgServer::get().stop("fast"));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(INDEX_FAILED, addIn(index, "1.6.1", "1.6.1.1", "1.6.1.1.3", "P6"));
    waited = seconds(t0);
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 4.0);
    // Soon after, a call tries once rather than waiting again.
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(INDEX_FAILED, addIn(index, "1.6.1", "1.6.1.1", "1.6.1.1.3", "P6"));
    EXPECT_LT(seconds(t0), 0.5);
    // Reads fail as cleanly: a lookup is a failure, never "not stored" (a
    // node drops its copy of an image without a row).
    std::vector<index_image> found;
    EXPECT_EQ(INDEX_FAILED, index.studyImages("1.6.1", &found));
    EXPECT_EQ(-1, index.locate({"1.6.1.1.1"}, &found));
    ASSERT_EQ(0, PgServer::get().start());
    EXPECT_EQ(0, images("1.6.1.1.3"));
    EXPECT_EQ(INDEX_OK, index.studyImages("1.6.1", &found));
    EXPECT_EQ(2u, found.size());
    EXPECT_EQ(INDEX_OK, addIn(index, "1.6.1", "1.6.1.1", "1.6.1.1.3", "P6"));
    EXPECT_EQ(1, images("1.6.1.1.3"));
    expectConsistent();
}

TEST_F(PgFailover, AServerTurnedReadOnlyIsLeftForOneThatTakesWrites)
{
    pgindex index(PgServer::get().conninfo(), archive, log.stream());
    ASSERT_EQ(0, index.open());
    ASSERT_EQ(INDEX_OK, addIn(index, "1.7.1", "1.7.1.1", "1.7.1.1.1", "P7"));
    // The server stops taking writes, as a primary demoted under a
    // failover does; a new session sees it once the server has reloaded
    // (and signalled the running sessions, the backend's among them).
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
    EXPECT_EQ(INDEX_OK, addIn(index, "1.7.1", "1.7.1.1", "1.7.1.1.2", "P7"));
    double waited = seconds(t0);
    writer.join();
    EXPECT_GE(waited, 1.0);
    EXPECT_TRUE(log.contains("25006")) << "the write never met the read-only server";
    EXPECT_EQ(1, images("1.7.1.1.2"));
    expectConsistent();
}

TEST_F(PgFailover, AddsWhileTheServerCrashesAndRestartsLoseNothingAcknowledged)
{
    pgindex index(PgServer::get().conninfo(), archive, log.stream());
    ASSERT_EQ(0, index.open());
    // Three immediate stops (the server's sessions die as in a crash or a
    // failover) while one process adds images as fast as it can.
    std::atomic<bool> done{false};
    std::thread restarter([&] {
        for (int i = 0; i < 3; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            EXPECT_EQ(0, PgServer::get().restart("immediate"));
        }
        done = true;
    });
    struct Added {
        std::string sop;
        int result;
    };
    std::vector<Added> added;
    for (int i = 0; !done || i < 50; i++) {
        // Ten images a study, a patient per study: each new study makes a
        // patient row too.
        std::string study = "1.8." + std::to_string(i / 10);
        std::string sop = study + ".1." + std::to_string(i);
        added.push_back({sop, addIn(index, study, study + ".1", sop, "P8-" + study)});
    }
    restarter.join();

    long ok = 0;
    for (const Added &a : added) {
        if (a.result == INDEX_OK) {
            ok++;
            EXPECT_EQ(1, images(a.sop)) << a.sop << " acknowledged but not stored";
        } else {
            EXPECT_LE(images(a.sop), 1) << a.sop;
        }
    }
    // The restarts are shorter than the patience: every add waited them out.
    EXPECT_EQ((long)added.size(), ok);
    EXPECT_EQ(ok, count("SELECT count(*) FROM velto_instances WHERE archive ="));
    EXPECT_EQ((long)(added.size() + 9) / 10,
              count("SELECT count(*) FROM velto_patients WHERE archive ="));
    EXPECT_TRUE(log.contains("connection lost") || log.contains("reconnecting"))
        << "no add met a restart";
    expectConsistent();
    fprintf(stderr, "%zu adds across three immediate restarts, %ld acknowledged\n", added.size(),
            ok);
}

// A standby promoted: the primary dies as in a crash, its streaming standby
// (synchronous, so every acknowledged commit is on it) is promoted, and
// the backend, given both servers, goes on writing to the new primary.
// Last in the binary: it leaves the first server a former primary (made
// one again, alone, at its end).
TEST_F(PgFailover, AStandbyPromotedTakesOverWithEveryAcknowledgedImage)
{
    PgServer &primary = PgServer::get();
    char tmpl[] = "/tmp/velto-pg-standby-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string dir = tmpl;
    std::string as;
    if (geteuid() == 0) {
        struct passwd *pw = getpwnam("postgres");
        ASSERT_NE(nullptr, pw);
        ASSERT_EQ(0, chown(dir.c_str(), pw->pw_uid, pw->pw_gid));
        as = "runuser -u postgres -- ";
    }
    chmod(dir.c_str(), 0755);
    const std::string bin = "/usr/lib/postgresql/15/bin";
    const std::string standbyCtl = as + bin + "/pg_ctl -D " + dir + "/data -l " + dir + "/log -w ";
    ASSERT_EQ(0, system((as + bin + "/pg_basebackup -h " + primary.dir() + " -U velto -c fast -D " +
                         dir + "/data -R -X stream >" + dir + "/basebackup.log 2>&1")
                            .c_str()));
    ASSERT_EQ(0, system((standbyCtl + "-o \"-k " + dir +
                         " -c listen_addresses='' -c fsync=off\" start >/dev/null 2>&1")
                            .c_str()));
    const std::string writable = " options='-c default_transaction_read_only=off'";
    sql("ALTER SYSTEM SET synchronous_standby_names = '*'", writable);
    sql("SELECT pg_reload_conf()");
    for (int i = 0; i < 500 && sql("SELECT count(*) FROM pg_stat_replication WHERE"
                                   " sync_state = 'sync'") != "1";
         i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ("1", sql("SELECT count(*) FROM pg_stat_replication WHERE sync_state = 'sync'"));

    pgindex index("host=" + primary.dir() + "," + dir + " dbname=postgres user=velto", archive,
                  log.stream());
    ASSERT_EQ(0, index.open());
    std::atomic<bool> done{false};
    std::thread failover([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(0, primary.stop("immediate"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(0, system((standbyCtl + "promote >/dev/null 2>&1").c_str()));
        done = true;
    });
    std::vector<std::pair<std::string, int>> added;
    for (int i = 0; !done || i < 40 || added.size() < 20; i++) {
        std::string study = "1.9." + std::to_string(i / 10);
        std::string sop = study + ".1." + std::to_string(i);
        added.push_back({sop, addIn(index, study, study + ".1", sop, "P9-" + study)});
        if (done && i > 2000)
            break;
    }
    failover.join();

    // Every image acknowledged is on the new primary, once.
    PGconn *c = PQconnectdb(("host=" + dir + " dbname=postgres user=velto").c_str());
    ASSERT_EQ(CONNECTION_OK, PQstatus(c)) << PQerrorMessage(c);
    long ok = 0;
    for (const auto &a : added) {
        std::string q = "SELECT count(*) FROM velto_instances WHERE archive = '" + archive +
                        "' AND sop_uid = '" + a.first + "'";
        PGresult *r = PQexec(c, q.c_str());
        long n = PQresultStatus(r) == PGRES_TUPLES_OK ? atol(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        if (a.second == INDEX_OK) {
            ok++;
            EXPECT_EQ(1, n) << a.first << " acknowledged, not on the promoted standby";
        } else {
            EXPECT_LE(n, 1) << a.first;
        }
    }
    PQfinish(c);
    EXPECT_EQ((long)added.size(), ok) << "the failover outlasted the patience";
    EXPECT_TRUE(log.contains("connection lost") || log.contains("reconnecting"));
    fprintf(stderr, "%zu adds across a promotion, %ld acknowledged\n", added.size(), ok);

    // The first server back, alone and synchronous to nobody, for any case
    // after this one; the promoted standby goes.
    EXPECT_EQ(0, system((standbyCtl + "-m immediate stop >/dev/null 2>&1").c_str()));
    EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
    ASSERT_EQ(0, primary.start());
    sql("ALTER SYSTEM RESET synchronous_standby_names", writable);
    sql("SELECT pg_reload_conf()");
}
