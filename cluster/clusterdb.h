// The cluster's shared state in its PostgreSQL database, beside the index
// (index/pgindex.h): one connection per process and the way every module of
// the cluster (the forwarding queue, quietness, storage commitment, the
// upload queue) runs its statements on it.
//
// - Statements with text parameters ($1, $2 ...), results as text rows.
// - A transaction is a function replayed whole on a serialization failure
//   or deadlock (SQLSTATE 40001, 40P01) or a connection lost before its
//   COMMIT, a bounded number of times with a growing pause, 25 s at most
//   in all (setPatience; so a database failover of a few seconds is
//   waited out, and a database that stays down fails the call); the function must keep no
//   effect outside the database until clusterdb::transact returns 0.
// - A connection lost at COMMIT leaves it unknown whether the transaction
//   took: the server is asked (txid_status of the id read with BEGIN, on a
//   new connection, the old session ended first if it still holds it), and
//   the function is replayed only when it did not take or the server
//   cannot tell; each must still be idempotent (insert ... ON CONFLICT,
//   update by key), which every user here is.
// - A connection asks for a server that takes writes
//   (target_session_attrs=read-write, unless the conninfo says otherwise),
//   so a conninfo that lists a primary and its standbys follows a
//   promotion; 25006 (read only) and a shutdown's 57P0x drop the
//   connection and replay.
// - A function that goes on after a failed statement (a conflict taken
//   without a savepoint) gets CLUSTERDB_FAILED: the server rolled back.
// - Each module makes its own tables with migrate, under an advisory lock,
//   keeping its version in velto_module_version; migrations only add, so a
//   node running older code keeps working.
// - Threads: calls are serialised by a mutex; a forked child must not use
//   its parent's object (the socket is shared): it makes its own.
#ifndef VELTO_CLUSTER_CLUSTERDB_H
#define VELTO_CLUSTER_CLUSTERDB_H

#include <stdio.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

typedef struct pg_conn PGconn;

// The rows a statement gave back, every value as text ("" for NULL, and
// isNull tells them apart).
struct clusterdb_rows {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::vector<bool>> nulls;
    long affected = 0; // rows an INSERT, UPDATE or DELETE touched
    size_t size() const { return rows.size(); }
    const std::string &at(size_t row, size_t col) const { return rows[row][col]; }
    bool isNull(size_t row, size_t col) const { return nulls[row][col]; }
};

// Results of statements and transactions.
enum {
    CLUSTERDB_OK = 0,
    CLUSTERDB_FAILED = -1,   // logged; a transaction is rolled back
    CLUSTERDB_RETRY = -2,    // inside transact: the transaction is replayed
    CLUSTERDB_CONFLICT = -3, // a unique key taken (23505): the statement's alone
};

class clusterdb;

// The statements of one transaction (valid inside transact's function).
class clusterdb_tx
{
public:
    // Runs sql with params: CLUSTERDB_OK, CLUSTERDB_CONFLICT (the caller
    // may go on only after a savepoint: see conflictOk), or
    // CLUSTERDB_RETRY / CLUSTERDB_FAILED, which the function returns at
    // once.
    int q(const char *sql, const std::vector<std::string> &params = {},
          clusterdb_rows *out = nullptr);

private:
    friend class clusterdb;
    explicit clusterdb_tx(clusterdb *db) : db_(db) {}
    clusterdb *db_;
};

class clusterdb
{
public:
    // conninfo: libpq's connection string; log borrowed (may be null).
    clusterdb(const std::string &conninfo, FILE *log);
    ~clusterdb();
    clusterdb(const clusterdb &) = delete;
    clusterdb &operator=(const clusterdb &) = delete;

    // Connects now (else at the first call): 0, or -1 (logged).
    int open();
    // The longest a statement or transaction is replayed for, whatever its
    // tries cost (a host that drops packets makes each connect wait its
    // whole connect_timeout, 5 s): 25 s unless set.
    void setPatience(long ms);
    // One statement on its own (autocommit), replayed after a lost
    // connection as transact does: CLUSTERDB_OK, CLUSTERDB_CONFLICT or
    // CLUSTERDB_FAILED.
    int exec(const char *sql, const std::vector<std::string> &params = {},
             clusterdb_rows *out = nullptr);
    // Runs fn in one READ COMMITTED transaction: fn returns CLUSTERDB_OK to
    // commit, CLUSTERDB_RETRY to replay, anything else to roll back (that
    // value is returned). CLUSTERDB_OK once committed; CLUSTERDB_FAILED
    // after the replays ran out (logged).
    int transact(const std::function<int(clusterdb_tx &)> &fn);
    // Brings module's tables to version: steps[v] (SQL, several statements
    // allowed) takes them from version v to v+1, each in the transaction
    // that records it. 0, or -1 (logged).
    int migrate(const char *module, int version, const char *const *steps);
    // The database's clock, in milliseconds since the epoch: the one clock
    // the nodes' leases are measured by. -1 on failure.
    long long nowMs();

    // In a forked child: lets go of the parent's connection without a word
    // to the server (whose session stays the parent's); the next call
    // connects anew.
    void forked();

    FILE *log() const { return log_; }

private:
    friend class clusterdb_tx;
    int run(const char *sql, const std::vector<std::string> &params, clusterdb_rows *out);
    int connect();
    void rollback();
    // What became of the transaction txid (of session pid) whose COMMIT
    // went unanswered, asked on a new connection: 1 it took, 0 it did not,
    // -1 unknown.
    int outcome(const std::string &txid, int pid);

    std::string conninfo_;
    FILE *log_;
    PGconn *conn_ = nullptr;
    long patienceMs_ = 25000;
    std::string lastStatus_; // the last statement's command tag ("COMMIT", "ROLLBACK" ...)
    std::recursive_mutex mu_;
};

#endif
