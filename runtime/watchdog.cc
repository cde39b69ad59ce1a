// The inactivity watchdog: alarm() re-armed on progress.
#include "runtime/watchdog.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

// Per process: a forked child inherits the state with the pending alarm
// cleared by the kernel, and arms its own.
static unsigned budget = WATCHDOG_DEFAULT_BUDGET;
static int armed = 0;
static time_t lastRearm = 0; // monotonic second of the last re-arm

static time_t monotonicSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}

void watchdog_set_budget(unsigned seconds)
{
    budget = seconds > 0 ? seconds : 1;
}

unsigned watchdog_budget(void)
{
    return budget;
}

void watchdog_arm(void)
{
    alarm(budget);
    armed = 1;
    lastRearm = monotonicSeconds();
}

void watchdog_disarm(void)
{
    alarm(0);
    armed = 0;
}

void watchdog_progress(void)
{
    if (!armed)
        return;
    time_t now = monotonicSeconds();
    if (now == lastRearm)
        return;
    lastRearm = now;
    struct itimerval left;
    if (getitimer(ITIMER_REAL, &left) == 0 && left.it_value.tv_sec >= (time_t)budget)
        return;
    alarm(budget);
}
