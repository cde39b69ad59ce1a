// The listener's bookkeeping rules: disk percentage and worker end reports.
#include "server/housekeeping.h"

#include <sys/wait.h>

int housekeeping_diskpercent(uint64_t total, uint64_t freebytes, int *check_interval)
{
    if (total == 0)
        return 100;
    // In 128 bits, so that free * 100 cannot wrap on a very large volume.
    uint64_t percent = (uint64_t)((unsigned __int128)freebytes * 100 / total);
    if (percent > 100)
        percent = 100; // a file system that reports more free than total
    *check_interval = percent < HOUSEKEEPING_LOW_SPACE ? (int)percent : HOUSEKEEPING_CHECK_INTERVAL;
    return (int)percent;
}

int housekeeping_exitreport(int status, const char **what, int *value)
{
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0)
            return 0;
        *what = " with exit code";
        *value = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        *what = " due to signal";
        *value = WTERMSIG(status);
    } else {
        *what = " for an unknown reason";
        *value = 0;
    }
    return 1;
}

bool housekeeping_compressDue(const housekeeping_compress &c, time_t now)
{
    return c.every > 0 && c.pid < 0 && now - c.last >= c.every;
}

bool housekeeping_retentionDue(time_t now, time_t last, long interval)
{
    return interval > 0 && now >= last + interval;
}
