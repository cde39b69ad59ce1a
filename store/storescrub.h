// The scrub (storeindex scrub, through core/maintenance.h): every stored
// image's bytes read and verified against the checksum recorded at ingest
// (store/checksums.h; a moved image's stub), at a bounded rate and idle I/O
// priority, beside a running server: each local file, each cached copy of
// the object tier, and each object in the tier. What it finds damaged it
// repairs from another copy that verifies:
//   - an object: uploaded again from the local file or a good cached copy,
//     then checked by HEAD;
//   - a cached copy: removed (the next read fetches the object again);
//   - a local file: replaced by its object (a move cut short after its stub
//     was written leaves both), or by a good cached copy, under a temporary
//     name in its series directory (".tmp": a crash leaves what the next
//     rebuild or check finds), flushed, renamed over it, directory flushed,
//     under the study's lock; with no other copy it is reported unrepairable.
// It also drops the lines of images that are gone from each series'
// CHECKSUMS (checksums_compact, under the study's lock).
//
// Its progress and last result are kept in B/SCRUB.status (written whole
// under a temporary name and renamed, at most every second), which storeweb
// shows on /status and /metrics.
#ifndef VELTO_STORE_STORESCRUB_H
#define VELTO_STORE_STORESCRUB_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>

class LocalStore;

// Name of the status file in the base directory.
#define STORESCRUB_STATUS_FILENAME "SCRUB.status"

// What a scrub is told.
struct storescrub_options {
    double rateMBs = 20;   // bytes read at most this many MB (10^6 bytes) per second
    bool idleIo = true;    // I/O priority class idle (ioprio_set) for the run
    int monitorSock = -1;  // announcements "STORAGE DAMAGED ..." and "STORAGE SCRUB ..." (-1: none)
    bool headOnly = false; // objects by HEAD and their x-amz-meta-sha256 only, not read
};

// Progress and result, as the status file holds them.
struct storescrub_status {
    bool running = false;
    time_t started = 0, updated = 0, finished = 0;
    uint64_t total = 0;   // copies to verify (local files, cached copies, objects)
    uint64_t checked = 0; // copies verified so far
    uint64_t bytes = 0;   // bytes read so far
    uint64_t damaged = 0, repaired = 0, unrepairable = 0;
    uint64_t unverified = 0; // images without a record (no checksum line, no stub)
    uint64_t unreadable = 0; // copies that could not be read (an object the tier cannot give)
    uint64_t staleLines = 0; // checksum lines of images gone, dropped
};

// Scrubs the store (its tier: store->getTier(), null off), one line per
// finding and repair to out ("damaged: PATH: ...", "repaired: PATH: ...",
// "unrepairable: PATH: ...") and to the store's log, each damaged copy
// announced. 0 nothing found that was not repaired, 1 something was (or a
// copy could not be read), 2 the base directory cannot be read.
int storescrub_run(LocalStore *store, const storescrub_options &options, FILE *out,
                   storescrub_status *status);

// Reads B/SCRUB.status: 0, 1 none yet, -1 unreadable.
int storescrub_readStatus(const char *base, storescrub_status *status);

#endif
