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

int archivetier_open(const archive_context *ctx, const char *path, tier_file *held, bool headOnly)
{
    switch (tier_openImage(ctx->store->getTier(), path, held, ctx->store->getLogfile(), headOnly)) {
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
