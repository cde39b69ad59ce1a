// The cluster's forwarding queue in its PostgreSQL database: the tables, the
// jobs the rules make at ingest (held, kept, dropped), the forwarder's
// claims under a lease, and the page's operations (core/forwarddb.h).
#include "core/forwarddb.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archive.h"
#include "core/listener.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"
#include "store/localstore.h"

// The database's clock in milliseconds: every time of the queue (next try,
// lease end, a quiet study's last image) is measured by it, so that nodes
// whose clocks differ agree on when a lease is over.
#define NOW_MS "(extract(epoch FROM clock_timestamp()) * 1000)::bigint"

// The columns of a job as rowToJob reads them (j: velto_forward_jobs).
#define JOB_COLUMNS                                                                                \
    "j.id, j.destination, j.study, j.series, j.instance, j.syntax, j.origin, j.deidentify, "       \
    "j.quiet, j.state, j.attempts, j.next_ms, j.created_ms, j.touched_ms, j.total, j.failed, "     \
    "j.error, (SELECT count(*) FROM velto_forward_sent s WHERE s.job = j.id)"

static const char *const MIGRATIONS[] = {
    // 1: the jobs (what they select, where to, how, their state and
    // lease), the instances each delivered, the paused destinations and
    // the history of finished jobs. Times in milliseconds of the database's
    // clock.
    "CREATE TABLE velto_forward_jobs ("
    " id text PRIMARY KEY,"
    " destination text NOT NULL,"
    " study text NOT NULL,"
    " series text NOT NULL DEFAULT '',"
    " instance text NOT NULL DEFAULT '',"
    " syntax integer NOT NULL DEFAULT 0,"
    " origin text NOT NULL DEFAULT '',"
    " deidentify text NOT NULL DEFAULT '',"
    " quiet integer NOT NULL DEFAULT 0,"
    " state integer NOT NULL,"
    " attempts integer NOT NULL DEFAULT 0,"
    " next_ms bigint NOT NULL,"
    " created_ms bigint NOT NULL,"
    " touched_ms bigint NOT NULL,"
    " total integer NOT NULL DEFAULT 0,"
    " failed integer NOT NULL DEFAULT 0,"
    " error text NOT NULL DEFAULT '',"
    " lease_node text,"
    " lease_until bigint,"
    " finished_ms bigint);"
    "CREATE INDEX velto_forward_jobs_due ON velto_forward_jobs (state, next_ms);"
    "CREATE TABLE velto_forward_sent ("
    " job text NOT NULL REFERENCES velto_forward_jobs (id) ON DELETE CASCADE,"
    " instance text NOT NULL, PRIMARY KEY (job, instance));"
    "CREATE TABLE velto_forward_paused (destination text PRIMARY KEY);"
    "CREATE TABLE velto_forward_history ("
    " at_ms bigint NOT NULL, destination text NOT NULL, study text NOT NULL,"
    " origin text NOT NULL, jobs integer NOT NULL, images integer NOT NULL);"
    "CREATE INDEX velto_forward_history_at ON velto_forward_history (at_ms);",
};
enum { FORWARDDB_VERSION = 1 };

// The most held jobs one look settles: the rest at the next look.
enum { FORWARDDB_SETTLE_BATCH = 100 };
// Web jobs that are done stay a day, as their files do on one host.
enum { FORWARDDB_DONE_KEEP_MS = 86400 * 1000 };

static long long number(const std::string &s)
{
    return strtoll(s.c_str(), nullptr, 10);
}

static forward_job rowToJob(const clusterdb_rows &rows, size_t i)
{
    forward_job j;
    j.id = rows.at(i, 0);
    j.destination = rows.at(i, 1);
    j.study = rows.at(i, 2);
    j.series = rows.at(i, 3);
    j.instance = rows.at(i, 4);
    j.syntax = (int)number(rows.at(i, 5));
    j.origin = rows.at(i, 6);
    j.deidentify = rows.at(i, 7);
    j.quiet = (unsigned)number(rows.at(i, 8));
    j.state = (int)number(rows.at(i, 9));
    j.attempts = (int)number(rows.at(i, 10));
    j.next = number(rows.at(i, 11)) / 1000;
    j.created = number(rows.at(i, 12)) / 1000;
    j.touchedNs = number(rows.at(i, 13)) * 1000000LL;
    j.total = (int)number(rows.at(i, 14));
    j.failed = (int)number(rows.at(i, 15));
    j.error = rows.at(i, 16);
    j.sent = (int)number(rows.at(i, 17));
    return j;
}

forwarddb::forwarddb(clusterdb *db, const cluster_config *cfg, FILE *log)
    : db_(db), node_(cfg->node), leaseMs_(cfg->leaseMs), log_(log)
{
}

forwarddb::forwarddb(clusterdb *db, const std::string &node, long leaseMs, FILE *log)
    : db_(db), node_(node), leaseMs_(leaseMs), log_(log)
{
}

int forwarddb::migrate()
{
    // Once per process: the tables outlive every connection, and a forked
    // child (a worker of the listener) inherits the knowledge that they
    // are there. A failure is tried again at the next call.
    static std::atomic<bool> done{false};
    if (done.load())
        return 0;
    if (db_->migrate("forward", FORWARDDB_VERSION, MIGRATIONS) != 0)
        return -1;
    done.store(true);
    return 0;
}

// Inserts job in state (its id, times and counters as they are; times of
// the database's clock now). A held job is leased to this node: no other
// node settles it while its store may still be running.
int forwarddb::insertJob(const forward_job &job, int state)
{
    bool held = state == FORWARDDB_HELD;
    int r = db_->exec("INSERT INTO velto_forward_jobs (id, destination, study, series, instance,"
                      " syntax, origin, deidentify, quiet, state, attempts, next_ms, created_ms,"
                      " touched_ms, total, lease_node, lease_until) VALUES ($1, $2, $3, $4, $5,"
                      " $6::integer, $7, $8, $9::integer, $10::integer, 0, " NOW_MS ", " NOW_MS
                      ", " NOW_MS ", $11::integer, NULLIF($12, ''), "
                      "CASE WHEN $12 = '' THEN NULL ELSE " NOW_MS
                      " + $13::bigint END) ON CONFLICT (id) DO NOTHING",
                      {job.id, job.destination, job.study, job.series, job.instance,
                       std::to_string(job.syntax), job.origin, job.deidentify,
                       std::to_string(job.quiet), std::to_string(state), std::to_string(job.total),
                       held ? node_ : std::string(), std::to_string(leaseMs_)});
    return r == CLUSTERDB_OK ? 0 : -1;
}

int forwarddb::makeJobs(const forward_rules *rules, DcmDataset *ds, const char *caller,
                        const char *study, const char *series, const char *instance,
                        std::vector<forward_job> *held)
{
    if (migrate() != 0)
        return -1;
    for (const forward_rule &r : rules->rules) {
        if (!forward_ruleMatches(r, ds, caller))
            continue;
        forward_job job;
        job.destination = r.destination;
        job.study = study;
        job.syntax = r.syntax;
        job.deidentify = r.deidentify;
        job.origin = "rule " + std::to_string(r.line);
        if (r.when == FORWARD_ON_STORE) {
            job.series = series;
            job.instance = instance;
            job.total = 1;
            // The node in the id: two nodes never make the same one.
            job.id = forward_newId() + "-" + node_;
            if (insertJob(job, held != nullptr ? (int)FORWARDDB_HELD : (int)FORWARD_PENDING) != 0) {
                logprintf(LOGLEVEL_ERROR, log_,
                          "Cannot write forwarding job of %s to %s in the cluster's database.\n",
                          instance, r.destination.c_str());
                return -1;
            }
            if (held != nullptr)
                held->push_back(job);
            continue;
        }
        // One job per rule and study, made by the first image and refreshed
        // by each later one: its touched time tells how long the study has
        // been quiet. A failed or done one is tried afresh (attempts from
        // 0), with what it delivered kept. The upsert locks the row, so it
        // waits for a forwarder's finish, which then sees the new time.
        job.id = forward_quietId(r, study);
        job.quiet = r.quiet;
        int s = db_->exec(
            "INSERT INTO velto_forward_jobs (id, destination, study, syntax, origin, deidentify,"
            " quiet, state, next_ms, created_ms, touched_ms) VALUES ($1, $2, $3, $4::integer, $5,"
            " $6, $7::integer, 0, " NOW_MS ", " NOW_MS ", " NOW_MS ") ON CONFLICT (id) DO UPDATE"
            " SET touched_ms = " NOW_MS ","
            " attempts = CASE WHEN velto_forward_jobs.state = 0 THEN velto_forward_jobs.attempts"
            " ELSE 0 END,"
            " error = CASE WHEN velto_forward_jobs.state = 0 THEN velto_forward_jobs.error"
            " ELSE '' END,"
            " next_ms = CASE WHEN velto_forward_jobs.state = 0 THEN velto_forward_jobs.next_ms"
            " ELSE " NOW_MS " END,"
            " state = 0",
            {job.id, job.destination, job.study, std::to_string(job.syntax), job.origin,
             job.deidentify, std::to_string(job.quiet)});
        if (s != CLUSTERDB_OK) {
            logprintf(LOGLEVEL_ERROR, log_,
                      "Cannot write forwarding job %s in the cluster's database.\n",
                      job.id.c_str());
            return -1;
        }
    }
    return 0;
}

int forwarddb::hold(const forward_rules *rules, DcmDataset *ds, const char *caller,
                    const char *study, const char *series, const char *instance,
                    std::vector<forward_job> *held)
{
    held->clear();
    if (makeJobs(rules, ds, caller, study, series, instance, held) == 0)
        return 0;
    drop(*held);
    held->clear();
    return -1;
}

int forwarddb::keep(const std::vector<forward_job> &held)
{
    if (held.empty())
        return 0;
    std::vector<std::string> ids;
    for (const forward_job &j : held)
        ids.push_back(j.id);
    clusterdb_rows rows;
    if (db_->exec("UPDATE velto_forward_jobs SET state = 0, lease_node = NULL, lease_until = NULL"
                  " WHERE id = ANY($1::text[]) AND state = 3",
                  {textfield_sqlArray(ids)}, &rows) != CLUSTERDB_OK) {
        logprintf(LOGLEVEL_ERROR, log_,
                  "Cannot queue the forwarding jobs of an image in the cluster's database.\n");
        return -1;
    }
    if (rows.affected == (long)held.size())
        return 0;
    // Some are no longer held: a node that found the lease over settled
    // them (this store outlasted its lease) and removed those whose image
    // was not yet in the index. The image stays: they are made again.
    for (const forward_job &j : held)
        if (insertJob(j, FORWARD_PENDING) != 0) {
            logprintf(LOGLEVEL_ERROR, log_,
                      "Cannot queue forwarding job %s in the cluster's database.\n", j.id.c_str());
            return -1;
        }
    return 0;
}

void forwarddb::drop(const std::vector<forward_job> &held)
{
    if (held.empty())
        return;
    std::vector<std::string> ids;
    for (const forward_job &j : held)
        ids.push_back(j.id);
    // Kept ones too (another listener's keep failed after this one's): the
    // image goes, and with it every job made for it. One left by a failure
    // here is settled by its lease's end (its image is not in the index).
    db_->exec("DELETE FROM velto_forward_jobs WHERE id = ANY($1::text[])",
              {textfield_sqlArray(ids)});
}

int forwarddb::noteStored(const forward_rules *rules, DcmDataset *ds, const char *caller,
                          const char *study, const char *series, const char *instance)
{
    return makeJobs(rules, ds, caller, study, series, instance, nullptr);
}

int forwarddb::settleHeld(const std::function<bool(const forward_job &)> &stored)
{
    if (migrate() != 0)
        return -1;
    int made = 0;
    std::vector<std::string> queued, removed;
    int r = db_->transact([&](clusterdb_tx &tx) -> int {
        made = 0;
        queued.clear();
        removed.clear();
        clusterdb_rows rows;
        // SKIP LOCKED: two nodes settling at once take different jobs.
        int s = tx.q("SELECT " JOB_COLUMNS " FROM velto_forward_jobs j WHERE j.state = 3"
                     " AND j.lease_until < " NOW_MS " ORDER BY j.id LIMIT $1::integer"
                     " FOR UPDATE SKIP LOCKED",
                     {std::to_string((int)FORWARDDB_SETTLE_BATCH)}, &rows);
        if (s != CLUSTERDB_OK)
            return s;
        for (size_t i = 0; i < rows.size(); i++) {
            forward_job job = rowToJob(rows, i);
            bool in = stored(job);
            s = in ? tx.q("UPDATE velto_forward_jobs SET state = 0, lease_node = NULL,"
                          " lease_until = NULL WHERE id = $1",
                          {job.id})
                   : tx.q("DELETE FROM velto_forward_jobs WHERE id = $1", {job.id});
            if (s != CLUSTERDB_OK)
                return s;
            (in ? queued : removed).push_back(job.id);
        }
        made = (int)queued.size();
        return CLUSTERDB_OK;
    });
    if (r != CLUSTERDB_OK)
        return -1;
    // Said once committed (a replay repeats none).
    for (const std::string &id : queued)
        logprintf(LOGLEVEL_NOTICE, log_, "Forwarding job %s of a store cut short queued.\n",
                  id.c_str());
    for (const std::string &id : removed)
        logprintf(LOGLEVEL_NOTICE, log_,
                  "Forwarding job %s of a store cut short removed: its image is not stored.\n",
                  id.c_str());
    return made;
}

int forwarddb::claim(size_t max, std::vector<forward_job> *jobs)
{
    jobs->clear();
    if (migrate() != 0)
        return -1;
    clusterdb_rows rows;
    // One statement: the rows are chosen, locked (SKIP LOCKED: a row another
    // node is claiming is passed over, not waited for) and leased together.
    // A row another node claimed and committed after this statement's
    // snapshot is read again once locked, and its new lease keeps it out.
    // A connection lost at its commit replays it: jobs the lost one leased
    // are then this node's without it knowing, and wait for their lease to
    // end (a delay, no double send).
    int s = db_->exec("WITH c AS (SELECT id FROM velto_forward_jobs j WHERE j.state = 0"
                      " AND j.next_ms <= " NOW_MS
                      " AND (j.quiet = 0 OR j.touched_ms + j.quiet * 1000::bigint <= " NOW_MS
                      ") AND (j.lease_until IS NULL OR j.lease_until < " NOW_MS ")"
                      " AND NOT EXISTS (SELECT 1 FROM velto_forward_paused p WHERE p.destination ="
                      " j.destination) ORDER BY j.id LIMIT $3::integer FOR UPDATE SKIP LOCKED)"
                      " UPDATE velto_forward_jobs j SET lease_node = $1, lease_until = " NOW_MS
                      " + $2::bigint"
                      " FROM c WHERE j.id = c.id RETURNING " JOB_COLUMNS,
                      {node_, std::to_string(leaseMs_), std::to_string(max)}, &rows);
    if (s != CLUSTERDB_OK) {
        logprintf(LOGLEVEL_ERROR, log_,
                  "Forwarder: cannot claim jobs in the cluster's database.\n");
        return -1;
    }
    for (size_t i = 0; i < rows.size(); i++)
        jobs->push_back(rowToJob(rows, i));
    std::sort(jobs->begin(), jobs->end(),
              [](const forward_job &a, const forward_job &b) { return a.id < b.id; });
    return 0;
}

int forwarddb::renew(const std::vector<std::string> &ids, std::set<std::string> *lost)
{
    if (lost != nullptr)
        lost->clear();
    if (ids.empty())
        return 0;
    clusterdb_rows rows;
    if (db_->exec("UPDATE velto_forward_jobs SET lease_until = " NOW_MS " + $2::bigint"
                  " WHERE id = ANY($3::text[]) AND lease_node = $1 AND state = 0 RETURNING id",
                  {node_, std::to_string(leaseMs_), textfield_sqlArray(ids)},
                  &rows) != CLUSTERDB_OK)
        return -1;
    if (lost != nullptr) {
        std::set<std::string> kept;
        for (size_t i = 0; i < rows.size(); i++)
            kept.insert(rows.at(i, 0));
        for (const std::string &id : ids)
            if (kept.count(id) == 0)
                lost->insert(id);
    }
    return 0;
}

int forwarddb::noteSent(const std::string &id, const std::string &instance)
{
    if (db_->exec("INSERT INTO velto_forward_sent (job, instance) VALUES ($1, $2)"
                  " ON CONFLICT DO NOTHING",
                  {id, instance}) != CLUSTERDB_OK) {
        logprintf(LOGLEVEL_ERROR, log_, "Cannot note forwarded image of job %s.\n", id.c_str());
        return -1;
    }
    return 0;
}

void forwarddb::sentSet(const std::string &id, std::set<std::string> *out)
{
    out->clear();
    clusterdb_rows rows;
    if (db_->exec("SELECT instance FROM velto_forward_sent WHERE job = $1", {id}, &rows) !=
        CLUSTERDB_OK)
        return;
    for (size_t i = 0; i < rows.size(); i++)
        out->insert(rows.at(i, 0));
}

int forwarddb::finish(const forward_job &job, long long takenNs)
{
    int r = db_->transact([&](clusterdb_tx &tx) -> int {
        clusterdb_rows rows;
        int s = tx.q("SELECT touched_ms FROM velto_forward_jobs WHERE id = $1 AND lease_node = $2"
                     " FOR UPDATE",
                     {job.id, node_}, &rows);
        if (s != CLUSTERDB_OK || rows.size() == 0)
            return s; // not this node's (any more): its new holder settles it
        long long touchedNs = number(rows.at(0, 0)) * 1000000LL;
        if (job.quiet != 0 && touchedNs > takenNs)
            // New images came while it was sent: they go at its next try.
            return tx.q("UPDATE velto_forward_jobs SET state = 0, attempts = 0, error = '',"
                        " total = $2::integer, lease_node = NULL, lease_until = NULL"
                        " WHERE id = $1",
                        {job.id, std::to_string(job.total)});
        if (job.origin.compare(0, 4, "web ") == 0)
            return tx.q("UPDATE velto_forward_jobs SET state = 2, failed = 0, error = '',"
                        " total = $2::integer, finished_ms = " NOW_MS ", lease_node = NULL,"
                        " lease_until = NULL WHERE id = $1",
                        {job.id, std::to_string(job.total)});
        // Its sent rows go with it (ON DELETE CASCADE).
        return tx.q("DELETE FROM velto_forward_jobs WHERE id = $1", {job.id});
    });
    if (r != CLUSTERDB_OK) {
        logprintf(LOGLEVEL_ERROR, log_,
                  "Cannot finish forwarding job %s in the cluster's database.\n", job.id.c_str());
        return -1;
    }
    return 0;
}

int forwarddb::release(const forward_job &job, long long waitSeconds)
{
    if (db_->exec("UPDATE velto_forward_jobs SET state = $3::integer, attempts = $4::integer,"
                  " total = $5::integer, failed = $6::integer, error = $7,"
                  " next_ms = " NOW_MS " + $8::bigint * 1000, lease_node = NULL,"
                  " lease_until = NULL WHERE id = $1 AND lease_node = $2",
                  {job.id, node_, std::to_string(job.state), std::to_string(job.attempts),
                   std::to_string(job.total), std::to_string(job.failed), job.error,
                   std::to_string(waitSeconds)}) != CLUSTERDB_OK) {
        logprintf(LOGLEVEL_ERROR, log_,
                  "Cannot write forwarding job %s in the cluster's database.\n", job.id.c_str());
        return -1;
    }
    return 0;
}

int forwarddb::submit(forward_job *job)
{
    if (migrate() != 0)
        return -1;
    job->id = forward_newId() + "-" + node_;
    job->state = FORWARD_PENDING;
    job->attempts = 0;
    job->created = job->next = (long long)time(nullptr);
    if (insertJob(*job, FORWARD_PENDING) != 0) {
        logprintf(LOGLEVEL_ERROR, log_, "Cannot write forwarding job in the cluster's database.\n");
        return -1;
    }
    return 0;
}

int forwarddb::list(std::vector<forward_job> *jobs)
{
    jobs->clear();
    if (migrate() != 0)
        return -1;
    clusterdb_rows rows;
    if (db_->exec("SELECT " JOB_COLUMNS " FROM velto_forward_jobs j WHERE j.state <> 3"
                  " ORDER BY j.id",
                  {}, &rows) != CLUSTERDB_OK)
        return -1;
    for (size_t i = 0; i < rows.size(); i++)
        jobs->push_back(rowToJob(rows, i));
    return 0;
}

int forwarddb::read(const std::string &id, forward_job *job)
{
    if (migrate() != 0)
        return -1;
    clusterdb_rows rows;
    if (db_->exec("SELECT " JOB_COLUMNS " FROM velto_forward_jobs j WHERE j.id = $1"
                  " AND j.state <> 3",
                  {id}, &rows) != CLUSTERDB_OK)
        return -1;
    if (rows.size() == 0)
        return 0;
    *job = rowToJob(rows, 0);
    return 1;
}

void forwarddb::counts(size_t *pending, size_t *failed)
{
    *pending = *failed = 0;
    clusterdb_rows rows;
    if (migrate() != 0 ||
        db_->exec("SELECT count(*) FILTER (WHERE state = 0), count(*) FILTER (WHERE state = 1)"
                  " FROM velto_forward_jobs",
                  {}, &rows) != CLUSTERDB_OK ||
        rows.size() != 1)
        return;
    *pending = (size_t)number(rows.at(0, 0));
    *failed = (size_t)number(rows.at(0, 1));
}

bool forwarddb::queued()
{
    clusterdb_rows rows;
    return migrate() == 0 &&
           db_->exec("SELECT 1 FROM velto_forward_jobs LIMIT 1", {}, &rows) == CLUSTERDB_OK &&
           rows.size() != 0;
}

int forwarddb::retry(const std::string &id)
{
    if (migrate() != 0)
        return -1;
    clusterdb_rows rows;
    if (db_->exec("UPDATE velto_forward_jobs SET state = 0, attempts = 0, error = '',"
                  " next_ms = " NOW_MS " WHERE id = $1 AND state = 1 RETURNING destination",
                  {id}, &rows) != CLUSTERDB_OK)
        return -1;
    if (rows.size() == 0)
        return 0;
    logprintf(LOGLEVEL_NOTICE, log_, "Forwarding job %s to %s put back into the queue.\n",
              id.c_str(), rows.at(0, 0).c_str());
    return 1;
}

int forwarddb::retryAll(const std::string &destination, const std::string &study)
{
    if (migrate() != 0)
        return -1;
    clusterdb_rows rows;
    // A job being sent (leased) that waits after a failed try is put back
    // too: its sender's release then writes its own outcome over this, as
    // a forwarder's rewrite does on one host.
    if (db_->exec("UPDATE velto_forward_jobs SET state = 0, attempts = 0, error = '',"
                  " next_ms = " NOW_MS " WHERE destination = $1 AND ($2 = '' OR study = $2)"
                  " AND (state = 1 OR (state = 0 AND attempts > 0))",
                  {destination, study}, &rows) != CLUSTERDB_OK)
        return -1;
    if (rows.affected != 0)
        logprintf(LOGLEVEL_NOTICE, log_, "Forwarding to %s: %ld job(s) put back into the queue.\n",
                  destination.c_str(), rows.affected);
    return (int)rows.affected;
}

int forwarddb::setPaused(const std::string &destination, bool paused)
{
    if (migrate() != 0)
        return -1;
    int r =
        paused
            ? db_->exec("INSERT INTO velto_forward_paused VALUES ($1) ON CONFLICT DO NOTHING",
                        {destination})
            : db_->exec("DELETE FROM velto_forward_paused WHERE destination = $1", {destination});
    return r == CLUSTERDB_OK ? 0 : -1;
}

void forwarddb::pausedSet(std::set<std::string> *out)
{
    out->clear();
    clusterdb_rows rows;
    if (migrate() != 0 ||
        db_->exec("SELECT destination FROM velto_forward_paused", {}, &rows) != CLUSTERDB_OK)
        return;
    for (size_t i = 0; i < rows.size(); i++)
        out->insert(rows.at(i, 0));
}

int forwarddb::noteFinished(const std::vector<forward_finished> &entries)
{
    for (const forward_finished &e : entries)
        if (db_->exec("INSERT INTO velto_forward_history VALUES ($1::bigint * 1000, $2, $3, $4,"
                      " $5::integer, $6::integer)",
                      {std::to_string(e.at), e.destination, e.study, e.origin,
                       std::to_string(e.jobs), std::to_string(e.images)}) != CLUSTERDB_OK) {
            logprintf(LOGLEVEL_ERROR, log_,
                      "Cannot note finished forwarding jobs in the cluster's database.\n");
            return -1;
        }
    return 0;
}

void forwarddb::history(size_t max, std::vector<forward_finished> *out)
{
    out->clear();
    clusterdb_rows rows;
    if (migrate() != 0 ||
        db_->exec("SELECT at_ms, destination, study, origin, jobs, images FROM ("
                  " SELECT * FROM velto_forward_history ORDER BY at_ms DESC LIMIT $1::bigint) h"
                  " ORDER BY at_ms",
                  {std::to_string(max)}, &rows) != CLUSTERDB_OK)
        return;
    for (size_t i = 0; i < rows.size(); i++) {
        forward_finished e;
        e.at = number(rows.at(i, 0)) / 1000;
        e.destination = rows.at(i, 1);
        e.study = rows.at(i, 2);
        e.origin = rows.at(i, 3);
        e.jobs = (int)number(rows.at(i, 4));
        e.images = (int)number(rows.at(i, 5));
        out->push_back(e);
    }
}

void forwarddb::pruneHistory(long long keepSeconds)
{
    if (migrate() != 0)
        return;
    db_->exec("DELETE FROM velto_forward_history WHERE at_ms < " NOW_MS " - $1::bigint * 1000",
              {std::to_string(keepSeconds)});
    // Done web jobs are kept a day (their sent rows go with them).
    db_->exec("DELETE FROM velto_forward_jobs WHERE state = 2 AND finished_ms < " NOW_MS
              " - $1::bigint",
              {std::to_string((long long)FORWARDDB_DONE_KEEP_MS)});
}

namespace
{

// The jobs of one image held in the database until the store knows whether
// the image stays.
class forwardDbHold : public archive_hold
{
public:
    explicit forwardDbHold(const forwarddb &q) : q_(q) {}
    int keep() override { return q_.keep(held_); }
    void takenBack() override
    {
        q_.drop(held_);
        held_.clear();
    }
    // Left held: any node settles them once their lease is over, by
    // whether the image is in the index.
    void leave() override { held_.clear(); }
    std::vector<forward_job> held_;

private:
    forwarddb q_;
};

} // namespace

int forwarddb_beforePlace(const archive_event &e, std::unique_ptr<archive_hold> *hold)
{
    forwarddb q(archive_clusterDb(e.ctx), archive_clusterConfig(e.ctx), e.ctx->store->getLogfile());
    std::unique_ptr<forwardDbHold> h(new forwardDbHold(q));
    if (q.hold(e.ctx->forwardRules, e.ds, e.caller, e.uids->study.c_str(), e.uids->series.c_str(),
               e.uids->sopInstance.c_str(), &h->held_) != 0)
        return -1;
    *hold = std::move(h);
    return 0;
}
