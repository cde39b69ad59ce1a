// The C-MOVE provider handler: lists the matching images one per response
// through the store's query engine and sends each to the move destination
// over a sub-association that this server opens as a client, or deletes it
// when the destination is "VeltoDeleteAET". Counts the sub-operations.
#include "server/handlers.h"

#include <string.h>
#include <time.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dcmtk/dcmnet/cond.h"
#include "dcmtk/dcmnet/diutil.h"
#include "dcmtk/dcmnet/dul.h"

#include "aetitlemap/aetitlemap.h"
#include "runtime/logprintf.h"
#include "server/serveroptions.h"
#include "store/localstore.h"

#define LOG(level, ...) logprintf(level, server_options.logfp, __VA_ARGS__)

// Adds one sub-operation to a counter. The counts travel as 16-bit values,
// so a counter stops at 0xFFFF rather than wrap: a wrapped failure count of
// 0 would turn the final status into success.
static void count(Uint16 *counter)
{
    if (*counter < 0xFFFF)
        (*counter)++;
}

// The sub-association's C-STORE progress is not reported anywhere.
static void storeProgressIgnored(void *, T_DIMSE_StoreProgress *, T_DIMSE_C_StoreRQ *) {}

// Ends md->subassoc for good: released when reason is EC_Normal, else (an
// association that failed to open) only destroyed. A release that fails
// still destroys the association, so its connection never outlives it.
static int endSubAssociation(movedata *md, OFCondition reason)
{
    int result;

    if (md->subassoc == NULL)
        return 1;
    result = DCMTK_dissociate(&md->subassoc, reason);
    if (md->subassoc != NULL)
        DCMTK_dissociate(&md->subassoc, DUL_PEERABORTEDASSOCIATION);
    md->subassoc = NULL;
    return result;
}

int closeSubAssociation(movedata *md)
{
    return endSubAssociation(md, EC_Normal);
}

// Proposes the contexts of the sub-association: every storage SOP class the
// toolkit knows (dataset null), or only the dataset's SOP class in the
// transfer syntax in which it was read.
static void proposeContexts(T_ASC_Parameters *params, movedata *md, DcmDataset *dataset)
{
    if (dataset == NULL) {
        // Context ids are odd bytes, so at most 128 contexts fit; the first
        // one that cannot be added ends the list.
        for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; i++) {
            if (DCMTK_params_add_std_PC(params, 2 * i + 1, dcmAllStorageSOPClassUIDs[i]).bad())
                break;
        }
        return;
    }

    DIC_UI sopClass, sopInstance;
    if (!DU_findSOPClassAndInstanceInDataSet(dataset, sopClass, sizeof(sopClass), sopInstance,
                                             sizeof(sopInstance)))
        return;
    const char *xfer = DcmXfer(dataset->getOriginalXfer()).getXferID();
    const char *syntaxes[1] = {xfer};
    if (ASC_addPresentationContext(params, 1, sopClass, syntaxes, 1, ASC_SC_ROLE_DEFAULT).bad()) {
        OFString path;
        if (md->image != NULL)
            path = server_store.GetUidPath(md->image, 1);
        LOG(LOGLEVEL_ERROR, "Cannot add dataset PC for file: %s\n", path.c_str());
    }
}

int buildSubAssociation(T_DIMSE_C_MoveRQ *request, movedata *md, DcmDataset *dataset)
{
    AETitleMapEntry *dest = AETitleMap_FindByAET(&server_aetmap, request->MoveDestination);
    DIC_AE called = "", responding = "";
    T_ASC_Parameters *params;
    unsigned int stepLeft;
    time_t started;
    int result;

    if (dest == NULL) {
        LOG(LOGLEVEL_ERROR, "Cannot resolve AETitle %s to Presentation Address\n",
            request->MoveDestination);
        return 1;
    }

    // The requester's title is the move originator of every C-STORE; the
    // title by which it called us is the one we call the destination with.
    md->origin_aet[0] = '\0';
    ASC_getAPTitles(md->assoc->params, md->origin_aet, sizeof(md->origin_aet), called,
                    sizeof(called), responding, sizeof(responding));

    params = DCMTK_params_init(called, NULL, request->MoveDestination, dest->address, false,
                               MOVE_SUBASSOC_MAX_PDU);
    if (params == NULL)
        return -2;
    proposeContexts(params, md, dataset);

    // Opening has 12 seconds of its own. The step's alarm is put back
    // afterwards (less the time spent), so the C-STORE that follows stays
    // bounded too: the send blocks without a timeout of its own.
    stepLeft = alarm(MOVE_SUBASSOC_ALARM);
    started = time(NULL);
    dcmConnectionTimeout.set(MOVE_CONNECT_TIMEOUT);
    md->subassoc = NULL;
    result = DCMTK_associate(&md->subassoc, md->net, params);
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
    }
    return result;
}

// Sends one C-STORE of dset over md->subassoc. The condition of the send;
// *status receives the response status when the send worked.
static OFCondition storeOnce(movedata *md, DcmDataset *dset, const char *sopClass,
                             const char *sopInstance, Uint16 *status, bool *noContext)
{
    T_DIMSE_C_StoreRQ req;
    T_DIMSE_C_StoreRSP rsp;
    DcmDataset *detail = NULL;
    T_ASC_PresentationContextID pcId;
    OFCondition cond;

    memset(&req, 0, sizeof(req));
    memset(&rsp, 0, sizeof(rsp));
    req.MessageID = md->subassoc->nextMsgID++;
    *noContext = false;
    pcId = ASC_findAcceptedPresentationContextID(md->subassoc, sopClass);
    if (pcId == 0) {
        *noContext = true;
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    OFStandard::strlcpy(req.AffectedSOPClassUID, sopClass, sizeof(req.AffectedSOPClassUID));
    OFStandard::strlcpy(req.AffectedSOPInstanceUID, sopInstance,
                        sizeof(req.AffectedSOPInstanceUID));
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = md->priority;
    OFStandard::strlcpy(req.MoveOriginatorApplicationEntityTitle, md->origin_aet,
                        sizeof(req.MoveOriginatorApplicationEntityTitle));
    req.MoveOriginatorID = md->origin_msgid;
    req.opts = O_STORE_MOVEORIGINATORAETITLE | O_STORE_MOVEORIGINATORID;

    cond = DIMSE_storeUser(md->subassoc, pcId, &req, NULL, dset, storeProgressIgnored, NULL,
                           DIMSE_BLOCKING, 0, &rsp, &detail);
    if (cond.good())
        *status = rsp.DimseStatus;
    if (detail != NULL) {
        detail->print(CERR);
        delete detail;
    }
    return cond;
}

OFCondition moveNextImage(T_DIMSE_C_MoveRQ *request, movedata *md)
{
    const char *study = NULL, *series = NULL, *instance = NULL;
    DIC_UI sopClass, sopInstance;
    DcmFileFormat file;
    DcmDataset *dset;
    OFString path;
    OFCondition cond;

    if (md->subassoc == NULL) {
        count(&md->failed);
        return DIMSE_ILLEGALASSOCIATION;
    }
    if (md->image != NULL) {
        study = DCMTK_getTagString(md->image, DCM_StudyInstanceUID);
        series = DCMTK_getTagString(md->image, DCM_SeriesInstanceUID);
        instance = DCMTK_getTagString(md->image, DCM_SOPInstanceUID);
    }
    if (study == NULL || series == NULL || instance == NULL) {
        count(&md->failed);
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Did not have all UIDs.\n");
        return DIMSE_ILLEGALASSOCIATION;
    }

    // An image that cannot be read is a sub-operation that failed: it was
    // selected and not sent, so the final status must not claim success.
    path = server_store.GetUidPath(md->image, 1);
    cond = file.loadFile(path.c_str());
    if (cond.bad()) {
        count(&md->failed);
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot load dicom file %s.\n", path.c_str());
        return cond;
    }
    dset = file.getDataset();
    if (dset == NULL) {
        count(&md->failed);
        LOG(LOGLEVEL_ERROR, "Cannot locate dset in file: %s\n", path.c_str());
        return DIMSE_BADDATA;
    }
    if (!DU_findSOPClassAndInstanceInDataSet(dset, sopClass, sizeof(sopClass), sopInstance,
                                             sizeof(sopInstance))) {
        count(&md->failed);
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot retrieve sopClass/Instance.\n");
        return DIMSE_BADDATA;
    }

    for (int attempt = 0; attempt < 2; attempt++) {
        Uint16 status = 0;
        bool noContext = false;

        cond = storeOnce(md, dset, sopClass, sopInstance, &status, &noContext);
        if (noContext) {
            count(&md->failed);
            LOG(LOGLEVEL_ERROR, "MOVE - store failed - no PC.\n");
            return cond;
        }
        if (cond.good()) {
            if (status == STATUS_Success) {
                count(&md->completed);
            } else if ((status & 0xF000) == 0xB000) {
                count(&md->warning);
                LOG(LOGLEVEL_WARNING, "Got warning in MOVE/STORE: %s\n",
                    DU_cstoreStatusString(status));
            } else {
                count(&md->failed);
                LOG(LOGLEVEL_ERROR, "Got error in MOVE/STORE: %s\n", DU_cstoreStatusString(status));
            }
            return cond;
        }
        if (attempt == 1) {
            count(&md->failed);
            LOG(LOGLEVEL_ERROR, "Got error in MOVE/STORE.\n");
            DimseCondition::dump(cond);
            return cond;
        }

        // The first send failed, often because the accepted transfer syntax
        // cannot be made from the one the file is in: retry once over a
        // sub-association that proposes exactly the file's own syntax. It
        // stays in use for the rest of this C-MOVE.
        if (file.canWriteXfer(EXS_LittleEndianExplicit, dset->getOriginalXfer()))
            LOG(LOGLEVEL_WARNING, "Could write dset in pre-Associated syntax. Retrying anyway.\n");
        else
            LOG(LOGLEVEL_DEBUG, "Cannot write dset in pre-Associated syntax. File: %s\n",
                path.c_str());
        endSubAssociation(md, EC_Normal);
        if (buildSubAssociation(request, md, dset) != 0) {
            LOG(LOGLEVEL_ERROR, "Building Move SubAssoc to AET %s failed.\n",
                request->MoveDestination);
            count(&md->failed);
            md->subassoc = NULL;
            return cond;
        }
    }
    return cond;
}

// Deletes the current image from the store and counts the outcome.
static void deleteImage(movedata *md)
{
    const char *study = DCMTK_getTagString(md->image, DCM_StudyInstanceUID);
    const char *series = DCMTK_getTagString(md->image, DCM_SeriesInstanceUID);
    const char *instance = DCMTK_getTagString(md->image, DCM_SOPInstanceUID);
    int result;

    if (study == NULL || series == NULL || instance == NULL) {
        count(&md->failed);
        return;
    }
    result = server_store.DeleteFile(study, series, instance);
    if (result != 0) {
        count(&md->failed);
        LOG(LOGLEVEL_WARNING, "Request to delete image ... result: %d\n", result);
    } else {
        count(&md->completed);
    }
}

// Fills the counts of a response from md.
static void setCounts(T_DIMSE_C_MoveRSP *response, const movedata *md)
{
    response->NumberOfRemainingSubOperations = 0;
    response->NumberOfCompletedSubOperations = md->completed;
    response->NumberOfFailedSubOperations = md->failed;
    response->NumberOfWarningSubOperations = md->warning;
    response->opts |= O_MOVE_NUMBEROFREMAININGSUBOPERATIONS |
                      O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS |
                      O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
}

// Whether the access policy lets the peer delete, or move to this
// destination; when not, response is the final refusal.
static bool movePermitted(const handlercontext *ctx, T_DIMSE_C_MoveRQ *request,
                          T_DIMSE_C_MoveRSP *response)
{
    if (strcmp(request->MoveDestination, HANDLERS_AET_DELETE) == 0) {
        if (handlerPermits(ctx, ACCESS_DELETE))
            return true;
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
    } else if (!handlerPermits(ctx, ACCESS_MOVE)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
    } else if (!AccessPolicy_CheckDestination(&server_access, &server_aetmap,
                                              request->MoveDestination, server_options.logfp)) {
        response->DimseStatus = STATUS_MOVE_Refused_MoveDestinationUnknown;
    } else {
        return true;
    }
    setCounts(response, &ctx->move);
    return false;
}

void moveSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_MoveRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_MoveRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    movedata *md = &ctx->move;
    int found;

    if (cancelled) {
        // Release the destination now rather than when the worker ends.
        closeSubAssociation(md);
        response->DimseStatus = STATUS_MOVE_Cancel_SubOperationsTerminatedDueToCancelIndication;
        setCounts(response, md);
        return;
    }

    if (responseCount == 1) {
        // A sub-association left open by a cancelled C-MOVE ends here.
        closeSubAssociation(md);
        md->findstate = NULL;
        md->completed = md->failed = md->warning = 0;
        md->priority = request->Priority;
        md->origin_msgid = request->MessageID;
        LOG(LOGLEVEL_DEBUG, "Initializing move.\n");
        if (!movePermitted(ctx, request, response))
            return;
        alarm(MOVE_STEP_ALARM);
    }

    delete md->image;
    md->image = NULL;
    found = server_store.FindDataset(&md->findstate, requestIdentifiers, &md->image, "IMAGE");
    if (found != 0) {
        LOG(LOGLEVEL_DEBUG, "Closing SubAssoc.\n");
        closeSubAssociation(md);
        delete md->image;
        md->image = NULL;
        if (found < 0 && responseCount == 1 &&
            DCMTK_getTagString(requestIdentifiers, DCM_StudyInstanceUID) == NULL)
            // The engine lists images only within a study: a request without
            // a study UID was not carried out, which is no success. (With a
            // study UID, -1 means the study has no index: nothing matched.)
            response->DimseStatus = STATUS_MOVE_Failed_UnableToProcess;
        else if (md->failed != 0 || md->warning != 0)
            response->DimseStatus = STATUS_MOVE_Warning_SubOperationsCompleteOneOrMoreFailures;
        else
            response->DimseStatus = STATUS_MOVE_Success;
        setCounts(response, md);
        return;
    }
    LOG(LOGLEVEL_TRACE2, "Find dataset ok.\n");

    if (strcmp(request->MoveDestination, HANDLERS_AET_DELETE) == 0) {
        // A deleting C-MOVE has one step budget in all: no re-arm here.
        deleteImage(md);
    } else if (responseCount == 1 && buildSubAssociation(request, md, NULL) != 0) {
        LOG(LOGLEVEL_ERROR, "Building Move SubAssoc to AET %s failed.\n", request->MoveDestination);
        count(&md->failed);
        md->subassoc = NULL;
    } else {
        LOG(LOGLEVEL_TRACE2, "Moving one image.\n");
        moveNextImage(request, md);
        alarm(MOVE_STEP_ALARM);
    }

    delete md->image;
    md->image = NULL;
    response->DimseStatus = STATUS_MOVE_Pending_SubOperationsAreContinuing;
    setCounts(response, md);
}
