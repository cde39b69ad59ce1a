// The retention policy's settings and the protection flags
// (store/retention.h).
#include "store/retention.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "index/uidtree.h"
#include "runtime/durablefile.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"

// "10%", "20G": a share or an amount, as StoreCapacity's refuse-below.
static bool parseSpace(const std::string &value, retention_policy *policy)
{
    char *end = nullptr;
    double v = strtod(value.c_str(), &end);
    if (end == value.c_str() || !(v >= 0))
        return false;
    std::string unit(end);
    if (unit == "%") {
        if (v >= 100)
            return false;
        policy->percent = v;
        return true;
    }
    static const char *const units[] = {"", "K", "M", "G", "T"};
    for (int u = 0; u < 5; u++)
        if (unit == units[u] && v > 0) {
            policy->bytes = (uint64_t)(v * (double)(1ull << (10 * u)));
            return true;
        }
    return false;
}

// A whole number followed by one unit letter of units: the number and the
// letter, or false.
static bool parseAmount(const std::string &value, const char *units, long max, long *amount,
                        char *unit)
{
    if (value.size() < 2 || strchr(units, value.back()) == nullptr)
        return false;
    std::string digits = value.substr(0, value.size() - 1);
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *amount = strtol(digits.c_str(), nullptr, 10);
    *unit = value.back();
    return *amount > 0 && *amount <= max;
}

int retention_loadFile(const char *path, retention_policy *policy, char *why, size_t whySize)
{
    *policy = retention_policy();
    sitefile_options options;
    options.maxLength = 511;
    bool bad = false;
    sitefile_error err;
    int read = sitefile_read(
        path, options,
        [&](const sitefile_line &line) {
            bool ok = sitefile_isOneWord(line.value) && line.value.size() < 64;
            long amount = 0;
            char unit = 0;
            if (ok && line.key == "delete-below") {
                ok = parseSpace(line.value, policy);
            } else if (ok && line.key == "keep") {
                // At most 1000 years: the cut-off stays a calendar date.
                ok = parseAmount(line.value, "ymd", 365000, &amount, &unit) &&
                     !(unit == 'y' && amount > 1000) && !(unit == 'm' && amount > 12000);
                policy->keepAmount = (int)amount;
                policy->keepUnit = unit;
            } else if (ok && line.key == "quiet") {
                ok = parseAmount(line.value, "smhd", 100000, &amount, &unit);
                long scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 86400;
                policy->quietSeconds = amount * scale;
            } else if (ok && line.key == "interval") {
                char *end = nullptr;
                long v = strtol(line.value.c_str(), &end, 10);
                ok = *end == '\0' && v >= 1 && v <= 86400 * 7;
                policy->intervalSeconds = v;
            } else {
                ok = false;
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

int retention_start(retention_policy *out, FILE *log, const char *prog)
{
    char found[INSTALLPATH_SIZE], why[512] = "";
    *out = retention_policy();
    if (getfilepath(CONFIG_SEARCHPATH, RETENTION_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr)
        return 0;
    retention_policy policy;
    if (retention_loadFile(found, &policy, why, sizeof why) != 0) {
        logprintf(LOGLEVEL_FATAL, log, "Retention: %s\n", why);
        if (prog != nullptr)
            fprintf(stderr, "%s: retention: %s\n", prog, why);
        return 1;
    }
    *out = policy;
    if (policy.percent >= 0)
        logprintf(LOGLEVEL_NOTICE, log,
                  "Retention: the oldest studies are deleted below %g%% free space.\n",
                  policy.percent);
    else if (policy.bytes > 0)
        logprintf(LOGLEVEL_NOTICE, log,
                  "Retention: the oldest studies are deleted below %llu bytes free.\n",
                  (unsigned long long)policy.bytes);
    if (policy.keepAmount > 0)
        logprintf(LOGLEVEL_NOTICE, log,
                  "Retention: studies dated more than %d%c ago are deleted.\n", policy.keepAmount,
                  policy.keepUnit);
    return 0;
}

long retention_cutoffDate(const retention_policy &policy, time_t now)
{
    if (policy.keepAmount <= 0)
        return 0;
    struct tm t;
    localtime_r(&now, &t);
    if (policy.keepUnit == 'y') {
        t.tm_year -= policy.keepAmount;
    } else if (policy.keepUnit == 'm') {
        t.tm_year -= policy.keepAmount / 12;
        t.tm_mon -= policy.keepAmount % 12;
    } else {
        t.tm_mday -= policy.keepAmount;
    }
    // mktime brings a month below 0 or a day beyond the month's back into
    // range (the 29th of February of a year without one: the 1st of March).
    t.tm_isdst = -1;
    t.tm_hour = 12;
    if (mktime(&t) == (time_t)-1)
        return 0;
    return (long)(t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

static std::string protectedPath(const char *base)
{
    return std::string(base) + "/" RETENTION_PROTECTED_FILE;
}

int retention_readProtection(const char *base, retention_protection *out)
{
    *out = retention_protection();
    FILE *f = fopen(protectedPath(base).c_str(), "re");
    if (f == nullptr)
        return errno == ENOENT ? 0 : -1;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        size_t n = strlen(line);
        // A line cut short cannot be: the file is only ever replaced whole.
        if (n == 0 || line[n - 1] != '\n')
            continue;
        line[n - 1] = '\0';
        if (strncmp(line, "study ", 6) == 0)
            out->studies.insert(line + 6);
        else if (strncmp(line, "patient ", 8) == 0)
            out->patients.insert(line + 8);
    }
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int retention_setProtection(const char *base, const char *kind, const std::string &value, bool on,
                            FILE *log)
{
    bool study = strcmp(kind, "study") == 0;
    if ((!study && strcmp(kind, "patient") != 0) || value.empty() || value.size() > 64)
        return 1;
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f)
            return 1;
    if (study && uidtree_uidProblem(value.c_str()) != nullptr)
        return 1;
    // One writer at a time: two changes read, changed and replaced the list
    // each for itself, and the second would drop the first's flag.
    std::string lockPath = std::string(base) + "/" RETENTION_PROTECTED_FILE ".lock";
    durable_fd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.valid() || flock(lock.get(), LOCK_EX) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Retention: cannot lock %s: %s\n", lockPath.c_str(),
                  strerror(errno));
        return -1;
    }
    retention_protection p;
    if (retention_readProtection(base, &p) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Retention: cannot read %s: %s\n",
                  protectedPath(base).c_str(), strerror(errno));
        return -1;
    }
    std::set<std::string> &set = study ? p.studies : p.patients;
    if (on)
        set.insert(value);
    else
        set.erase(value);
    std::string text;
    for (const std::string &s : p.studies)
        text += "study " + s + "\n";
    for (const std::string &s : p.patients)
        text += "patient " + s + "\n";
    durable_file f;
    if (f.create(protectedPath(base), 0644) != 0 || f.write(text.data(), text.size()) != 0 ||
        f.commit() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Retention: cannot write %s: %s\n",
                  protectedPath(base).c_str(), strerror(errno));
        return -1;
    }
    return 0;
}
