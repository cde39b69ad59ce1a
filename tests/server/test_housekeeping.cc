// The listener's bookkeeping rules: free disk percentage with the interval
// to the next check, and the report of a reaped worker's end.
#include <signal.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "server/housekeeping.h"

struct DiskCase {
    uint64_t total, freebytes;
    int percent;
    int interval; // expected interval, starting from 77
};

TEST(Housekeeping, DiskPercentAndInterval)
{
    const DiskCase cases[] = {
        {0, 0, 100, 77}, // statvfs failed or no store yet
        {0, 12345, 100, 77},
        {1000, 1000, 100, 60},
        {1000, 500, 50, 60},
        {1000, 200, 20, 60},
        {1000, 199, 19, 19},
        {1000, 100, 10, 10},
        {1000, 9, 0, 0}, // truncated, checked on every pass
        {1000, 0, 0, 0},
        {1000, 2000, 100, 60}, // more free than total
        // free * 100 does not fit 64 bits here: must not wrap.
        {UINT64_C(1) << 62, UINT64_C(1) << 61, 50, 60},
        {UINT64_MAX, UINT64_MAX / 10, 9, 9}, // 9.99... truncated
    };
    for (const DiskCase &c : cases) {
        int interval = 77;
        EXPECT_EQ(housekeeping_diskpercent(c.total, c.freebytes, &interval), c.percent)
            << c.total << " " << c.freebytes;
        EXPECT_EQ(interval, c.interval) << c.total << " " << c.freebytes;
    }
}

// Real wait statuses from children that end in each way.
static int statusOf(int how)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (how >= 0)
            _exit(how);
        signal(-how, SIG_DFL);
        raise(-how);
        _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Housekeeping, WorkerEndReports)
{
    const char *what = "unset";
    int value = -1;
    EXPECT_EQ(housekeeping_exitreport(statusOf(0), &what, &value), 0);

    EXPECT_EQ(housekeeping_exitreport(statusOf(3), &what, &value), 1);
    EXPECT_STREQ(what, " with exit code");
    EXPECT_EQ(value, 3);

    EXPECT_EQ(housekeeping_exitreport(statusOf(-SIGALRM), &what, &value), 1);
    EXPECT_STREQ(what, " due to signal");
    EXPECT_EQ(value, 14);

    // A stopped child is neither exited nor signalled.
    EXPECT_EQ(housekeeping_exitreport(0x137f, &what, &value), 1);
    EXPECT_STREQ(what, " for an unknown reason");
    EXPECT_EQ(value, 0);
}

TEST(Housekeeping, CompressionPassDue)
{
    housekeeping_compress c;
    // None configured: never.
    EXPECT_FALSE(housekeeping_compressDue(c, 1000000));
    c.every = 60;
    c.last = 1000;
    EXPECT_FALSE(housekeeping_compressDue(c, 1059));
    EXPECT_TRUE(housekeeping_compressDue(c, 1060));
    // One at a time: not while a pass runs.
    c.pid = 1234;
    EXPECT_FALSE(housekeeping_compressDue(c, 5000));
    c.pid = -1;
    EXPECT_TRUE(housekeeping_compressDue(c, 5000));
}

TEST(Housekeeping, RetentionPassDue)
{
    // The first pass one interval after the start, then one per interval.
    EXPECT_FALSE(housekeeping_retentionDue(1000, 1000, 60));
    EXPECT_FALSE(housekeeping_retentionDue(1059, 1000, 60));
    EXPECT_TRUE(housekeeping_retentionDue(1060, 1000, 60));
    EXPECT_TRUE(housekeeping_retentionDue(5000, 1000, 60));
    EXPECT_FALSE(housekeeping_retentionDue(5000, 1000, 0));
}
