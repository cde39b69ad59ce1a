// The listener's bookkeeping rules, kept apart from the listening loop so
// they can be checked on their own: the free disk space in percent with the
// interval to the next check, how a reaped worker's end is reported, and
// when the next compression pass is due.
#ifndef VELTO_SERVER_HOUSEKEEPING_H
#define VELTO_SERVER_HOUSEKEEPING_H

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

// Seconds between disk checks while the disk is at least this full of free
// space (in percent); below it the percentage itself is the interval.
enum { HOUSEKEEPING_CHECK_INTERVAL = 60, HOUSEKEEPING_LOW_SPACE = 20 };

// Free space in percent (free * 100 / total, truncated, 64-bit unsigned).
// A total of 0 gives 100 and leaves *check_interval alone; otherwise
// *check_interval becomes 60, or the percentage when that is below 20.
int housekeeping_diskpercent(uint64_t total, uint64_t freebytes, int *check_interval);

// How a worker's wait status is logged: 0 when it exited with status 0 (not
// logged); otherwise 1 with *what set to " with exit code", " due to signal"
// or " for an unknown reason" and *value to the code, signal number or 0.
int housekeeping_exitreport(int status, const char **what, int *value);

// The server's compression passes (store/storecompress.h, the site's
// Compression file with an "every" setting): one child at a time, started
// by the idle housekeeping when the interval has passed since the last
// start (the server's own start at first).
struct housekeeping_compress {
    long every = -1; // seconds between starts; -1: the server runs none
    time_t last = 0; // when the last pass started
    pid_t pid = -1;  // the pass running, or -1
};

// Whether a pass is to start at now: one is configured, none runs, and
// every seconds have passed since the last start.
bool housekeeping_compressDue(const housekeeping_compress &c, time_t now);

// Whether the retention policy's next pass is due at now, the last one
// having run at last (0: never) with interval seconds between passes: the
// first pass comes one interval after the start, so that a server started
// on a store does not delete before its recovery has settled and a site
// has seen its log.
bool housekeeping_retentionDue(time_t now, time_t last, long interval);

#endif
