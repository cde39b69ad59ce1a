// The C-STORE provider handler: checks access, chooses the store mode from
// the called AE title and hands the received dataset to the archive core's
// ingest (core/archive.h), whose status is the response's. The received
// bytes are walked (dicomnet/elementwalk.h) before anything else reads them: a
// data set in Explicit VR Little Endian, Implicit VR Little Endian or big
// endian (converted as it comes, dicomnet/transcode.h) or a compressed syntax
// is then written by the store as it arrives and only its head parsed (the
// streamed path), any other is parsed by the toolkit.
// Also the setup of the per-association handler context that all three
// handlers share, and the access check that every handler makes.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dctag.h"
#include "dcmtk/dcmdata/dcxfer.h"

#include "core/archive.h"
#include "dicomnet/elementwalk.h"
#include "dicomnet/transcode.h"
#include "runtime/logprintf.h"
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

// The checks and the ingest that both receive paths share: ds is the
// received data set (the parsed path) or its head (the streamed path, in
// not null; null when the head could not be parsed).
static void storeAndAnswer(handlercontext *ctx, const T_DIMSE_C_StoreRQ *request, DcmDataset *ds,
                           archive_incoming *in, T_DIMSE_C_StoreRSP *response)
{
    int mode = storeModeForCalledAET(ctx->store_called, server_options.overwrite);

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
    response->DimseStatus =
        (Uint16)archive_ingest(ctx->archive, ds, mode, nullptr, in, ctx->store_calling);
}

void storeSCPCallback(void *callbackData, T_DIMSE_StoreProgress *progress,
                      T_DIMSE_C_StoreRQ *request, char *imageFileName, DcmDataset **imageDataSet,
                      T_DIMSE_C_StoreRSP *response, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);

    if (progress->state != DIMSE_StoreEnd || imageDataSet == NULL || *imageDataSet == NULL)
        return;
    if (!handlerPermits(ctx, ACCESS_STORE)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }
    // The dataset belongs to the network layer and dies when this call
    // returns: the ingest (write, links, announcement) happens here.
    storeAndAnswer(ctx, request, *imageDataSet, NULL, response);
}

// One C-STORE being received: the walk that guards its bytes and, on the
// streamed path, the image the store writes them into as they come.
struct storereceipt {
    elementwalk walk;
    handlercontext *ctx;
    archive_incoming *in; // null: parsed path, or streamed and not permitted
    bool streamed;
    bool converted; // Implicit VR or big endian: the store gets conv's bytes
    transcode conv;
};

static void beginInspection(void *data, bool implicitVr, bool bigEndian)
{
    elementwalk *w = &static_cast<storereceipt *>(data)->walk;
    elementwalk_init(w, implicitVr, bigEndian);
    w->maxLength = server_options.max_dataset;
    w->maxItems = ELEMENTWALK_MAX_ITEMS;
    w->maxElements = ELEMENTWALK_MAX_IMAGE_ELEMENTS;
    w->strictVr = true;
    // Implicit VR: the toolkit reads an element of defined length as a
    // sequence when its dictionary says so, and so must the walk.
    w->isSequence = dicomnet_dictionary_sequence;
    // The store parses only the head's elements it and the ingest read.
    w->recordElements = true;
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

// Walks the received bytes before the toolkit parses them: a data set
// nested deeper than the toolkit's parser can recurse, claiming more than
// -z allows or holding more items or elements than an image does
// (ELEMENTWALK_MAX_ITEMS, ELEMENTWALK_MAX_IMAGE_ELEMENTS), is refused with
// "Refused: Out of Resources" (A700H), one whose encoding does not hold
// together, or whose elements are out of order (which the toolkit, fed in
// pieces, would read otherwise than the walk), with "Error: Cannot
// understand" (C000H) (DICOM PS3.4 B.2.3).
static Uint16 inspectBytes(void *data, const unsigned char *bytes, size_t n, bool last)
{
    storereceipt *receipt = static_cast<storereceipt *>(data);
    elementwalk *w = &receipt->walk;
    int r = elementwalk_feed(w, bytes, n);
    if (r == ELEMENTWALK_MORE && last)
        r = elementwalk_finish(w);
    if (r == ELEMENTWALK_MORE) {
        // Walked first: the store writes only bytes that hold together, and
        // learns from the walk where the head ends.
        if (receipt->in != NULL && !receipt->converted)
            archive_feedIncoming(receipt->ctx->archive, receipt->in, bytes, n, last);
        if (receipt->in != NULL && receipt->converted &&
            transcode_feed(&receipt->conv, bytes, n, last) != TRANSCODE_MORE) {
            logprintf(LOGLEVEL_ERROR, server_options.logfp,
                      "C-STORE refused: data set that cannot be converted to Explicit VR Little "
                      "Endian.\n");
            return DICOMNET_STATUS_CANNOT_UNDERSTAND;
        }
        return 0;
    }
    dicomnet_refusal refusal = {r, w->pos};
    dicomnet_dataset_limits limits = {w->maxLength, w->maxDepth, w->maxItems, w->maxElements};
    handlerLogRefusal("C-STORE", "data set", refusal, limits);
    return dicomnet_refusal_for_resources(r) ? DICOMNET_STATUS_OUT_OF_RESOURCES
                                             : DICOMNET_STATUS_CANNOT_UNDERSTAND;
}

// The streamed path's end: the data set is whole (and walked), in the file.
static void storeStreamCallback(void *callbackData, T_DIMSE_StoreProgress *progress,
                                T_DIMSE_C_StoreRQ *request, char *, DcmDataset **,
                                T_DIMSE_C_StoreRSP *response, DcmDataset **)
{
    storereceipt *receipt = static_cast<storereceipt *>(callbackData);
    if (progress->state != DIMSE_StoreEnd)
        return;
    if (receipt->in == NULL) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }
    storeAndAnswer(receipt->ctx, request, archive_incomingHead(receipt->ctx->archive, receipt->in),
                   receipt->in, response);
}

// Whether a data set in transferSyntax is converted to Explicit VR Little
// Endian as it comes (dicomnet/transcode.h): Implicit VR Little Endian and
// Explicit VR Big Endian.
static bool convertedAsItComes(const char *transferSyntax)
{
    E_TransferSyntax xfer = DcmXfer(transferSyntax).getXfer();
    return xfer == EXS_LittleEndianImplicit || xfer == EXS_BigEndianExplicit;
}

// The converted bytes go to the store.
static void storeConverted(void *data, const unsigned char *bytes, size_t n, bool last)
{
    storereceipt *receipt = static_cast<storereceipt *>(data);
    archive_feedIncoming(receipt->ctx->archive, receipt->in, bytes, n, last);
}

// Streamed: a data set in Explicit VR Little Endian or an encapsulated
// (compressed) syntax is stored in that syntax, so its bytes are the
// file's; a deflated one is inflated as it comes (never more than a chunk
// of it in memory) and stored in Explicit VR Little Endian, and so is one in
// Implicit VR Little Endian or Explicit VR Big Endian, converted as it comes.
static bool streamable(const char *transferSyntax)
{
    DcmXfer xfer(transferSyntax);
    if (xfer.getStreamCompression() != ESC_none)
        return xfer.getStreamCompression() == ESC_zlib;
    return xfer.getXfer() == EXS_LittleEndianExplicit || xfer.isEncapsulated() ||
           convertedAsItComes(transferSyntax);
}

// The syntax of the bytes the store gets for a data set received in
// transferSyntax: a deflated one's, inflated, and a converted one's are
// Explicit VR Little Endian.
static const char *storedSyntax(const char *transferSyntax)
{
    return DcmXfer(transferSyntax).getStreamCompression() == ESC_zlib ||
                   convertedAsItComes(transferSyntax)
               ? UID_LittleEndianExplicitTransferSyntax
               : transferSyntax;
}

OFCondition storeSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                     T_ASC_PresentationContextID pcId, handlercontext *ctx)
{
    storereceipt receipt;
    receipt.ctx = ctx;
    receipt.in = NULL;
    T_ASC_PresentationContext pc;
    receipt.streamed = ASC_findAcceptedPresentationContext(assoc->params, pcId, &pc).good() &&
                       streamable(pc.acceptedTransferSyntax);
    receipt.converted = receipt.streamed && convertedAsItComes(pc.acceptedTransferSyntax);
    dicomnet_store_guard guard = {server_options.max_dataset, beginInspection, inspectBytes,
                                  &receipt, receipt.streamed};
    if (!receipt.streamed)
        return dicomnet_SCP_store(assoc, msg, pcId, storeSCPCallback, ctx, &guard);
    // The access check comes first here: a peer not allowed to store has
    // its bytes dropped as they come, and no file is made for them.
    if (receipt.converted) {
        transcode_init(&receipt.conv, DcmXfer(pc.acceptedTransferSyntax).isBigEndian(),
                       storeConverted, &receipt);
        receipt.conv.out.recordElements = true;
    }
    if (handlerPermits(ctx, ACCESS_STORE))
        receipt.in = archive_beginIncoming(ctx->archive, storedSyntax(pc.acceptedTransferSyntax),
                                           receipt.converted ? &receipt.conv.out : &receipt.walk);
    OFCondition cond = dicomnet_SCP_store(assoc, msg, pcId, storeStreamCallback, &receipt, &guard);
    // Whatever became of it (stored, refused, the association broken off
    // in the middle): a temporary file not placed is removed.
    archive_endIncoming(ctx->archive, receipt.in);
    return cond;
}
