// The store check (storeindex check, through core/maintenance.h): compares the four kinds of index
// file of a store with each other and with the UID tree, and reports every inconsistency.
#ifndef VELTO_STORE_STORECHECK_H
#define VELTO_STORE_STORECHECK_H

#include <stdio.h>

// Kinds of finding, the first word of each line written to out.
#define STORECHECK_MALFORMED "malformed"       // index length not a whole number of records
#define STORECHECK_OUT_OF_STEP "out-of-step"   // the two study files disagree
#define STORECHECK_TORN "torn"                 // record neither live nor cleared
#define STORECHECK_DUPLICATE "duplicate"       // one key live twice in one index
#define STORECHECK_MISSING "missing-file"      // index entry without its file or directory
#define STORECHECK_UNINDEXED "unindexed"       // file or directory without its index entry
#define STORECHECK_EMPTY_DIR "empty-dir"       // directory with neither images nor index entry
#define STORECHECK_MISPLACED "misplaced"       // entry or directory in the wrong place
#define STORECHECK_STALE_TMP "stale-tmp"       // temporary file of an unfinished write
#define STORECHECK_DELETEME "stale-deleteme"   // DELETEME of an unfinished delete
#define STORECHECK_INTENT "unfinished-delete"  // intent file of a delete cut short
#define STORECHECK_JOURNAL "unwritten-journal" // image journal a dead process left
#define STORECHECK_REBUILD "interrupted-rebuild"
#define STORECHECK_UNREADABLE "unreadable"         // file or directory that cannot be read
#define STORECHECK_TIER_MISSING "tier-missing"     // stub whose object is gone or of another size
#define STORECHECK_TIER_UNCLAIMED "tier-unclaimed" // object that no stub claims
#define STORECHECK_TIER_FOREIGN "tier-foreign"     // the tier's prefix is another archive's
#define STORECHECK_NO_TREE "missing-tree"          // no image, while the tier holds objects
// Warnings, written as findings are but not counted (the store stays
// consistent): an image without a line in its series' CHECKSUMS (stored
// before checksums were kept; rebuild adds it), and lines of images that
// are gone (left by deletes; scrub drops them).
#define STORECHECK_NO_CHECKSUM "no-checksum"
#define STORECHECK_STALE_CHECKSUM "stale-checksum"
// A warning: a compression cut short (store/storecompress.h); the image is
// whole meanwhile, the next storeindex compress finishes it.
#define STORECHECK_COMPRESSING "unfinished-compression"

// Checks the store below base (and, with its object tier on (tier: null
// off), the tier's objects of the store against the stubs), writing one line "KIND: PATH: text" per
// finding to out (null: nothing written). Returns the number of findings
// (0: consistent, also when the store is still empty and its tier holds
// nothing of it; a tier that cannot be listed is a finding), or -1 when
// base itself cannot be read.
int storecheck_run(const char *base, FILE *out, const struct tier_config *tier = nullptr);

#endif
