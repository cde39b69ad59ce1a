// The index rebuild (storeindex rebuild, through core/maintenance.h): rebuilds every index file of
// a store from its image files, to be run while the server is stopped.
#ifndef VELTO_STORE_STOREREBUILD_H
#define VELTO_STORE_STOREREBUILD_H

#include <stdio.h>

// Results of storerebuild_run.
enum {
    STOREREBUILD_OK = 0,      // every image file is in the new index
    STOREREBUILD_PARTIAL = 1, // rebuilt; some files could not be entered or removed
    STOREREBUILD_FAILED = 2,  // not rebuilt; index files not yet replaced stay as they were
};

// Rebuilds the index of the store below base. Removes stale *.tmp and
// DELETEME files, and the index files and directories of series and studies
// that hold no image. Each new index file is written under a temporary name
// and renamed into place; the two study files are renamed last, while the
// marker B/uid/REBUILDING exists. Writes one line per action or problem to
// out (null: nothing) and error causes to err (null: nothing). tier: the
// store's object tier (null: off), from which images moved there are read.
int storerebuild_run(const char *base, FILE *out, FILE *err,
                     const struct tier_config *tier = nullptr);

// Takes a lost store back from its object tier (tier: the site's): every
// image object of this archive under the tier's prefix whose image the
// store lacks (neither its file nor its stub: a new disk, a lost tree or
// part of one) gets its head (fetched from the object's start) and its stub
// written into the tree, then the index is rebuilt from them as
// storerebuild_run does. A store without an archive id takes the one of
// the prefix's marker; a prefix another archive owns is refused. A
// STOREREBUILD_* result.
int storerebuild_fromTier(const char *base, FILE *out, FILE *err, const struct tier_config *tier);

// Re-points the links of the patient link tree B/patient (storeserver -s)
// that lead nowhere: at the head kept beside an image file that moved to
// the object tier, or back at the file when it is there again. Each link
// is replaced by a new one under a temporary name and rename. One line per
// link re-pointed to out (null: nothing); the number re-pointed.
long storerebuild_repairLinks(const char *base, FILE *out);

#endif
