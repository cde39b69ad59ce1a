// The storeserver's audit messages (core/audit.h): the images an
// association stored (one message per study at its end), every C-FIND and
// worklist C-FIND, every C-MOVE and C-GET (Begin Transferring at its
// start, Instances Transferred per study at its end), each with the peer's
// AE title and address.
#ifndef VELTO_SERVER_SERVERAUDIT_H
#define VELTO_SERVER_SERVERAUDIT_H

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdatset.h"

#include "core/audit.h"

struct handlercontext;
struct retrievejob;

// The requesting peer of ctx's association as an audit participant.
audit_participant serveraudit_peer(const handlercontext *ctx, int role = AUDIT_ROLE_NONE);
// Notes an image ingested with status (only stored ones count).
void serveraudit_stored(handlercontext *ctx, DcmDataset *ds, unsigned status);
// At the association's end: the stores' messages (frees what the context
// gathered).
void serveraudit_associationEnd(handlercontext *ctx);
// A query (C-FIND of sopClass, worklist included) with its identifier;
// permitted false: refused by the access policy (a failure outcome).
void serveraudit_query(const handlercontext *ctx, const char *sopClass, DcmDataset *identifier,
                       bool permitted);
// A retrieve's start and end: destination is the C-MOVE destination's
// title (null: a C-GET, back to the peer). At the end, the images sent
// (those before job->next, less the failed ones).
void serveraudit_retrieve(const handlercontext *ctx, const retrievejob *job,
                          const char *destination, bool start);

#endif
