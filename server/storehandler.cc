// The C-STORE provider handler: checks access, chooses the store mode from
// the called AE title and hands the received dataset to the archive core's
// ingest (core/archive.h), whose status is the response's. Also the setup of the
// per-association handler context that all three handlers share, and the
// access check that every handler makes.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>

#include "core/archive.h"
#include "server/serveroptions.h"

void handlercontext_init(handlercontext *ctx, const char *calling, const char *called,
                         T_ASC_Association *assoc)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->assoc = assoc;
    if (calling)
        strncpy(ctx->store_calling, calling, sizeof(ctx->store_calling) - 1);
    if (called)
        strncpy(ctx->store_called, called, sizeof(ctx->store_called) - 1);
    DCMTK_peer_address(assoc, ctx->peer_address, sizeof(ctx->peer_address));
    ctx->archive = &server_archive;
}

int handlerPermits(const handlercontext *ctx, unsigned operation)
{
    return AccessPolicy_Check(&server_access, &server_aetmap, ctx->store_calling, ctx->peer_address,
                              operation, server_options.logfp);
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
                      T_DIMSE_C_StoreRQ *request, char *imageFileName, DcmDataset **imageDataSet,
                      T_DIMSE_C_StoreRSP *response, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    int mode = storeModeForCalledAET(ctx->store_called, server_options.overwrite);
    DcmDataset *ds;

    if (progress->state != DIMSE_StoreEnd || imageDataSet == NULL || *imageDataSet == NULL)
        return;
    ds = *imageDataSet;
    if (!handlerPermits(ctx, ACCESS_STORE)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }

    // The dataset belongs to the network layer and dies when this call
    // returns: the ingest (write, links, announcement) happens here.
    response->DimseStatus = (Uint16)archive_ingest(ctx->archive, ds, mode, nullptr);
}
