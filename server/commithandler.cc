// Storage Commitment Push Model, as SCP: an N-ACTION names instances that
// the peer wants to know safe; each is looked up in the store, read and
// flushed to disk, and the result goes back in an N-EVENT-REPORT: on the
// same association while the peer waits on it, otherwise, once the
// association has ended, over a new association to the peer's address in
// the AE title map, on which this server takes the SCP role of the class.
//
// On a node of a cluster (cluster/clusterconfig.h) the check rests on the
// shared index and each image's recorded checksum (archive_commitRecorded),
// not on this node's files, so a request is answered alike through any
// node; and every accepted request is recorded in the cluster's database
// (cluster/commitjobs.h) before its N-ACTION response, with a lease, until
// its report is delivered: the reporter of every node (commit_startReporter)
// sends the report of a request whose node died before it.
#include "server/handlers.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/wait.h>

#include "aetitlemap/aetitlemap.h"
#include "cluster/clusterconfig.h"
#include "cluster/commitjobs.h"
#include "core/archive.h"
#include "core/listener.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "runtime/logprintf.h"
#include "server/listener.h"
#include "server/serveroptions.h"

extern AETitleMap server_aetmap;

#define COMMIT_INSTANCE_UID "1.2.840.10008.1.20.1.1" // the class's well-known instance

// Helper threads that check and flush the files of a request: at most
// COMMIT_HELPERS, one for every COMMIT_PER_HELPER instances.
enum { COMMIT_HELPERS = 7, COMMIT_PER_HELPER = 16 };

// Failure reasons of the failed SOP sequence (PS3.4 C.14.1.1).
enum {
    COMMIT_PROCESSING_FAILURE = 0x0110,
    COMMIT_NO_SUCH_INSTANCE = 0x0112,
    COMMIT_CLASS_INSTANCE_CONFLICT = 0x0119,
};

namespace
{

// Storage commitment's bookkeeping in one worker, a listener of ingest
// registered on the archive (commit_newListener): where it stored each
// instance (SOP instance UID -> study and series UID), as most commitment
// requests name what the same peer just sent; and the report that waits
// for the association's end (null: none), and the peer that asked for it.
// Used by the worker's one thread that serves the association (the helper
// threads of a request never see it).
class commitBook : public archive_listener
{
public:
    ~commitBook() override { delete pendingReport; }
    void stored(const archive_event &e) override
    {
        storedHere[e.uids->sopInstance] = std::make_pair(e.uids->study, e.uids->series);
    }
    std::unordered_map<std::string, std::pair<std::string, std::string>> storedHere;
    DcmDataset *pendingReport = nullptr;
    Uint16 pendingEvent = 0;
    DIC_AE pendingPeer = "";
    // In a cluster: the request's record in the database (0: none).
    long long pendingJob = 0;
};

} // namespace

std::unique_ptr<archive_listener> commit_newListener()
{
    return std::unique_ptr<archive_listener>(new commitBook);
}

// The bookkeeping registered on archive: not registering it is a
// programming error.
static commitBook *bookOf(const archive_context *archive)
{
    for (archive_listener *l : archive->listeners)
        if (commitBook *book = dynamic_cast<commitBook *>(l))
            return book;
    abort();
}

// A monotonic clock in milliseconds.
static long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// One referenced instance: its UIDs as named, where it is stored (empty:
// not found), and the outcome of its check (0 committed, else the failure
// reason; flushError the errno of a failed flush of its file).
struct commitItem {
    std::string sopClass, instance;
    std::string study, series, path;
    Uint16 reason;
    int flushError;
};

// Reads the referenced instances of the request, each with its failure
// when its UID is unusable.
static std::vector<commitItem> parseItems(DcmDataset *request)
{
    std::vector<commitItem> items;
    DcmSequenceOfItems *refs = nullptr;
    if (request->findAndGetSequence(DCM_ReferencedSOPSequence, refs).bad())
        refs = nullptr;
    // Item after item (a lookup by number walks the list from its start).
    for (DcmObject *o = refs ? refs->nextInContainer(nullptr) : nullptr; o != nullptr;
         o = refs->nextInContainer(o)) {
        DcmItem *ref = static_cast<DcmItem *>(o);
        const char *sopClass = dicomnet_getTagString(ref, DCM_ReferencedSOPClassUID);
        const char *instance = dicomnet_getTagString(ref, DCM_ReferencedSOPInstanceUID);
        commitItem item = {sopClass ? sopClass : "", instance ? instance : "", "", "", "", 0, 0};
        if (instance == nullptr ||
            !archive_usableUid(&server_archive, instance, "SOP Instance UID"))
            item.reason = COMMIT_NO_SUCH_INSTANCE;
        items.push_back(item);
    }
    return items;
}

// A UID as the cluster's record keeps it: "-" for none, else every byte
// that is not printable ASCII, a blank or "%" as %XX, so that what a peer
// put into a UID can neither split the record's lines nor be refused by
// the database as text that is not UTF-8.
static std::string encodeUid(const std::string &uid)
{
    if (uid.empty())
        return "-";
    std::string out;
    for (unsigned char c : uid) {
        if (c <= ' ' || c >= 0x7f || c == '%' || (c == '-' && uid.size() == 1)) {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

static std::string decodeUid(const std::string &text)
{
    if (text == "-")
        return "";
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
            isxdigit((unsigned char)text[i + 2])) {
            out += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The items as the cluster's record keeps them: "CLASS INSTANCE\n" each,
// both encoded by encodeUid.
static std::string itemsText(const std::vector<commitItem> &items)
{
    std::string text;
    for (const commitItem &item : items)
        text += encodeUid(item.sopClass) + " " + encodeUid(item.instance) + "\n";
    return text;
}

// The items of a record made by itemsText, each checked again as
// parseItems does (the text comes from the database).
static std::vector<commitItem> itemsOfText(const std::string &text)
{
    std::vector<commitItem> items;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t blank = line.find(' ');
        std::string sopClass = decodeUid(blank == std::string::npos ? line : line.substr(0, blank));
        std::string instance = decodeUid(blank == std::string::npos ? "-" : line.substr(blank + 1));
        commitItem item = {sopClass, instance, "", "", "", 0, 0};
        if (item.instance.empty() ||
            !archive_usableUid(&server_archive, item.instance.c_str(), "SOP Instance UID"))
            item.reason = COMMIT_NO_SUCH_INSTANCE;
        items.push_back(item);
    }
    return items;
}

// Finds where each item is stored: most often by this worker, otherwise in
// one walk of the index for all the others.
static void locateItems(const commitBook *book, std::vector<commitItem> *items)
{
    std::vector<std::string> unknown;
    std::vector<size_t> unknownAt;
    for (size_t i = 0; i < items->size(); i++) {
        commitItem &item = (*items)[i];
        if (item.reason != 0)
            continue;
        auto here = book->storedHere.find(item.instance);
        if (here != book->storedHere.end()) {
            item.study = here->second.first;
            item.series = here->second.second;
        } else {
            unknown.push_back(item.instance);
            unknownAt.push_back(i);
        }
    }
    if (!unknown.empty()) {
        std::vector<archive_image> places;
        // An index that cannot be read fails them for now (the peer may
        // ask again), rather than answering that they were never stored.
        if (archive_locate(&server_archive, unknown, &places) < 0) {
            for (size_t at : unknownAt)
                (*items)[at].reason = COMMIT_PROCESSING_FAILURE;
        }
        for (size_t j = 0; j < unknown.size(); j++) {
            (*items)[unknownAt[j]].study = places[j].study;
            (*items)[unknownAt[j]].series = places[j].series;
        }
    }
    for (commitItem &item : *items) {
        if (item.reason == 0 && item.study.empty())
            item.reason = COMMIT_NO_SUCH_INSTANCE;
        else if (item.reason == 0)
            item.path = archive_imagePath(&server_archive, item.study.c_str(), item.series.c_str(),
                                          item.instance.c_str());
    }
}

// In a cluster: each located item is committed when the shared index holds
// it and its checksum is recorded (core/archive.h), whichever node stored
// it; this node's copy, a cache, is not what is vouched for.
static void checkRecorded(std::vector<commitItem> *items)
{
    std::vector<archive_image> places(items->size());
    for (size_t i = 0; i < items->size(); i++) {
        if ((*items)[i].reason != 0)
            continue;
        places[i].study = (*items)[i].study;
        places[i].series = (*items)[i].series;
        places[i].instance = (*items)[i].instance;
    }
    std::vector<int> results;
    archive_commitRecorded(&server_archive, places, &results);
    for (size_t i = 0; i < items->size(); i++) {
        commitItem &item = (*items)[i];
        if (item.reason == 0 && results[i] != ARCHIVE_FLUSHED)
            item.reason = results[i] == ARCHIVE_FLUSH_MISSING ? COMMIT_NO_SUCH_INSTANCE
                                                              : COMMIT_PROCESSING_FAILURE;
    }
}

// Checks the file of one located instance and flushes it (in the core): 0
// whole, of the named class and on disk, else the failure reason. Called
// from helper threads: touches nothing but the item.
static Uint16 checkFile(commitItem *item)
{
    switch (archive_flushImage(&server_archive, item->path, item->instance, item->sopClass,
                               &item->flushError)) {
    case ARCHIVE_FLUSHED:
        return 0;
    case ARCHIVE_FLUSH_MISSING:
        return COMMIT_NO_SUCH_INSTANCE;
    case ARCHIVE_FLUSH_CLASS:
        return COMMIT_CLASS_INSTANCE_CONFLICT;
    default:
        return COMMIT_PROCESSING_FAILURE;
    }
}

// Runs checkFile for every located item, on up to COMMIT_HELPERS helper
// threads beside this one: the flush of a file already on disk still waits
// for the disk's cache flush, and flushes in flight together share one.
static void checkFiles(std::vector<commitItem> *items)
{
    std::atomic<size_t> next(0);
    auto work = [items, &next]() {
        for (size_t i = next++; i < items->size(); i = next++) {
            commitItem &item = (*items)[i];
            if (item.reason == 0)
                item.reason = checkFile(&item);
        }
    };
    std::vector<std::thread> helpers;
    size_t wanted = std::min((size_t)COMMIT_HELPERS, items->size() / COMMIT_PER_HELPER);
    sigset_t all, saved;
    sigfillset(&all);
    // Helpers take no signals: the alarm and the stop signals stay with
    // this thread, whose handlers expect to run in it.
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    for (size_t i = 0; i < wanted; i++) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error &) {
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    work();
    for (std::thread &helper : helpers)
        helper.join();
}

// Builds the event report of the request's items: the transaction UID,
// the committed and the failed instances. *eventType 1 all committed, 2
// not.
static DcmDataset *buildReport(const commitBook *book, const std::string &transaction,
                               std::vector<commitItem> items, Uint16 *eventType)
{
    locateItems(book, &items);
    if (archive_clusterDb(&server_archive) != nullptr)
        checkRecorded(&items);
    else
        checkFiles(&items);
    // Then the index files and directories that lead to the files, once
    // for all of them: they share most. A failed flush commits none.
    for (commitItem &item : items) {
        if (archive_clusterDb(&server_archive) != nullptr)
            break;
        if (item.flushError != 0)
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Cannot flush %s to disk: %s\n",
                      item.path.c_str(), strerror(item.flushError));
        if (item.reason == 0)
            archive_noteFlushed(&server_archive, item.study.c_str(), item.series.c_str(),
                                item.instance.c_str());
    }
    if (archive_clusterDb(&server_archive) == nullptr && archive_flush(&server_archive) != 0)
        for (commitItem &item : items)
            if (item.reason == 0)
                item.reason = COMMIT_PROCESSING_FAILURE;

    DcmDataset *report = new DcmDataset;
    report->putAndInsertString(DCM_TransactionUID, transaction.c_str());
    report->putAndInsertString(DCM_RetrieveAETitle, server_options.aetitle);
    DcmSequenceOfItems *committed = new DcmSequenceOfItems(DCM_ReferencedSOPSequence);
    DcmSequenceOfItems *failed = new DcmSequenceOfItems(DCM_FailedSOPSequence);
    for (const commitItem &item : items) {
        DcmItem *out = new DcmItem;
        out->putAndInsertString(DCM_ReferencedSOPClassUID, item.sopClass.c_str());
        out->putAndInsertString(DCM_ReferencedSOPInstanceUID, item.instance.c_str());
        if (item.reason != 0)
            out->putAndInsertUint16(DCM_FailureReason, item.reason);
        (item.reason == 0 ? committed : failed)->insert(out);
        logprintf(LOGLEVEL_INFO, server_options.logfp, "Commitment of %.64s: %s (0x%04x)\n",
                  item.instance.c_str(), item.reason == 0 ? "committed" : "failed",
                  (unsigned)item.reason);
    }
    *eventType = failed->card() > 0 ? 2 : 1;
    // A list with no entry is left out of the report.
    for (DcmSequenceOfItems *list : {committed, failed}) {
        if (list->card() == 0 || report->insert(list).bad())
            delete list;
    }
    return report;
}

// Keeps the report (owned from now on) in book for commit_sendPending, to
// peer; job: its record in the cluster's database, or 0.
static void keepReport(commitBook *book, DcmDataset *report, Uint16 eventType, const char *peer,
                       long long job)
{
    delete book->pendingReport;
    book->pendingReport = report;
    book->pendingEvent = eventType;
    book->pendingJob = job;
    OFStandard::strlcpy(book->pendingPeer, peer, sizeof book->pendingPeer);
}

// Whether the cluster's commitment table is made in this process (or the
// listener it was forked from).
static bool jobsReady = false;

int commit_clusterPrepare()
{
    clusterdb *db = archive_clusterDb(&server_archive);
    if (db == nullptr || jobsReady)
        return 0;
    if (commitjobs_migrate(db) != 0)
        return -1;
    jobsReady = true;
    return 0;
}

// In a cluster: whether job is still this node's to report, its lease
// renewed for the delivery (a report taken over by another node after
// the lease is that node's alone). True on one host (job 0).
static bool stillOurs(long long job)
{
    clusterdb *db = archive_clusterDb(&server_archive);
    const cluster_config *cfg = archive_clusterConfig(&server_archive);
    if (db == nullptr || cfg == nullptr || job == 0)
        return true;
    int r = commitjobs_renew(db, job, cfg->node, cfg->leaseMs);
    if (r == 0)
        logprintf(LOGLEVEL_WARNING, server_options.logfp,
                  "Commitment report %lld taken over by another node: not sent here.\n", job);
    // A database that cannot say: the report goes (at worst twice).
    return r != 0;
}

// The end of job's delivery: delivered (or refused for good) goes, a
// failure is given back for another try. Nothing on one host.
static void jobEnded(long long job, bool delivered)
{
    clusterdb *db = archive_clusterDb(&server_archive);
    const cluster_config *cfg = archive_clusterConfig(&server_archive);
    if (db == nullptr || cfg == nullptr || job == 0)
        return;
    if (delivered) {
        commitjobs_done(db, job);
    } else if (commitjobs_failed(db, job, cfg->node) == 1) {
        logprintf(LOGLEVEL_NOTICE, server_options.logfp,
                  "Commitment report %lld given back for another try.\n", job);
    }
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
    OFCondition cond = EC_Normal;
    dicomnet_refusal refusal = {0, 0};
    if (rq.DataSetType != DIMSE_DATASET_NULL) {
        // Walked before the toolkit parses it, within limits far below an
        // image's: its items are all kept, twice (the request and the
        // report).
        cond = dicomnet_receive_dataset(assoc, pcId, HANDLERS_COMMIT_LIMITS, &request, &refusal);
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
    if (refusal.reason != 0)
        ar.DimseStatus = dicomnet_refusal_for_resources(refusal.reason)
                             ? STATUS_N_ResourceLimitation
                             : STATUS_N_ProcessingFailure;
    else if (strcmp(rq.RequestedSOPClassUID, UID_StorageCommitmentPushModelSOPClass) != 0)
        ar.DimseStatus = STATUS_N_NoSuchSOPClass;
    else if (!handlerPermits(ctx, ACCESS_COMMIT))
        ar.DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
    else if (strcmp(rq.RequestedSOPInstanceUID, COMMIT_INSTANCE_UID) != 0)
        ar.DimseStatus = STATUS_N_NoSuchObjectInstance;
    else if (rq.ActionTypeID != 1)
        ar.DimseStatus = STATUS_N_NoSuchAction;
    else if (request == nullptr || dicomnet_getTagString(request, DCM_TransactionUID) == nullptr)
        ar.DimseStatus = STATUS_N_InvalidArgumentValue;
    else
        ar.DimseStatus = STATUS_Success;
    // The request's items, read before the response: in a cluster the
    // request is recorded first, so that a node that dies after the
    // response leaves it to another node's reporter (a request that
    // cannot be recorded is refused: no report could be promised).
    std::vector<commitItem> items;
    std::string transaction;
    long long job = 0;
    if (ar.DimseStatus == STATUS_Success) {
        items = parseItems(request);
        transaction = dicomnet_getTagString(request, DCM_TransactionUID);
        // The toolkit keeps some hundred bytes for each item of the
        // request: it goes before the report's items are made.
        delete request;
        request = nullptr;
        if (clusterdb *db = archive_clusterDb(ctx->archive)) {
            commitjob record;
            record.requester = ctx->store_calling;
            record.transaction = transaction;
            record.items = itemsText(items);
            const cluster_config *cfg = archive_clusterConfig(ctx->archive);
            job = commit_clusterPrepare() == 0 ? commitjobs_add(db, cfg->node, record, cfg->leaseMs)
                                               : -1;
            if (job < 0)
                ar.DimseStatus = STATUS_N_ProcessingFailure;
        }
    }
    if (ar.DimseStatus == STATUS_Success) {
        ar.ActionTypeID = rq.ActionTypeID;
        ar.opts |= O_NACTION_ACTIONTYPEID;
    }
    cond = DIMSE_sendMessageUsingMemoryData(assoc, pcId, &rsp, nullptr, nullptr, nullptr, nullptr);
    if (refusal.reason != 0) {
        // The rest of the data set is unread: the association ends.
        handlerLogRefusal("N-ACTION", "storage commitment request", refusal,
                          HANDLERS_COMMIT_LIMITS);
        return cond.good() ? OFCondition(DICOMNET_EC_DATASET_REFUSED) : cond;
    }
    if (cond.bad() || ar.DimseStatus != STATUS_Success) {
        delete request;
        // A response that did not go: the request is not the cluster's to
        // report either.
        if (job > 0)
            jobEnded(job, true);
        return cond;
    }

    // The peer's quiet time runs from the response: the checks below take
    // part of it.
    long answered = nowMs();
    Uint16 eventType = 0;
    commitBook *book = bookOf(ctx->archive);
    DcmDataset *report = buildReport(book, transaction, std::move(items), &eventType);
    // A peer that wants the report on a new association releases this one
    // right after the response; one that waits for it here sends nothing.
    long left = COMMIT_PEER_QUIET_MS - (nowMs() - answered);
    if (dicomnet_transport_waitReadable(assoc, left > 0 ? (int)left : 0) != 0) {
        keepReport(book, report, eventType, ctx->store_calling, job);
        return EC_Normal;
    }
    if (!stillOurs(job)) {
        delete report;
        return EC_Normal;
    }
    cond = sendReport(assoc, pcId, report, eventType);
    if (cond == DUL_PEERREQUESTEDRELEASE) {
        // The peer's release crossed the report: it went on without it and
        // gets it on an association of its own (having seen this one or not).
        logprintf(LOGLEVEL_NOTICE, server_options.logfp,
                  "Commitment report to %s crossed its release: sending it anew.\n",
                  ctx->store_calling);
        keepReport(book, report, eventType, ctx->store_calling, job);
        return cond;
    }
    delete report;
    // Delivered, or not confirmed: as on one host, not sent again.
    jobEnded(job, true);
    if (cond.bad())
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Commitment report to %s not confirmed.\n",
                  ctx->store_calling);
    return cond;
}

// Sends report over a new association (through net) to peerTitle's
// address in the AE title map, proposing the commitment class with the SCP
// role: true when the peer confirmed it. Failures are logged.
static bool deliver(T_ASC_Network *net, const char *peerTitle, DcmDataset *report, Uint16 eventType)
{
    const serveroptions &o = server_options;
    AETitleMapEntry *peer = AETitleMap_FindByAET(&server_aetmap, peerTitle);
    T_ASC_Association *assoc = nullptr;
    if (peer == nullptr) {
        logprintf(LOGLEVEL_ERROR, o.logfp,
                  "Commitment report for %s not sent: not in the AE title map.\n", peerTitle);
        return false;
    }
    T_ASC_Parameters *params =
        dicomnet_params_init(o.aetitle, nullptr, peerTitle, peer->address, false, 65536);
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    // The report's sender is the SCP of the class: role selection says so.
    if (params == nullptr ||
        ASC_addPresentationContext(params, 1, UID_StorageCommitmentPushModelSOPClass,
                                   const_cast<const char **>(ts), count > 3 ? 3 : count,
                                   ASC_SC_ROLE_SCP)
            .bad()) {
        if (params != nullptr)
            ASC_destroyAssociationParameters(&params);
        return false;
    }
    alarm(COMMIT_REPLY_SECONDS);
    int result = dicomnet_associate(&assoc, net, params);
    T_ASC_PresentationContextID pc =
        assoc != nullptr
            ? ASC_findAcceptedPresentationContextID(assoc, UID_StorageCommitmentPushModelSOPClass)
            : 0;
    if (assoc == nullptr)
        ASC_destroyAssociationParameters(&params);
    OFCondition cond = result == 0 && pc != 0 ? sendReport(assoc, pc, report, eventType)
                                              : DIMSE_NOVALIDPRESENTATIONCONTEXTID;
    if (assoc != nullptr)
        dicomnet_dissociate(&assoc,
                            result == 0 || result == -3 ? EC_Normal : DUL_PEERABORTEDASSOCIATION);
    alarm(0);
    if (cond.good())
        logprintf(LOGLEVEL_NOTICE, o.logfp, "Commitment report sent to %s at %s.\n", peerTitle,
                  peer->address);
    else
        logprintf(LOGLEVEL_ERROR, o.logfp, "Commitment report to %s at %s failed.\n", peerTitle,
                  peer->address);
    return cond.good();
}

void commit_sendPending(T_ASC_Network *net)
{
    commitBook *book = bookOf(&server_archive);
    if (book->pendingReport == nullptr)
        return;
    if (stillOurs(book->pendingJob))
        jobEnded(book->pendingJob,
                 deliver(net, book->pendingPeer, book->pendingReport, book->pendingEvent));
    delete book->pendingReport;
    book->pendingReport = nullptr;
    book->pendingJob = 0;
}

// The reporter's turn for one claimed job, in a child of its own (a peer
// that hangs ends it by the alarm, not the reporter): the request checked
// afresh and its report delivered. The child's exit status: 0 delivered.
static void reportJob(T_ASC_Network *net, const commitjob &job)
{
    pid_t pid = fork();
    if (pid < 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "Cannot fork for commitment report %lld: %s\n", job.id, strerror(errno));
        return;
    }
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return;
    }
    signal(SIGALRM, SIG_DFL);
    // The reporter's database session is the reporter's.
    archive_forked(&server_archive);
    logprintf(LOGLEVEL_NOTICE, server_options.logfp,
              "Commitment report %lld (transaction %.64s) for %.16s taken over.\n", job.id,
              encodeUid(job.transaction).c_str(), encodeUid(job.requester).c_str());
    Uint16 eventType = 0;
    DcmDataset *report =
        buildReport(bookOf(&server_archive), job.transaction, itemsOfText(job.items), &eventType);
    // The check may have taken part of the lease: renewed before the
    // delivery, which may wait on the requester for a while.
    if (!stillOurs(job.id)) {
        delete report;
        _exit(1);
    }
    bool delivered = deliver(net, job.requester.c_str(), report, eventType);
    delete report;
    jobEnded(job.id, delivered);
    _exit(delivered ? 0 : 1);
}

// The reporter's life: every poll, the jobs whose node's lease ran out.
static void runReporter()
{
    const cluster_config *cfg = archive_clusterConfig(&server_archive);
    clusterdb *db = archive_clusterDb(&server_archive);
    T_ASC_Network *net = dicomnet_net_init(COMMIT_REPLY_SECONDS);
    if (net == nullptr) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "Commitment reporter: cannot set up the network.\n");
        return;
    }
    while (!listener_stopping()) {
        std::vector<commitjob> jobs;
        if (commit_clusterPrepare() == 0)
            commitjobs_claim(db, cfg->node, cfg->leaseMs, 4, &jobs);
        for (const commitjob &job : jobs)
            reportJob(net, job);
        if (!jobs.empty())
            continue;
        struct timespec ts = {cfg->pollMs / 1000, (cfg->pollMs % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    dicomnet_net_exit(net);
}

pid_t commit_startReporter(int closeFd)
{
    if (archive_clusterDb(&server_archive) == nullptr)
        return -1;
    // It dies with the listener, as the forwarder does, and stops between
    // two reports when the listener's stop reaches it (listener_stopping).
    pid_t pid = listener_forkHelper("commitment reporter", closeFd, false);
    if (pid != 0)
        return pid;
    logprintf(LOGLEVEL_NOTICE, server_options.logfp, "Commitment reporter started.\n");
    runReporter();
    _exit(0);
}
