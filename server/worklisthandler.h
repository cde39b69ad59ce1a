// The Modality Worklist service of storeserver: the C-FIND handler of the
// Modality Worklist Information Model, answered by DCMTK's worklist
// file-system data source from the store's worklist directory (every called
// AE title sees the same worklist), and the hook by which an arriving study
// marks its worklist entry done.
#ifndef VELTO_SERVER_WORKLISTHANDLER_H
#define VELTO_SERVER_WORKLISTHANDLER_H

#include "dicomnet/dicomnet.h"

// What marks an entry done when its study arrives (-W): one of the
// WORKLIST_DONE_* modes of core/worklist.h. Set by the entry routine.
extern int worklist_doneMode;

// 1 when sopClass is the Modality Worklist Information Model (FIND).
int worklist_isWorklistClass(const char *sopClass);

// C-FIND handler (dicomnet_SCP_find_callback) for the worklist model;
// callbackData is the handlercontext. The first call checks the access
// policy (operation "worklist"; 0x0124 when refused) and runs the query
// through the data source; each call then gives the next match (0xFF00,
// or 0xFF01 when the query held keys the data source does not support),
// then 0x0000; 0xA900 for an identifier that is not a worklist query,
// 0xC000 when the worklist cannot be read, 0xFE00 after a cancel.
void worklistSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *request,
                         DcmDataset *requestIdentifiers, int responseCount,
                         T_DIMSE_C_FindRSP *response, DcmDataset **responseIdentifiers,
                         DcmDataset **statusDetail);

struct handlercontext;
// Ends the association's worklist query, if one is left unfinished (the
// association ended in the middle of it): frees it and removes its view.
void worklist_endQuery(handlercontext *ctx);

#endif
