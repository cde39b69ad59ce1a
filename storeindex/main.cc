// storeindex: checks the index of a storeserver image store against its
// image files ("check"), rebuilds it from them ("rebuild"), moves quiet
// studies into the object tier ("tier"), compresses the images of quiet
// studies losslessly in place ("compress"), verifies and repairs every
// stored copy of every image ("scrub"), backs a running store up
// ("backup") or restores a backup onto an empty base directory
// ("restore"), makes a de-identified copy of a study into the archive or
// a ZIP ("deidentify"), runs the site's retention policy ("retention",
// "protect"), removes the images rejection notes rejected
// ("purge-rejected"), and changes stored images ("modify", "merge",
// "split": storeindex/changes.cc). A front end: it parses its
// command line, opens the store through the archive core
// (core/maintenance.h, core/archive.h), runs the step and prints the result.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "core/archive.h"
#include "core/deidexport.h"
#include "core/forward.h"
#include "core/maintenance.h"
#include "core/rejection.h"
#include "core/retention.h"
#include "dicomnet/dicomnet.h"
#include "runtime/installpath.h"
#include "runtime/multicast.h"
#include "storeindex/changes.h"

static int usage(const char *prog)
{
    fprintf(
        stderr,
        "Usage: %s check BASEDIR\n       %s rebuild [-f] [--from-tier] BASEDIR\n       %s tier "
        "[-n] BASEDIR\n       %s compress [-n] [--quiet DURATION] BASEDIR [STUDY...]\n       "
        "%s scrub [--rate MB/s] [--head] [-m PORT] BASEDIR\n       %s "
        "backup BASEDIR DEST\n       %s restore BACKUP BASEDIR\n       %s deidentify [-o "
        "OPTIONS] [--series UID] [-m PORT] (--to-archive | --zip FILE) STUDY BASEDIR\n       "
        "%s retention [-n] BASEDIR\n       %s protect [-r] study|patient UID|ID BASEDIR\n       "
        "%s purge-rejected [-n] BASEDIR\n       %s modify|merge|split ... BASEDIR (%s modify "
        "alone: their options)\n",
        prog, prog, prog, prog, prog, prog, prog, prog, prog, prog, prog, prog, prog);
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

// The compressor, beside a running server (the store lock shared, as the
// mover; each image under its study's lock): the site's Compression
// settings, --quiet instead of their quiet time, the studies named
// instead of the quiet ones. Exit 0 every image compressed or left alone
// by the rules, 1 some failed, 2 refused, 3 another compressor or mover
// runs.
static int runCompress(int argc, char **argv)
{
    int dryRun = 0;
    long quiet = -1;
    int i = 2;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-n") == 0 && !dryRun) {
            dryRun = 1;
        } else if (strcmp(argv[i], "--quiet") == 0 && i + 1 < argc && quiet < 0) {
            quiet = maintenance_parseDuration(argv[++i]);
            if (quiet < 0)
                return usage(argv[0]);
        } else {
            return usage(argv[0]);
        }
    }
    if (i >= argc)
        return usage(argv[0]);
    const char *base = argv[i++];
    std::vector<std::string> studies(argv + i, argv + argc);
    compress_config cfg;
    char why[512] = "";
    int settings = maintenance_compressSettings(&cfg, why, sizeof why);
    if (settings == MAINTENANCE_COMPRESS_UNUSABLE) {
        fprintf(stderr, "error: %s\n", why);
        return 2;
    }
    if (quiet >= 0)
        cfg.quietSeconds = quiet;
    if (cfg.quietSeconds < 0 && studies.empty()) {
        fprintf(stderr, "error: no Compression settings along the configuration search path: "
                        "give --quiet or the studies\n");
        return 2;
    }
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    // Only to know the images that are in the tier's care: they stay.
    maintenance_tierSettings(&archive, why, sizeof why);
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a %s\n", base,
                errno == EBUSY ? "restore" : "rebuild");
        maintenance_close(&archive);
        return 2;
    }
    compress_totals totals;
    int failed = maintenance_compress(&archive, cfg, studies, dryRun, stdout, stderr, &totals);
    maintenance_close(&archive);
    if (failed == MAINTENANCE_COMPRESS_BUSY) {
        fprintf(stderr, "error: %s: another compressor or the tier's mover runs on this store\n",
                base);
        return 3;
    }
    if (failed < 0) {
        fprintf(stderr, "error: %s: cannot read the base directory\n", base);
        return 2;
    }
    if (!dryRun) {
        double saved = totals.bytesBefore > 0
                           ? 100.0 * (1.0 - (double)totals.bytesAfter / (double)totals.bytesBefore)
                           : 0;
        printf("images: %zu compressed, %zu left as they are, %zu failed, %zu finished\n",
               totals.compressed, totals.skipped, totals.failed, totals.finished);
        printf("bytes: %llu before, %llu after (%.1f%% saved), %.1f MB/s\n",
               (unsigned long long)totals.bytesBefore, (unsigned long long)totals.bytesAfter, saved,
               totals.encodeSeconds > 0 ? (double)totals.bytesBefore / 1e6 / totals.encodeSeconds
                                        : 0.0);
    }
    return failed == 0 ? 0 : 1;
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

// A de-identified copy of a study (core/deidexport.h) beside a running
// server (the store lock shared): into the archive as a new study, or into
// a ZIP file. Its options: -o a comma-separated list of dates, device,
// patient, refuse-burned-in (core/deidentify.h); --series UID; -m PORT
// (the monitor channel's port, as storeserver's -m; default 1104), where a
// copy's images are announced as the server's are, and the site's
// forwarding rules are applied to them as to any image stored. Prints one
// line: "copied|zipped IMAGES STUDY PSEUDONYM-ID burned-in N refused N
// failed N". 0 all went, 1 some failed or were refused, 2 nothing done.
static int runDeidentify(int argc, char **argv)
{
    deidentify_options options;
    std::string series, zip;
    bool toArchive = false;
    int port = 1104;
    int i = 2;
    for (; i + 2 < argc; i++) {
        char *end = nullptr;
        if (strcmp(argv[i], "-m") == 0 && i + 3 < argc) {
            port = (int)strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || port < 0 || port > 65535)
                return usage(argv[0]);
        } else if (strcmp(argv[i], "-o") == 0 && i + 3 < argc) {
            if (!deidentify_parseOptions(argv[++i], &options))
                return usage(argv[0]);
        } else if (strcmp(argv[i], "--series") == 0 && i + 3 < argc) {
            series = argv[++i];
        } else if (strcmp(argv[i], "--zip") == 0 && i + 3 < argc && zip.empty()) {
            zip = argv[++i];
        } else if (strcmp(argv[i], "--to-archive") == 0) {
            toArchive = true;
        } else {
            return usage(argv[0]);
        }
    }
    if (i != argc - 2 || toArchive == !zip.empty())
        return usage(argv[0]);
    const char *study = argv[argc - 2], *base = argv[argc - 1];
    if (archive_uidProblem(study) != nullptr ||
        (!series.empty() && archive_uidProblem(series.c_str()) != nullptr)) {
        fprintf(stderr, "error: the study (and series) must be UIDs\n");
        return 2;
    }
    deidentify_key key;
    std::string error;
    if (deidentify_loadKey(base, &key, &error) != 0) {
        fprintf(stderr, "error: %s\n", error.c_str());
        return 2;
    }
    char why[512] = "";
    archive_context archive;
    // A copy into the archive is stored as any image is: the site's
    // forwarding rules and the monitor channel see it.
    forward_rules rules;
    int monitor = -1;
    if (toArchive) {
        if (forward_loadRules(nullptr, &rules, why, sizeof why) < 0) {
            fprintf(stderr, "error: %s: %s\n", FORWARD_RULES_FILE, why);
            return 2;
        }
        archive.forwardRules = &rules;
        if (port != 0)
            monitor = multicast_sendsocket((unsigned short)port, "224.0.0.1");
        archive.monitorSock = &monitor;
    }
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
        fprintf(stderr, "error: object tier: %s\n", why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a %s\n", base,
                errno == EBUSY ? "restore" : "rebuild");
        maintenance_close(&archive);
        return 2;
    }
    deidexport_summary sum;
    int r = toArchive ? deidexport_toArchive(&archive, key, options, study, series, &sum, stderr)
                      : deidexport_toZip(&archive, key, options, study, series, zip.c_str(), &sum,
                                         stderr);
    maintenance_close(&archive);
    if (monitor >= 0)
        close(monitor);
    if (r != 0) {
        fprintf(stderr, "error: study %s: %s\n", study,
                toArchive ? "no images, or the index cannot be read" : "no ZIP written");
        return 2;
    }
    printf("%s %zu %s %s burned-in %zu refused %zu failed %zu\n", toArchive ? "copied" : "zipped",
           sum.images, sum.study.empty() ? "-" : sum.study.c_str(),
           sum.pseudonymId.empty() ? "-" : sum.pseudonymId.c_str(), sum.burnedIn, sum.refused,
           sum.failed);
    // Never called clean when the pixels may hold text.
    if (sum.burnedIn > 0)
        printf("warning: %zu image(s): pixel data may hold identifying text\n", sum.burnedIn);
    return sum.failed == 0 && sum.refused == 0 ? 0 : 1;
}

// One pass of the site's retention policy (core/retention.h) beside a
// running server (the store lock shared, as the mover); dryRun: lists what
// would go and changes nothing.
static int runRetention(const char *base, bool dryRun)
{
    char why[512] = "";
    retention_policy policy;
    if (retention_start(&policy, nullptr, "storeindex") != 0)
        return 2;
    if (!policy.active()) {
        fprintf(stderr, "error: no Retention settings along the configuration search path\n");
        return 2;
    }
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
        fprintf(stderr, "error: object tier: %s\n", why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a %s\n", base,
                errno == EBUSY ? "restore" : "rebuild");
        maintenance_close(&archive);
        return 2;
    }
    int r = archive_retention(&archive, policy, dryRun, stdout, stderr);
    maintenance_close(&archive);
    if (r < 0)
        fprintf(stderr, "error: %s: cannot read the index or the protection flags\n", base);
    return r < 0 ? 2 : 0;
}

// Removes the rejected images (core/rejection.h) beside a running server
// (the store lock shared); dryRun: lists them and changes nothing.
static int runPurge(const char *base, bool dryRun)
{
    char why[512] = "";
    archive_context archive;
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
        fprintf(stderr, "error: object tier: %s\n", why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: the store is locked by a %s\n", base,
                errno == EBUSY ? "restore" : "rebuild");
        maintenance_close(&archive);
        return 2;
    }
    int r = archive_purgeRejected(&archive, dryRun, stdout, stderr);
    maintenance_close(&archive);
    if (r < 0)
        fprintf(stderr, "error: %s: cannot read or purge the rejected images\n", base);
    return r < 0 ? 2 : 0;
}

int main(int argc, char **argv)
{
    detect_installpath(argv[0]);
    // The toolkit's own warnings (one per image a rebuild or the mover
    // reads) would bury the lines this tool writes; every step reports
    // what failed itself.
    dicomnet_quiet_toolkit_log();
    // A cluster node's store is a cache of the cluster's database and
    // bucket: every step but check works on a single host's store and
    // would change (or report on) the cache alone, so it refuses rather
    // than succeed at nothing.
    if (argc >= 3 && strcmp(argv[1], "check") != 0) {
        char why[512] = "";
        int node = maintenance_clusterNode(why, sizeof why);
        if (node != 0) {
            if (node < 0)
                fprintf(stderr, "error: %s\n", why);
            else
                fprintf(stderr,
                        "error: this host is a cluster node (a Cluster file along the "
                        "configuration search path): %s works on a single host's store, and a "
                        "node's is a cache of the cluster's; only check runs on a node\n",
                        argv[1]);
            return 2;
        }
    }
    if (argc >= 2 && (strcmp(argv[1], "modify") == 0 || strcmp(argv[1], "merge") == 0 ||
                      strcmp(argv[1], "split") == 0))
        return storeindex_change(argc, argv);
    if (argc == 4 && strcmp(argv[1], "backup") == 0)
        return runBackup(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "restore") == 0)
        return maintenance_restore(argv[2], argv[3], stdout, stderr);
    if (argc >= 3 && strcmp(argv[1], "compress") == 0)
        return runCompress(argc, argv);
    if (argc >= 3 && strcmp(argv[1], "deidentify") == 0)
        return runDeidentify(argc, argv);
    if (argc >= 3 && strcmp(argv[1], "scrub") == 0)
        return runScrub(argc, argv);
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "protect") == 0) {
        // Sets (or with -r clears) a protection flag of retention.
        bool clear = argc == 6 && strcmp(argv[2], "-r") == 0;
        if (argc == 6 && !clear)
            return usage(argv[0]);
        const char *base = argv[argc - 1];
        archive_context archive;
        maintenance_open(&archive, base, ARCHIVE_LOCK_NONE);
        int r = archive_setProtection(&archive, argv[argc - 3], argv[argc - 2], !clear, stderr);
        maintenance_close(&archive);
        if (r == 1)
            return usage(argv[0]);
        return r == 0 ? 0 : 2;
    }
    if (argc >= 3 && strcmp(argv[1], "purge-rejected") == 0) {
        bool dryRun = argc == 4 && strcmp(argv[2], "-n") == 0;
        if (argc == 3 || dryRun)
            return runPurge(argv[argc - 1], dryRun);
        return usage(argv[0]);
    }
    if (argc >= 3 && strcmp(argv[1], "retention") == 0) {
        bool dryRun = argc == 4 && strcmp(argv[2], "-n") == 0;
        if (argc == 3 || dryRun)
            return runRetention(argv[argc - 1], dryRun);
        return usage(argv[0]);
    }
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
        // A cluster node's store is a cache: the cluster's database and
        // bucket are what is checked.
        int findings = maintenance_clusterCheck(&archive, stdout, stderr);
        bool cluster = findings != MAINTENANCE_NOT_CLUSTER;
        if (!cluster)
            findings = maintenance_check(&archive, stdout);
        maintenance_close(&archive);
        if (cluster && findings < 0)
            return 2;
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
