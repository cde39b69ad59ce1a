// storeindex: checks the index of a storeserver image store against its
// image files ("check"), rebuilds it from them ("rebuild"), moves quiet
// studies into the object tier ("tier"), verifies and repairs every
// stored copy of every image ("scrub"), backs a running store up
// ("backup") or restores a backup onto an empty base directory
// ("restore"), and changes stored images ("modify", "merge", "split":
// storeindex/changes.cc). A front end: it parses its
// command line, opens the store through the archive core
// (core/maintenance.h, core/archive.h), runs the step and prints the result.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/archive.h"
#include "core/maintenance.h"
#include "dicomnet/dicomnet.h"
#include "runtime/installpath.h"
#include "storeindex/changes.h"

static int usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s check BASEDIR\n       %s rebuild [-f] [--from-tier] BASEDIR\n       %s tier "
            "[-n] BASEDIR\n       %s scrub [--rate MB/s] [--head] [-m PORT] BASEDIR\n       %s "
            "backup BASEDIR DEST\n       %s restore BACKUP BASEDIR\n       %s modify|merge|split "
            "... BASEDIR (%s modify alone: their options)\n",
            prog, prog, prog, prog, prog, prog, prog, prog);
    return 2;
}

// The tier's mover: beside a running server (it takes the store lock
// shared, as a server does, so that no rebuild runs under it).
static int runTier(const char *base, int dryRun)
{
    char why[512] = "";
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    int r = maintenance_tierSettings(&archive, why, sizeof why);
    if (r != MAINTENANCE_TIER_ON) {
        fprintf(stderr, "error: %s\n",
                r == MAINTENANCE_TIER_OFF ? "no ObjectTier settings along the configuration "
                                            "search path"
                                          : why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a %s\n", base,
                errno == EBUSY ? "restore" : "rebuild");
        maintenance_close(&archive);
        return 2;
    }
    int failed = maintenance_tier(&archive, dryRun, stdout);
    maintenance_close(&archive);
    if (failed == MAINTENANCE_TIER_BUSY) {
        // Not a failure of this run: the other one moves the images.
        fprintf(stderr, "error: %s: another mover runs on this store\n", base);
        return 3;
    }
    if (failed == MAINTENANCE_TIER_FOREIGN) {
        fprintf(stderr,
                "error: %s: the object tier's prefix is another archive's; nothing "
                "moved\n",
                base);
        return 2;
    }
    if (failed < 0)
        fprintf(stderr, "error: %s: cannot read the base directory or reach the object tier\n",
                base);
    return failed == 0 ? 0 : failed < 0 ? 2 : 1;
}

// A backup beside a running server: the store lock shared (no rebuild
// under it), the study locks for a moment (store/storebackup.h).
static int runBackup(const char *base, const char *dest)
{
    char why[512] = "";
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    // Only to leave the tier's cache out: settings that are unusable here
    // do not stop a backup.
    maintenance_tierSettings(&archive, why, sizeof why);
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: %s\n", base,
                errno == EAGAIN  ? "the store is locked by a rebuild"
                : errno == EBUSY ? "a restore into the store has not ended (run it again)"
                                 : "cannot open the store");
        maintenance_close(&archive);
        return 2;
    }
    int r = maintenance_backup(&archive, dest, stdout, stderr);
    maintenance_close(&archive);
    return r;
}

// The scrub, beside a running server (the store lock shared, as the mover).
// Its options: --rate MB/s (default 20), --head, -m PORT (the monitor
// channel's port, as storeserver's -m; default 1104).
static int runScrub(int argc, char **argv)
{
    double rate = 20;
    bool head = false;
    int port = 1104;
    int i = 2;
    for (; i + 1 < argc; i++) {
        char *end = nullptr;
        if (strcmp(argv[i], "--rate") == 0 && i + 2 < argc) {
            rate = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(rate > 0))
                return usage(argv[0]);
        } else if (strcmp(argv[i], "-m") == 0 && i + 2 < argc) {
            port = (int)strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || port < 0 || port > 65535)
                return usage(argv[0]);
        } else if (strcmp(argv[i], "--head") == 0) {
            head = true;
        } else {
            return usage(argv[0]);
        }
    }
    if (i != argc - 1)
        return usage(argv[0]);
    const char *base = argv[i];
    char why[512] = "";
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
        fprintf(stderr, "error: object tier: %s\n", why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a rebuild\n", base);
        maintenance_close(&archive);
        return 2;
    }
    int r = maintenance_scrub(&archive, rate, head, port, stdout);
    maintenance_close(&archive);
    if (r == 2)
        fprintf(stderr, "error: %s: cannot read the base directory\n", base);
    return r;
}

int main(int argc, char **argv)
{
    detect_installpath(argv[0]);
    // The toolkit's own warnings (one per image a rebuild or the mover
    // reads) would bury the lines this tool writes; every step reports
    // what failed itself.
    dicomnet_quiet_toolkit_log();
    if (argc >= 2 && (strcmp(argv[1], "modify") == 0 || strcmp(argv[1], "merge") == 0 ||
                      strcmp(argv[1], "split") == 0))
        return storeindex_change(argc, argv);
    if (argc == 4 && strcmp(argv[1], "backup") == 0)
        return runBackup(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "restore") == 0)
        return maintenance_restore(argv[2], argv[3], stdout, stderr);
    if (argc >= 3 && strcmp(argv[1], "scrub") == 0)
        return runScrub(argc, argv);
    if (argc >= 3 && strcmp(argv[1], "tier") == 0) {
        int dryRun = argc == 4 && strcmp(argv[2], "-n") == 0;
        if (argc == 3 || dryRun)
            return runTier(argv[argc - 1], dryRun);
        return usage(argv[0]);
    }
    if (argc == 3 && strcmp(argv[1], "check") == 0) {
        const char *base = argv[2];
        char why[512] = "";
        // Only reads: beside a server or a rebuild alike, without the lock.
        archive_context archive;
        maintenance_open(&archive, base, ARCHIVE_LOCK_NONE);
        if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
            fprintf(stderr, "error: object tier: %s\n", why);
            maintenance_close(&archive);
            return 2;
        }
        int findings = maintenance_check(&archive, stdout);
        maintenance_close(&archive);
        if (findings < 0) {
            fprintf(stderr, "error: %s: cannot read the base directory\n", base);
            return 2;
        }
        if (findings == 0)
            printf("consistent: %s\n", base);
        else
            printf("findings: %s: %d\n", base, findings);
        return findings == 0 ? 0 : 1;
    }
    int force = 0, fromTier = 0, options = 0;
    for (int i = 2; i < argc - 1; i++, options++) {
        if (strcmp(argv[i], "-f") == 0 && !force)
            force = 1;
        else if (strcmp(argv[i], "--from-tier") == 0 && !fromTier)
            fromTier = 1;
        else
            return usage(argv[0]);
    }
    if (argc >= 3 && argc == 3 + options && strcmp(argv[1], "rebuild") == 0) {
        const char *base = argv[argc - 1];
        // A running server writes index files and temporary files that a
        // rebuild would replace or remove under it: the store lock, which
        // every running server holds shared, keeps the two apart.
        char why[512] = "";
        archive_context archive;
        maintenance_open(&archive, base, ARCHIVE_LOCK_EXCLUSIVE);
        int tierState = maintenance_tierSettings(&archive, why, sizeof why);
        if (tierState == MAINTENANCE_TIER_UNUSABLE) {
            fprintf(stderr, "error: object tier: %s\n", why);
            maintenance_close(&archive);
            return 2;
        }
        int locked = maintenance_lock(&archive), lockError = errno;
        if (locked != 0 && lockError == EBUSY) {
            // Its rerun starts over, and would remove what a rebuild made.
            fprintf(stderr, "error: %s: a restore into the store has not ended; run it again\n",
                    base);
            maintenance_close(&archive);
            return 2;
        }
        // Forced, or a lock that cannot be had at all (the rebuild says
        // what it cannot read): rebuilt without it.
        if (locked != 0 && lockError == EAGAIN && !force) {
            fprintf(stderr,
                    "error: %s: a storeserver is using this store; stop it first "
                    "(rebuild -f rebuilds all the same)\n",
                    base);
            maintenance_close(&archive);
            return 2;
        }
        if (fromTier && tierState != MAINTENANCE_TIER_ON) {
            fprintf(stderr, "error: no ObjectTier settings along the configuration search path: "
                            "there is no tier to rebuild from\n");
            maintenance_close(&archive);
            return 2;
        }
        int result = fromTier ? maintenance_rebuildFromTier(&archive, stdout, stderr)
                              : maintenance_rebuild(&archive, stdout, stderr);
        maintenance_close(&archive);
        return result;
    }
    return usage(argv[0]);
}
