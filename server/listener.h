// The association listener of storeserver and the worker that serves one
// association: one process per association, no threads.
#ifndef VELTO_SERVER_LISTENER_H
#define VELTO_SERVER_LISTENER_H

#include <sys/types.h>

#include "dicomnet/dicomnet.h"

// Why an association is not served by this process.
enum endReason {
    ES_RR_TooMany = 0,     // refused: too many workers (transient, 0x0302)
    ES_RR_ForkFailed = 1,  // refused: no worker could be started (permanent, 0x0301)
    ES_RR_DropDestroy = 2, // not refused: only this process's copy is closed
};

// Listener tunables.
enum {
    LISTENER_WAIT_SECONDS = 5,       // wait for a request before housekeeping
    LISTENER_MAX_PDU = 16384,        // maximum receive PDU of accepted associations
    LISTENER_PHASE_ALARM = 10,       // seconds for negotiation and for closing
    LISTENER_TAKE_WAIT_MS = 1000,    // most the listener waits for a worker to take its connection
    LISTENER_MAX_REFUSING = 20,      // workers beyond the limit; then the listener refuses itself
    LISTENER_PROXY_HEADER_MS = 2000, // most a proxy takes to send its PROXY header
};

// The listening loop. In the listening process it returns 1 when the port
// cannot be opened (after a message on stderr and in the log) or the
// privileges cannot be given up (logged), and 0 after SIGTERM or SIGINT
// once every worker has ended; in a worker it returns 0 after the worker's
// association has been served.
int runListener();

// Non-zero once SIGTERM or SIGINT asked this process to stop: a worker ends
// its association at the next point between two operations.
int listener_stopping();

// Forks one of the listener's helper processes (the forwarder, the
// uploader, the compressor, the commitment reporter), named what in the
// log. In the listener: the child's pid, or -1 (logged). In the child: 0,
// once it is set to die with the listener (one whose listener is already
// gone ends at once), closeFd (the store lock's descriptor, or -1) is
// closed, SIGALRM is the default again and, with defaultStop, SIGTERM too
// (else the listener's handler stays: the child polls listener_stopping),
// and its sessions of the archive's databases are its own (archive_forked).
pid_t listener_forkHelper(const char *what, int closeFd, bool defaultStop);

// Refuses the association (reasons 0 and 1; failures logged and dumped),
// then drops and destroys it. Returns the condition of the last step.
OFCondition endAssociation(T_ASC_Association *assoc, endReason reason);

// In a worker: negotiates the presentation contexts, checks the application
// context, runs the command loop and closes the association; destroys it.
// Returns the condition that ended the association.
OFCondition handleAssociation(T_ASC_Network *net, T_ASC_Association *assoc);

#endif
