// The C-STORE provider handler: checks access, chooses the store mode from
// the called AE title and wires the network layer to the archive core's
// receive (core/receive.h), which walks the data set's bytes as they come,
// stores them as they come or has them parsed, and ingests the image; the
// handler checks the data set against its command and answers with the
// ingest's status.
// Also the setup of the per-association handler context that all three
// handlers share, and the access check that every handler makes.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "core/receive.h"
#include "runtime/logprintf.h"
#include "server/serveraudit.h"
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
    dicomnet_peer_address(assoc, ctx->peer_address, sizeof(ctx->peer_address));
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

// One C-STORE being received: the archive's receive of its data set, and
// whether the peer may store.
struct storereceipt {
    handlercontext *ctx;
    archive_receive *rx;
    bool permitted;
};

// The data set has come whole (walked and within the limits): checked
// against the command and ingested, the ingest's status the response's.
static void storeCallback(void *callbackData, T_DIMSE_StoreProgress *progress,
                          T_DIMSE_C_StoreRQ *request, char *, DcmDataset **,
                          T_DIMSE_C_StoreRSP *response, DcmDataset **)
{
    storereceipt *receipt = static_cast<storereceipt *>(callbackData);
    if (progress->state != DIMSE_StoreEnd)
        return;
    if (!receipt->permitted) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }
    handlercontext *ctx = receipt->ctx;
    // The received data set (the parsed one, or the head of one stored as
    // it came), owned by the receive; null when the head could not be
    // parsed.
    DcmDataset *ds = receipt->rx->dataset();
    // The command names the instance it stores: a data set of another
    // class or instance would be answered for one image and filed as
    // another. The storage service's status for it is "Error: Data Set
    // does not match SOP Class" (A900H, DICOM PS3.4 B.2.3). A data set
    // without the UIDs is left to the store, which refuses it (C000H).
    const char *dsClass = ds != NULL ? dicomnet_getTagString(ds, DCM_SOPClassUID) : NULL;
    const char *dsInstance = ds != NULL ? dicomnet_getTagString(ds, DCM_SOPInstanceUID) : NULL;
    if ((dsClass != NULL && strcmp(dsClass, request->AffectedSOPClassUID) != 0) ||
        (dsInstance != NULL && strcmp(dsInstance, request->AffectedSOPInstanceUID) != 0)) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "C-STORE refused: the data set is not the instance its command names.\n");
        response->DimseStatus = STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;
        return;
    }
    // A head that could not be parsed cannot be understood.
    if (ds == NULL) {
        response->DimseStatus = STATUS_STORE_Error_CannotUnderstand;
        return;
    }
    int mode = storeModeForCalledAET(ctx->store_called, server_options.overwrite);
    // The image is ingested here, before the response: the write, links,
    // and forwarding jobs; its announcement follows the response.
    response->DimseStatus = (Uint16)receipt->rx->ingest(mode, ctx->store_calling, nullptr);
    serveraudit_stored(ctx, ds, response->DimseStatus);
}

void handlerLogRefusal(const char *operation, const char *what, const dicomnet_refusal &refusal,
                       const dicomnet_dataset_limits &limits)
{
    FILE *logfp = server_options.logfp;
    unsigned long long at = (unsigned long long)refusal.at;
    switch (refusal.reason) {
    case ELEMENTWALK_TOO_DEEP:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s nested deeper than %d sequences.\n",
                  operation, what, limits.maxDepth);
        break;
    case ELEMENTWALK_TOO_LONG:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s larger than %llu bytes.\n", operation,
                  what, (unsigned long long)limits.maxBytes);
        break;
    case ELEMENTWALK_TOO_MANY:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s with more than %ld sequence items.\n",
                  operation, what, limits.maxItems);
        break;
    case ELEMENTWALK_TOO_MANY_ELEMENTS:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s with more than %ld elements.\n", operation,
                  what, limits.maxElements);
        break;
    case ELEMENTWALK_DISORDERED:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s element out of order at byte %llu.\n",
                  operation, what, at);
        break;
    case ELEMENTWALK_FOREIGN:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s with an unknown VR at byte %llu.\n",
                  operation, what, at);
        break;
    default:
        logprintf(LOGLEVEL_ERROR, logfp, "%s refused: %s damaged at byte %llu.\n", operation, what,
                  at);
        break;
    }
}

OFCondition storeSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                     T_ASC_PresentationContextID pcId, handlercontext *ctx)
{
    T_ASC_PresentationContext pc;
    if (dicomnet_find_accepted_context(assoc, pcId, &pc).bad())
        return dicomnet_SCP_store(assoc, msg, pcId, storeCallback, nullptr);
    // The access check comes first: a peer not allowed to store has its
    // data set walked (a hostile one is refused all the same) and nothing
    // of it is written.
    storereceipt receipt;
    receipt.ctx = ctx;
    receipt.permitted = handlerPermits(ctx, ACCESS_STORE);
    // Whatever becomes of it (stored, refused, the association broken off
    // in the middle), the receive leaves no temporary file when it goes.
    archive_receive rx(ctx->archive, pc.acceptedTransferSyntax, server_options.max_dataset,
                       receipt.permitted);
    receipt.rx = &rx;
    OFCondition cond = dicomnet_SCP_store(assoc, msg, pcId, storeCallback, &receipt, &rx);
    dicomnet_refusal refusal;
    dicomnet_dataset_limits limits;
    if (rx.refusal(&refusal, &limits))
        handlerLogRefusal("C-STORE", "data set", refusal, limits);
    return cond;
}
