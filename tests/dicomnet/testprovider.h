// A small DICOM provider for the tests: serves one association on a
// listening network with the layer's own provider operations.
#ifndef VELTO_TESTS_DICOMNET_TESTPROVIDER_H
#define VELTO_TESTS_DICOMNET_TESTPROVIDER_H

#include "dicomnet/dicomnet.h"

enum {
    PROVIDER_SERVE = 0,       // accept like the server and run a command loop
    PROVIDER_REJECT = 1,      // reject the association request
    PROVIDER_NO_CONTEXTS = 2, // accept the association, refuse every context
    PROVIDER_ABORT = 3,       // accept, then abort at once
    PROVIDER_VANISH = 4,      // accept, then close the connection without a word
};

// Receives one association on net and handles it as mode says. Writes one
// line per event to reportFd (-1: none): "NODELAY n", "RECVFAIL",
// "STORE uid name", "FIND", "MOVE", "ECHO", "RELEASED", "ENDED", ...
// Returns 0 when an association was received, 1 otherwise.
int testprovider_serve_one(T_ASC_Network *net, int mode, int reportFd);

// The descriptor of this process's connected TCP socket whose local port
// (local non-zero) or peer port (local zero) is port; -1 if none.
int testprovider_find_socket(int port, int local);

#endif
