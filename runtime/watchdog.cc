// The inactivity watchdog: alarm() re-armed on progress.
#include "runtime/watchdog.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

// Per process: a forked child inherits the state with the pending alarm
// cleared by the kernel, and arms its own.
// One thread arms it: the alarm's signal goes to the process.
static struct {
    unsigned budget = WATCHDOG_DEFAULT_BUDGET;
    int armed = 0;
    time_t lastRearm = 0; // monotonic second of the last re-arm
} wd;

static time_t monotonicSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

void watchdog_set_budget(unsigned seconds)
{
    wd.budget = seconds > 0 ? seconds : 1;
}

unsigned watchdog_budget(void)
{
    return wd.budget;
}

void watchdog_arm(void)
{
    alarm(wd.budget);
    wd.armed = 1;
    wd.lastRearm = monotonicSeconds();
}

void watchdog_disarm(void)
{
    alarm(0);
    wd.armed = 0;
}

void watchdog_progress(void)
{
    if (!wd.armed)
        return;
    time_t now = monotonicSeconds();
    if (now == wd.lastRearm)
        return;
    wd.lastRearm = now;
    struct itimerval left;
    if (getitimer(ITIMER_REAL, &left) == 0 && left.it_value.tv_sec >= (time_t)wd.budget)
        return;
    alarm(wd.budget);
}
