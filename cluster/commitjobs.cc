// Storage commitment's open transactions in the cluster's database
// (cluster/commitjobs.h).
#include "cluster/commitjobs.h"

#include <stdlib.h>

#include "cluster/clusterdb.h"

// The database's clock in milliseconds, as SQL.
#define COMMITJOBS_NOW "(extract(epoch FROM clock_timestamp()) * 1000)::bigint"

static const char *const commitSteps[] = {
    "CREATE TABLE velto_commit_job ("
    " id bigserial PRIMARY KEY,"
    " requester text NOT NULL,"
    " transaction_uid text NOT NULL,"
    " items text NOT NULL,"
    " accepted_by text NOT NULL,"
    " accepted_ms bigint NOT NULL,"
    " claimed_by text NOT NULL,"
    " claimed_until bigint NOT NULL,"
    " attempts integer NOT NULL DEFAULT 0);"
    "CREATE INDEX velto_commit_job_claim ON velto_commit_job (claimed_until)",
};

int commitjobs_migrate(clusterdb *db)
{
    return db->migrate("commitjobs", 1, commitSteps);
}

long long commitjobs_add(clusterdb *db, const std::string &node, const commitjob &job, long leaseMs)
{
    clusterdb_rows rows;
    // Not idempotent on a replay after a COMMIT lost with the connection:
    // the request may then be recorded twice, and the requester gets its
    // report twice, which it takes as the same answer.
    int r =
        db->exec("INSERT INTO velto_commit_job (requester, transaction_uid, items,"
                 " accepted_by, accepted_ms, claimed_by, claimed_until)"
                 " VALUES ($1, $2, $3, $4, " COMMITJOBS_NOW ", $4, " COMMITJOBS_NOW
                 " + $5::bigint) RETURNING id",
                 {job.requester, job.transaction, job.items, node, std::to_string(leaseMs)}, &rows);
    if (r != CLUSTERDB_OK || rows.size() != 1)
        return -1;
    return atoll(rows.at(0, 0).c_str());
}

int commitjobs_renew(clusterdb *db, long long id, const std::string &node, long leaseMs)
{
    clusterdb_rows rows;
    // Only a claim that has not run out: one that has may be another
    // node's already, whose report must be the only one.
    int r = db->exec("UPDATE velto_commit_job SET claimed_until = " COMMITJOBS_NOW " + $3::bigint"
                     " WHERE id = $1::bigint AND claimed_by = $2"
                     " AND claimed_until >= " COMMITJOBS_NOW,
                     {std::to_string(id), node, std::to_string(leaseMs)}, &rows);
    if (r != CLUSTERDB_OK)
        return -1;
    return rows.affected > 0 ? 1 : 0;
}

int commitjobs_done(clusterdb *db, long long id)
{
    return db->exec("DELETE FROM velto_commit_job WHERE id = $1::bigint", {std::to_string(id)}) ==
                   CLUSTERDB_OK
               ? 0
               : -1;
}

int commitjobs_failed(clusterdb *db, long long id, const std::string &node)
{
    clusterdb_rows rows;
    int r = db->exec("UPDATE velto_commit_job SET attempts = attempts + 1,"
                     " claimed_until = " COMMITJOBS_NOW " - 1"
                     " WHERE id = $1::bigint AND claimed_by = $2 RETURNING attempts",
                     {std::to_string(id), node}, &rows);
    if (r != CLUSTERDB_OK)
        return -1;
    if (rows.size() == 0)
        return 0; // taken over meanwhile: the other node's now
    if (atoi(rows.at(0, 0).c_str()) < COMMITJOBS_ATTEMPTS)
        return 1;
    return commitjobs_done(db, id) == 0 ? 0 : -1;
}

int commitjobs_claim(clusterdb *db, const std::string &node, long leaseMs, int max,
                     std::vector<commitjob> *out)
{
    std::vector<commitjob> jobs;
    int r = db->transact([&](clusterdb_tx &tx) -> int {
        jobs.clear();
        clusterdb_rows rows;
        int s = tx.q("SELECT id, requester, transaction_uid, items, attempts FROM velto_commit_job"
                     " WHERE claimed_until < " COMMITJOBS_NOW
                     " ORDER BY id LIMIT $1::integer FOR UPDATE SKIP LOCKED",
                     {std::to_string(max)}, &rows);
        if (s != CLUSTERDB_OK)
            return s;
        for (size_t i = 0; i < rows.size(); i++) {
            s = tx.q("UPDATE velto_commit_job SET claimed_by = $2,"
                     " claimed_until = " COMMITJOBS_NOW " + $3::bigint WHERE id = $1::bigint",
                     {rows.at(i, 0), node, std::to_string(leaseMs)});
            if (s != CLUSTERDB_OK)
                return s;
            commitjob job;
            job.id = atoll(rows.at(i, 0).c_str());
            job.requester = rows.at(i, 1);
            job.transaction = rows.at(i, 2);
            job.items = rows.at(i, 3);
            job.attempts = atoi(rows.at(i, 4).c_str());
            jobs.push_back(job);
        }
        return CLUSTERDB_OK;
    });
    if (r != CLUSTERDB_OK)
        return -1;
    out->insert(out->end(), jobs.begin(), jobs.end());
    return 0;
}
