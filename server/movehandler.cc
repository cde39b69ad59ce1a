// The C-MOVE provider handler and its sub-associations.
#include "server/handlers.h"

void moveSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_MoveRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount,
                     T_DIMSE_C_MoveRSP *response, DcmDataset **responseIdentifiers,
                     DcmDataset **statusDetail)
{
    response->DimseStatus = STATUS_MOVE_Failed_UnableToProcess;
}

int buildSubAssociation(T_DIMSE_C_MoveRQ *request, movedata *md, DcmDataset *dataset)
{
    return -2;
}

OFCondition moveNextImage(T_DIMSE_C_MoveRQ *request, movedata *md)
{
    md->failed++;
    return DIMSE_ILLEGALASSOCIATION;
}

int closeSubAssociation(movedata *md)
{
    return 1;
}
