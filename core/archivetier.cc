// The front ends' use of the object tier and the capacity policy
// (core/archivetier.h).
#include "core/archivetier.h"

#include <string.h>

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "store/capacity.h"
#include "store/localstore.h"

int archivetier_start(LocalStore *store, FILE *log, const char *prog, bool claim)
{
    std::unique_ptr<tier_config> tier;
    if (tier_start(store->getBaseDir(), &tier, log, prog) != 0 ||
        capacity_start(&store->getCapacity()->policy, log, prog) != 0)
        return 1;
    if (claim && tier) {
        char why[512] = "";
        int c = tier_claim(tier.get(), TIER_CLAIM, why, sizeof why);
        if (c == TIER_FOREIGN || c == TIER_LOCAL_ERROR) {
            logprintf(LOGLEVEL_FATAL, log, "Object tier: %s\n", why);
            fprintf(stderr, "%s: object tier: %s\n", prog, why);
            return 1;
        }
        // Unreachable now: the objects this node puts still carry the id.
        if (c == TIER_UNREACHABLE) {
            logprintf(LOGLEVEL_WARNING, log, "Object tier: cannot claim the prefix: %s\n", why);
            if (tier_readArchiveId(store->getBaseDir(), &tier->archiveId) != 0)
                tier->archiveId.clear();
        }
    }
    store->setTier(std::move(tier));
    return 0;
}

// "STORAGE DAMAGED uid/..." on the monitor channel; a datagram that is not
// sent is not noticed (the channel is a courtesy).
static void announceDamaged(const archive_context *ctx, const char *path)
{
    if (ctx->monitorSock == nullptr || *ctx->monitorSock < 0)
        return;
    const char *base = ctx->store->getBaseDir();
    size_t n = strlen(base);
    while (n > 0 && base[n - 1] == '/')
        n--;
    const char *rel = strncmp(path, base, n) == 0 && path[n] == '/' ? path + n + 1 : path;
    char message[MULTICAST_MSGSIZE];
    snprintf(message, sizeof message, MONITORMSG_KEYWORD " " MONITORMSG_DAMAGED " %s", rel);
    multicast_send(*ctx->monitorSock, message);
}

// The UIDs of the image whose file belongs at path (".../study_S/series_R/
// image_I.dcm"): true when path has that form.
static bool uidsOfPath(const std::string &path, std::string *study, std::string *series,
                       std::string *instance)
{
    static const char *const prefixes[3] = {"image_", "series_", "study_"};
    std::string *parts[3] = {instance, series, study};
    size_t end = path.size();
    if (end < 4 || path.compare(end - 4, 4, ".dcm") != 0)
        return false;
    end -= 4;
    for (int k = 0; k < 3; k++) {
        size_t slash = path.rfind('/', end - 1);
        if (slash == std::string::npos)
            return false;
        std::string part = path.substr(slash + 1, end - slash - 1);
        size_t n = strlen(prefixes[k]);
        if (part.compare(0, n, prefixes[k]) != 0)
            return false;
        *parts[k] = part.substr(n);
        end = slash;
    }
    return true;
}

// A cluster node's opening of an image: its row first (an image deleted
// through another node is never served from this node's stale file, which
// goes), then the local file, else the object (tier_openHome).
static int openShared(const archive_context *ctx, const char *path, tier_file *held)
{
    std::string study, series, instance;
    std::vector<index_image> found;
    LocalStore *store = ctx->store;
    if (!uidsOfPath(path, &study, &series, &instance))
        return TIER_MISSING;
    int n = store->index().locate({instance}, &found);
    // The database unreadable: the image can be neither vouched for nor
    // dropped (the copy here may be its only one).
    if (n < 0)
        return TIER_UNAVAILABLE;
    if (n != 1 || found.size() != 1 || found[0].study != study || found[0].series != series) {
        // No row at this place: the file here, if any, is what a delete
        // through another node left.
        if (n >= 0 && unlink(path) == 0)
            logprintf(LOGLEVEL_NOTICE, store->getLogfile(),
                      "Dropped %s: deleted through the cluster.\n", path);
        return TIER_MISSING;
    }
    if (store->getTier() == nullptr)
        return TIER_UNAVAILABLE;
    return tier_openHome(*store->getTier(), store->getBaseDir(), path, held, store->getLogfile());
}

int archivetier_open(const archive_context *ctx, const char *path, tier_file *held, bool headOnly)
{
    int r = ctx->store->sharedIndex() ? openShared(ctx, path, held)
                                      : tier_openImage(ctx->store->getTier(), path, held,
                                                       ctx->store->getLogfile(), headOnly);
    switch (r) {
    case TIER_OK:
        return ARCHIVETIER_READABLE;
    case TIER_MISSING:
        return ARCHIVETIER_MISSING;
    case TIER_DAMAGED:
        announceDamaged(ctx, path);
        return ARCHIVETIER_DAMAGED;
    default:
        return ARCHIVETIER_UNAVAILABLE;
    }
}

std::string archivetier_stubClass(const char *path)
{
    std::string sopClass, xfer;
    return tier_stubClass(path, &sopClass, &xfer) == 0 ? sopClass : std::string();
}
