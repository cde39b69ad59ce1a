// The Modality Worklist C-FIND handler over DCMTK's worklist file-system
// data source, and the marking of entries done as their studies arrive.
#include "server/worklisthandler.h"

#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmdata/dcvrat.h"
#include "dcmtk/dcmdata/dcvrlo.h"
#include "dcmtk/dcmwlm/wldsfs.h"

#include "core/archive.h"
#include "core/worklist.h"
#include "core/worklistdb.h"
#include "runtime/logprintf.h"
#include "server/handlers.h"
#include "server/serveraudit.h"
#include "server/serveroptions.h"

int worklist_doneMode = WORKLIST_DONE_BOTH;

int worklist_isWorklistClass(const char *sopClass)
{
    return sopClass != nullptr && strcmp(sopClass, UID_FINDModalityWorklistInformationModel) == 0;
}

// The association's query in progress (its commands come one after
// another, so one at a time). Made at a query's first response, freed at
// its last (or at the next query, or at the association's end, should it
// end in the middle of one).
struct worklistquery {
    WlmDataSourceFileSystem source;
    WlmDataSourceStatusType status = WLM_SUCCESS;
    // The base directory the query reads: the store's, or a view without
    // the names that are not regular files (Worklist_QueryBase), removed at
    // its end.
    std::string base;
};

void worklist_endQuery(handlercontext *ctx)
{
    worklistquery *q = ctx->worklist;
    if (q == nullptr)
        return;
    ctx->worklist = nullptr;
    q->source.DisconnectFromDataSource();
    std::string base = q->base;
    delete q;
    if (!base.empty())
        Worklist_EndView(archive_baseDir(&server_archive), base);
}

// Opens the data source on the store's worklist directory: the data path is
// the base directory and the directory "worklist" plays the called AE
// title's, whatever title the peer called. The character set of each entry
// file goes out with its answers. The query is ctx->worklist afterwards
// (null when it could not start).
static WlmDataSourceStatusType startQuery(handlercontext *ctx, DcmDataset *identifiers)
{
    const char *base = archive_baseDir(&server_archive);
    worklist_endQuery(ctx);
    if (Worklist_Prepare(base) != 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Worklist: cannot prepare %s/%s: %s\n",
                  base, WORKLIST_DIRNAME, strerror(errno));
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    // In a cluster the entries are the database's: this node's files are
    // made to match first. A database out of reach leaves them as they
    // were, answered with a warning: a worklist a little stale serves a
    // modality better than none.
    if (clusterdb *db = archive_clusterDb(&server_archive))
        if (worklistdb_sync(db, base, server_options.logfp) != 0)
            logprintf(LOGLEVEL_WARNING, server_options.logfp,
                      "Worklist: answered from this node's entries (the cluster's database "
                      "cannot be read)\n");
    // The data source opens every "*.wl" name it finds, and a FIFO's open
    // waits for a writer: such names are kept out of its sight.
    std::vector<std::string> skipped;
    std::string view;
    if (Worklist_QueryBase(base, &view, &skipped) != 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "Worklist: cannot set aside what is not an entry in %s/%s: %s\n", base,
                  WORKLIST_DIRNAME, strerror(errno));
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    for (const std::string &name : skipped)
        logprintf(LOGLEVEL_WARNING, server_options.logfp,
                  "Worklist: %s/%s/%s is not a regular file: skipped.\n", base, WORKLIST_DIRNAME,
                  name.c_str());
    worklistquery *q = new worklistquery;
    q->base = view;
    ctx->worklist = q;
    q->source.SetDfPath(q->base.c_str());
    q->source.SetEnableRejectionOfIncompleteWlFiles(OFTrue);
    q->source.SetReturnedCharacterSet(RETURN_CHARACTER_SET_FROM_FILE);
    q->source.SetCalledApplicationEntityTitle(WORKLIST_DIRNAME);
    if (q->source.ConnectToDataSource().bad() ||
        !q->source.IsCalledApplicationEntityTitleSupported()) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Worklist: cannot open %s/%s\n", base,
                  WORKLIST_DIRNAME);
        worklist_endQuery(ctx);
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    return q->source.StartFindRequest(*identifiers);
}

// The data source's account of a refused identifier, as the status detail.
static DcmDataset *failureDetail(worklistquery *q)
{
    DcmDataset *detail = new DcmDataset();
    DcmAttributeTag *offending = q != nullptr ? q->source.GetOffendingElements() : nullptr;
    DcmLongString *comment = q != nullptr ? q->source.GetErrorComments() : nullptr;
    if (offending != nullptr && offending->getLength() > 0)
        detail->insert(new DcmAttributeTag(*offending), OFTrue);
    if (comment != nullptr && comment->getLength() > 0)
        detail->insert(new DcmLongString(*comment), OFTrue);
    if (detail->card() == 0) {
        delete detail;
        detail = nullptr;
    }
    return detail;
}

void worklistSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *,
                         DcmDataset *requestIdentifiers, int responseCount,
                         T_DIMSE_C_FindRSP *response, DcmDataset **responseIdentifiers,
                         DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);
    *responseIdentifiers = nullptr;
    if (cancelled) {
        if (ctx->worklist != nullptr)
            ctx->worklist->source.CancelFindRequest();
        worklist_endQuery(ctx);
        response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        return;
    }
    WlmDataSourceStatusType status = WLM_FAILED_UNABLE_TO_PROCESS;
    if (responseCount == 1) {
        bool permitted = handlerPermits(ctx, ACCESS_WORKLIST) != 0;
        serveraudit_query(ctx, UID_FINDModalityWorklistInformationModel, requestIdentifiers,
                          permitted);
        if (!permitted) {
            worklist_endQuery(ctx);
            response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
            return;
        }
        // Before the data source sees it: its matching of a key of a
        // megabyte took longer than the worker's alarm.
        if (!handlerKeysFit(ctx, requestIdentifiers, "Worklist C-FIND", statusDetail)) {
            worklist_endQuery(ctx);
            response->DimseStatus = WLM_FAILED_IDENTIFIER_DOES_NOT_MATCH_SOP_CLASS;
            return;
        }
        status = startQuery(ctx, requestIdentifiers);
        if (ctx->worklist != nullptr)
            ctx->worklist->status = status;
    } else if (ctx->worklist != nullptr) {
        status = ctx->worklist->status;
    }
    worklistquery *q = ctx->worklist;
    if (q != nullptr && (status == WLM_PENDING || status == WLM_PENDING_WARNING)) {
        DcmDataset *match = q->source.NextFindResponse(q->status);
        status = q->status;
        // The last call gives an empty dataset with success: no answer.
        if (status == WLM_PENDING || status == WLM_PENDING_WARNING)
            *responseIdentifiers = match;
        else
            delete match;
    }
    response->DimseStatus = (Uint16)status;
    if (status == WLM_FAILED_IDENTIFIER_DOES_NOT_MATCH_SOP_CLASS)
        *statusDetail = failureDetail(q);
    if (*responseIdentifiers != nullptr)
        response->DataSetType = DIMSE_DATASET_PRESENT;
    else
        worklist_endQuery(ctx);
}
