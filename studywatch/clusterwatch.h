// studywatch on a node of a cluster (cluster/clusterconfig.h): the quiet
// studies come from the cluster's database (cluster/activity.h), where
// every node records each study's last change, so that a study stored
// through several nodes is rendered once, when it is quiet on all of them,
// by whichever node's studywatch claims it first. The monitor channel is
// only a hint to look sooner.
#ifndef VELTO_STUDYWATCH_CLUSTERWATCH_H
#define VELTO_STUDYWATCH_CLUSTERWATCH_H

#include <stdio.h>

struct cluster_config;

// Opens the monitor channel on port (the hint) and runs for ever: every
// `poll` of cfg (and soon after an announcement of the archive) claims the
// studies quiet for timeout_seconds and not rendered since their last
// change, as many as free child slots of maxchildren, each with cfg's
// lease, renewed while its renderer runs; a renderer's end marks its
// study rendered at the change it claimed. A study that changes while it
// renders is rendered again once quiet. Returns only if the channel cannot
// be opened (logged), with -1.
int clusterwatch_run(unsigned short port, int timeout_seconds, int maxchildren,
                     const cluster_config &cfg, FILE *log);

#endif
