// The C-FIND provider handler: drives the archive core's query walk
// (archive_query) one match per response and sets each response's status.
#include "server/handlers.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcvrat.h"
#include "dcmtk/dcmdata/dcvrlo.h"
#include "dicomnet/dicomnet.h"

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/retrieve.h"
#include "server/serveraudit.h"
#include "server/serveroptions.h"

int handlerKeysFit(const handlercontext *ctx, DcmDataset *identifiers, const char *what,
                   DcmDataset **statusDetail)
{
    DcmTagKey offending;
    if (archive_keysFit(identifiers, &offending))
        return 1;
    // logprintf escapes the peer's calling title.
    logprintf(LOGLEVEL_WARNING, server_options.logfp,
              "%s from %s (%s) refused: key (%04x,%04x) longer than its VR allows.\n", what,
              ctx->store_calling, ctx->peer_address, offending.getGroup(), offending.getElement());
    DcmDataset *detail = new DcmDataset();
    DcmAttributeTag *tag = new DcmAttributeTag(DCM_OffendingElement);
    tag->putTagVal(offending);
    detail->insert(tag, OFTrue);
    DcmLongString *comment = new DcmLongString(DCM_ErrorComment);
    comment->putString("Key longer than its VR allows");
    detail->insert(comment, OFTrue);
    *statusDetail = detail;
    return 0;
}

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
    if (responseCount == 1) {
        bool permitted = handlerPermits(ctx, ACCESS_FIND) != 0;
        serveraudit_query(ctx, request->AffectedSOPClassUID, requestIdentifiers, permitted);
        if (!permitted) {
            response->DimseStatus = HANDLERS_STATUS_NOT_AUTHORIZED;
            return;
        }
    }
    // A key that no stored value can match is refused before the walk.
    if (responseCount == 1 && !handlerKeysFit(ctx, requestIdentifiers, "C-FIND", statusDetail)) {
        response->DimseStatus = STATUS_FIND_Failed_IdentifierDoesNotMatchSOPClass;
        return;
    }

    if (ctx->find == nullptr) {
        int flags = dicomnet_assoc_combined_datetime(ctx->assoc, request->AffectedSOPClassUID)
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
        dicomnet_Key_Add(*responseIdentifiers, 0x0008, 0x0005, server_options.charset);
    response->DataSetType = DIMSE_DATASET_PRESENT;
    response->DimseStatus = STATUS_FIND_Pending_MatchesAreContinuing;
}
