// The archive's upkeep for storeindex (core/maintenance.h): the store's
// check, rebuild and tier mover behind the front-end line.
#include "core/maintenance.h"

#include <errno.h>
#include <stdlib.h>

#include "core/archive.h"
#include "store/storecheck.h"
#include "store/storerebuild.h"
#include "store/storetier.h"
#include "store/tier.h"

static_assert((int)MAINTENANCE_REBUILT == (int)STOREREBUILD_OK &&
                  (int)MAINTENANCE_REBUILT_PARTLY == (int)STOREREBUILD_PARTIAL &&
                  (int)MAINTENANCE_NOT_REBUILT == (int)STOREREBUILD_FAILED,
              "maintenance_rebuild hands on storerebuild_run's result");

int maintenance_tierSettings(const char *base, char *why, size_t whySize)
{
    int r = tier_setup(base, why, whySize);
    return r < 0 ? MAINTENANCE_TIER_UNUSABLE : r > 0 ? MAINTENANCE_TIER_ON : MAINTENANCE_TIER_OFF;
}

int maintenance_open(archive_context *ctx, const char *base, int lock)
{
    archive_settings settings;
    settings.baseDir = base;
    settings.lock = lock;
    if (archive_open(ctx, settings, nullptr) != 0)
        return -1;
    // archive_open serves a store it cannot lock (a warning in its log);
    // a step that asked for the lock does not run without it.
    if (lock != ARCHIVE_LOCK_NONE && archive_lockDescriptor(ctx) < 0) {
        archive_close(ctx);
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
    return storecheck_run(archive_baseDir(ctx), out);
}

int maintenance_rebuild(const archive_context *ctx, FILE *out, FILE *err)
{
    return storerebuild_run(archive_baseDir(ctx), out, err);
}

int maintenance_tier(const archive_context *ctx, int dryRun, FILE *out)
{
    // A programming error: the front end runs the mover only with the tier on.
    const tier_config *cfg = tier_active();
    if (cfg == nullptr)
        abort();
    return storetier_run(archive_baseDir(ctx), *cfg, dryRun, out);
}
