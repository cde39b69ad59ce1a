// The association listener of storeserver and the worker that serves one
// association: one process per association, no threads.
#ifndef VELTO_SERVER_LISTENER_H
#define VELTO_SERVER_LISTENER_H

#include "dicomnet/dicomnet.h"

// Why an association is not served by this process.
enum endReason {
    ES_RR_TooMany = 0,     // refused: too many workers (transient, 0x0302)
    ES_RR_ForkFailed = 1,  // refused: no worker could be started (permanent, 0x0301)
    ES_RR_DropDestroy = 2, // not refused: only this process's copy is closed
};

// Listener tunables.
enum {
    LISTENER_WAIT_SECONDS = 5,    // wait for a request before housekeeping
    LISTENER_MAX_PDU = 16384,     // maximum receive PDU of accepted associations
    LISTENER_PHASE_ALARM = 10,    // seconds for negotiation and for closing
    LISTENER_TAKE_WAIT_MS = 1000, // most the listener waits for a worker to take its connection
};

// The listening loop. Returns only when the port cannot be opened (0) or
// the privileges cannot be given up (1, logged) in the listening process,
// or, in a worker, after its association has been served (0).
int runListener();

// Refuses the association (reasons 0 and 1; failures logged and dumped),
// then drops and destroys it. Returns the condition of the last step.
OFCondition endAssociation(T_ASC_Association *assoc, endReason reason);

// In a worker: negotiates the presentation contexts, checks the application
// context, runs the command loop and closes the association; destroys it.
// Returns the condition that ended the association.
OFCondition handleAssociation(T_ASC_Network *net, T_ASC_Association *assoc);

#endif
