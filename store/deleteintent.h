// Intent files of deletes: before a delete changes anything in the store
// it writes B/uid/DELETING.PID.N, one line "S<TAB>R<TAB>I\n" naming what it
// deletes (R and I empty for the series and study forms), and holds a lock
// (flock) on it until it has removed it again, after the last step. A
// process that dies in between leaves the file, and whoever starts next on
// the store (the server's listener, storeindex rebuild) finishes that
// delete before anything else reads the index. The lock tells a live
// delete (skipped) from a dead one.
#ifndef VELTO_STORE_DELETEINTENT_H
#define VELTO_STORE_DELETEINTENT_H

#include <stdio.h>

#include <string>

// File names of intents begin with this.
#define DELETEINTENT_PREFIX "DELETING."

// One intent in progress: the locked file and its name.
struct deleteintent {
    int fd = -1;
    std::string path;
};

// Writes and locks the intent file for the UIDs (series and image may be
// null) in uidDir. 0 written; -1 with errno set (ENOENT: uidDir does not
// exist, so there is nothing to delete), other failures logged at level 8.
int deleteintent_begin(const char *uidDir, const char *study, const char *series, const char *image,
                       deleteintent *intent, FILE *log);

// The delete is done: removes the intent file, then closes it (ending the
// lock). Leaves intent empty.
void deleteintent_end(deleteintent *intent, FILE *log);

// Called for each unfinished delete: the UIDs as written (series and image
// null when empty).
typedef void (*deleteintent_finisher)(void *arg, const char *study, const char *series,
                                      const char *image);

// Finds the intent files in uidDir that no live process holds, calls
// finish for each complete one (a torn one was written before its delete
// changed anything), and removes them. The number of deletes finished, 0
// when uidDir does not exist, -1 when it cannot be listed (logged).
int deleteintent_finishAll(const char *uidDir, deleteintent_finisher finish, void *arg, FILE *log);

// Non-zero when name (without directory) is the name of an intent file.
int deleteintent_isIntent(const char *name);

#endif
