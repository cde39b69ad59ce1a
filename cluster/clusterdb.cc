// The cluster's connection to its database (cluster/clusterdb.h).
#include "cluster/clusterdb.h"

#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include <libpq-fe.h>

#include "runtime/logprintf.h"

// How often a transaction or statement is replayed, and the longest pause
// between two tries: together about 20 s, a database failover's length.
enum { CLUSTERDB_ATTEMPTS = 40, CLUSTERDB_MAX_PAUSE_MS = 1000 };

static long long monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// A pause before a replay: a few ms growing to a second, the pid as
// jitter so that two processes that deadlocked do not meet again.
static void pause(int attempt)
{
    long ms = 2 + attempt * attempt * 3 + getpid() % 5;
    if (ms > CLUSTERDB_MAX_PAUSE_MS)
        ms = CLUSTERDB_MAX_PAUSE_MS;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

static void quiet(void *, const char *) {}

// One connection attempt with the defaults a node needs under failover,
// each overridden by the site's conninfo when it names it: a bounded
// connect, keepalives (a server gone mid-statement is noticed), and only a
// server that takes writes (with several hosts listed, the promoted one).
static PGconn *connectOnce(const std::string &conninfo)
{
    // libpq: a later keyword overrides an earlier one, and the expanded
    // dbname (the site's string) comes last.
    const char *keys[] = {"connect_timeout",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "target_session_attrs",
                          "dbname",
                          nullptr};
    const char *values[] = {"5", "10", "5", "3", "read-write", conninfo.c_str(), nullptr};
    return PQconnectdbParams(keys, values, 1);
}

clusterdb::clusterdb(const std::string &conninfo, FILE *log) : conninfo_(conninfo), log_(log) {}

clusterdb::~clusterdb()
{
    // A transaction left open ends with the connection: rolled back.
    if (conn_)
        PQfinish(conn_);
}

int clusterdb::connect()
{
    if (conn_ && PQstatus(conn_) == CONNECTION_OK)
        return 0;
    if (conn_)
        PQfinish(conn_);
    conn_ = connectOnce(conninfo_);
    if (PQstatus(conn_) != CONNECTION_OK) {
        logprintf(LOGLEVEL_ERROR, log_, "cluster database: cannot connect: %s\n",
                  logprintf_ascii(PQerrorMessage(conn_)).c_str());
        PQfinish(conn_);
        conn_ = nullptr;
        return -1;
    }
    PQsetNoticeProcessor(conn_, quiet, nullptr);
    PGresult *r = PQexec(conn_, "SET client_encoding = 'UTF8';"
                                "SET default_transaction_isolation = 'read committed';"
                                "SET client_min_messages = 'warning'");
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) {
        logprintf(LOGLEVEL_ERROR, log_, "cluster database: cannot set up the session: %s\n",
                  logprintf_ascii(PQerrorMessage(conn_)).c_str());
        PQfinish(conn_);
        conn_ = nullptr;
        return -1;
    }
    return 0;
}

void clusterdb::forked()
{
    if (conn_ == nullptr)
        return;
    // PQfinish would send the server a Terminate on the socket the parent
    // still uses: the child's copy of it is pointed at /dev/null first, so
    // what PQfinish sends and closes is that.
    int fd = PQsocket(conn_);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0 && null >= 0)
        dup2(null, fd);
    if (null >= 0)
        close(null);
    PQfinish(conn_);
    conn_ = nullptr;
    // A lock taken by the parent is the parent's to release.
    new (&mu_) std::recursive_mutex();
}

void clusterdb::setPatience(long ms)
{
    std::lock_guard<std::recursive_mutex> g(mu_);
    patienceMs_ = ms;
}

int clusterdb::open()
{
    std::lock_guard<std::recursive_mutex> g(mu_);
    return connect();
}

int clusterdb::run(const char *sql, const std::vector<std::string> &params, clusterdb_rows *out)
{
    if (connect() != 0)
        return CLUSTERDB_RETRY;
    std::vector<const char *> values;
    for (const std::string &v : params)
        values.push_back(v.c_str());
    // Without parameters the simple protocol, which takes several
    // statements at once (BEGIN and the transaction's id in one round trip).
    PGresult *r = values.empty() ? PQexec(conn_, sql)
                                 : PQexecParams(conn_, sql, (int)values.size(), nullptr,
                                                values.data(), nullptr, nullptr, 0);
    ExecStatusType st = PQresultStatus(r);
    int result = CLUSTERDB_OK;
    lastStatus_ = PQcmdStatus(r) ? PQcmdStatus(r) : "";
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
        if (out != nullptr) {
            out->rows.clear();
            out->nulls.clear();
            int n = PQntuples(r), m = PQnfields(r);
            for (int i = 0; i < n; i++) {
                out->rows.emplace_back();
                out->nulls.emplace_back();
                for (int j = 0; j < m; j++) {
                    out->rows.back().emplace_back(PQgetvalue(r, i, j));
                    out->nulls.back().push_back(PQgetisnull(r, i, j) != 0);
                }
            }
            const char *tuples = PQcmdTuples(r);
            out->affected = tuples && *tuples ? atol(tuples) : 0;
        }
    } else if (PQstatus(conn_) != CONNECTION_OK) {
        logprintf(LOGLEVEL_WARNING, log_, "cluster database: connection lost: %s\n",
                  logprintf_ascii(PQerrorMessage(conn_)).c_str());
        result = CLUSTERDB_RETRY;
    } else {
        const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        state = state ? state : "";
        if (strcmp(state, "40001") == 0 || strcmp(state, "40P01") == 0) {
            logprintf(LOGLEVEL_INFO, log_, "cluster database: %s, replayed: %s\n", state,
                      logprintf_ascii(PQresultErrorMessage(r)).c_str());
            result = CLUSTERDB_RETRY;
        } else if (strcmp(state, "23505") == 0) {
            result = CLUSTERDB_CONFLICT;
        } else if (*state == '\0' || strncmp(state, "08", 2) == 0 ||
                   strncmp(state, "57P0", 4) == 0 || strcmp(state, "25006") == 0) {
            // The connection's or the server's trouble (a shutdown, a
            // standby that is not yet primary): a new connection later.
            // No SQLSTATE at all is libpq's own error: the server closed
            // the socket under a statement being sent (a crash, an
            // immediate stop), and libpq may not have marked the
            // connection bad yet.
            logprintf(LOGLEVEL_WARNING, log_, "cluster database: %s: %s\n",
                      *state ? state : "connection lost",
                      logprintf_ascii(PQresultErrorMessage(r)).c_str());
            PQfinish(conn_);
            conn_ = nullptr;
            result = CLUSTERDB_RETRY;
        } else {
            logprintf(LOGLEVEL_ERROR, log_, "cluster database: %s: %s\n", state,
                      logprintf_ascii(PQresultErrorMessage(r)).c_str());
            result = CLUSTERDB_FAILED;
        }
    }
    PQclear(r);
    return result;
}

void clusterdb::rollback()
{
    if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        PGresult *r = PQexec(conn_, "ROLLBACK");
        PQclear(r);
    }
}

int clusterdb_tx::q(const char *sql, const std::vector<std::string> &params, clusterdb_rows *out)
{
    return db_->run(sql, params, out);
}

int clusterdb::exec(const char *sql, const std::vector<std::string> &params, clusterdb_rows *out)
{
    std::lock_guard<std::recursive_mutex> g(mu_);
    long long start = monotonicMs();
    for (int attempt = 0; attempt < CLUSTERDB_ATTEMPTS; attempt++) {
        int r = run(sql, params, out);
        if (r != CLUSTERDB_RETRY)
            return r;
        if (monotonicMs() - start > patienceMs_)
            break;
        pause(attempt);
    }
    logprintf(LOGLEVEL_ERROR, log_, "cluster database: gave up after %d tries or %ld ms\n",
              (int)CLUSTERDB_ATTEMPTS, patienceMs_);
    return CLUSTERDB_FAILED;
}

int clusterdb::transact(const std::function<int(clusterdb_tx &)> &fn)
{
    std::lock_guard<std::recursive_mutex> g(mu_);
    // Nested use is a programming error: the outer transaction would be
    // committed by the inner one. (A connection lost earlier reports
    // PQTRANS_UNKNOWN: that is no transaction, and is made anew.)
    if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
        abort();
    clusterdb_tx tx(this);
    long long start = monotonicMs();
    for (int attempt = 0; attempt < CLUSTERDB_ATTEMPTS; attempt++) {
        // The transaction's id and session, for a COMMIT whose answer is
        // lost (see outcome).
        clusterdb_rows began;
        int r = run("BEGIN; SELECT txid_current()", {}, &began);
        std::string txid = r == CLUSTERDB_OK && began.size() == 1 ? began.at(0, 0) : "";
        int pid = conn_ ? PQbackendPID(conn_) : 0;
        if (r == CLUSTERDB_OK)
            r = fn(tx);
        // A statement that failed without fn noticing (a conflict taken
        // without a savepoint) aborted the transaction on the server:
        // COMMIT would answer ROLLBACK, which must not count as done.
        if (r == CLUSTERDB_OK && conn_ && PQtransactionStatus(conn_) == PQTRANS_INERROR) {
            logprintf(LOGLEVEL_ERROR, log_,
                      "cluster database: a transaction went on after a failed statement: "
                      "rolled back\n");
            r = CLUSTERDB_FAILED;
        }
        if (r == CLUSTERDB_OK) {
            r = run("COMMIT", {}, nullptr);
            if (r == CLUSTERDB_OK && lastStatus_ != "COMMIT")
                r = CLUSTERDB_FAILED;
            // Lost AT COMMIT: the server is asked whether it took, so that
            // a transaction that took is not run twice (a claim would be
            // made again, of another job); when it cannot tell, fn is
            // replayed (each fn is idempotent, see the header).
            if (r == CLUSTERDB_RETRY && outcome(txid, pid) == 1) {
                logprintf(LOGLEVEL_NOTICE, log_,
                          "cluster database: an unanswered COMMIT took: not replayed\n");
                return CLUSTERDB_OK;
            }
        }
        if (r == CLUSTERDB_OK)
            return CLUSTERDB_OK;
        rollback();
        if (r != CLUSTERDB_RETRY)
            return r == CLUSTERDB_CONFLICT ? CLUSTERDB_FAILED : r;
        if (monotonicMs() - start > patienceMs_)
            break;
        pause(attempt);
    }
    logprintf(LOGLEVEL_ERROR, log_,
              "cluster database: a transaction gave up after %d tries or %ld ms\n",
              (int)CLUSTERDB_ATTEMPTS, patienceMs_);
    return CLUSTERDB_FAILED;
}

int clusterdb::outcome(const std::string &txid, int pid)
{
    if (txid.empty())
        return 0;
    long long start = monotonicMs();
    for (int attempt = 0;; attempt++) {
        if (attempt > 0)
            pause(attempt);
        clusterdb_rows rows;
        int r = run("SELECT txid_status($1::bigint)", {txid}, &rows);
        if (r == CLUSTERDB_RETRY && monotonicMs() - start < patienceMs_)
            continue;
        // An id the server never gave out ("in the future": a promoted
        // standby that never had it) fails the statement: it did not take.
        if (r != CLUSTERDB_OK || rows.size() != 1)
            return r == CLUSTERDB_FAILED ? 0 : -1;
        const std::string &status = rows.at(0, 0);
        if (status == "committed")
            return 1;
        if (status != "in progress" || monotonicMs() - start > patienceMs_)
            return status == "in progress" ? -1 : 0;
        // Its session lives on (a cut the server has not noticed): ended,
        // so that it cannot commit after a replay. Only the session that
        // still holds this very transaction: after a failover the pid may
        // be another's.
        run("SELECT pg_terminate_backend(pid, 1000) FROM pg_stat_activity WHERE pid = "
            "$1::integer AND backend_xid::text = ($2::bigint % 4294967296)::text",
            {std::to_string(pid), txid}, nullptr);
    }
}

int clusterdb::migrate(const char *module, int version, const char *const *steps)
{
    int r = transact([&](clusterdb_tx &tx) -> int {
        clusterdb_rows rows;
        // One lock for every module's migration: they are short and rare.
        int s = tx.q("SELECT pg_advisory_xact_lock(7652001)");
        if (s == CLUSTERDB_OK)
            s = tx.q("CREATE TABLE IF NOT EXISTS velto_module_version ("
                     " module text PRIMARY KEY, version integer NOT NULL)");
        if (s == CLUSTERDB_OK)
            s = tx.q("SELECT version FROM velto_module_version WHERE module = $1", {module}, &rows);
        if (s != CLUSTERDB_OK)
            return s;
        int have = rows.size() > 0 ? atoi(rows.at(0, 0).c_str()) : 0;
        for (int v = have; v < version; v++) {
            // Several statements: the simple protocol, no parameters.
            PGresult *res = PQexec(conn_, steps[v]);
            bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
            if (!ok)
                logprintf(LOGLEVEL_ERROR, log_, "cluster database: migrating %s to %d: %s\n",
                          module, v + 1, logprintf_ascii(PQresultErrorMessage(res)).c_str());
            PQclear(res);
            if (!ok)
                return PQstatus(conn_) == CONNECTION_OK ? CLUSTERDB_FAILED : CLUSTERDB_RETRY;
        }
        if (have < version)
            s = tx.q("INSERT INTO velto_module_version VALUES ($1, $2::integer)"
                     " ON CONFLICT (module) DO UPDATE SET version = excluded.version",
                     {module, std::to_string(version)});
        return s;
    });
    return r == CLUSTERDB_OK ? 0 : -1;
}

long long clusterdb::nowMs()
{
    clusterdb_rows rows;
    if (exec("SELECT (extract(epoch FROM clock_timestamp()) * 1000)::bigint", {}, &rows) !=
            CLUSTERDB_OK ||
        rows.size() != 1)
        return -1;
    return atoll(rows.at(0, 0).c_str());
}
