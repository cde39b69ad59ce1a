// Quietness of studies across the nodes of a cluster, in the cluster's
// database (cluster/clusterdb.h): the table velto_study_activity keeps, per
// study, when it last changed by the database's clock (and on which node,
// and by what), and what studywatch made of it: the change it last
// rendered, and a claim on a render under way (node, lease).
//
// The study's row is upserted by the index's transaction of each image
// stored (a trigger, activity_migrateIndex) and at each change of the
// study's stored images (core/change.cc); each node's
// studywatch claims the studies quiet for its quiet time and not rendered
// since their last change, renders them and marks the change rendered. A
// claim is a lease by the database's clock: a studywatch that dies leaves
// its studies to another once the lease has run out; one that lives renews
// the leases of its renders.
//
// Every function takes the process's clusterdb and logs what fails.
#ifndef VELTO_CLUSTER_ACTIVITY_H
#define VELTO_CLUSTER_ACTIVITY_H

#include <string>
#include <vector>

class clusterdb;

// Makes or updates the table (clusterdb::migrate "activity"). 0, or -1.
int activity_migrate(clusterdb *db);
// After activity_migrate, in a database whose index tables exist (a node
// has opened the shared index): makes the index's own adds and rewrites of
// images note their studies, in their transactions (clusterdb::migrate
// "activity-index"). 0, or -1.
int activity_migrateIndex(clusterdb *db);

// Records that study changed now (the database's clock) on node, by what
// (a short word: "stored", "changed"). 0, or -1.
int activity_note(clusterdb *db, const std::string &study, const std::string &node,
                  const char *what);

// One study claimed for a render: its UID and the change (database
// milliseconds) the render is of.
struct activity_claim {
    std::string study;
    long long change;
};

// Claims for node at most max studies whose last change is older than
// quietMs and not rendered, and not claimed by a lease still running,
// oldest change first; each claim holds for leaseMs. Rows locked by
// another claimer are skipped, never waited on. The claims into *out.
// 0, or -1.
int activity_claimQuiet(clusterdb *db, const std::string &node, long quietMs, long leaseMs, int max,
                        std::vector<activity_claim> *out);

// Renews node's claim on study for leaseMs from now. 1 renewed, 0 the
// claim is no longer node's (taken over after its lease ran out), -1.
int activity_renew(clusterdb *db, const std::string &node, const std::string &study, long leaseMs);

// The render of claim ended: the change it was of is marked rendered (a
// later change is left to be rendered when quiet) and the claim let go.
// Only node's own claim is touched. 0, or -1.
int activity_rendered(clusterdb *db, const std::string &node, const activity_claim &claim);

#endif
