// The store's capacity policy (store/capacity.h).
#include "store/capacity.h"

#include <errno.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"

int capacity_loadFile(const char *path, capacity_policy *policy, char *why, size_t whySize)
{
    *policy = capacity_policy();
    // Lines of up to 511 characters: the length this file always had.
    sitefile_options options;
    options.maxLength = 511;
    bool bad = false;
    sitefile_error err;
    int read = sitefile_read(
        path, options,
        [&](const sitefile_line &line) {
            // One key and one value, each at most 63 characters.
            bool ok = line.key == "refuse-below" && sitefile_isOneWord(line.value) &&
                      line.value.size() < 64;
            if (ok) {
                const char *value = line.value.c_str();
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
                snprintf(why, whySize, "%s line %d: bad setting \"%.63s\"", path, line.number,
                         line.key.c_str());
                bad = true;
            }
            return ok;
        },
        &err);
    if (read != 0 && err.status == SITEFILE_TOO_LONG)
        snprintf(why, whySize, "%s line %d: %s", path, err.line, err.reason.c_str());
    else if (read != 0)
        snprintf(why, whySize, "cannot read %s: %s", path, err.reason.c_str());
    return read != 0 || bad ? -1 : 0;
}

int capacity_start(capacity_policy *out, FILE *log, const char *prog)
{
    char found[INSTALLPATH_SIZE], why[512] = "";
    capacity_policy policy;
    *out = policy;
    if (getfilepath(CONFIG_SEARCHPATH, CAPACITY_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr)
        return 0;
    if (capacity_loadFile(found, &policy, why, sizeof why) != 0) {
        logprintf(LOGLEVEL_FATAL, log, "Store capacity: %s\n", why);
        fprintf(stderr, "%s: store capacity: %s\n", prog, why);
        return 1;
    }
    *out = policy;
    if (policy.percent >= 0)
        logprintf(LOGLEVEL_NOTICE, log, "New images are refused below %g%% free space.\n",
                  policy.percent);
    else if (policy.bytes > 0)
        logprintf(LOGLEVEL_NOTICE, log, "New images are refused below %llu bytes free.\n",
                  (unsigned long long)policy.bytes);
    return 0;
}

int capacity_refuses(const capacity_policy &policy, const char *dir, char *text, size_t textSize)
{
    if (policy.percent < 0 && policy.bytes == 0)
        return 0;
    struct statvfs vfs;
    // A file system that cannot be asked is left to the write itself.
    if (statvfs(dir, &vfs) != 0 || vfs.f_blocks == 0)
        return 0;
    uint64_t freeBytes = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    double percent = 100.0 * (double)vfs.f_bavail / (double)vfs.f_blocks;
    if ((policy.percent >= 0 && percent < policy.percent) ||
        (policy.bytes > 0 && freeBytes < policy.bytes)) {
        snprintf(text, textSize, "%llu bytes (%.1f%%) free", (unsigned long long)freeBytes,
                 percent);
        return 1;
    }
    return 0;
}
