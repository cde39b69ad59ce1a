// The store's capacity policy: below a set amount of free space the archive
// refuses new images (Out of Resources) while it can still write its index
// and logs, rather than fill the disk. Configured by the site file
// "StoreCapacity" along the configuration search path, one setting:
//
//     refuse-below 5%        # a share of the file system, or
//     refuse-below 20G       # an amount (K, M, G, T)
//
// Without the file nothing is refused for space.
#ifndef VELTO_STORE_CAPACITY_H
#define VELTO_STORE_CAPACITY_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#define CAPACITY_CONFIG_FILENAME "StoreCapacity"

// The policy: a share (percent, -1 none) or an amount of bytes (0 none).
struct capacity_policy {
    double percent = -1;
    uint64_t bytes = 0;
};

// What one store keeps of the policy (LocalStore::getCapacity): the
// policy, and when its last refusal was told (the teller's rate limit).
// Each store has its own, so that two archives in one process (a second
// node, a test) refuse by their own policies.
struct capacity_state {
    capacity_policy policy;
    time_t lastTold = 0;
};

// Reads the settings at path: 0, or -1 with a reason in why.
int capacity_loadFile(const char *path, capacity_policy *policy, char *why, size_t whySize);

// Looks for "StoreCapacity" along the configuration search path and makes
// it *policy (none without the file); logs it (level 32) or why it is unusable (level
// 1, and on stderr with prog's name). 0, or 1: the program must not start.
int capacity_start(capacity_policy *policy, FILE *log, const char *prog);

// 1 when the file system of dir has less free space (for unprivileged
// users) than policy allows, with a one-line description in text; 0
// when there is room or no policy.
int capacity_refuses(const capacity_policy &policy, const char *dir, char *text, size_t textSize);

#endif
