// The C-FIND provider handler: drives the archive core's query walk
// (archive_query) one match per response and sets each response's status.
#include "server/handlers.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dicomnet/dicomnet.h"

#include "core/archive.h"
#include "server/retrieve.h"
#include "server/serveroptions.h"

void findSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_FindRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail)
{
    handlercontext *ctx = static_cast<handlercontext *>(callbackData);

    // A new query starts with a fresh iteration (an earlier one that ended
    // early has been ended already).
    if (responseCount == 1) {
        delete ctx->find;
        ctx->find = nullptr;
    }

    // The toolkit looks for a C-CANCEL before each response: one that comes
    // in while matches are being sent stops them here, and the iteration
    // ends. One that comes after the final response is too late and is not
    // waited for.
    if (cancelled) {
        delete ctx->find;
        ctx->find = nullptr;
        response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        return;
    }
    if (responseCount == 1 && !handlerPermits(ctx, ACCESS_FIND)) {
        response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
        return;
    }

    if (ctx->find == nullptr) {
        int flags = DCMTK_assoc_combined_datetime(ctx->assoc, request->AffectedSOPClassUID)
                        ? ARCHIVE_FIND_COMBINED_DATETIME
                        : 0;
        ctx->find = new archive_query(ctx->archive, requestIdentifiers, nullptr, flags);
    }
    // SOP Classes in Study is read from the study's images, so it is
    // matched here: a study whose classes do not match gives way to the
    // next match.
    for (;;) {
        if (ctx->find->next(responseIdentifiers) != 0) {
            delete ctx->find;
            ctx->find = nullptr;
            response->DimseStatus = STATUS_FIND_Success_MatchingIsComplete;
            return;
        }
        // Retrieve clients ask which SOP classes a study holds to choose the
        // storage contexts of their C-GET.
        if (archive_addSOPClassesInStudy(ctx->archive, requestIdentifiers, *responseIdentifiers))
            break;
        delete *responseIdentifiers;
        *responseIdentifiers = NULL;
    }

    // The stored texts are UTF-8; when the engine has labelled an identifier
    // "ISO_IR 192" because it holds such bytes, -E must not relabel it with
    // a character set the bytes are not in. Pure ASCII identifiers carry -E.
    if (server_options.charset[0] != '\0' &&
        !(*responseIdentifiers)->tagExists(DCM_SpecificCharacterSet))
        DCMTK_Key_Add(*responseIdentifiers, 0x0008, 0x0005, server_options.charset);
    response->DataSetType = DIMSE_DATASET_PRESENT;
    response->DimseStatus = STATUS_FIND_Pending_MatchesAreContinuing;
}
