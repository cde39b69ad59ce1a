// What the front ends use of the object tier and the capacity policy
// (store/tier.h, store/capacity.h): their settings at start, and the file
// to read for an image that may have moved to the tier.
#ifndef VELTO_CORE_ARCHIVETIER_H
#define VELTO_CORE_ARCHIVETIER_H

#include <stdio.h>

#include <string>

#include "store/tier.h"

// Results of archivetier_open.
enum {
    ARCHIVETIER_READABLE = 0,    // held->path is the file to read
    ARCHIVETIER_MISSING = 1,     // neither the image file nor a stub
    ARCHIVETIER_UNAVAILABLE = 2, // in the tier, which cannot give it now (logged)
    ARCHIVETIER_DAMAGED = 3,     // its bytes are not those stored (logged and announced)
};

// Reads the site's ObjectTier and StoreCapacity settings into store (its
// tier, its capacity policy: tier_start, capacity_start): 0, or 1 when the
// program must not start (the reason logged and on stderr with prog's
// name). claim (a cluster node, whose store has the cluster's archive id
// by now): the prefix is claimed for that id as the mover claims it
// (tier_claim), so every node owns the same prefix; another archive's
// prefix refuses the start, a gateway that cannot tell is a warning.
int archivetier_start(class LocalStore *store, FILE *log, const char *prog, bool claim = false);

// The file to read for the image whose file belongs at path: the file
// itself, or its copy fetched from the archive's tier into the cache, kept
// while held lives (tier_openImage), verified against the checksum
// recorded at ingest. A damaged image is never to be read: it is logged,
// and announced on the monitor channel as "STORAGE DAMAGED uid-path"
// (the path below the base directory). An ARCHIVETIER_* result.
// headOnly: only the image's head is read, none of its bytes go out
// (tier_openImage): not verified.
int archivetier_open(const struct archive_context *ctx, const char *path, tier_file *held,
                     bool headOnly = false);

// The SOP class of the image at path from its stub, "" when there is none.
std::string archivetier_stubClass(const char *path);

#endif
