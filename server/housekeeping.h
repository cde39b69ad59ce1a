// The listener's bookkeeping rules, kept apart from the listening loop so
// they can be checked on their own: the free disk space in percent with the
// interval to the next check, and how a reaped worker's end is reported.
#ifndef VELTO_SERVER_HOUSEKEEPING_H
#define VELTO_SERVER_HOUSEKEEPING_H

#include <stdint.h>
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

// Whether the retention policy's next pass is due at now, the last one
// having run at last (0: never) with interval seconds between passes: the
// first pass comes one interval after the start, so that a server started
// on a store does not delete before its recovery has settled and a site
// has seen its log.
bool housekeeping_retentionDue(time_t now, time_t last, long interval);

#endif
