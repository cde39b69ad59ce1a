// The C-STORE provider handler: writes a received dataset into the store.
#include "server/handlers.h"

#include <string.h>

void handlercontext_init(handlercontext *ctx, const char *calling, const char *called)
{
    memset(ctx, 0, sizeof(*ctx));
    if (calling)
        strncpy(ctx->store_calling, calling, sizeof(ctx->store_calling) - 1);
    if (called)
        strncpy(ctx->store_called, called, sizeof(ctx->store_called) - 1);
}

int storeModeForCalledAET(const char *calledAET, int overwriteSetting)
{
    if (calledAET && strcmp(calledAET, HANDLERS_AET_OVERWRITE) == 0)
        return 1;
    if (calledAET && strcmp(calledAET, HANDLERS_AET_PRESERVE) == 0)
        return 0;
    return overwriteSetting;
}

void storeSCPCallback(void *callbackData, T_DIMSE_StoreProgress *progress,
                      T_DIMSE_C_StoreRQ *request, char *imageFileName,
                      DcmDataset **imageDataSet, T_DIMSE_C_StoreRSP *response,
                      DcmDataset **statusDetail)
{
    if (progress->state == DIMSE_StoreEnd)
        response->DimseStatus = STATUS_STORE_Refused_OutOfResources;
}
