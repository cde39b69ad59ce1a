// The retention policy's settings and the protection flags, as the store
// keeps them. The site file "Retention" along the configuration search
// path, one setting a line:
//
//     delete-below 10%     # while free space is below this share (or an
//                          # amount: K, M, G, T), the least recently changed
//                          # studies are deleted first
//     keep 10y             # studies whose Study Date is older than this
//                          # (y, m or d) are deleted
//     quiet 10m            # a study changed more recently (a study being
//                          # received) is never deleted (s, m, h, d;
//                          # default 10m)
//     interval 60          # seconds between the server's passes (default:
//                          # 600; a short one is for tests)
//
// Without the file (or without delete-below and keep) nothing is deleted.
//
// Protection: studies (by Study Instance UID) and patients (by Patient ID)
// that retention never deletes, kept in the base directory's file
// "PROTECTED", one flag a line ("study UID" or "patient ID"), replaced
// whole through a temporary name, flush and rename for each change (a
// crash leaves the old list or the new one, never a mix).
#ifndef VELTO_STORE_RETENTION_H
#define VELTO_STORE_RETENTION_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <set>
#include <string>

#define RETENTION_CONFIG_FILENAME "Retention"
#define RETENTION_PROTECTED_FILE "PROTECTED"

struct retention_policy {
    double percent = -1; // delete-below as a share of the file system (-1: none)
    uint64_t bytes = 0;  // delete-below as an amount (0: none)
    int keepAmount = 0;  // keep: 0 none
    char keepUnit = 0;   // 'y', 'm' or 'd'
    long quietSeconds = 600;
    long intervalSeconds = 600;
    bool active() const { return percent >= 0 || bytes > 0 || keepAmount > 0; }
};

// Reads the settings at path: 0, or -1 with a reason in why.
int retention_loadFile(const char *path, retention_policy *policy, char *why, size_t whySize);

// Looks for "Retention" along the configuration search path and makes it
// *policy (inactive without the file); logs it or why it is unusable (then
// on stderr with prog's name too). 0, or 1: the program must not start.
int retention_start(retention_policy *policy, FILE *log, const char *prog);

// The oldest Study Date (YYYYMMDD, as a number) that keep lets stay at
// now (local time): a study dated before it goes. 0 without keep.
long retention_cutoffDate(const retention_policy &policy, time_t now);

// The protection flags of the store at base.
struct retention_protection {
    std::set<std::string> studies;  // Study Instance UIDs
    std::set<std::string> patients; // Patient IDs
};

// Reads base's flags: 0 (a missing file: none), or -1 (errno set) when the
// file cannot be read: the caller then deletes nothing.
int retention_readProtection(const char *base, retention_protection *out);

// Sets (on) or clears one flag: kind "study" or "patient", value the UID
// (a well-formed one) or ID (no control characters, 1..64 characters). Serialised with other
// writers by a lock on the file "PROTECTED.lock". 0 done, 1 the value is
// refused, -1 it could not be written (logged).
int retention_setProtection(const char *base, const char *kind, const std::string &value, bool on,
                            FILE *log);

#endif
