// The store's capacity policy (store/capacity.h).
#include "store/capacity.h"

#include <errno.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "runtime/installpath.h"
#include "runtime/logprintf.h"

static capacity_policy activePolicy;

void capacity_set(const capacity_policy &policy)
{
    activePolicy = policy;
}

int capacity_loadFile(const char *path, capacity_policy *policy, char *why, size_t whySize)
{
    *policy = capacity_policy();
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        snprintf(why, whySize, "cannot read %s: %s", path, strerror(errno));
        return -1;
    }
    char line[512];
    int lineNo = 0, result = 0;
    while (result == 0 && fgets(line, sizeof line, f) != nullptr) {
        lineNo++;
        char *hash = strchr(line, '#');
        if (hash != nullptr)
            *hash = '\0';
        char key[64], value[64], extra[8];
        int n = sscanf(line, "%63s %63s %7s", key, value, extra);
        if (n <= 0)
            continue;
        bool ok = n == 2 && strcmp(key, "refuse-below") == 0;
        if (ok) {
            char *end = nullptr;
            double v = strtod(value, &end);
            std::string unit(end);
            static const char *const units[] = {"", "K", "M", "G", "T"};
            ok = end != value && v >= 0;
            if (ok && unit == "%") {
                ok = v < 100;
                policy->percent = v;
            } else if (ok) {
                ok = false;
                for (int u = 0; u < 5; u++)
                    if (unit == units[u]) {
                        policy->bytes = (uint64_t)(v * (double)(1ull << (10 * u)));
                        ok = true;
                    }
            }
        }
        if (!ok) {
            snprintf(why, whySize, "%s line %d: bad setting \"%s\"", path, lineNo, key);
            result = -1;
        }
    }
    fclose(f);
    return result;
}

int capacity_start(FILE *log, const char *prog)
{
    char found[INSTALLPATH_SIZE], why[512] = "";
    capacity_policy policy;
    if (getfilepath(CONFIG_SEARCHPATH, CAPACITY_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr) {
        capacity_set(policy);
        return 0;
    }
    if (capacity_loadFile(found, &policy, why, sizeof why) != 0) {
        logprintf(LOGLEVEL_FATAL, log, "Store capacity: %s\n", why);
        fprintf(stderr, "%s: store capacity: %s\n", prog, why);
        return 1;
    }
    capacity_set(policy);
    if (policy.percent >= 0)
        logprintf(LOGLEVEL_NOTICE, log, "New images are refused below %g%% free space.\n",
                  policy.percent);
    else if (policy.bytes > 0)
        logprintf(LOGLEVEL_NOTICE, log, "New images are refused below %llu bytes free.\n",
                  (unsigned long long)policy.bytes);
    return 0;
}

int capacity_refuses(const char *dir, char *text, size_t textSize)
{
    if (activePolicy.percent < 0 && activePolicy.bytes == 0)
        return 0;
    struct statvfs vfs;
    // A file system that cannot be asked is left to the write itself.
    if (statvfs(dir, &vfs) != 0 || vfs.f_blocks == 0)
        return 0;
    uint64_t freeBytes = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    double percent = 100.0 * (double)vfs.f_bavail / (double)vfs.f_blocks;
    if ((activePolicy.percent >= 0 && percent < activePolicy.percent) ||
        (activePolicy.bytes > 0 && freeBytes < activePolicy.bytes)) {
        snprintf(text, textSize, "%llu bytes (%.1f%%) free", (unsigned long long)freeBytes,
                 percent);
        return 1;
    }
    return 0;
}
