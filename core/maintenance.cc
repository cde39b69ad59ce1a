// The archive's upkeep for storeindex (core/maintenance.h): the store's
// check, rebuild and tier mover behind the front-end line.
#include "core/maintenance.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "core/archive.h"
#include "runtime/multicast.h"
#include "store/localstore.h"
#include "store/storecheck.h"
#include "store/storerebuild.h"
#include "store/storescrub.h"
#include "store/storetier.h"
#include "store/tier.h"

static_assert((int)MAINTENANCE_REBUILT == (int)STOREREBUILD_OK &&
                  (int)MAINTENANCE_REBUILT_PARTLY == (int)STOREREBUILD_PARTIAL &&
                  (int)MAINTENANCE_NOT_REBUILT == (int)STOREREBUILD_FAILED,
              "maintenance_rebuild hands on storerebuild_run's result");

void maintenance_open(archive_context *ctx, const char *base, int lock)
{
    archive_settings settings;
    settings.baseDir = base;
    settings.lock = lock;
    settings.deferStart = true;
    // Without requireStore and the site's settings (prog), and with the lock
    // deferred, nothing can refuse the open: a failure is a programming
    // error.
    if (archive_open(ctx, settings, nullptr) != 0)
        abort();
}

int maintenance_tierSettings(archive_context *ctx, char *why, size_t whySize)
{
    std::unique_ptr<tier_config> tier;
    int r = tier_setup(archive_baseDir(ctx), &tier, why, whySize);
    ctx->store->setTier(std::move(tier));
    return r < 0 ? MAINTENANCE_TIER_UNUSABLE : r > 0 ? MAINTENANCE_TIER_ON : MAINTENANCE_TIER_OFF;
}

int maintenance_lock(archive_context *ctx)
{
    if (archive_start(ctx, nullptr, true) != 0)
        return -1;
    // archive_start serves a store it cannot lock (a warning in its log); a
    // step that asked for the lock does not run without it.
    if (archive_lockDescriptor(ctx) < 0) {
        errno = ENOLCK;
        return -1;
    }
    return 0;
}

void maintenance_close(archive_context *ctx)
{
    archive_close(ctx);
}

int maintenance_check(const archive_context *ctx, FILE *out)
{
    return storecheck_run(archive_baseDir(ctx), out, ctx->store->getTier());
}

int maintenance_rebuild(const archive_context *ctx, FILE *out, FILE *err)
{
    return storerebuild_run(archive_baseDir(ctx), out, err, ctx->store->getTier());
}

int maintenance_tier(const archive_context *ctx, int dryRun, FILE *out)
{
    // A programming error: the front end runs the mover only with the tier on.
    const tier_config *cfg = ctx->store->getTier();
    if (cfg == nullptr)
        abort();
    return storetier_run(archive_baseDir(ctx), *cfg, dryRun, out);
}

int maintenance_scrub(const archive_context *ctx, double rateMBs, bool headOnly, int monitorPort,
                      FILE *out)
{
    storescrub_options options;
    options.rateMBs = rateMBs;
    options.headOnly = headOnly;
    // The channel is a courtesy: a socket that cannot be made announces
    // nothing.
    if (monitorPort > 0)
        options.monitorSock = multicast_sendsocket((unsigned short)monitorPort, "224.0.0.1");
    storescrub_status status;
    int r = storescrub_run(ctx->store, options, out, &status);
    if (options.monitorSock >= 0)
        close(options.monitorSock);
    return r;
}

int maintenance_scrubStatus(const archive_context *ctx, storescrub_status *status)
{
    return storescrub_readStatus(archive_baseDir(ctx), status);
}
