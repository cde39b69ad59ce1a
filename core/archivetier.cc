// The front ends' use of the object tier and the capacity policy
// (core/archivetier.h).
#include "core/archivetier.h"

#include "core/archive.h"
#include "store/capacity.h"
#include "store/localstore.h"

int archivetier_start(LocalStore *store, FILE *log, const char *prog)
{
    std::unique_ptr<tier_config> tier;
    if (tier_start(store->getBaseDir(), &tier, log, prog) != 0 ||
        capacity_start(&store->getCapacity()->policy, log, prog) != 0)
        return 1;
    store->setTier(std::move(tier));
    return 0;
}

int archivetier_open(const archive_context *ctx, const char *path, tier_file *held)
{
    switch (tier_openImage(ctx->store->getTier(), path, held, ctx->store->getLogfile())) {
    case TIER_OK:
        return ARCHIVETIER_READABLE;
    case TIER_MISSING:
        return ARCHIVETIER_MISSING;
    default:
        return ARCHIVETIER_UNAVAILABLE;
    }
}

std::string archivetier_stubClass(const char *path)
{
    std::string sopClass, xfer;
    return tier_stubClass(path, &sopClass, &xfer) == 0 ? sopClass : std::string();
}
