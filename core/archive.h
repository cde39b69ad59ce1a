// The archive core: what every front end (the DICOM server, the web server)
// does with the image store, between the protocol and the store. An
// archive_context names the store and the site's choices; ingest takes one
// received image into the archive: the store's checks and write, the
// patient link tree when the site keeps one, the bookkeeping of storage
// commitment, the announcement on the monitor channel, and the result as a
// DIMSE status. The flush before a front end confirms what it stored is
// archive_flush.
//
// A front end includes this header, not the store's: the store's type is
// named here only so that a front end can hand it over.
#ifndef VELTO_CORE_ARCHIVE_H
#define VELTO_CORE_ARCHIVE_H

#include "dcmtk/config/osconfig.h"

#include <stdio.h>

#include <string>

#include "dcmtk/dcmdata/dcdatset.h"

#include "store/localstore.h"

// The statuses of an ingest, as a C-STORE response (and a STOW-RS
// instance) carries them.
enum {
    ARCHIVE_STORED = 0x0000,            // stored
    ARCHIVE_EXISTS = 0xB006,            // already stored and kept (Elements Discarded)
    ARCHIVE_REFUSED_NOSPACE = 0xA700,   // not known to be stored (Out of Resources)
    ARCHIVE_CANNOT_UNDERSTAND = 0xC000, // a UID missing or refused
};

// Called after an image was stored, with its UIDs (never null).
typedef void (*archive_storedHook)(void *arg, const char *study, const char *series,
                                   const char *instance);

// What the front ends share of one archive. Everything is borrowed and
// must outlive every call that uses the context.
struct archive_context {
    LocalStore *store = nullptr; // the image store
    bool patientLinks = false;   // keep the patient link tree (-s)
    // The connected send socket of the monitor channel; null or -1: no
    // announcements. A pointer, because a front end may open the socket
    // later than it sets up the context.
    const int *monitorSock = nullptr;
    archive_storedHook stored = nullptr; // storage commitment bookkeeping, or null
    void *storedArg = nullptr;
};

// The UIDs of an ingested image ("" where the dataset has none).
struct archive_ingested {
    std::string sopClass, sopInstance, study, series;
};

// Takes ds (only read) into the archive: written into the store (an image
// already stored is replaced when overwrite is non-zero, else kept), linked
// into the patient link tree with patientLinks; when stored, the stored
// hook is called and "STORAGE STOREUID study series instance" announced.
// The caller serialises calls on one context (the store is not thread-safe)
// and calls archive_flush before it tells a peer that the image is on disk.
// Returns an ARCHIVE_* status; *out (may be null) gets the image's UIDs.
unsigned archive_ingest(const archive_context *ctx, DcmDataset *ds, int overwrite,
                        archive_ingested *out);

// Registers DCMTK's decoders (the JPEG family, JPEG-LS, RLE) with the
// toolkit, once per process however often it is called (thread-safe): for
// a front end that sends images in another transfer syntax than they were
// stored in, or renders them.
void archive_registerDecoders();

// Flushes what ingests (and every other write of this process to the
// store) changed since the last flush: 0 on disk, -1 after a log.
int archive_flush(const archive_context *ctx);

#endif
