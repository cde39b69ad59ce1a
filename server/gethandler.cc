// The C-GET provider handler: lists the images the identifier selects at
// the first response, then sends one per response back to the requester
// with C-STORE over the requesting association itself, on the storage
// contexts it negotiated (with the SCP role for itself), and counts the
// sub-operations.
#include "server/handlers.h"

#include <string.h>
#include <unistd.h>

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/retrieve.h"
#include "server/serveraudit.h"
#include "server/serveroptions.h"

#define LOG(level, ...) logprintf(level, server_options.logfp, __VA_ARGS__)

static void setCounts(T_DIMSE_C_GetRSP *response, const retrievejob *job)
{
    response->NumberOfRemainingSubOperations = retrieve_remaining(job);
    response->NumberOfCompletedSubOperations = job->completed;
    response->NumberOfFailedSubOperations = job->failed;
    response->NumberOfWarningSubOperations = job->warning;
    response->opts |= O_GET_NUMBEROFREMAININGSUBOPERATIONS | O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS |
                      O_GET_NUMBEROFFAILEDSUBOPERATIONS | O_GET_NUMBEROFWARNINGSUBOPERATIONS;
}

// The first call of a C-GET: 0 when its job is ready, else the status of a
// final response without sub-operations.
static Uint16 startGet(const handlercontext *ctx, getdata *gd, DcmDataset *identifier)
{
    retrieveJobFree(&gd->job);
    memset(&gd->cancel, 0, sizeof(gd->cancel));
    if (!handlerPermits(ctx, ACCESS_GET))
        return HANDLERS_STATUS_NOT_AUTHORIZED;
    alarm(MOVE_STEP_ALARM);
    gd->job = new retrievejob;
    int r = retrieve_prepare(ctx->archive, identifier, gd->job);
    if (r == ARCHIVE_BAD_IDENTIFIER) {
        LOG(LOGLEVEL_ERROR, "GET: identifier lacks the unique key of its level or names no UID.\n");
        retrieveJobFree(&gd->job);
        return STATUS_GET_Failed_IdentifierDoesNotMatchSOPClass;
    }
    if (r != ARCHIVE_SELECTED) {
        LOG(LOGLEVEL_ERROR, "GET: the index cannot be read.\n");
        retrieveJobFree(&gd->job);
        return STATUS_GET_Failed_UnableToProcess;
    }
    LOG(LOGLEVEL_DEBUG, "Get of %zu images.\n", gd->job->items.size());
    return 0;
}

// Whether the requester reads the identifier (the Failed SOP Instance UID
// List) of a final C-GET response. DCMTK's requesting side of C-GET
// (DcmSCU, which getscu is built on) reads the command of each response but
// never its data set: the identifier's P-DATA then meets the release that
// the requester sends next, and the release fails. Such a requester names
// itself with the toolkit's implementation version name "OFFIS_DCMTK_...";
// it gets the counts alone (each failure is in the server's log).
static bool readsGetIdentifier(T_ASC_Association *assoc)
{
    return assoc == nullptr || assoc->params == nullptr ||
           strncmp(assoc->params->theirImplementationVersionName, "OFFIS_DCMTK_", 12) != 0;
}

void getSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_GetRQ *request,
                    DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_GetRSP *response,
                    DcmDataset **statusDetail, DcmDataset **responseIdentifiers)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    getdata *gd = &ctx->get;

    if (responseCount == 1) {
        Uint16 refused = startGet(ctx, gd, requestIdentifiers);
        if (refused != 0) {
            // Nothing was started: the response carries no counts.
            response->DimseStatus = refused;
            response->opts &=
                ~(O_GET_NUMBEROFREMAININGSUBOPERATIONS | O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS |
                  O_GET_NUMBEROFFAILEDSUBOPERATIONS | O_GET_NUMBEROFWARNINGSUBOPERATIONS);
            return;
        }
        serveraudit_retrieve(ctx, gd->job, nullptr, true);
    }
    retrievejob *job = gd->job;

    // The toolkit looks for a C-CANCEL between responses; one that came
    // while a C-STORE response was awaited was taken in by that C-STORE.
    if (cancelled || (gd->cancel.cancelEncountered &&
                      gd->cancel.req.MessageIDBeingRespondedTo == request->MessageID)) {
        response->DimseStatus = STATUS_GET_Cancel_SubOperationsTerminatedDueToCancelIndication;
        setCounts(response, job);
        *responseIdentifiers = retrieve_failedList(job);
        serveraudit_retrieve(ctx, job, nullptr, false);
        retrieveJobFree(&gd->job);
        return;
    }

    // A stop request ends the C-GET as it ends a C-MOVE: the images not
    // sent count failed, and the final response says so (A702H).
    if (dicomnet_stopping() && job->next < job->items.size()) {
        LOG(LOGLEVEL_NOTICE, "Stopping: C-GET ended with %zu image(s) not sent.\n",
            job->items.size() - job->next);
        for (; job->next < job->items.size(); job->next++)
            retrieve_countFailed(job, job->items[job->next]);
        response->DimseStatus = STATUS_GET_Refused_OutOfResourcesSubOperations;
        setCounts(response, job);
        *responseIdentifiers = retrieve_failedList(job);
        serveraudit_retrieve(ctx, job, nullptr, false);
        retrieveJobFree(&gd->job);
        return;
    }

    if (job->next >= job->items.size()) {
        // (C-GET and C-MOVE share the numbers: 0xA702, 0xB000.)
        response->DimseStatus = retrieve_finalStatus(job);
        setCounts(response, job);
        if (readsGetIdentifier(ctx->assoc))
            *responseIdentifiers = retrieve_failedList(job);
        else if (job->failed != 0)
            LOG(LOGLEVEL_DEBUG, "GET: failed list left out for a DCMTK requester.\n");
        serveraudit_retrieve(ctx, job, nullptr, false);
        retrieveJobFree(&gd->job);
        return;
    }

    const retrieveitem &item = job->items[job->next];
    retrieveorigin origin = {NULL, 0, request->Priority};
    // A C-STORE that fails on the network leaves the association broken:
    // the response that follows fails as well and ends the exchange.
    retrieve_send(job, item, ctx->assoc, origin, &gd->cancel);
    alarm(MOVE_STEP_ALARM);
    job->next++;
    response->DimseStatus = STATUS_Pending;
    setCounts(response, job);
}
