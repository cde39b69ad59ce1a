// The C-STORE provider handler: checks access, chooses the store mode from
// the called AE title and hands the received dataset to the archive core's
// ingest (core/archive.h), whose status is the response's. The received
// bytes are walked (store/elementwalk.h) before the toolkit parses them.
// Also the setup of the per-association handler context that all three
// handlers share, and the access check that every handler makes.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dctag.h"

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/serveroptions.h"
#include "store/elementwalk.h"

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
    // The command names the instance it stores: a data set of another
    // class or instance would be answered for one image and filed as
    // another. The storage service's status for it is "Error: Data Set
    // does not match SOP Class" (A900H, DICOM PS3.4 B.2.3). A data set
    // without the UIDs is left to the store, which refuses it (C000H).
    const char *dsClass = DCMTK_getTagString(ds, DCM_SOPClassUID);
    const char *dsInstance = DCMTK_getTagString(ds, DCM_SOPInstanceUID);
    if ((dsClass != NULL && strcmp(dsClass, request->AffectedSOPClassUID) != 0) ||
        (dsInstance != NULL && strcmp(dsInstance, request->AffectedSOPInstanceUID) != 0)) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "C-STORE refused: the data set is not the instance its command names.\n");
        response->DimseStatus = STATUS_STORE_Error_DataSetDoesNotMatchSOPClass;
        return;
    }

    // The dataset belongs to the network layer and dies when this call
    // returns: the ingest (write, links, announcement) happens here.
    response->DimseStatus = (Uint16)archive_ingest(ctx->archive, ds, mode, nullptr);
}

// Implicit VR: the toolkit reads an element of defined length as a
// sequence when its dictionary says so, and so must the walk that guards it.
static bool dictionarySequence(unsigned group, unsigned element)
{
    return DcmTag((Uint16)group, (Uint16)element).getEVR() == EVR_SQ;
}

static void beginInspection(void *data, bool implicitVr, bool bigEndian)
{
    elementwalk *w = static_cast<elementwalk *>(data);
    elementwalk_init(w, implicitVr, bigEndian);
    w->maxLength = server_options.max_dataset;
    w->strictVr = true;
    w->isSequence = dictionarySequence;
}

// Walks the received bytes before the toolkit parses them: a data set
// nested deeper than the toolkit's parser can recurse, or claiming more
// than -z allows, is refused with "Refused: Out of Resources" (A700H), one
// whose encoding does not hold together, or whose elements are out of order
// (which the toolkit, fed in pieces, would read otherwise than the walk),
// with "Error: Cannot understand" (C000H) (DICOM PS3.4 B.2.3).
static Uint16 inspectBytes(void *data, const unsigned char *bytes, size_t n, bool last)
{
    elementwalk *w = static_cast<elementwalk *>(data);
    int r = elementwalk_feed(w, bytes, n);
    if (r == ELEMENTWALK_MORE && last)
        r = elementwalk_finish(w);
    FILE *logfp = server_options.logfp;
    switch (r) {
    case ELEMENTWALK_MORE:
        return 0;
    case ELEMENTWALK_TOO_DEEP:
        logprintf(LOGLEVEL_ERROR, logfp,
                  "C-STORE refused: data set nested deeper than %d sequences.\n", w->maxDepth);
        return DCMTK_STATUS_OUT_OF_RESOURCES;
    case ELEMENTWALK_TOO_LONG:
        logprintf(LOGLEVEL_ERROR, logfp, "C-STORE refused: data set larger than %llu bytes.\n",
                  (unsigned long long)w->maxLength);
        return DCMTK_STATUS_OUT_OF_RESOURCES;
    case ELEMENTWALK_DISORDERED:
        logprintf(LOGLEVEL_ERROR, logfp,
                  "C-STORE refused: data set element out of order at byte %llu.\n",
                  (unsigned long long)w->pos);
        return DCMTK_STATUS_CANNOT_UNDERSTAND;
    case ELEMENTWALK_FOREIGN:
        logprintf(LOGLEVEL_ERROR, logfp,
                  "C-STORE refused: data set with an unknown VR at byte %llu.\n",
                  (unsigned long long)w->pos);
        return DCMTK_STATUS_CANNOT_UNDERSTAND;
    default:
        logprintf(LOGLEVEL_ERROR, logfp, "C-STORE refused: data set damaged at byte %llu.\n",
                  (unsigned long long)w->pos);
        return DCMTK_STATUS_CANNOT_UNDERSTAND;
    }
}

OFCondition storeSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                     T_ASC_PresentationContextID pcId, handlercontext *ctx)
{
    elementwalk walk;
    DCMTK_store_guard guard = {server_options.max_dataset, beginInspection, inspectBytes, &walk};
    return DCMTK_SCP_store(assoc, msg, pcId, storeSCPCallback, ctx, &guard);
}
