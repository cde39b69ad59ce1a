// DIMSE user operations: the requesting side of C-ECHO, C-FIND, C-MOVE and
// C-STORE on an association that the program opened itself.
#include "dicomnet/dicomnet.h"

#include <string.h>

#include "dcmtk/dcmnet/diutil.h"
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

OFCondition DCMTK_SCU_echo(T_ASC_Association *assoc)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    DIC_US status = 0;
    DcmDataset *detail = nullptr;
    OFCondition cond = DIMSE_echoUser(assoc, msgId, DIMSE_BLOCKING, 0, &status, &detail);
    if (cond.bad())
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_echo: DIMSE_echoUser failure\n");
    drop_detail(detail);
    return cond;
}

OFCondition DCMTK_SCU_find(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                           DCMTK_SCU_find_callback cb, const void *callerData)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    if (sopClass == nullptr || query == nullptr)
        return DIMSE_BADDATA;
    T_ASC_PresentationContextID pcId = ASC_findAcceptedPresentationContextID(assoc, sopClass);
    if (pcId == 0) {
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_find: No valid PC\n");
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    T_DIMSE_C_FindRQ request;
    memset(&request, 0, sizeof(request));
    request.MessageID = msgId;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass, sizeof(request.AffectedSOPClassUID));
    request.Priority = DIMSE_PRIORITY_LOW;
    request.DataSetType = DIMSE_DATASET_PRESENT;
    DCMTK_SCU_callback_record record = {callerData, assoc, pcId};

    T_DIMSE_C_FindRSP response;
    memset(&response, 0, sizeof(response));
    DcmDataset *detail = nullptr;
    int responseCount = 0;
    OFCondition cond = DIMSE_findUser(assoc, pcId, &request, query, responseCount, cb, &record,
                                      DIMSE_BLOCKING, 0, &response, &detail);
    if (cond != EC_Normal) {
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_find: failure\n");
    } else if (response.DimseStatus != STATUS_Success) {
        DCMTK_trace(DCMTK_TRACE_JUNK, "DCMTK_SCU_find: Response: %s\n",
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

OFCondition DCMTK_SCU_move(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                           const char *moveDestination, DCMTK_SCU_move_callback cb,
                           const void *callerData)
{
    if (assoc == nullptr)
        return DIMSE_ILLEGALASSOCIATION;
    DIC_US msgId = next_message_id(assoc);
    if (sopClass == nullptr || query == nullptr || moveDestination == nullptr)
        return DIMSE_BADDATA;
    T_ASC_PresentationContextID pcId = ASC_findAcceptedPresentationContextID(assoc, sopClass);
    if (pcId == 0) {
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_move: No valid PC\n");
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    }
    T_DIMSE_C_MoveRQ request;
    memset(&request, 0, sizeof(request));
    request.MessageID = msgId;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass, sizeof(request.AffectedSOPClassUID));
    request.Priority = DIMSE_PRIORITY_LOW;
    request.DataSetType = DIMSE_DATASET_PRESENT;
    OFStandard::strlcpy(request.MoveDestination, moveDestination, sizeof(request.MoveDestination));
    DCMTK_SCU_callback_record record = {callerData, assoc, pcId};

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
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_move: DIMSE_moveUser failure\n");
    else if (response.DimseStatus != STATUS_Success &&
             response.DimseStatus != STATUS_MOVE_Warning_SubOperationsCompleteOneOrMoreFailures)
        DCMTK_trace(DCMTK_TRACE_JUNK, "DCMTK_SCU_move: Response: %s\n",
                    DU_cmoveStatusString(response.DimseStatus));
    // The failed-instance list of the final response is not used.
    drop_detail(identifiers);
    drop_detail(detail);
    return cond;
}

OFCondition DCMTK_SCU_store(T_ASC_Association *assoc, DcmDataset *dataset)
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
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_store: failed to find SOPClass/Instance.\n");
        return DIMSE_BADDATA;
    }
    T_ASC_PresentationContextID pcId =
        ASC_findAcceptedPresentationContextID(assoc, request.AffectedSOPClassUID);
    if (pcId == 0) {
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_store: failed to find PC.\n");
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
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCU_store: DIMSE_storeUser failure\n");
    drop_detail(detail);
    return cond;
}
