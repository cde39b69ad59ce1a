// The C-STORE provider handler: chooses the store mode from the called AE
// title, writes the received dataset into the image store (and the patient
// link tree with -s), turns the store's result into the response status and
// announces every stored image on the monitor channel. Also the setup of the
// per-association handler context that all three handlers share, and the
// access check that every handler makes.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "runtime/logprintf.h"
#include "server/serveroptions.h"
#include "server/serverstate.h"
#include "store/capacity.h"
#include "store/localstore.h"

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

// Announces "STORAGE STOREUID study series instance" for a stored image.
static void announceStored(DcmDataset *ds)
{
    const char *study = DCMTK_getTagString(ds, DCM_StudyInstanceUID);
    const char *series = DCMTK_getTagString(ds, DCM_SeriesInstanceUID);
    const char *instance = DCMTK_getTagString(ds, DCM_SOPInstanceUID);
    char text[1024];

    if (server_state.sendsock < 0)
        return;
    snprintf(text, sizeof(text), "STOREUID %s %s %s", study ? study : "", series ? series : "",
             instance ? instance : "");
    server_state.change_verbose(text);
}

// The capacity policy's refusal of an image: logged and announced
// ("STORAGE FULL ...") at most once a minute per worker, so that a modality
// sending a whole study does not flood the log and the channel.
static bool refusedForSpace()
{
    static time_t lastSaid = 0;
    char text[128];
    if (!capacity_refuses(server_store.getBaseDir(), text, sizeof text))
        return false;
    time_t now = time(nullptr);
    if (now - lastSaid >= 60) {
        lastSaid = now;
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "Store %s is nearly full (%s): new images are refused.\n",
                  server_store.getBaseDir(), text);
        char message[256];
        snprintf(message, sizeof message, "FULL %s", text);
        server_state.change_verbose(message);
    }
    return true;
}

void storeSCPCallback(void *callbackData, T_DIMSE_StoreProgress *progress,
                      T_DIMSE_C_StoreRQ *request, char *imageFileName, DcmDataset **imageDataSet,
                      T_DIMSE_C_StoreRSP *response, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    int mode = storeModeForCalledAET(ctx->store_called, server_options.overwrite);
    DcmDataset *ds;
    int result;

    if (progress->state != DIMSE_StoreEnd || imageDataSet == NULL || *imageDataSet == NULL)
        return;
    ds = *imageDataSet;
    if (!handlerPermits(ctx, ACCESS_STORE)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }

    if (refusedForSpace()) {
        response->DimseStatus = STATUS_STORE_Refused_OutOfResources;
        return;
    }

    // The dataset belongs to the network layer and dies when this call
    // returns: every use of it (write, links, announcement) happens here.
    result = server_store.WriteDataset(ds, mode, NULL, 0);
    if (result == LS_OK && server_options.symlinks)
        result = server_store.WriteSymlinks(ds);

    switch (result) {
    case LS_OK:
        commit_noteStored(DCMTK_getTagString(ds, DCM_StudyInstanceUID),
                          DCMTK_getTagString(ds, DCM_SeriesInstanceUID),
                          DCMTK_getTagString(ds, DCM_SOPInstanceUID));
        announceStored(ds);
        break;
    case LS_EXISTS:
        response->DimseStatus = STATUS_STORE_Warning_ElementsDiscarded;
        break;
    case LS_BAD_UID:
        response->DimseStatus = STATUS_STORE_Error_CannotUnderstand;
        break;
    default:
        // 3 and 5, and any result the store may add later: the image is not
        // known to be stored, so the peer must not be told it was.
        response->DimseStatus = STATUS_STORE_Refused_OutOfResources;
        break;
    }
}
