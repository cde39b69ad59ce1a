// The worker's DIMSE command loop: receives one command after another on
// an accepted association, announces the running service on the monitor
// channel and hands each request to the network layer with its handler.
#ifndef VELTO_SERVER_COMMANDS_H
#define VELTO_SERVER_COMMANDS_H

#include "dicomnet/dicomnet.h"

// Seconds between two looks at a stop request while waiting for a command.
enum { COMMANDS_POLL_SECONDS = 1 };
// Polls without a command after which the store's work done ahead (the next
// image's file) is dropped: long enough that a peer busy preparing its next
// image, or a loaded machine, does not lose it, short enough that a paused
// peer holds no file.
enum { COMMANDS_IDLE_POLLS = 5 };

// Serves commands until the peer releases (DUL_PEERREQUESTEDRELEASE) or
// aborts (DUL_PEERABORTEDASSOCIATION), an operation fails, or an unsupported
// command arrives (DIMSE_BADCOMMANDTYPE; nothing is answered), or a stop
// was requested (EC_IllegalCall, seen before the next command). Returns that
// condition; the caller closes the association accordingly. The inactivity
// watchdog (runtime/watchdog.h) is armed while commands are received and
// handled: a peer that moves no data for its budget ends the worker.
OFCondition processCommands(T_ASC_Network *net, T_ASC_Association *assoc, const char *calling,
                            const char *called);

#endif
