// The C-MOVE provider handler: lists the images the identifier selects at
// the first response, then sends one per response to the move destination
// over sub-associations that this server opens as a client (their contexts
// built from the images, at most 128 per association), or deletes it when
// the destination is "VeltoDeleteAET". Counts the sub-operations.
#include "server/handlers.h"

#include <string.h>
#include <time.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmnet/cond.h"
#include "dcmtk/dcmnet/dul.h"

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/retrieve.h"
#include "server/serveraudit.h"
#include "server/serveroptions.h"

#define LOG(level, ...) logprintf(level, server_options.logfp, __VA_ARGS__)

void retrieveJobFree(retrievejob **job)
{
    delete *job;
    *job = nullptr;
}

// Ends md->subassoc for good: released when reason is EC_Normal, aborted
// for any other reason but DUL_PEERABORTEDASSOCIATION (only destroyed). A
// release that fails still destroys the association, so its connection
// never outlives it.
static int endSubAssociation(movedata *md, OFCondition reason)
{
    int result;

    md->subBatch = -1;
    if (md->subassoc == NULL)
        return 1;
    result = dicomnet_dissociate(&md->subassoc, reason);
    if (md->subassoc != NULL)
        dicomnet_dissociate(&md->subassoc, DUL_PEERABORTEDASSOCIATION);
    md->subassoc = NULL;
    return result;
}

int closeSubAssociation(movedata *md)
{
    return endSubAssociation(md, EC_Normal);
}

int buildSubAssociation(T_DIMSE_C_MoveRQ *request, movedata *md, int b)
{
    AETitleMapEntry *dest = AETitleMap_FindByAET(&server_aetmap, request->MoveDestination);
    DIC_AE called = "", responding = "";
    T_ASC_Parameters *params;
    unsigned int stepLeft;
    time_t started;
    int result;

    md->subassoc = NULL;
    if (dest == NULL) {
        LOG(LOGLEVEL_ERROR, "Cannot resolve AETitle %s to Presentation Address\n",
            request->MoveDestination);
        return 1;
    }
    // The title by which the requester called us is the one we call the
    // destination with.
    ASC_getAPTitles(md->assoc->params, NULL, 0, called, sizeof(called), responding,
                    sizeof(responding));
    params = dicomnet_params_init(called, NULL, request->MoveDestination, dest->address, false,
                                  MOVE_SUBASSOC_MAX_PDU);
    if (params == NULL)
        return -2;
    retrieve_proposeBatch(params, md->job, b);

    // Opening has 12 seconds of its own. The step's alarm is put back
    // afterwards (less the time spent), so the C-STORE that follows stays
    // bounded too: the send blocks without a timeout of its own.
    stepLeft = alarm(MOVE_SUBASSOC_ALARM);
    started = time(NULL);
    dcmConnectionTimeout.set(MOVE_CONNECT_TIMEOUT);
    result = dicomnet_associate(&md->subassoc, md->net, params);
    if (stepLeft > 0) {
        time_t spent = time(NULL) - started;
        alarm(spent < (time_t)stepLeft ? stepLeft - (unsigned int)spent : 1);
    } else {
        alarm(0);
    }

    if (md->subassoc == NULL) {
        // The toolkit made no association, so the parameters are still ours.
        ASC_destroyAssociationParameters(&params);
    } else if (result != 0) {
        // Established without a usable context: release it. Rejected or
        // failed: nothing to release, only destroy.
        endSubAssociation(md, result == -3 ? EC_Normal : DUL_PEERABORTEDASSOCIATION);
    } else {
        md->subBatch = b;
    }
    return result;
}

// After a C-STORE over the sub-association: one that broke it ends it; a
// destination that stayed silent for the inactivity budget is aborted and
// given up for the rest of the move (each further image would cost the
// budget again).
static void noteLinkLoss(movedata *md, int sent)
{
    if (sent == RETRIEVE_SILENT) {
        // The abort must not wait for this peer to close either.
        if (md->subassoc != NULL)
            dicomnet_transport_stop_reading(md->subassoc);
        endSubAssociation(md, DIMSE_NODATAAVAILABLE);
        md->givenUp = 1;
    } else if (sent == RETRIEVE_LINK_LOST) {
        endSubAssociation(md, DUL_PEERABORTEDASSOCIATION);
    }
}

// Sends item to the destination, first opening the sub-association of its
// batch when another (or none) is open; an item whose request went out
// ahead only has its response awaited. A batch whose association could not
// be opened is not tried again: its images count as failed. A C-STORE that
// broke the association costs only its own image: the next one opens a new
// association.
static void sendToDestination(T_DIMSE_C_MoveRQ *request, movedata *md, const retrieveitem &item)
{
    retrievejob *job = md->job;
    int ahead = md->ahead;
    md->ahead = MOVE_AHEAD_NONE;
    if (ahead == MOVE_AHEAD_COUNTED)
        return;
    if (ahead == MOVE_AHEAD_SENT) {
        noteLinkLoss(md,
                     retrieve_response(job, item, md->subassoc, md->aheadPc, md->aheadMsg, NULL));
        return;
    }
    if (md->givenUp) {
        retrieve_countFailed(job, item);
        return;
    }
    if (item.batch >= 0 && item.batch != md->subBatch) {
        closeSubAssociation(md);
        if (item.batch != md->refusedBatch && buildSubAssociation(request, md, item.batch) != 0) {
            LOG(LOGLEVEL_ERROR, "Building Move SubAssoc to AET %s failed.\n",
                request->MoveDestination);
            md->refusedBatch = item.batch;
        }
    }
    if (item.batch >= 0 && md->subassoc == NULL) {
        retrieve_countFailed(job, item);
        return;
    }
    retrieveorigin origin = {md->origin_aet, md->origin_msgid, md->priority};
    noteLinkLoss(md, retrieve_send(job, item, md->subassoc, origin, NULL));
}

// Sends the request of the next image before the pending response goes
// out, when it goes over the sub-association that is open: the destination
// stores it while the requester reads the response, instead of after. The
// counts of the response are not affected: the image is counted when its
// own response has come, at the next step. An image that would fail
// without a request (no context) is left to its own step, where it is
// counted.
static void sendAhead(movedata *md)
{
    retrievejob *job = md->job;
    if (job->next >= job->items.size() || md->subassoc == NULL)
        return;
    const retrieveitem &item = job->items[job->next];
    if (item.batch != md->subBatch || !retrieve_sendable(item, md->subassoc))
        return;
    retrieveorigin origin = {md->origin_aet, md->origin_msgid, md->priority};
    int r = retrieve_request(job, item, md->subassoc, origin, &md->aheadPc, &md->aheadMsg);
    md->ahead = r == RETRIEVE_SENT ? MOVE_AHEAD_SENT : MOVE_AHEAD_COUNTED;
    noteLinkLoss(md, r);
}

// Awaits the response to a request sent ahead, so the sub-association can
// be released (a cancelled C-MOVE): the image counts as done.
static void finishAhead(movedata *md)
{
    if (md->ahead == MOVE_AHEAD_SENT && md->job != NULL && md->job->next < md->job->items.size()) {
        const retrieveitem &item = md->job->items[md->job->next];
        noteLinkLoss(
            md, retrieve_response(md->job, item, md->subassoc, md->aheadPc, md->aheadMsg, NULL));
        md->job->next++;
    }
    md->ahead = MOVE_AHEAD_NONE;
}

// Deletes item from the store and counts the outcome.
static void deleteImage(const handlercontext *ctx, movedata *md, const retrieveitem &item)
{
    audit_participant by = serveraudit_peer(ctx);
    int result = archive_delete(&server_archive, item.study.c_str(), item.series.c_str(),
                                item.instance.c_str(), &by, item.sopClass.c_str());
    if (result != 0) {
        retrieve_countFailed(md->job, item);
        LOG(LOGLEVEL_WARNING, "Request to delete image ... result: %d\n", result);
    } else if (md->job->completed < 0xFFFF) {
        md->job->completed++;
    }
}

// Fills the counts of a response from job (remaining: those not yet done).
static void setCounts(T_DIMSE_C_MoveRSP *response, const retrievejob *job)
{
    response->NumberOfRemainingSubOperations = retrieve_remaining(job);
    response->NumberOfCompletedSubOperations = job->completed;
    response->NumberOfFailedSubOperations = job->failed;
    response->NumberOfWarningSubOperations = job->warning;
    response->opts |= O_MOVE_NUMBEROFREMAININGSUBOPERATIONS |
                      O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS |
                      O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
}

// The first call of a C-MOVE: 0 when its job is ready (md->job set), else
// the status of a final response without sub-operations.
static Uint16 startMove(const handlercontext *ctx, T_DIMSE_C_MoveRQ *request, movedata *md,
                        DcmDataset *identifier, bool deleting)
{
    // A sub-association or job left by a cancelled C-MOVE ends here.
    closeSubAssociation(md);
    retrieveJobFree(&md->job);
    md->ahead = MOVE_AHEAD_NONE;
    md->refusedBatch = -1;
    md->givenUp = 0;
    md->priority = request->Priority;
    md->origin_msgid = request->MessageID;
    md->origin_aet[0] = '\0';
    ASC_getAPTitles(md->assoc->params, md->origin_aet, sizeof(md->origin_aet), NULL, 0, NULL, 0);
    LOG(LOGLEVEL_DEBUG, "Initializing move.\n");

    // The access policy: may the peer delete, or move to this destination?
    if (!handlerPermits(ctx, deleting ? ACCESS_DELETE : ACCESS_MOVE))
        return HANDLERS_STATUS_NOT_AUTHORIZED;
    if (!deleting &&
        (AETitleMap_FindByAET(&server_aetmap, request->MoveDestination) == NULL ||
         !AccessPolicy_CheckDestination(&server_access, &server_aetmap, request->MoveDestination,
                                        server_options.logfp))) {
        LOG(LOGLEVEL_ERROR, "Cannot resolve AETitle %s to Presentation Address\n",
            request->MoveDestination);
        return STATUS_MOVE_Refused_MoveDestinationUnknown;
    }
    alarm(MOVE_STEP_ALARM);
    md->job = new retrievejob;
    int r = retrieve_prepare(ctx->archive, identifier, md->job);
    if (r == ARCHIVE_BAD_IDENTIFIER) {
        LOG(LOGLEVEL_ERROR,
            "MOVE: identifier lacks the unique key of its level or names no UID.\n");
        retrieveJobFree(&md->job);
        return STATUS_MOVE_Failed_IdentifierDoesNotMatchSOPClass;
    }
    if (r != ARCHIVE_SELECTED) {
        LOG(LOGLEVEL_ERROR, "MOVE: the index cannot be read.\n");
        retrieveJobFree(&md->job);
        return STATUS_MOVE_Failed_UnableToProcess;
    }
    if (!deleting)
        retrieve_planBatches(md->job);
    LOG(LOGLEVEL_DEBUG, "Move of %zu images in %zu associations.\n", md->job->items.size(),
        md->job->batches.size());
    return 0;
}

// A stop request: the move ends now rather than after its last image. The
// sub-association is aborted (a response awaited there is not waited for),
// every image not done counts failed, and the final response says the
// sub-operations could not be performed (A702H), with the counts and the
// failed instances, so the requester knows what it has.
static void stopMove(movedata *md, T_DIMSE_C_MoveRSP *response, DcmDataset **responseIdentifiers)
{
    retrievejob *job = md->job;
    if (md->subassoc != NULL)
        dicomnet_transport_stop_reading(md->subassoc);
    endSubAssociation(md, DIMSE_NODATAAVAILABLE);
    md->ahead = MOVE_AHEAD_NONE;
    size_t left = job->items.size() - job->next;
    for (; job->next < job->items.size(); job->next++)
        retrieve_countFailed(job, job->items[job->next]);
    LOG(LOGLEVEL_NOTICE, "Stopping: C-MOVE ended with %zu image(s) not sent.\n", left);
    response->DimseStatus = STATUS_MOVE_Refused_OutOfResourcesSubOperations;
    setCounts(response, job);
    *responseIdentifiers = retrieve_failedList(job);
}

void moveSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_MoveRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_MoveRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    movedata *md = &ctx->move;
    bool deleting = strcmp(request->MoveDestination, HANDLERS_AET_DELETE) == 0;

    if (cancelled) {
        // Release the destination now rather than when the worker ends.
        finishAhead(md);
        closeSubAssociation(md);
        response->DimseStatus = STATUS_MOVE_Cancel_SubOperationsTerminatedDueToCancelIndication;
        if (md->job != NULL) {
            setCounts(response, md->job);
            *responseIdentifiers = retrieve_failedList(md->job);
            if (!deleting)
                serveraudit_retrieve(ctx, md->job, request->MoveDestination, false);
        }
        retrieveJobFree(&md->job);
        return;
    }

    if (responseCount == 1) {
        Uint16 refused = startMove(ctx, request, md, requestIdentifiers, deleting);
        if (refused != 0) {
            // Nothing was started: the response carries no counts.
            response->DimseStatus = refused;
            response->opts &=
                ~(O_MOVE_NUMBEROFREMAININGSUBOPERATIONS | O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS |
                  O_MOVE_NUMBEROFFAILEDSUBOPERATIONS | O_MOVE_NUMBEROFWARNINGSUBOPERATIONS);
            return;
        }
        if (!deleting)
            serveraudit_retrieve(ctx, md->job, request->MoveDestination, true);
    }

    if (dicomnet_stopping()) {
        stopMove(md, response, responseIdentifiers);
        if (!deleting)
            serveraudit_retrieve(ctx, md->job, request->MoveDestination, false);
        retrieveJobFree(&md->job);
        return;
    }
    retrievejob *job = md->job;
    if (job->next >= job->items.size()) {
        LOG(LOGLEVEL_DEBUG, "Closing SubAssoc.\n");
        closeSubAssociation(md);
        response->DimseStatus = retrieve_finalStatus(job);
        setCounts(response, job);
        *responseIdentifiers = retrieve_failedList(job);
        if (!deleting)
            serveraudit_retrieve(ctx, job, request->MoveDestination, false);
        retrieveJobFree(&md->job);
        return;
    }

    const retrieveitem &item = job->items[job->next];
    if (deleting) {
        // A deleting C-MOVE has one step budget in all: no re-arm here.
        deleteImage(ctx, md, item);
    } else {
        LOG(LOGLEVEL_TRACE2, "Moving one image.\n");
        sendToDestination(request, md, item);
        alarm(MOVE_STEP_ALARM);
    }
    job->next++;
    if (!deleting)
        sendAhead(md);
    response->DimseStatus = STATUS_MOVE_Pending_SubOperationsAreContinuing;
    setCounts(response, job);
}
