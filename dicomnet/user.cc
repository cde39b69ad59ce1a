// DIMSE user operations: the requesting side of C-ECHO, C-FIND, C-MOVE and
// C-STORE on an association that the program opened itself.
#include "dicomnet/dicomnet.h"

#include <string.h>
#include <time.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmnet/diutil.h"
#include "dcmtk/dcmnet/dul.h"
#include "dcmtk/ofstd/ofstd.h"

// Takes the association's next message id and advances the counter; done
// before anything else, so a failing operation still uses up its id.
static DIC_US next_message_id(T_ASC_Association *assoc)
{
    return assoc->nextMsgID++;
}

static void drop_detail(DcmDataset *&detail)
{
    delete detail;
    detail = nullptr;
}

OFCondition dicomnet_SCU_echo(T_ASC_Association *assoc)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    DIC_US status = 0;
    DcmDataset *detail = nullptr;
    OFCondition cond = DIMSE_echoUser(assoc, msgId, DIMSE_BLOCKING, 0, &status, &detail);
    if (cond.bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_echo: DIMSE_echoUser failure\n");
    drop_detail(detail);
    return cond;
}

OFCondition dicomnet_SCU_find(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                              dicomnet_SCU_find_callback cb, const void *callerData)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    if (sopClass == nullptr || query == nullptr)
        return DIMSE_BADDATA;
    T_ASC_PresentationContextID pcId = ASC_findAcceptedPresentationContextID(assoc, sopClass);
    if (pcId == 0) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_find: No valid PC\n");
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    T_DIMSE_C_FindRQ request;
    memset(&request, 0, sizeof(request));
    request.MessageID = msgId;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass, sizeof(request.AffectedSOPClassUID));
    request.Priority = DIMSE_PRIORITY_LOW;
    request.DataSetType = DIMSE_DATASET_PRESENT;
    dicomnet_SCU_callback_record record = {callerData, assoc, pcId};

    T_DIMSE_C_FindRSP response;
    memset(&response, 0, sizeof(response));
    DcmDataset *detail = nullptr;
    int responseCount = 0;
    OFCondition cond = DIMSE_findUser(assoc, pcId, &request, query, responseCount, cb, &record,
                                      DIMSE_BLOCKING, 0, &response, &detail);
    if (cond != EC_Normal) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_find: failure\n");
    } else if (response.DimseStatus != STATUS_Success) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_SCU_find: Response: %s\n",
                       DU_cfindStatusString(response.DimseStatus));
        switch (response.DimseStatus) {
        case STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest:
        case STATUS_Pending:
        case STATUS_FIND_Pending_WarningUnsupportedOptionalKeys:
            break;
        case STATUS_FIND_Refused_OutOfResources:
            cond = DIMSE_OUTOFRESOURCES;
            break;
        default:
            cond = DIMSE_BADDATA;
            break;
        }
    }
    drop_detail(detail);
    return cond;
}

OFCondition dicomnet_SCU_move(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                              const char *moveDestination, dicomnet_SCU_move_callback cb,
                              const void *callerData)
{
    return dicomnet_SCU_moveFinal(assoc, sopClass, query, moveDestination, cb, callerData, nullptr);
}

OFCondition dicomnet_SCU_moveFinal(T_ASC_Association *assoc, const char *sopClass,
                                   DcmDataset *query, const char *moveDestination,
                                   dicomnet_SCU_move_callback cb, const void *callerData,
                                   T_DIMSE_C_MoveRSP *final)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    if (sopClass == nullptr || query == nullptr || moveDestination == nullptr)
        return DIMSE_BADDATA;
    T_ASC_PresentationContextID pcId = ASC_findAcceptedPresentationContextID(assoc, sopClass);
    if (pcId == 0) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_move: No valid PC\n");
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    T_DIMSE_C_MoveRQ request;
    memset(&request, 0, sizeof(request));
    request.MessageID = msgId;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass, sizeof(request.AffectedSOPClassUID));
    request.Priority = DIMSE_PRIORITY_LOW;
    request.DataSetType = DIMSE_DATASET_PRESENT;
    OFStandard::strlcpy(request.MoveDestination, moveDestination, sizeof(request.MoveDestination));
    dicomnet_SCU_callback_record record = {callerData, assoc, pcId};

    T_DIMSE_C_MoveRSP response;
    memset(&response, 0, sizeof(response));
    DcmDataset *detail = nullptr;
    DcmDataset *identifiers = nullptr;
    // No network: the sub-operations run on an association that the move
    // destination opens, never back to this program.
    OFCondition cond =
        DIMSE_moveUser(assoc, pcId, &request, query, cb, &record, DIMSE_BLOCKING, 0, nullptr,
                       nullptr, nullptr, &response, &detail, &identifiers, OFFalse);
    if (cond != EC_Normal)
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_move: DIMSE_moveUser failure\n");
    else if (response.DimseStatus != STATUS_Success &&
             response.DimseStatus != STATUS_MOVE_Warning_SubOperationsCompleteOneOrMoreFailures)
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_SCU_move: Response: %s\n",
                       DU_cmoveStatusString(response.DimseStatus));
    if (final != nullptr)
        *final = response;
    // The failed-instance list of the final response is not used.
    drop_detail(identifiers);
    drop_detail(detail);
    return cond;
}

OFCondition dicomnet_SCU_store(T_ASC_Association *assoc, DcmDataset *dataset)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    T_DIMSE_C_StoreRQ request;
    memset(&request, 0, sizeof(request));
    if (dataset == nullptr ||
        !DU_findSOPClassAndInstanceInDataSet(
            dataset, request.AffectedSOPClassUID, sizeof(request.AffectedSOPClassUID),
            request.AffectedSOPInstanceUID, sizeof(request.AffectedSOPInstanceUID), OFFalse)) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_SCU_store: failed to find SOPClass/Instance.\n");
        return DIMSE_BADDATA;
    }
    T_ASC_PresentationContextID pcId =
        ASC_findAcceptedPresentationContextID(assoc, request.AffectedSOPClassUID);
    if (pcId == 0) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_store: failed to find PC.\n");
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    request.MessageID = msgId;
    request.Priority = DIMSE_PRIORITY_LOW;
    request.DataSetType = DIMSE_DATASET_PRESENT;

    T_DIMSE_C_StoreRSP response;
    memset(&response, 0, sizeof(response));
    DcmDataset *detail = nullptr;
    OFCondition cond = DIMSE_storeUser(assoc, pcId, &request, nullptr, dataset, nullptr, nullptr,
                                       DIMSE_BLOCKING, 0, &response, &detail, nullptr, 0);
    if (cond != EC_Normal)
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_SCU_store: DIMSE_storeUser failure\n");
    drop_detail(detail);
    return cond;
}

// Encodes the command set of request (implicit VR little endian with its
// group length, as every DIMSE command) into buf: its length, or 0 when it
// does not fit.
static size_t encode_store_command(const T_DIMSE_C_StoreRQ *request, unsigned char *buf,
                                   size_t size)
{
    DcmDataset cmd;
    cmd.putAndInsertString(DCM_AffectedSOPClassUID, request->AffectedSOPClassUID);
    cmd.putAndInsertUint16(DCM_CommandField, DIMSE_C_STORE_RQ);
    cmd.putAndInsertUint16(DCM_MessageID, request->MessageID);
    cmd.putAndInsertUint16(DCM_Priority, (Uint16)request->Priority);
    cmd.putAndInsertUint16(DCM_CommandDataSetType, DIMSE_DATASET_PRESENT);
    cmd.putAndInsertString(DCM_AffectedSOPInstanceUID, request->AffectedSOPInstanceUID);
    if (request->opts & O_STORE_MOVEORIGINATORAETITLE)
        cmd.putAndInsertString(DCM_MoveOriginatorApplicationEntityTitle,
                               request->MoveOriginatorApplicationEntityTitle);
    if (request->opts & O_STORE_MOVEORIGINATORID)
        cmd.putAndInsertUint16(DCM_MoveOriginatorMessageID, request->MoveOriginatorID);

    DcmOutputBufferStream out(buf, (offile_off_t)size);
    cmd.transferInit();
    OFCondition cond = cmd.write(out, EXS_LittleEndianImplicit, EET_ExplicitLength, nullptr,
                                 EGL_withGL, EPD_withoutPadding);
    cmd.transferEnd();
    // A command that did not fit whole is not sent at all.
    if (cond.bad())
        return 0;
    out.flush();
    void *bytes = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(bytes, length);
    return (size_t)length;
}

OFCondition dicomnet_SCU_store_send_encoded(T_ASC_Association *assoc,
                                            T_ASC_PresentationContextID pcId,
                                            const T_DIMSE_C_StoreRQ *request, const void *data,
                                            size_t length)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    if (length == 0 || length % 2 != 0 || length > 0xFFFFFFFEu)
        return DIMSE_BADDATA;
    // Two UIDs, an AE title and six short elements: well below 1 KiB.
    unsigned char command[1024];
    size_t commandLength = encode_store_command(request, command, sizeof(command));
    if (commandLength == 0)
        return DIMSE_BADDATA;

    // The toolkit splits each value into PDUs of the peer's maximum length.
    DUL_PDV pdvs[2];
    pdvs[0].fragmentLength = (unsigned long)commandLength;
    pdvs[0].presentationContextID = pcId;
    pdvs[0].pdvType = DUL_COMMANDPDV;
    pdvs[0].lastPDV = OFTrue;
    pdvs[0].data = command;
    pdvs[1].fragmentLength = (unsigned long)length;
    pdvs[1].presentationContextID = pcId;
    pdvs[1].pdvType = DUL_DATASETPDV;
    pdvs[1].lastPDV = OFTrue;
    pdvs[1].data = const_cast<void *>(data);
    DUL_PDVLIST list;
    list.count = 2;
    list.pdv = pdvs;
    // Corked, the command and a small data set leave in one segment, and
    // the peer wakes up once for them.
    bool corked = dicomnet_transport_cork(assoc, 1) == 0;
    OFCondition cond = DUL_WritePDVs(&assoc->DULassociation, &list);
    if (corked && dicomnet_transport_cork(assoc, 0) != 0 && cond.good())
        cond = DIMSE_SENDFAILED;
    return cond;
}

OFCondition dicomnet_SCU_store_send_pieces(T_ASC_Association *assoc,
                                           T_ASC_PresentationContextID pcId,
                                           const T_DIMSE_C_StoreRQ *request,
                                           dicomnet_store_source next, void *data)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    unsigned char command[1024];
    size_t commandLength = encode_store_command(request, command, sizeof(command));
    if (commandLength == 0)
        return DIMSE_BADDATA;
    std::string piece, following;
    int r = next(data, &piece);
    if (r != 1 || piece.empty() || piece.size() % 2 != 0)
        return DIMSE_BADDATA;
    DUL_PDV pdv;
    pdv.fragmentLength = (unsigned long)commandLength;
    pdv.presentationContextID = pcId;
    pdv.pdvType = DUL_COMMANDPDV;
    pdv.lastPDV = OFTrue;
    pdv.data = command;
    DUL_PDVLIST list;
    list.count = 1;
    list.pdv = &pdv;
    OFCondition cond = DUL_WritePDVs(&assoc->DULassociation, &list);
    // Each piece goes once the next is known: the last one says so.
    while (cond.good()) {
        following.clear();
        r = next(data, &following);
        if (r < 0 || (r == 1 && following.size() % 2 != 0))
            return DIMSE_BADDATA;
        pdv.fragmentLength = (unsigned long)piece.size();
        pdv.pdvType = DUL_DATASETPDV;
        pdv.lastPDV = r == 0 ? OFTrue : OFFalse;
        pdv.data = &piece[0];
        cond = DUL_WritePDVs(&assoc->DULassociation, &list);
        if (r == 0)
            break;
        piece.swap(following);
    }
    return cond;
}

OFCondition dicomnet_SCU_store_response(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                        Uint16 messageId, T_DIMSE_C_StoreRSP *response,
                                        DcmDataset **statusDetail,
                                        T_DIMSE_DetectedCancelParameters *cancel, int silentSeconds)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    if (cancel != nullptr)
        cancel->cancelEncountered = OFFalse;
    for (;;) {
        // Waited for a second at a time, to see a stop request; once the
        // answer has begun it is read whole (a peer that stops within it
        // meets the inactivity watchdog).
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (dicomnet_stopping() ||
                (silentSeconds > 0 && now.tv_sec - start.tv_sec >= silentSeconds))
                return DIMSE_NODATAAVAILABLE;
            if (dicomnet_assoc_waitMessage(assoc, 1000) != 0)
                break;
        }
        T_DIMSE_Message rsp;
        memset(&rsp, 0, sizeof(rsp));
        T_ASC_PresentationContextID presId = pcId;
        OFCondition cond =
            DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &presId, &rsp, statusDetail);
        if (cond.bad())
            return cond;
        if (cancel != nullptr && rsp.CommandField == DIMSE_C_CANCEL_RQ) {
            cancel->cancelEncountered = OFTrue;
            cancel->req = rsp.msg.CCancelRQ;
            cancel->presId = presId;
            continue;
        }
        if (rsp.CommandField != DIMSE_C_STORE_RSP ||
            rsp.msg.CStoreRSP.MessageIDBeingRespondedTo != messageId) {
            dicomnet_trace(DICOMNET_TRACE_DEBUG,
                           "dicomnet_SCU_store_response: unexpected message 0x%x for message %u\n",
                           (unsigned)rsp.CommandField, (unsigned)messageId);
            return makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error,
                                       "DIMSE: Unexpected response to C-STORE");
        }
        *response = rsp.msg.CStoreRSP;
        return EC_Normal;
    }
}
