// The site's cluster settings: the file "Cluster" along the configuration
// search path. Without it the archive runs on one host with its index in
// files (the default, unchanged); with it, this process is one node of an
// archive whose nodes share a PostgreSQL index (index/pgindex.h) and the
// object tier's bucket (store/tier.h), the bucket being the home of every
// image and the local store a cache.
//
// The file, "key value # comment" lines (runtime/sitefile.h):
//   database CONNINFO   the libpq connection string (required), e.g.
//                       "host=10.0.0.5 port=5432 dbname=velto user=velto"
//   node NAME           this node's name, unique among the nodes (default:
//                       the host name); letters, digits, "-", "_", "."
//   ack shared|local    when an image is acknowledged (default shared):
//                       shared once its object is in the bucket and its
//                       row committed; local once flushed on this node's
//                       disk and its row committed, uploaded by a durable
//                       queue afterwards
//   lease DURATION      how long a claimed job (a forward, a render, a
//                       commitment report, an upload) stays a node's
//                       without being renewed (default 30s)
//   poll DURATION       how often the cluster's queues are looked at
//                       (default 2s; tests set it short)
//   proxy ADDRESS...    the addresses of the load balancers in front of the
//                       nodes: a DICOM connection from one of them starts
//                       with a PROXY protocol v2 header, and a web request
//                       from one of them names its client in
//                       X-Forwarded-For; from anywhere else neither is
//                       believed
// Durations as the other site files write them: "30s", "5m", "2h" or plain
// seconds; "500ms" too, for tests.
#ifndef VELTO_CLUSTER_CLUSTERCONFIG_H
#define VELTO_CLUSTER_CLUSTERCONFIG_H

#include <stddef.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

// File name of the site's settings.
#define CLUSTER_CONFIG_FILENAME "Cluster"

enum cluster_ack {
    CLUSTER_ACK_SHARED = 0,
    CLUSTER_ACK_LOCAL = 1,
};

struct cluster_config {
    std::string database; // libpq connection string
    std::string node;     // this node's name
    cluster_ack ack = CLUSTER_ACK_SHARED;
    long leaseMs = 30000;             // a claim's lease
    long pollMs = 2000;               // how often queues are looked at
    std::vector<std::string> proxies; // trusted load balancers (numeric addresses)
};

// Reads the settings file at path into *cfg: 0, or -1 with the reason
// (naming the line) in why.
int cluster_loadFile(const char *path, cluster_config *cfg, char *why, size_t whySize);

// Looks for "Cluster" along the configuration search path: 0 no file (*out
// null: single-host mode), 1 loaded into *out, -1 unusable (reason in why,
// *out null). Call before threads or forks.
int cluster_setup(std::unique_ptr<cluster_config> *out, char *why, size_t whySize);

// cluster_setup for a daemon: logs "cluster node NAME" (level 32) or why
// the settings are unusable (level 1, and on stderr with prog's name). 0,
// or 1: the program must not start.
int cluster_start(std::unique_ptr<cluster_config> *out, FILE *log, const char *prog);

// Whether address (numeric, as getnameinfo gives it) is one of the trusted
// load balancers.
bool cluster_isProxy(const cluster_config &cfg, const char *address);

#endif
