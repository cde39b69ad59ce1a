// The storeserver's audit messages (server/serveraudit.h).
#include "server/serveraudit.h"

#include <string.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcuid.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "server/handlers.h"
#include "server/retrieve.h"
#include "server/serveroptions.h"

static audit_sink *sinkOf(const handlercontext *ctx)
{
    return ctx->archive != nullptr ? ctx->archive->audit : nullptr;
}

audit_participant serveraudit_peer(const handlercontext *ctx, int role)
{
    audit_participant p;
    p.userId = ctx->store_calling;
    p.address = ctx->peer_address;
    p.requestor = true;
    p.role = role;
    return p;
}

// This server under the title the peer called.
static audit_participant self(const handlercontext *ctx, int role)
{
    audit_participant p = audit_self(sinkOf(ctx), role);
    p.userId = ctx->store_called[0] != '\0' ? ctx->store_called : server_options.aetitle;
    return p;
}

void serveraudit_stored(handlercontext *ctx, DcmDataset *ds, unsigned status)
{
    if (sinkOf(ctx) == nullptr || ds == nullptr || status != ARCHIVE_STORED)
        return;
    if (ctx->stored == nullptr)
        ctx->stored = new audit_studies;
    const char *study = dicomnet_getTagString(ds, DCM_StudyInstanceUID);
    const char *cls = dicomnet_getTagString(ds, DCM_SOPClassUID);
    const char *pid = dicomnet_getTagString(ds, DCM_PatientID);
    const char *name = dicomnet_getTagString(ds, DCM_PatientName);
    ctx->stored->add(study != nullptr ? study : "", cls != nullptr ? cls : "",
                     pid != nullptr ? pid : "", name != nullptr ? name : "");
}

void serveraudit_associationEnd(handlercontext *ctx)
{
    if (ctx->stored == nullptr)
        return;
    std::vector<audit_participant> who = {serveraudit_peer(ctx, AUDIT_ROLE_SOURCE),
                                          self(ctx, AUDIT_ROLE_DESTINATION)};
    audit_emitStudies(sinkOf(ctx), AUDIT_TRANSFERRED, 'C', AUDIT_SUCCESS, who, ctx->stored);
    delete ctx->stored;
    ctx->stored = nullptr;
}

void serveraudit_query(const handlercontext *ctx, const char *sopClass, DcmDataset *identifier,
                       bool permitted)
{
    audit_sink *sink = sinkOf(ctx);
    if (sink == nullptr)
        return;
    audit_event ev;
    ev.kind = AUDIT_QUERY;
    ev.outcome = permitted ? AUDIT_SUCCESS : AUDIT_MINOR_FAILURE;
    if (!permitted)
        ev.outcomeText = "not authorized";
    ev.participants = {serveraudit_peer(ctx, AUDIT_ROLE_SOURCE), self(ctx, AUDIT_ROLE_DESTINATION)};
    audit_object q;
    q.kind = audit_object::QUERY;
    q.id = sopClass != nullptr ? sopClass : "";
    // The identifier's bytes in Explicit VR Little Endian, as received.
    if (identifier != nullptr) {
        identifier->transferInit();
        size_t len = identifier->calcElementLength(EXS_LittleEndianExplicit, EET_ExplicitLength);
        std::string buf(len + 16, '\0');
        DcmOutputBufferStream out(&buf[0], buf.size());
        if (identifier->write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr).good()) {
            void *data = nullptr;
            offile_off_t n = 0;
            out.flushBuffer(data, n);
            q.query.assign(buf.data(), (size_t)n);
            q.querySyntax = UID_LittleEndianExplicitTransferSyntax;
        }
        identifier->transferEnd();
    }
    ev.objects.push_back(q);
    audit_emit(sink, ev);
}

void serveraudit_retrieve(const handlercontext *ctx, const retrievejob *job,
                          const char *destination, bool start)
{
    audit_sink *sink = sinkOf(ctx);
    if (sink == nullptr || job == nullptr)
        return;
    audit_studies set;
    size_t end = start ? job->items.size() : job->next;
    for (size_t i = 0; i < end && i < job->items.size(); i++) {
        const retrieveitem &it = job->items[i];
        if (!start && !job->failedUids.empty() &&
            ("\\" + job->failedUids + "\\").find("\\" + it.instance + "\\") != std::string::npos)
            continue;
        set.add(it.study, it.sopClass);
    }
    if (set.empty())
        return;
    std::vector<audit_participant> who;
    who.push_back(self(ctx, AUDIT_ROLE_SOURCE));
    who.back().requestor = false;
    if (destination != nullptr && strcmp(destination, ctx->store_calling) != 0) {
        // A C-MOVE to a third party: the requester, then the destination.
        who.push_back(serveraudit_peer(ctx));
        audit_participant dest;
        dest.userId = destination;
        dest.role = AUDIT_ROLE_DESTINATION;
        who.push_back(dest);
    } else {
        who.push_back(serveraudit_peer(ctx, AUDIT_ROLE_DESTINATION));
    }
    audit_emitStudies(sink, start ? AUDIT_BEGIN_TRANSFER : AUDIT_TRANSFERRED, start ? 'E' : 'R',
                      AUDIT_SUCCESS, who, &set);
}
