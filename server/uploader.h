// The cluster's upload queue on a node with "ack local" (core/archive.h,
// archive_clusterUploadPass): a child of the listener that uploads this
// node's acknowledged images into the bucket, a pass every Cluster "poll",
// from the start (so a queue left by a node that stopped is resumed).
#ifndef VELTO_SERVER_UPLOADER_H
#define VELTO_SERVER_UPLOADER_H

#include <sys/types.h>

// Whether this server needs the uploader (a cluster node with ack local).
bool uploader_wanted();

// Forks the uploader: its pid, or -1 (logged). closeFd: the listener's
// store lock descriptor, which the child does not keep (it dies with the
// listener: the listener's lock covers it).
pid_t uploader_start(int closeFd);

#endif
