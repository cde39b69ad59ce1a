// The front ends' use of the object tier and the capacity policy
// (core/archivetier.h).
#include "core/archivetier.h"

#include "store/capacity.h"

int archivetier_start(const char *baseDir, capacity_policy *capacity, FILE *log, const char *prog)
{
    return tier_start(baseDir, log, prog) != 0 || capacity_start(capacity, log, prog) != 0 ? 1 : 0;
}

int archivetier_open(const char *path, tier_file *held)
{
    switch (tier_openImage(path, held)) {
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
