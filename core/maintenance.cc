// The archive's upkeep for storeindex (core/maintenance.h): the store's
// check, rebuild and tier mover behind the front-end line.
#include "core/maintenance.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "store/localstore.h"
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

int maintenance_open(const char *base, int exclusive)
{
    // The lock belongs to the open base directory, not to the store object:
    // it outlives store, until maintenance_close. The store's destructor may
    // change errno, which tells the caller why the lock was refused.
    int lock, saved;
    {
        LocalStore store(base);
        lock = store.LockStore(exclusive);
        saved = errno;
    }
    errno = saved;
    return lock;
}

void maintenance_close(int lock)
{
    if (lock >= 0)
        close(lock);
}

int maintenance_check(const char *base, FILE *out)
{
    return storecheck_run(base, out);
}

int maintenance_rebuild(const char *base, FILE *out, FILE *err)
{
    return storerebuild_run(base, out, err);
}

int maintenance_tier(const char *base, int dryRun, FILE *out)
{
    // A programming error: the front end runs the mover only with the tier on.
    const tier_config *cfg = tier_active();
    if (cfg == nullptr)
        abort();
    return storetier_run(base, *cfg, dryRun, out);
}
