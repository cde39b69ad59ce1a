// Retention: the archive deletes whole studies by the site's policy
// (store/retention.h, the file "Retention") instead of only refusing new
// images when its disk fills:
// - keep: every study whose Study Date is older than the period goes (a
//   study without a Study Date is never deleted by it);
// - delete-below: while the store's file system has less free space than
//   the setting, the least recently changed studies go first. "Changed" is
//   the newest modification time of the study's index files, which every
//   stored image rewrites: the last change, which the store knows without
//   reading anything (the last access it does not keep).
// Never deleted: a protected study, any study of a protected patient
// (Patient ID), and a study changed within the policy's quiet time (10
// minutes by default: a study being received changes with each image; the
// delete of each image also waits for the study's lock, which a store holds
// while it places and indexes an image). Each image goes through
// archive_delete, the archive's one delete path, and each study deleted is
// logged.
//
// The server runs a pass in its housekeeping (the policy's interval);
// `storeindex retention [-n]` runs one by hand (-n: lists what would go
// and changes nothing, chosen by the same steps).
#ifndef VELTO_CORE_RETENTION_H
#define VELTO_CORE_RETENTION_H

#include <stdio.h>

#include <string>

#include "store/retention.h"

struct archive_context;

// One pass of the policy over the archive of ctx (the caller serialises it
// with every other use of the store, as for an ingest): one line per study
// to out (may be null), "deleted STUDY IMAGES BYTES REASON" or with dryRun
// "would delete ...", REASON "keep" or "space"; each deletion logged to
// log. The number of studies deleted (or that would be), or -1 when the
// index or the protection flags cannot be read (nothing deleted).
int archive_retention(const archive_context *ctx, const retention_policy &policy, bool dryRun,
                      FILE *out, FILE *log);

// The protection flags of the store (retention_readProtection): 0 or -1.
int archive_protection(const archive_context *ctx, retention_protection *out);
// Sets or clears one flag (retention_setProtection): 0 done, 1 the value
// is refused, -1 it could not be written (logged).
int archive_setProtection(const archive_context *ctx, const char *kind, const std::string &value,
                          bool on, FILE *log);

#endif
