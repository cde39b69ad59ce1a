// The forwarder's delivery agents. The forwarder decides what goes where
// (the due jobs, the images they select, what reached a destination
// before, retries and failures) and records what arrived; an agent only
// carries the images of one destination there, in its own protocol. Today
// there is one kind, the DICOM C-STORE agent (server/forwardagent.cc); a
// new kind of destination is one more class below and one more case in
// forwardagent_for, and the queue, its files and its pages stay as they are.
#ifndef VELTO_SERVER_FORWARDAGENT_H
#define VELTO_SERVER_FORWARDAGENT_H

#include <memory>
#include <string>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmnet/assoc.h"

#include "aetitlemap/aetitlemap.h"
#include "server/retrieve.h"

// One destination's agent for one look at the queue: plan once, send each
// image in the planned order, finish once. Single-threaded, as the
// forwarder is.
class forwardagent
{
public:
    virtual ~forwardagent() = default;
    // Orders all's images as they will go (all is the group's: every image
    // once, its file's class and syntax read).
    virtual void plan(retrievejob *all) = 0;
    // Sends one image of all: true when the destination took it, else false
    // with *why (a short reason for the job's record, e.g. "association
    // rejected"). A failure leaves the agent usable for the images after.
    virtual bool send(retrievejob *all, const retrieveitem &item, std::string *why) = 0;
    // After the last image: what is still open is closed.
    virtual void finish() = 0;
};

// The agent that reaches dest, whose entry in the AE title map is entry
// (null: not in the map), in syntax (FORWARD_SYNTAX_* of core/forward.h);
// net is the forwarder's network, for agents that speak DICOM. Null with
// *why when no agent can: every image of the group then fails with it.
std::unique_ptr<forwardagent> forwardagent_for(T_ASC_Network *net, const AETitleMapEntry *entry,
                                               const std::string &dest, int syntax,
                                               std::string *why);

#endif
