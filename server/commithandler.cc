// Storage Commitment Push Model, as SCP: an N-ACTION names instances that
// the peer wants to know safe; each is looked up in the store, read and
// flushed to disk, and the result goes back in an N-EVENT-REPORT: on the
// same association while the peer waits on it, otherwise, once the
// association has ended, over a new association to the peer's address in
// the AE title map, on which this server takes the SCP role of the class.
#include "server/handlers.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "aetitlemap/aetitlemap.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "runtime/logprintf.h"
#include "server/serveroptions.h"
#include "store/localstore.h"

extern AETitleMap server_aetmap;

#define COMMIT_INSTANCE_UID "1.2.840.10008.1.20.1.1" // the class's well-known instance

// Failure reasons of the failed SOP sequence (PS3.4 C.14.1.1).
enum {
    COMMIT_PROCESSING_FAILURE = 0x0110,
    COMMIT_NO_SUCH_INSTANCE = 0x0112,
    COMMIT_CLASS_INSTANCE_CONFLICT = 0x0119,
};

// Where this worker stored each instance (SOP instance UID -> study and
// series UID): most commitment requests name what the same peer just sent.
static std::unordered_map<std::string, std::pair<std::string, std::string>> storedHere;

// The report that waits for the association's end (null: none), and the
// peer that asked for it.
static DcmDataset *pendingReport = nullptr;
static Uint16 pendingEvent = 0;
static DIC_AE pendingPeer = "";

void commit_noteStored(const char *study, const char *series, const char *instance)
{
    if (study && series && instance)
        storedHere[instance] = std::make_pair(std::string(study), std::string(series));
}

// Checks one referenced instance: 0 stored, readable, of that class and on
// disk; else the failure reason.
static Uint16 checkInstance(const char *sopClass, const char *instance)
{
    OFString study, series;
    auto here = storedHere.find(instance);
    if (here != storedHere.end()) {
        study = here->second.first.c_str();
        series = here->second.second.c_str();
    } else if (server_store.LocateImage(instance, &study, &series) != LS_OK) {
        return COMMIT_NO_SUCH_INSTANCE;
    }
    OFString path = server_store.GetUidPath(study.c_str(), series.c_str(), instance, 1);
    DcmFileFormat file;
    // Large values are not loaded, but the whole file is parsed.
    if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad())
        return COMMIT_NO_SUCH_INSTANCE;
    const char *storedClass = DCMTK_getTagString(file.getDataset(), DCM_SOPClassUID);
    const char *storedInstance = DCMTK_getTagString(file.getDataset(), DCM_SOPInstanceUID);
    if (storedInstance == nullptr || strcmp(storedInstance, instance) != 0)
        return COMMIT_NO_SUCH_INSTANCE;
    if (storedClass == nullptr || sopClass == nullptr || strcmp(storedClass, sopClass) != 0)
        return COMMIT_CLASS_INSTANCE_CONFLICT;
    // Flushed with the other instances of the request, by the caller.
    return server_store.NoteImage(study.c_str(), series.c_str(), instance) == LS_OK
               ? 0
               : COMMIT_NO_SUCH_INSTANCE;
}

// One referenced instance and the outcome of its check.
struct commitItem {
    std::string sopClass, instance;
    Uint16 reason;
};

// Builds the event report of the request's dataset: the transaction UID,
// the committed and the failed instances. *eventType 1 all committed, 2 not.
static DcmDataset *buildReport(DcmDataset *request, Uint16 *eventType)
{
    std::vector<commitItem> items;
    for (long i = 0;; i++) {
        DcmItem *ref = nullptr;
        if (request->findAndGetSequenceItem(DCM_ReferencedSOPSequence, ref, (int)i).bad() ||
            ref == nullptr)
            break;
        const char *sopClass = DCMTK_getTagString(ref, DCM_ReferencedSOPClassUID);
        const char *instance = DCMTK_getTagString(ref, DCM_ReferencedSOPInstanceUID);
        Uint16 reason =
            instance != nullptr && server_store.CheckUid(instance, "SOP Instance UID") == LS_OK
                ? checkInstance(sopClass, instance)
                : (Uint16)COMMIT_NO_SUCH_INSTANCE;
        items.push_back({sopClass ? sopClass : "", instance ? instance : "", reason});
    }
    // One flush for every instance found: they share directories and index
    // files. A failed flush commits none of them.
    if (server_store.SyncWrites() != 0)
        for (commitItem &item : items)
            if (item.reason == 0)
                item.reason = COMMIT_PROCESSING_FAILURE;

    DcmDataset *report = new DcmDataset;
    OFString transaction;
    request->findAndGetOFString(DCM_TransactionUID, transaction);
    report->putAndInsertString(DCM_TransactionUID, transaction.c_str());
    report->putAndInsertString(DCM_RetrieveAETitle, server_options.aetitle);
    int failures = 0;
    for (const commitItem &item : items) {
        DcmItem *out = nullptr;
        const DcmTagKey &seq = item.reason == 0 ? DCM_ReferencedSOPSequence : DCM_FailedSOPSequence;
        if (report->findOrCreateSequenceItem(seq, out, -2).bad() || out == nullptr)
            continue;
        out->putAndInsertString(DCM_ReferencedSOPClassUID, item.sopClass.c_str());
        out->putAndInsertString(DCM_ReferencedSOPInstanceUID, item.instance.c_str());
        if (item.reason != 0) {
            out->putAndInsertUint16(DCM_FailureReason, item.reason);
            failures++;
        }
        logprintf(LOGLEVEL_INFO, server_options.logfp, "Commitment of %.64s: %s (0x%04x)\n",
                  item.instance.c_str(), item.reason == 0 ? "committed" : "failed",
                  (unsigned)item.reason);
    }
    *eventType = failures > 0 ? 2 : 1;
    return report;
}

// Sends the event report on assoc (presentation context pcId) and waits for
// its response. EC_Normal when the peer answered with success.
static OFCondition sendReport(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                              DcmDataset *report, Uint16 eventType)
{
    T_DIMSE_Message msg;
    memset(&msg, 0, sizeof msg);
    msg.CommandField = DIMSE_N_EVENT_REPORT_RQ;
    T_DIMSE_N_EventReportRQ &rq = msg.msg.NEventReportRQ;
    rq.MessageID = assoc->nextMsgID++;
    OFStandard::strlcpy(rq.AffectedSOPClassUID, UID_StorageCommitmentPushModelSOPClass,
                        sizeof rq.AffectedSOPClassUID);
    OFStandard::strlcpy(rq.AffectedSOPInstanceUID, COMMIT_INSTANCE_UID,
                        sizeof rq.AffectedSOPInstanceUID);
    rq.DataSetType = DIMSE_DATASET_PRESENT;
    rq.EventTypeID = eventType;
    OFCondition cond =
        DIMSE_sendMessageUsingMemoryData(assoc, pcId, &msg, nullptr, report, nullptr, nullptr);
    if (cond.bad())
        return cond;
    T_DIMSE_Message rsp;
    T_ASC_PresentationContextID rspPc = 0;
    DcmDataset *detail = nullptr;
    cond =
        DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, COMMIT_REPLY_SECONDS, &rspPc, &rsp, &detail);
    delete detail;
    if (cond.bad())
        return cond;
    if (rsp.CommandField != DIMSE_N_EVENT_REPORT_RSP)
        return DIMSE_BADCOMMANDTYPE;
    if (rsp.msg.NEventReportRSP.DataSetType != DIMSE_DATASET_NULL) {
        DcmDataset *extra = nullptr;
        DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, COMMIT_REPLY_SECONDS, &rspPc, &extra,
                                     nullptr, nullptr);
        delete extra;
    }
    return rsp.msg.NEventReportRSP.DimseStatus == STATUS_Success ? EC_Normal : DIMSE_BADDATA;
}

OFCondition commitSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                      T_ASC_PresentationContextID pcId, handlercontext *ctx)
{
    T_DIMSE_N_ActionRQ &rq = msg->msg.NActionRQ;
    DcmDataset *request = nullptr;
    T_ASC_PresentationContextID dataPc = 0;
    OFCondition cond = EC_Normal;
    if (rq.DataSetType != DIMSE_DATASET_NULL) {
        cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_BLOCKING, 0, &dataPc, &request, nullptr,
                                            nullptr);
        if (cond.bad())
            return cond;
    }
    T_DIMSE_Message rsp;
    memset(&rsp, 0, sizeof rsp);
    rsp.CommandField = DIMSE_N_ACTION_RSP;
    T_DIMSE_N_ActionRSP &ar = rsp.msg.NActionRSP;
    ar.MessageIDBeingRespondedTo = rq.MessageID;
    OFStandard::strlcpy(ar.AffectedSOPClassUID, rq.RequestedSOPClassUID,
                        sizeof ar.AffectedSOPClassUID);
    OFStandard::strlcpy(ar.AffectedSOPInstanceUID, rq.RequestedSOPInstanceUID,
                        sizeof ar.AffectedSOPInstanceUID);
    ar.opts = O_NACTION_AFFECTEDSOPCLASSUID | O_NACTION_AFFECTEDSOPINSTANCEUID;
    ar.DataSetType = DIMSE_DATASET_NULL;
    if (strcmp(rq.RequestedSOPClassUID, UID_StorageCommitmentPushModelSOPClass) != 0)
        ar.DimseStatus = STATUS_N_NoSuchSOPClass;
    else if (!handlerPermits(ctx, ACCESS_COMMIT))
        ar.DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
    else if (strcmp(rq.RequestedSOPInstanceUID, COMMIT_INSTANCE_UID) != 0)
        ar.DimseStatus = STATUS_N_NoSuchObjectInstance;
    else if (rq.ActionTypeID != 1)
        ar.DimseStatus = STATUS_N_NoSuchAction;
    else if (request == nullptr || DCMTK_getTagString(request, DCM_TransactionUID) == nullptr)
        ar.DimseStatus = STATUS_N_InvalidArgumentValue;
    else
        ar.DimseStatus = STATUS_Success;
    if (ar.DimseStatus == STATUS_Success) {
        ar.ActionTypeID = rq.ActionTypeID;
        ar.opts |= O_NACTION_ACTIONTYPEID;
    }
    cond = DIMSE_sendMessageUsingMemoryData(assoc, pcId, &rsp, nullptr, nullptr, nullptr, nullptr);
    if (cond.bad() || ar.DimseStatus != STATUS_Success) {
        delete request;
        return cond;
    }

    Uint16 eventType = 0;
    DcmDataset *report = buildReport(request, &eventType);
    delete request;
    // A peer that wants the report on a new association releases this one
    // right after the response; one that waits for it here sends nothing.
    if (DCMTK_transport_waitReadable(assoc, COMMIT_PEER_QUIET_MS) == 0) {
        cond = sendReport(assoc, pcId, report, eventType);
        delete report;
        if (cond.bad())
            logprintf(LOGLEVEL_ERROR, server_options.logfp,
                      "Commitment report to %s not confirmed.\n", ctx->store_calling);
        return cond;
    }
    delete pendingReport;
    pendingReport = report;
    pendingEvent = eventType;
    OFStandard::strlcpy(pendingPeer, ctx->store_calling, sizeof pendingPeer);
    return EC_Normal;
}

void commit_sendPending(T_ASC_Network *net)
{
    if (pendingReport == nullptr)
        return;
    const serveroptions &o = server_options;
    AETitleMapEntry *peer = AETitleMap_FindByAET(&server_aetmap, pendingPeer);
    T_ASC_Association *assoc = nullptr;
    if (peer == nullptr) {
        logprintf(LOGLEVEL_ERROR, o.logfp,
                  "Commitment report for %s not sent: not in the AE title map.\n", pendingPeer);
    } else {
        T_ASC_Parameters *params =
            DCMTK_params_init(o.aetitle, nullptr, pendingPeer, peer->address, false, 65536);
        int count = 0;
        const char *const *ts = DCMTK_get_STD_TS(count);
        // The report's sender is the SCP of the class: role selection says so.
        if (params != nullptr &&
            ASC_addPresentationContext(params, 1, UID_StorageCommitmentPushModelSOPClass,
                                       const_cast<const char **>(ts), count > 3 ? 3 : count,
                                       ASC_SC_ROLE_SCP)
                .good()) {
            alarm(COMMIT_REPLY_SECONDS);
            int result = DCMTK_associate(&assoc, net, params);
            T_ASC_PresentationContextID pc =
                assoc != nullptr ? ASC_findAcceptedPresentationContextID(
                                       assoc, UID_StorageCommitmentPushModelSOPClass)
                                 : 0;
            if (assoc == nullptr)
                ASC_destroyAssociationParameters(&params);
            OFCondition cond = result == 0 && pc != 0
                                   ? sendReport(assoc, pc, pendingReport, pendingEvent)
                                   : DIMSE_NOVALIDPRESENTATIONCONTEXTID;
            if (assoc != nullptr)
                DCMTK_dissociate(&assoc, result == 0 || result == -3 ? EC_Normal
                                                                     : DUL_PEERABORTEDASSOCIATION);
            alarm(0);
            if (cond.good())
                logprintf(LOGLEVEL_NOTICE, o.logfp, "Commitment report sent to %s at %s.\n",
                          pendingPeer, peer->address);
            else
                logprintf(LOGLEVEL_ERROR, o.logfp, "Commitment report to %s at %s failed.\n",
                          pendingPeer, peer->address);
        } else if (params != nullptr) {
            ASC_destroyAssociationParameters(&params);
        }
    }
    delete pendingReport;
    pendingReport = nullptr;
}
