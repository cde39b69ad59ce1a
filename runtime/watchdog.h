// The inactivity watchdog of a process that serves one peer: SIGALRM (whose
// default action ends the process) once a budget of seconds has passed
// without progress. Progress is reported by the network transport for every
// read or write that moved data, so a transfer that keeps moving is never
// cut, however long it takes, and one that stalls ends one budget after its
// last byte.
#ifndef VELTO_RUNTIME_WATCHDOG_H
#define VELTO_RUNTIME_WATCHDOG_H

// Default budget: seconds without progress.
enum { WATCHDOG_DEFAULT_BUDGET = 60 };

// Sets the budget in seconds (1 or more) for later arming. Call at start-up.
void watchdog_set_budget(unsigned seconds);

// The budget.
unsigned watchdog_budget(void);

// Arms the alarm with the budget; from now on progress re-arms it.
void watchdog_arm(void);

// Cancels the alarm; progress no longer arms it.
void watchdog_disarm(void);

// Data moved: while armed, puts the alarm back to the full budget unless it
// already has longer to run (an alarm of a longer step is kept). Cheap
// enough for every read and write: the alarm is re-armed at most once per
// second.
void watchdog_progress(void);

#endif
