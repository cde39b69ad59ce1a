// Storage commitment's open transactions in the cluster's database: a
// request (N-ACTION) accepted by a node and not yet answered by its
// N-EVENT-REPORT. The node that accepts a request records it before its
// N-ACTION response, with a lease by the database's clock, and removes it
// once the report is delivered; should the node die in between, the lease
// runs out and another node's reporter claims the request, checks it
// afresh and sends the report to the requester (server/commithandler.cc).
// A report that could not be delivered is given back for another try, a
// few times (COMMITJOBS_ATTEMPTS), then dropped with a log line.
//
// Table velto_commit_job (module "commitjobs"). Every function takes the
// process's clusterdb and logs what fails.
#ifndef VELTO_CLUSTER_COMMITJOBS_H
#define VELTO_CLUSTER_COMMITJOBS_H

#include <string>
#include <vector>

class clusterdb;

// Deliveries tried for one request before it is dropped.
enum { COMMITJOBS_ATTEMPTS = 3 };

// One open request: the requester's AE title, the transaction UID, and
// the referenced instances as lines "SOPCLASS SOPINSTANCE\n".
struct commitjob {
    long long id = 0;
    std::string requester, transaction, items;
    int attempts = 0;
};

// Makes or updates the table. 0, or -1.
int commitjobs_migrate(clusterdb *db);

// Records a request accepted by node, claimed by it for leaseMs: the
// job's id (> 0), or -1.
long long commitjobs_add(clusterdb *db, const std::string &node, const commitjob &job,
                         long leaseMs);

// Renews node's claim on job id for leaseMs. 1 still node's, 0 no longer
// (taken over, or done), -1.
int commitjobs_renew(clusterdb *db, long long id, const std::string &node, long leaseMs);

// The report of job id is delivered (or will never be): the job goes. 0,
// or -1.
int commitjobs_done(clusterdb *db, long long id);

// The delivery of node's job id failed: counted, and given back for any
// node to try again at once; after COMMITJOBS_ATTEMPTS it goes. 1 given
// back, 0 dropped, -1.
int commitjobs_failed(clusterdb *db, long long id, const std::string &node);

// Claims for node at most max jobs whose claim ran out (their node died,
// or gave them back), oldest first, for leaseMs; rows another claimer
// holds are skipped. Into *out. 0, or -1.
int commitjobs_claim(clusterdb *db, const std::string &node, long leaseMs, int max,
                     std::vector<commitjob> *out);

#endif
