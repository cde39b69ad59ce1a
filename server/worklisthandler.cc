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
#include "runtime/logprintf.h"
#include "server/handlers.h"
#include "server/serveroptions.h"

int worklist_doneMode = WORKLIST_DONE_BOTH;

int worklist_isWorklistClass(const char *sopClass)
{
    return sopClass != nullptr && strcmp(sopClass, UID_FINDModalityWorklistInformationModel) == 0;
}

// The query in progress: a worker serves one association, whose commands
// come one after another, so one query at a time exists per process. Made
// at a query's first response, freed at its last (or at the next query,
// should an association end in the middle of one).
static WlmDataSourceFileSystem *query = nullptr;
static WlmDataSourceStatusType queryStatus = WLM_SUCCESS;
// The base directory the query reads: the store's, or a view without the
// names that are not regular files (Worklist_QueryBase), removed at its end.
static std::string queryBase;

static void endQuery()
{
    if (query != nullptr) {
        query->DisconnectFromDataSource();
        delete query;
        query = nullptr;
    }
    if (!queryBase.empty()) {
        Worklist_EndView(archive_baseDir(&server_archive), queryBase);
        queryBase.clear();
    }
}

// Opens the data source on the store's worklist directory: the data path is
// the base directory and the directory "worklist" plays the called AE
// title's, whatever title the peer called. The character set of each entry
// file goes out with its answers.
static WlmDataSourceStatusType startQuery(DcmDataset *identifiers)
{
    const char *base = archive_baseDir(&server_archive);
    endQuery();
    if (Worklist_Prepare(base) != 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Worklist: cannot prepare %s/%s: %s\n",
                  base, WORKLIST_DIRNAME, strerror(errno));
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    // The data source opens every "*.wl" name it finds, and a FIFO's open
    // waits for a writer: such names are kept out of its sight.
    std::vector<std::string> skipped;
    if (Worklist_QueryBase(base, &queryBase, &skipped) != 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "Worklist: cannot set aside what is not an entry in %s/%s: %s\n", base,
                  WORKLIST_DIRNAME, strerror(errno));
        queryBase.clear();
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    for (const std::string &name : skipped)
        logprintf(LOGLEVEL_WARNING, server_options.logfp,
                  "Worklist: %s/%s/%s is not a regular file: skipped.\n", base, WORKLIST_DIRNAME,
                  name.c_str());
    query = new WlmDataSourceFileSystem();
    query->SetDfPath(queryBase.c_str());
    query->SetEnableRejectionOfIncompleteWlFiles(OFTrue);
    query->SetReturnedCharacterSet(RETURN_CHARACTER_SET_FROM_FILE);
    query->SetCalledApplicationEntityTitle(WORKLIST_DIRNAME);
    if (query->ConnectToDataSource().bad() || !query->IsCalledApplicationEntityTitleSupported()) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Worklist: cannot open %s/%s\n", base,
                  WORKLIST_DIRNAME);
        endQuery();
        return WLM_FAILED_UNABLE_TO_PROCESS;
    }
    return query->StartFindRequest(*identifiers);
}

// The data source's account of a refused identifier, as the status detail.
static DcmDataset *failureDetail()
{
    DcmDataset *detail = new DcmDataset();
    DcmAttributeTag *offending = query != nullptr ? query->GetOffendingElements() : nullptr;
    DcmLongString *comment = query != nullptr ? query->GetErrorComments() : nullptr;
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
        if (query != nullptr)
            query->CancelFindRequest();
        endQuery();
        response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        return;
    }
    if (responseCount == 1) {
        if (!handlerPermits(ctx, ACCESS_WORKLIST)) {
            endQuery();
            response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
            return;
        }
        // Before the data source sees it: its matching of a key of a
        // megabyte took longer than the worker's alarm.
        if (!handlerKeysFit(ctx, requestIdentifiers, "Worklist C-FIND", statusDetail)) {
            endQuery();
            response->DimseStatus = WLM_FAILED_IDENTIFIER_DOES_NOT_MATCH_SOP_CLASS;
            return;
        }
        queryStatus = startQuery(requestIdentifiers);
    }
    if (query != nullptr && (queryStatus == WLM_PENDING || queryStatus == WLM_PENDING_WARNING)) {
        DcmDataset *match = query->NextFindResponse(queryStatus);
        // The last call gives an empty dataset with success: no answer.
        if (queryStatus == WLM_PENDING || queryStatus == WLM_PENDING_WARNING)
            *responseIdentifiers = match;
        else
            delete match;
    }
    response->DimseStatus = (Uint16)queryStatus;
    if (queryStatus == WLM_FAILED_IDENTIFIER_DOES_NOT_MATCH_SOP_CLASS)
        *statusDetail = failureDetail();
    if (*responseIdentifiers != nullptr)
        response->DataSetType = DIMSE_DATASET_PRESENT;
    else
        endQuery();
}
