// The forwarder: a child process of the listener (while there are rules or
// queued jobs) that works through the
// forwarding queue (core/forward.h). It sends each due job's images with
// the retrieve code that C-MOVE uses (server/retrieve.h: its contexts, its
// C-STORE of the stored bytes, its decoding), the jobs of one destination
// and syntax together over as few associations as their contexts allow;
// retries a failed job after a wait that doubles (from -Q seconds, at most
// an hour) and marks it failed after the rules file's max-attempts. It
// wakes when a job file is placed in the queue's directory (inotify), so a
// job made by a worker or by storeweb goes out at once.
#ifndef VELTO_SERVER_FORWARDER_H
#define VELTO_SERVER_FORWARDER_H

#include <sys/types.h>

// Default base of the retry wait, in seconds.
enum { FORWARDER_DEFAULT_WAIT = 10 };

// Forks the forwarder (it dies with the listener: a parent-death signal),
// closing closeFd (the listener's store lock; -1: none) in the child. The
// child's pid, or -1 after a log. In the child this never returns: the
// process ends with _exit.
pid_t forwarder_start(int closeFd);

#endif
