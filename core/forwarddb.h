// The forwarding queue of a cluster (a "Cluster" site file: several nodes on
// one PostgreSQL database, cluster/clusterdb.h), in place of the files of
// BASE/forward/ that one host uses (core/forward.h). Jobs are the same
// forward_job records, kept in the table velto_forward_jobs; the instances a
// job delivered (ID.done on one host) in velto_forward_sent; the paused
// destinations and the history of finished jobs in tables of their own.
//
// No job belongs to a node: a node's forwarder claims due jobs with
// SELECT ... FOR UPDATE SKIP LOCKED and a lease (the Cluster file's lease,
// measured by the database's clock), renews the lease while it sends them
// and gives them up when it has settled them. A node that dies leaves its
// jobs leased until the lease ends; then any node claims them and goes on
// with the images their velto_forward_sent rows do not name, so an image is
// delivered at least once and at most once more (the one in flight when its
// sender died).
//
// An on-store job is held (state "held", leased to the storing node) before
// its image is placed, made pending when the image stays and deleted when
// it is refused. A node killed in between leaves held jobs, which any node
// settles once their lease is over: made pending when the image is in the
// index, deleted when not.
#ifndef VELTO_CORE_FORWARDDB_H
#define VELTO_CORE_FORWARDDB_H

#include "dcmtk/config/osconfig.h"

#include <stdio.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

#include "core/forward.h"
#include "core/listener.h"

class clusterdb;
struct cluster_config;

// The state of a held job (in the table alone: never in a forward_job
// handed out).
enum { FORWARDDB_HELD = 3 };

// The queue on one process's database connection. Cheap to make: it holds
// borrowed pointers and the node's name.
class forwarddb
{
public:
    // db, cfg and log borrowed; cfg gives the node's name and the lease.
    forwarddb(clusterdb *db, const cluster_config *cfg, FILE *log);
    // The same with the node and lease given (for tests).
    forwarddb(clusterdb *db, const std::string &node, long leaseMs, FILE *log);

    // Makes or updates the queue's tables (clusterdb::migrate, module
    // "forward"); done once per process, whatever the object. 0, or -1.
    int migrate();

    // --- the ingest's side ---
    // Before an image is placed: the jobs the rules ask for it, as
    // forward_hold makes them; each on-store job inserted held, leased to
    // this node, and added to *held (whole, for keep). A quiet rule's study
    // job is made or has its time refreshed at once. 0, or -1 after a log:
    // what was held is deleted again, and the caller refuses the image.
    int hold(const forward_rules *rules, DcmDataset *ds, const char *caller, const char *study,
             const char *series, const char *instance, std::vector<forward_job> *held);
    // The image stays: its held jobs become pending (one that another node
    // settled away meanwhile is made afresh). 0, or -1 after a log.
    int keep(const std::vector<forward_job> &held);
    // The image is not stored: its jobs are deleted (kept ones too).
    void drop(const std::vector<forward_job> &held);
    // After an image was stored outside ingest (a change of stored images):
    // its jobs, made pending at once. 0, or -1 after a log.
    int noteStored(const forward_rules *rules, DcmDataset *ds, const char *caller,
                   const char *study, const char *series, const char *instance);
    // Held jobs whose lease has ended (their node died, or left them):
    // pending when stored(job) says the image is in the index, deleted
    // when not. The number made pending, or -1 after a log.
    int settleHeld(const std::function<bool(const forward_job &)> &stored);

    // --- the forwarder's side ---
    // Claims up to max due pending jobs of destinations not paused, oldest
    // first, skipping jobs another transaction holds and jobs another
    // node's lease covers: each leased to this node. Each job's touchedNs
    // is its study's last image (quiet jobs), the value finish compares.
    // 0 with *jobs filled, or -1 after a log.
    int claim(size_t max, std::vector<forward_job> *jobs);
    // Extends the lease of the jobs of ids this node still holds; *lost
    // (may be null) gets those it does not (another node took them over).
    // 0, or -1 after a log (the database unreachable: the caller keeps
    // sending until its lease would be over).
    int renew(const std::vector<std::string> &ids, std::set<std::string> *lost);
    // Notes that job id delivered instance. 0, or -1 after a log.
    int noteSent(const std::string &id, const std::string &instance);
    // The instances job id has delivered.
    void sentSet(const std::string &id, std::set<std::string> *out);
    // The job delivered every image it selected: deleted with its sent
    // rows, or for a web job kept as done; a quiet job whose study got an
    // image after takenNs stays pending. Only while this node holds it. 0
    // (also when it held it no more), or -1 after a log.
    int finish(const forward_job &job, long long takenNs);
    // The job's try is over without it finishing: its state, attempts,
    // total, failed and error as job has them, its next try waitSeconds
    // from now (database clock), and the lease given up. Only while this
    // node holds it. 0, or -1 after a log.
    int release(const forward_job &job, long long waitSeconds);

    // --- the page's side, as the functions of core/forward.h ---
    int submit(forward_job *job);
    int list(std::vector<forward_job> *jobs);
    int read(const std::string &id, forward_job *job);
    void counts(size_t *pending, size_t *failed);
    bool queued();
    int retry(const std::string &id);
    int retryAll(const std::string &destination, const std::string &study);
    int setPaused(const std::string &destination, bool paused);
    void pausedSet(std::set<std::string> *out);
    int noteFinished(const std::vector<forward_finished> &entries);
    void history(size_t max, std::vector<forward_finished> *out);
    // Drops the history older than keepSeconds, and done web jobs older
    // than a day (the forwarder's housekeeping).
    void pruneHistory(long long keepSeconds);

    const std::string &node() const { return node_; }

private:
    int makeJobs(const forward_rules *rules, DcmDataset *ds, const char *caller, const char *study,
                 const char *series, const char *instance, std::vector<forward_job> *held);
    int insertJob(const forward_job &job, int state);
    clusterdb *db_;
    std::string node_;
    long leaseMs_;
    FILE *log_;
};

// The forwarding listener's before-place phase in a cluster (core/forward.cc
// hands it over when the archive has a cluster database): the image's jobs
// held in the database as hold makes them, settled by the store through
// the returned hold. 0, or -1 after a log (the image is refused).
int forwarddb_beforePlace(const archive_event &e, std::unique_ptr<archive_hold> *hold);

#endif
