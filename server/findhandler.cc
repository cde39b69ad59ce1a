// The C-FIND provider handler: drives the store's query engine one match per
// response and sets each response's status.
#include "server/handlers.h"

#include <time.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"

#include "server/serveroptions.h"
#include "store/localstore.h"

static int64_t monotonicMicros(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// True when a C-CANCEL for request arrives before FIND_CANCEL_GRACE_MS have
// passed since the first match was sent. The toolkit looks for a cancel only
// before each response and without waiting, so a peer that cancels on seeing
// the first match is always too late when the matches are few: they are all
// sent before its cancel comes in. A short wait before the final response
// honours such a cancel; a query that took longer than that needs none.
static bool lateCancelArrived(T_ASC_Association *assoc, T_DIMSE_C_FindRQ *request,
                              int64_t firstSentUs)
{
    T_ASC_PresentationContextID pcId = 0;
    T_DIMSE_Message msg;
    OFCondition cond;
    int64_t waitMs = FIND_CANCEL_GRACE_MS - (monotonicMicros() - firstSentUs) / 1000;

    if (waitMs <= 0 || DCMTK_transport_waitReadable(assoc, (int)waitMs) != 1)
        return false;
    // During a C-FIND the peer may send nothing but C-CANCEL (or end the
    // association, which the final response's send then reports).
    cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, 1, &pcId, &msg, NULL);
    return cond.good() && msg.CommandField == DIMSE_C_CANCEL_RQ &&
           msg.msg.CCancelRQ.MessageIDBeingRespondedTo == request->MessageID;
}

void findSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_FindRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);

    // A new query starts with a fresh iteration; an earlier query that was
    // cancelled leaves its block behind until the worker exits.
    if (responseCount == 1)
        ctx->findstate = NULL;
    else if (responseCount == 2)
        ctx->find_first_sent_us = monotonicMicros();

    if (cancelled) {
        response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        return;
    }
    if (responseCount == 1 && !handlerPermits(ctx, ACCESS_FIND)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }

    if (server_store.FindDataset(&ctx->findstate, requestIdentifiers, responseIdentifiers, NULL) !=
        0) {
        if (responseCount > 1 && lateCancelArrived(ctx->assoc, request, ctx->find_first_sent_us))
            response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        else
            response->DimseStatus = STATUS_FIND_Success_MatchingIsComplete;
        return;
    }

    // The stored texts are UTF-8; when the engine has labelled an identifier
    // "ISO_IR 192" because it holds such bytes, -E must not relabel it with
    // a character set the bytes are not in. Pure ASCII identifiers carry -E.
    if (server_options.charset[0] != '\0' &&
        !(*responseIdentifiers)->tagExists(DCM_SpecificCharacterSet))
        DCMTK_Key_Add(*responseIdentifiers, 0x0008, 0x0005, server_options.charset);
    response->DataSetType = DIMSE_DATASET_PRESENT;
    response->DimseStatus = STATUS_FIND_Pending_MatchesAreContinuing;
}
