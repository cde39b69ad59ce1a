// The archive core's ingest: one received image into the store, the
// patient link tree and the monitor channel.
#include "core/archive.h"

#include <mutex>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcrledrg.h"
#include "dcmtk/dcmjpeg/djdecode.h"
#include "dcmtk/dcmjpls/djdecode.h"

#include "dicomnet/dicomnet.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"

static std::string tagText(DcmDataset *ds, const DcmTagKey &key)
{
    const char *v = DCMTK_getTagString(ds, key);
    return v ? v : "";
}

unsigned archive_ingest(const archive_context *ctx, DcmDataset *ds, int overwrite,
                        archive_ingested *out)
{
    archive_ingested uids;
    uids.sopClass = tagText(ds, DCM_SOPClassUID);
    uids.sopInstance = tagText(ds, DCM_SOPInstanceUID);
    uids.study = tagText(ds, DCM_StudyInstanceUID);
    uids.series = tagText(ds, DCM_SeriesInstanceUID);
    if (out)
        *out = uids;

    int result = ctx->store->WriteDataset(ds, overwrite, nullptr, 0);
    // A link that cannot be made fails the store: the site asked for the
    // tree, so an image missing from it is not stored as the site wants.
    if (result == LS_OK && ctx->patientLinks)
        result = ctx->store->WriteSymlinks(ds);
    switch (result) {
    case LS_OK:
        break;
    case LS_EXISTS:
        return ARCHIVE_EXISTS;
    case LS_BAD_UID:
        return ARCHIVE_CANNOT_UNDERSTAND;
    default:
        // 3 and 5, and any result the store may add later: the image is not
        // known to be stored, so the peer must not be told it was.
        return ARCHIVE_REFUSED_NOSPACE;
    }
    if (ctx->stored)
        ctx->stored(ctx->storedArg, uids.study.c_str(), uids.series.c_str(),
                    uids.sopInstance.c_str());
    if (ctx->monitorSock != nullptr && *ctx->monitorSock >= 0) {
        char text[MULTICAST_MSGSIZE];
        multicast_send(*ctx->monitorSock,
                       monitormsg_stored(text, sizeof text, uids.study.c_str(), uids.series.c_str(),
                                         uids.sopInstance.c_str()));
    }
    return ARCHIVE_STORED;
}

void archive_registerDecoders()
{
    static std::once_flag once;
    std::call_once(once, []() {
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
    });
}

int archive_flush(const archive_context *ctx)
{
    return ctx->store->SyncWrites() == 0 ? 0 : -1;
}
