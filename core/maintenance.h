// The archive's upkeep, as storeindex runs it: the check of the index
// against the image files, its rebuild from them, and one pass of the
// object tier's mover, each on the store of an archive opened here
// (archive_open, core/archive.h) with the store lock that the step needs.
// A front end reads the tier's settings, opens the archive, calls the step
// and prints its result; what each step does to the files is below this
// line (store/storecheck.h, store/storerebuild.h, store/storetier.h).
#ifndef VELTO_CORE_MAINTENANCE_H
#define VELTO_CORE_MAINTENANCE_H

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "store/storecompress.h"
#include "store/storescrub.h"

struct archive_context;

// Results of maintenance_rebuild (the same numbers are storeindex's exit
// codes).
enum {
    MAINTENANCE_REBUILT = 0,        // every image file is in the new index
    MAINTENANCE_REBUILT_PARTLY = 1, // rebuilt; some files could not be entered or removed
    MAINTENANCE_NOT_REBUILT = 2,    // not rebuilt; index files not yet replaced stay as they were
};

// Results of maintenance_tierSettings.
enum {
    MAINTENANCE_TIER_UNUSABLE = -1, // settings found but unusable (reason in why; tier off)
    MAINTENANCE_TIER_OFF = 0,       // no ObjectTier settings along the configuration search path
    MAINTENANCE_TIER_ON = 1,        // the store's tier is on
};

// Opens the archive of the store at base into ctx (an archive_context not
// yet opened) for the steps below, without the site's tier and capacity
// settings (maintenance_tierSettings reads the tier's) and without the
// store lock yet (maintenance_lock takes it): lock is the ARCHIVE_LOCK_* of
// core/archive.h it is to take, shared, as every process that serves the
// store holds it for its life, or exclusive (the rebuild, which replaces
// files a server writes). maintenance_close ends it.
void maintenance_open(archive_context *ctx, const char *base, int lock);
// Reads the site's ObjectTier settings for the store of ctx and makes them
// its tier: a MAINTENANCE_TIER_* result. Call before any step, before
// threads or forks.
int maintenance_tierSettings(archive_context *ctx, char *why, size_t whySize);
// Takes the store lock as maintenance_open was told: 0, or -1 with errno
// EAGAIN (the lock is held in the other mode), EBUSY (a restore into the
// store has not ended) or ENOLCK (it could not be taken: the directory
// cannot be opened); the archive stays open without it.
int maintenance_lock(archive_context *ctx);
// Ends what maintenance_open opened (an archive not opened: nothing).
void maintenance_close(archive_context *ctx);

// Checks the store of ctx (opened by maintenance_open) against its index (and, with the tier on,
// the tier's objects against the stubs), one line "KIND: PATH: text" per
// finding to out (null: nothing written). The number of findings (0:
// consistent, also when the store is still empty), or -1 when base itself
// cannot be read. It only reads.
int maintenance_check(const archive_context *ctx, FILE *out);

// The check of a cluster node's store (a Cluster file along the search
// path, core/archive.h): the cluster's database against its bucket, this
// node's files being a cache. Every image whose row says its home is the
// bucket has its object, of the row's size; every image object under the
// archive's prefix has a row (one without is a store a kill cut short
// between its upload and its commit, or one in progress: reported, not
// removed); the uploads still queued on nodes' disks are counted. One line
// "KIND: KEY: text" per finding to out. The number of findings,
// MAINTENANCE_NOT_CLUSTER when there is no Cluster file (the single-host
// check applies), or -1 when the database or the bucket cannot be read
// (why on err). The tier's settings are loaded first
// (maintenance_tierSettings). It only reads.
enum { MAINTENANCE_NOT_CLUSTER = -2 };
// Whether this host is a cluster node (a Cluster file along the search
// path): 1 it is, 0 not, -1 the file is unusable (why says so).
int maintenance_clusterNode(char *why, size_t whySize);
int maintenance_clusterCheck(const archive_context *ctx, FILE *out, FILE *err);

// Rebuilds every index file of the store of ctx from its image files,
// one line per action or problem to out and error causes to err (null:
// nothing). Each new file is written under a temporary name and renamed
// into place, so that a rebuild cut short leaves a store a later rebuild
// finishes. A MAINTENANCE_REBUILT* result.
int maintenance_rebuild(const archive_context *ctx, FILE *out, FILE *err);
// The same after taking the tier's images back into a store that lost its
// files (store/storerebuild.h storerebuild_fromTier): the tier must be on.
int maintenance_rebuildFromTier(const archive_context *ctx, FILE *out, FILE *err);

// One pass of the tier's mover over the store of ctx (its tier on:
// maintenance_tierSettings gave MAINTENANCE_TIER_ON; with the site's
// Compression settings saying before-tier, each study compressed first),
// maintenance_tierSettings gave MAINTENANCE_TIER_ON), one line per study to
// out ("moved STUDY IMAGES BYTES", or with dryRun only "would move ..."):
// the number of images that failed to move (0: all went), -1 when base
// cannot be read, or MAINTENANCE_TIER_BUSY when another mover runs on the
// store (one at a time; a dry run takes no lock).
#define MAINTENANCE_TIER_BUSY (-2)
// maintenance_tier's result when the tier's prefix is another archive's.
#define MAINTENANCE_TIER_FOREIGN (-3)
int maintenance_tier(const archive_context *ctx, int dryRun, FILE *out);
// Results of maintenance_compressSettings.
enum {
    MAINTENANCE_COMPRESS_UNUSABLE = -1, // a Compression file that is unusable (reason in why)
    MAINTENANCE_COMPRESS_OFF = 0,       // no Compression file (the defaults in *cfg)
    MAINTENANCE_COMPRESS_ON = 1,        // read into *cfg
};
// Reads the site's Compression settings (store/storecompress.h) into cfg.
int maintenance_compressSettings(compress_config *cfg, char *why, size_t whySize);
// A duration as the site files write it ("2d", "12h", "5m", "10s" or
// seconds): seconds, or -1 when malformed.
long maintenance_parseDuration(const char *text);
// One compression pass over the store of ctx (opened, the store lock
// shared and taken), by cfg: the studies named (whatever their age) or
// every study quiet for cfg->quietSeconds; one line per study to out,
// each image's failure to err (store/storecompress.h). The number of
// images that failed, -1 when base cannot be read, or
// MAINTENANCE_COMPRESS_BUSY when another compressor or the tier's mover
// runs on the store.
#define MAINTENANCE_COMPRESS_BUSY (-2)
int maintenance_compress(const archive_context *ctx, const compress_config &cfg,
                         const std::vector<std::string> &studies, int dryRun, FILE *out, FILE *err,
                         compress_totals *totals);

// Verifies every copy of every image of the store of ctx against the
// checksum recorded at ingest and repairs what it can (store/storescrub.h),
// beside a running server (the store lock shared). rateMBs: bytes read per
// second at most, in MB; headOnly: objects checked by HEAD, not read;
// monitorPort: where to announce (0: nowhere). One line per finding and
// repair to out. 0 nothing found that was not repaired, 1 something was,
// 2 the base directory cannot be read.
int maintenance_scrub(const archive_context *ctx, double rateMBs, bool headOnly, int monitorPort,
                      FILE *out);
// The progress or last result of the scrub of the store of ctx (its status
// file, for /status and /metrics): 0, 1 never run, -1 unreadable.
int maintenance_scrubStatus(const archive_context *ctx, storescrub_status *status);

// Backs up the store of ctx (opened by maintenance_open with the lock
// shared, taken: a server may run on it) into dest, a new or empty
// directory outside the store (store/storebackup.h): progress and figures
// to out, failures to err. The tier's read-back cache is left out. A
// STOREBACKUP_* result (0 done, 1 failed with the store unchanged and no
// backup in dest, 2 refused).
int maintenance_backup(archive_context *ctx, const char *dest, FILE *out, FILE *err);

// Restores the complete backup at backup into base (a new or empty
// directory): the files copied, then the store opened alone (lock
// exclusive) and what the backup holds of dead processes finished as any
// start does (images of a dead worker's journal written, deletes and stores
// cut short finished), then checked (the findings to out). 0 restored and
// consistent, 1 restored with findings or a step failed, 2 refused.
int maintenance_restore(const char *backup, const char *base, FILE *out, FILE *err);

#endif
