// The object tier's mover (storeindex tier, through core/maintenance.h). One pass over the store
// moves whole studies into the tier by the policy of the tier's settings: every study quiet for the
// set time, and, while the store's free space is below the set share, the least recently changed
// studies first. A study changed more recently than the minimum quiet time (one that may still be
// receiving) is never moved. Run it from cron or a systemd timer beside a
// running server.
#ifndef VELTO_STORE_STORETIER_H
#define VELTO_STORE_STORETIER_H

#include <stdio.h>
#include <time.h>

struct tier_config;
struct compress_config;
struct storetree_study;
struct studylock_file;

// The mover's lock file in the base directory (flock, held for a run).
#define STORETIER_LOCK_FILE "TIERMOVER.lock"
// storetier_run's result when another mover runs on the store.
#define STORETIER_BUSY (-2)
// storetier_run's result when the tier's prefix is another archive's (or
// cannot be claimed: the reason logged).
#define STORETIER_FOREIGN (-3)

// Moves by cfg's policy (dryRun: only lists what a run would move, chosen
// by the same steps), one line per study to out ("moved STUDY IMAGES
// BYTES" / "would move ..."), errors logged by the tier to its log. One
// run at a time per store (STORETIER_LOCK_FILE; a dry run takes no lock).
// The number of images that failed to move (0: all went), STORETIER_BUSY
// when another run holds the lock, STORETIER_FOREIGN when the tier's prefix
// is another archive's, or -1 when base cannot be read or the gateway
// cannot tell who owns the prefix (logged).
// With compress (and locks, the store's study locks), each study is
// compressed first (store/storecompress.h), its failures logged and left
// as they are: an image that cannot be compressed moves as it is.
int storetier_run(const char *base, const tier_config &cfg, int dryRun, FILE *out,
                  const compress_config *compress = nullptr, studylock_file *locks = nullptr);

// The mover's lock (STORETIER_LOCK_FILE, flock): its descriptor, -2 when
// another holder has it, -1 when it cannot be opened. The compressor takes
// it too, so that no image moves while it is rewritten.
int storetier_lock(const char *base);

// When the study last changed: the newest modification time of its image
// files and index files (0: none found).
time_t storetier_lastChange(const storetree_study &study);

#endif
