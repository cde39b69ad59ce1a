// DIMSE provider operations: answer one received C-ECHO, C-STORE, C-FIND,
// C-MOVE or C-GET request completely, calling the caller's callback for the
// work. Every data set a request carries is received here rather than by
// the toolkit, so that its bytes are inflated as a stream and walked
// (dicomnet/elementwalk.h) before they are parsed; a C-STORE's bytes are
// handed down to the receiver's sink (dicomnet_store_sink) as they come.
#include "dicomnet/dicomnet.h"

#include <string.h>

#include <zlib.h>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcistrmb.h"
#include "dcmtk/dcmdata/dctag.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dcmtk/dcmnet/dul.h"
#include "dcmtk/ofstd/ofstd.h"
#include "dicomnet/elementwalk.h"

// A command of another kind than the operation expects is the caller's
// dispatch error or a peer's bad input; it ends the exchange, not the process.
static bool command_is(const T_DIMSE_Message *msg, T_DIMSE_Command command)
{
    return msg != nullptr && msg->CommandField == command;
}

OFCondition dicomnet_SCP_echo(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId)
{
    if (!command_is(msg, DIMSE_C_ECHO_RQ))
        return DIMSE_BADCOMMANDTYPE;
    return DIMSE_sendEchoResponse(assoc, pcId, &msg->msg.CEchoRQ, STATUS_Success, nullptr);
}

makeOFConditionConst(DICOMNET_EC_STORE_REFUSED, OFM_dcmnet, 0x0f01, OF_error,
                     "C-STORE data set refused while received");

// Takes the association's next PDV, reading the next PDU when the last one
// has none left (blocking: the inactivity watchdog bounds the wait).
static OFCondition nextPDV(T_ASC_Association *assoc, DUL_PDV *pdv)
{
    OFCondition cond = DUL_NextPDV(&assoc->DULassociation, pdv);
    if (cond != DUL_NOPDVS)
        return cond;
    cond = DUL_ReadPDVs(&assoc->DULassociation, nullptr, DUL_BLOCK, 0);
    if (cond.bad() && cond != DUL_PDATAPDUARRIVED)
        return cond;
    return DUL_NextPDV(&assoc->DULassociation, pdv);
}

enum { INFLATE_CHUNK = 65536 }; // inflated bytes handed on at a time

// One data set being received: where its bytes go (the sink, then the
// toolkit's parser), and the status that refused it (0: none yet).
struct receipt {
    dicomnet_store_sink *sink;
    DcmDataset *dataset; // null: the bytes are not parsed here
    DcmInputBufferStream in;
    E_TransferSyntax xfer; // of the bytes the parser sees
    uint64_t total;        // bytes seen (inflated)
    Uint16 refusal;
    bool parsedWhole;
    size_t afterDeflate; // bytes that came after the end of a deflated stream
};

// Hands n bytes of the data set (last: its end) to the sink and the parser.
static void takeBytes(receipt *r, const unsigned char *bytes, size_t n, bool last)
{
    if (r->refusal != 0)
        return;
    r->total += n;
    dicomnet_store_sink *sink = r->sink;
    if (sink != nullptr && (r->refusal = sink->take(bytes, n, last)) != 0)
        return;
    if (sink != nullptr && sink->maxBytes() != 0 && r->total > sink->maxBytes()) {
        r->refusal = DICOMNET_STATUS_OUT_OF_RESOURCES;
        return;
    }
    if (r->dataset == nullptr)
        return;
    r->in.setBuffer(bytes, (offile_off_t)n);
    if (last)
        r->in.setEos();
    OFCondition cond = r->dataset->read(r->in, r->xfer, EGL_noChange);
    r->in.releaseBuffer();
    if (cond == EC_Normal && last)
        r->parsedWhole = true;
    else if (cond != EC_Normal && cond != EC_StreamNotifyClient)
        r->refusal = DICOMNET_STATUS_CANNOT_UNDERSTAND;
    else if (last)
        r->refusal = DICOMNET_STATUS_CANNOT_UNDERSTAND; // cut short
}

// Inflates a PDV of a deflated data set into takeBytes, a chunk at a time:
// never more than one chunk of it is held here. A stream that does not end
// with the last PDV is damage; after its end there may come one byte, which
// pads a stream of odd length to an even one (DICOM PS3.5 A.5).
static void inflateBytes(receipt *r, z_stream *z, const unsigned char *bytes, size_t n, bool last)
{
    unsigned char out[INFLATE_CHUNK];
    z->next_in = const_cast<unsigned char *>(bytes);
    z->avail_in = (uInt)n;
    while (r->afterDeflate == 0 || z->avail_in != 0) {
        if (r->afterDeflate != 0) {
            // The stream has ended: what follows is padding or damage.
            r->afterDeflate += z->avail_in;
            z->avail_in = 0;
            break;
        }
        z->next_out = out;
        z->avail_out = sizeof out;
        int zr = inflate(z, Z_NO_FLUSH);
        size_t got = sizeof out - z->avail_out;
        bool ended = zr == Z_STREAM_END;
        if (zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR) {
            r->refusal = DICOMNET_STATUS_CANNOT_UNDERSTAND;
            return;
        }
        if (got > 0)
            takeBytes(r, out, got, false);
        if (r->refusal != 0)
            return;
        if (ended) {
            r->afterDeflate = 1; // counts the padding from 1
            continue;
        }
        if (z->avail_in == 0 && z->avail_out != 0)
            break;
    }
    if (!last)
        return;
    if (r->afterDeflate == 0 || r->afterDeflate > 2)
        r->refusal = DICOMNET_STATUS_CANNOT_UNDERSTAND; // cut short, or more than a pad
    else
        takeBytes(r, out, 0, true);
}

// Receives the data set of a C-STORE on context pcId into r (the refusal,
// if any, in r->refusal). Returns the network's condition: a bad one ends
// the association without a response.
static OFCondition receiveDataset(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                  const char *transferSyntax, receipt *r)
{
    DcmXfer xfer(transferSyntax);
    bool deflated = xfer.getStreamCompression() == ESC_zlib;
    r->xfer = deflated ? EXS_LittleEndianExplicit : xfer.getXfer();
    if (r->dataset != nullptr)
        r->dataset->transferInit();
    z_stream z;
    memset(&z, 0, sizeof z);
    // Raw deflate, as the transfer syntax says (no zlib header).
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK)
        r->refusal = DICOMNET_STATUS_OUT_OF_RESOURCES;
    OFCondition cond = EC_Normal;
    for (;;) {
        DUL_PDV pdv;
        cond = nextPDV(assoc, &pdv);
        if (cond.bad())
            break;
        if (pdv.pdvType != DUL_DATASETPDV || pdv.presentationContextID != pcId) {
            // A command where the data set belongs, or another context's
            // data: the exchange is broken.
            cond = DIMSE_UNEXPECTEDPDVTYPE;
            break;
        }
        const unsigned char *bytes = (const unsigned char *)pdv.data;
        // A deflated data set is inflated for the parser and for a sink;
        // one dropped unparsed without a sink is read as it comes.
        if (deflated && (r->dataset != nullptr || r->sink != nullptr))
            inflateBytes(r, &z, bytes, pdv.fragmentLength, pdv.lastPDV);
        else
            takeBytes(r, bytes, pdv.fragmentLength, pdv.lastPDV);
        // A refused data set is not read further: the caller answers and
        // ends the association. One dropped unparsed is read to its end.
        if (pdv.lastPDV || r->refusal != 0)
            break;
    }
    if (deflated)
        inflateEnd(&z);
    if (r->dataset != nullptr)
        r->dataset->transferEnd();
    return cond;
}

// One element of the command group: tag (0000,element), 32-bit length,
// value padded to even length with pad. Returns the bytes written.
static size_t putCommandElement(unsigned char *p, Uint16 element, const void *value, size_t length,
                                unsigned char pad)
{
    size_t padded = length + (length & 1);
    p[0] = p[1] = 0;
    p[2] = (unsigned char)(element & 0xff);
    p[3] = (unsigned char)(element >> 8);
    for (int k = 0; k < 4; k++)
        p[4 + k] = (unsigned char)((padded >> (8 * k)) & 0xff);
    memcpy(p + 8, value, length);
    if (padded != length)
        p[8 + length] = pad;
    return 8 + padded;
}

static size_t putCommandUS(unsigned char *p, Uint16 element, Uint16 value)
{
    unsigned char v[2] = {(unsigned char)(value & 0xff), (unsigned char)(value >> 8)};
    return putCommandElement(p, element, v, 2, 0);
}

size_t dicomnet_encode_store_response(const T_DIMSE_C_StoreRSP *rsp, unsigned char *out, size_t cap)
{
    if (rsp->opts != (O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID))
        return 0;
    size_t classLen = strnlen(rsp->AffectedSOPClassUID, sizeof rsp->AffectedSOPClassUID);
    size_t instanceLen = strnlen(rsp->AffectedSOPInstanceUID, sizeof rsp->AffectedSOPInstanceUID);
    // Group length, two UIDs, four US: 12 + 2 * (8 + 65) + 4 * 10 at most.
    size_t need = 12 + (8 + classLen + 1) + (8 + instanceLen + 1) + 4 * 10;
    if (classLen == sizeof rsp->AffectedSOPClassUID ||
        instanceLen == sizeof rsp->AffectedSOPInstanceUID || need > cap)
        return 0;
    size_t n = 12; // the group length element, written last
    n += putCommandElement(out + n, 0x0002, rsp->AffectedSOPClassUID, classLen, 0);
    n += putCommandUS(out + n, 0x0100, DIMSE_C_STORE_RSP);
    n += putCommandUS(out + n, 0x0120, rsp->MessageIDBeingRespondedTo);
    n += putCommandUS(out + n, 0x0800, DIMSE_DATASET_NULL);
    n += putCommandUS(out + n, 0x0900, rsp->DimseStatus);
    n += putCommandElement(out + n, 0x1000, rsp->AffectedSOPInstanceUID, instanceLen, 0);
    Uint32 group = (Uint32)(n - 12);
    unsigned char g[4] = {(unsigned char)(group & 0xff), (unsigned char)((group >> 8) & 0xff),
                          (unsigned char)((group >> 16) & 0xff), (unsigned char)(group >> 24)};
    putCommandElement(out, 0x0000, g, 4, 0);
    return n;
}

// Sends the response as one command PDV encoded here: the toolkit would
// build a data set of it, encode that and free it again, which costs a
// receiver of small images about as much as writing one. A response the
// encoder does not take, or that would not fit the peer's PDV length, goes
// through the toolkit.
static OFCondition sendStoreResponse(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                     T_DIMSE_C_StoreRQ *request, T_DIMSE_C_StoreRSP *response)
{
    unsigned char command[256];
    size_t n = dicomnet_encode_store_response(response, command, sizeof command);
    if (n == 0 || n > assoc->sendPDVLength)
        return DIMSE_sendStoreResponse(assoc, pcId, request, response, nullptr);
    DUL_PDV pdv;
    pdv.fragmentLength = (unsigned long)n;
    pdv.presentationContextID = pcId;
    pdv.pdvType = DUL_COMMANDPDV;
    pdv.lastPDV = OFTrue;
    pdv.data = command;
    DUL_PDVLIST list;
    memset(&list, 0, sizeof list);
    list.count = 1;
    list.pdv = &pdv;
    OFCondition cond = DUL_WritePDVs(&assoc->DULassociation, &list);
    return cond.bad() ? makeDcmnetSubCondition(DIMSEC_SENDFAILED, OF_error,
                                               "DIMSE Failed to send message", cond)
                      : EC_Normal;
}

OFCondition dicomnet_SCP_store(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                               T_ASC_PresentationContextID pcId, dicomnet_SCP_store_callback cb,
                               void *cbData, dicomnet_store_sink *sink)
{
    if (!command_is(msg, DIMSE_C_STORE_RQ) || cb == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCP_store: failure.\n");
        return DIMSE_BADCOMMANDTYPE;
    }
    T_DIMSE_C_StoreRQ *request = &msg->msg.CStoreRQ;
    T_ASC_PresentationContext pc;
    OFCondition cond = dicomnet_find_accepted_context(assoc, pcId, &pc);
    if (cond.bad())
        return DIMSE_BADDATA;
    T_DIMSE_C_StoreRSP response;
    memset(&response, 0, sizeof response);
    response.DimseStatus = STATUS_Success;
    response.MessageIDBeingRespondedTo = request->MessageID;
    response.DataSetType = DIMSE_DATASET_NULL;
    OFStandard::strlcpy(response.AffectedSOPClassUID, request->AffectedSOPClassUID,
                        sizeof response.AffectedSOPClassUID);
    OFStandard::strlcpy(response.AffectedSOPInstanceUID, request->AffectedSOPInstanceUID,
                        sizeof response.AffectedSOPInstanceUID);
    response.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;

    // Without a sink the data set is received into memory and dies with the
    // file object at the end of this function; the callback must not keep
    // it. With one, the sink takes the bytes and nothing is parsed here.
    DcmFileFormat file;
    receipt r;
    r.sink = sink;
    r.dataset = sink != nullptr ? nullptr : file.getDataset();
    r.total = 0;
    r.refusal = 0;
    r.parsedWhole = false;
    r.afterDeflate = 0;
    // A DIMSE message goes on the context negotiated for its SOP class: a
    // C-STORE of another class (on the Verification context, say) is one
    // the association did not agree to, and is answered "Refused: SOP Class
    // not Supported" (0122H, DICOM PS3.7 Annex C) without its data set
    // being parsed; the association itself is in order and goes on.
    bool classMismatch = strcmp(request->AffectedSOPClassUID, pc.abstractSyntax) != 0;
    if (classMismatch) {
        r.sink = nullptr;
        r.dataset = nullptr;
    }
    cond = receiveDataset(assoc, pcId, pc.acceptedTransferSyntax, &r);
    if (cond.bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCP_store: failure.\n");
        return cond;
    }
    if (classMismatch) {
        response.DimseStatus = STATUS_STORE_Refused_SOPClassNotSupported;
    } else if (r.refusal != 0) {
        response.DimseStatus = r.refusal;
    } else {
        T_DIMSE_StoreProgress progress;
        memset(&progress, 0, sizeof progress);
        progress.state = DIMSE_StoreEnd;
        progress.progressBytes = (long)r.total;
        DcmDataset *ds = r.dataset;
        DcmDataset *detail = nullptr;
        cb(cbData, &progress, request, nullptr, &ds, &response, &detail);
        delete detail;
    }
    cond = sendStoreResponse(assoc, pcId, request, &response);
    if (cond.good() && r.refusal != 0)
        cond = DICOMNET_EC_STORE_REFUSED;
    return cond;
}

makeOFConditionConst(DICOMNET_EC_DATASET_REFUSED, OFM_dcmnet, 0x0f02, OF_error,
                     "Request data set refused while received");

bool dicomnet_refusal_for_resources(int reason)
{
    return reason == ELEMENTWALK_TOO_DEEP || reason == ELEMENTWALK_TOO_LONG ||
           reason == ELEMENTWALK_TOO_MANY || reason == ELEMENTWALK_TOO_MANY_ELEMENTS;
}

bool dicomnet_dictionary_sequence(unsigned group, unsigned element)
{
    return DcmTag((Uint16)group, (Uint16)element).getEVR() == EVR_SQ;
}

// The walk that guards a request's data set within its limits, as the
// sink of its bytes; the toolkit parses each piece after the walk has
// passed it.
class requestwalk : public dicomnet_store_sink
{
public:
    requestwalk(const dicomnet_dataset_limits &limits, const char *transferSyntax) : limits_(limits)
    {
        // A deflated data set is seen inflated: Explicit VR Little Endian.
        DcmXfer xfer(transferSyntax);
        bool deflated = xfer.getStreamCompression() == ESC_zlib;
        elementwalk_init(&walk, !deflated && !xfer.isExplicitVR(), !deflated && xfer.isBigEndian());
        walk.maxLength = limits.maxBytes;
        walk.maxDepth = limits.maxDepth;
        walk.maxItems = limits.maxItems;
        walk.maxElements = limits.maxElements;
        // As for a C-STORE: elements out of order or of no VR are read
        // otherwise by the toolkit, fed in pieces, than by the walk.
        walk.strictVr = true;
        walk.isSequence = dicomnet_dictionary_sequence;
    }
    uint64_t maxBytes() const override { return limits_.maxBytes; }
    Uint16 take(const unsigned char *bytes, size_t n, bool last) override
    {
        int r = elementwalk_feed(&walk, bytes, n);
        if (r == ELEMENTWALK_MORE && last)
            r = elementwalk_finish(&walk);
        if (r == ELEMENTWALK_MORE)
            return 0;
        return dicomnet_refusal_for_resources(r) ? DICOMNET_STATUS_OUT_OF_RESOURCES
                                                 : DICOMNET_STATUS_CANNOT_UNDERSTAND;
    }
    elementwalk walk;

private:
    const dicomnet_dataset_limits &limits_;
};

OFCondition dicomnet_receive_dataset(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                     const dicomnet_dataset_limits &limits, DcmDataset **dataset,
                                     dicomnet_refusal *refusal)
{
    *dataset = nullptr;
    refusal->reason = ELEMENTWALK_MORE;
    refusal->at = 0;
    T_ASC_PresentationContext pc;
    if (dicomnet_find_accepted_context(assoc, pcId, &pc).bad())
        return DIMSE_BADDATA;
    requestwalk rw(limits, pc.acceptedTransferSyntax);
    receipt r;
    r.sink = &rw;
    // Parsed as it comes, each piece after the walk has passed it: the
    // walk's limits bound the parser's work on a data set refused half way.
    r.dataset = new DcmDataset;
    r.total = 0;
    r.refusal = 0;
    r.parsedWhole = false;
    r.afterDeflate = 0;
    OFCondition cond = receiveDataset(assoc, pcId, pc.acceptedTransferSyntax, &r);
    if (cond.bad() || r.refusal != 0) {
        delete r.dataset;
        if (cond.good()) {
            refusal->reason =
                rw.walk.result != ELEMENTWALK_MORE ? rw.walk.result : ELEMENTWALK_DAMAGED;
            refusal->at = rw.walk.pos;
        }
        return cond;
    }
    *dataset = r.dataset;
    return EC_Normal;
}

// Receives a request's identifier for the providers below: EC_Normal with
// *ids, or with *ids null and the refusal status to answer in *status.
static OFCondition receiveIdentifier(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                     T_DIMSE_DataSetType type,
                                     const dicomnet_dataset_limits &limits, Uint16 outOfResources,
                                     DcmDataset **ids, Uint16 *status, dicomnet_refusal *refusal)
{
    *ids = nullptr;
    *status = 0;
    // A request without its identifier is broken.
    if (type == DIMSE_DATASET_NULL)
        return DIMSE_BADMESSAGE;
    OFCondition cond = dicomnet_receive_dataset(assoc, pcId, limits, ids, refusal);
    if (cond.good() && *ids == nullptr)
        *status = dicomnet_refusal_for_resources(refusal->reason)
                      ? outOfResources
                      : (Uint16)DICOMNET_STATUS_CANNOT_UNDERSTAND;
    return cond;
}

// Looks for a C-CANCEL of messageId between two responses: true when one
// came (once seen it stays so); a bad condition in *cond when the
// association failed.
static bool cancelArrived(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                          DIC_US messageId, bool cancelled, OFCondition *cond)
{
    if (cancelled)
        return true;
    OFCondition c = DIMSE_checkForCancelRQ(assoc, pcId, messageId);
    if (c.good())
        return true;
    if (c != DIMSE_NODATAAVAILABLE)
        *cond = c;
    return false;
}

OFCondition dicomnet_SCP_find(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId, dicomnet_SCP_find_callback cb,
                              void *cbData, const dicomnet_dataset_limits &limits,
                              dicomnet_refusal *refusal)
{
    if (!command_is(msg, DIMSE_C_FIND_RQ) || cb == nullptr)
        return DIMSE_BADCOMMANDTYPE;
    T_DIMSE_C_FindRQ *request = &msg->msg.CFindRQ;
    T_DIMSE_C_FindRSP rsp;
    memset(&rsp, 0, sizeof rsp);
    DcmDataset *ids = nullptr;
    OFCondition cond =
        receiveIdentifier(assoc, pcId, request->DataSetType, limits,
                          STATUS_FIND_Refused_OutOfResources, &ids, &rsp.DimseStatus, refusal);
    if (cond.bad())
        return cond;
    if (ids == nullptr) {
        cond = DIMSE_sendFindResponse(assoc, pcId, request, &rsp, nullptr, nullptr);
        return cond.good() ? OFCondition(DICOMNET_EC_DATASET_REFUSED) : cond;
    }
    rsp.DimseStatus = STATUS_Pending;
    bool cancelled = false;
    for (int count = 1; cond.good() && DICOM_PENDING_STATUS(rsp.DimseStatus); count++) {
        cancelled = cancelArrived(assoc, pcId, request->MessageID, cancelled, &cond);
        if (cond.bad())
            break;
        DcmDataset *rspIds = nullptr, *detail = nullptr;
        cb(cbData, cancelled, request, ids, count, &rsp, &rspIds, &detail);
        if (cancelled) {
            // A cancelled search ends with its own status and no match.
            rsp.DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
            delete rspIds;
            rspIds = nullptr;
        }
        cond = DIMSE_sendFindResponse(assoc, pcId, request, &rsp, rspIds, detail);
        delete rspIds;
        delete detail;
    }
    delete ids;
    return cond;
}

// The provider loop that C-MOVE and C-GET share: the identifier is
// received within limits (a refusal is answered with outOfResources or
// C000H and ends in DICOMNET_EC_DATASET_REFUSED), then cb is called for each
// response until one is no longer pending, a cancel request being looked
// for before each.
template <typename Request, typename Response, typename Callback, typename Send>
static OFCondition retrieveLoop(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                Request *request, Callback cb, void *cbData,
                                const dicomnet_dataset_limits &limits, dicomnet_refusal *refusal,
                                Uint16 outOfResources, Uint16 cancelStatus, Send send)
{
    Response rsp;
    memset(&rsp, 0, sizeof rsp);
    DcmDataset *ids = nullptr;
    OFCondition cond = receiveIdentifier(assoc, pcId, request->DataSetType, limits, outOfResources,
                                         &ids, &rsp.DimseStatus, refusal);
    if (cond.bad())
        return cond;
    if (ids == nullptr) {
        cond = send(assoc, pcId, request, &rsp, nullptr, nullptr);
        return cond.good() ? OFCondition(DICOMNET_EC_DATASET_REFUSED) : cond;
    }
    rsp.DimseStatus = STATUS_Pending;
    bool cancelled = false;
    for (int count = 1; cond.good() && rsp.DimseStatus == STATUS_Pending; count++) {
        cancelled = cancelArrived(assoc, pcId, request->MessageID, cancelled, &cond);
        if (cond.bad())
            break;
        DcmDataset *rspIds = nullptr, *detail = nullptr;
        cb(cbData, cancelled, request, ids, count, &rsp, &detail, &rspIds);
        if (cancelled)
            rsp.DimseStatus = cancelStatus;
        cond = send(assoc, pcId, request, &rsp, rspIds, detail);
        delete rspIds;
        delete detail;
    }
    delete ids;
    return cond;
}

OFCondition dicomnet_SCP_move(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId, dicomnet_SCP_move_callback cb,
                              void *cbData, const dicomnet_dataset_limits &limits,
                              dicomnet_refusal *refusal)
{
    if (!command_is(msg, DIMSE_C_MOVE_RQ) || cb == nullptr)
        return DIMSE_BADCOMMANDTYPE;
    return retrieveLoop<T_DIMSE_C_MoveRQ, T_DIMSE_C_MoveRSP>(
        assoc, pcId, &msg->msg.CMoveRQ, cb, cbData, limits, refusal,
        STATUS_MOVE_Refused_OutOfResourcesNumberOfMatches,
        STATUS_MOVE_Cancel_SubOperationsTerminatedDueToCancelIndication, DIMSE_sendMoveResponse);
}

OFCondition dicomnet_SCP_get(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                             T_ASC_PresentationContextID pcId, dicomnet_SCP_get_callback cb,
                             void *cbData, const dicomnet_dataset_limits &limits,
                             dicomnet_refusal *refusal)
{
    if (!command_is(msg, DIMSE_C_GET_RQ) || cb == nullptr)
        return DIMSE_BADCOMMANDTYPE;
    return retrieveLoop<T_DIMSE_C_GetRQ, T_DIMSE_C_GetRSP>(
        assoc, pcId, &msg->msg.CGetRQ, cb, cbData, limits, refusal,
        STATUS_GET_Refused_OutOfResourcesNumberOfMatches,
        STATUS_GET_Cancel_SubOperationsTerminatedDueToCancelIndication, DIMSE_sendGetResponse);
}
