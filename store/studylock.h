// Study locks: one exclusive lock per study, held by whoever places or
// indexes an image of the study (the write path, a journal's replay, the
// repair of a store cut short) and by a delete in it, so that a delete
// never runs between a store's placing of its file and its index records,
// and two stores of one instance never interleave. The locks are byte
// ranges of B/uid/STUDYLOCKS (one byte per study, chosen by a hash of its
// UID: two studies may share a byte, which only makes them wait for each
// other), taken as open-file-description locks through a descriptor of
// the lock's own, so that a forked worker's lock never merges with another
// process's and closing some other descriptor of the file never drops it.
//
// Lock order: a study lock is taken before any index file's lock and a
// process holds at most one study lock at a time, but for storeindex
// backup, which takes them all at once (studylock_acquireAll) and waits
// for nothing else while it takes them, and a change of stored images
// (core/change.h), which takes the locks of its studies one by one in
// ascending byte order (studylock_slot), as the backup does, each byte
// once: two such changes, or a change and a backup, never wait for each
// other crosswise.
#ifndef VELTO_STORE_STUDYLOCK_H
#define VELTO_STORE_STUDYLOCK_H

#include <stdio.h>
#include <sys/types.h>

#include <string>

// Name of the lock file in B/uid.
#define STUDYLOCK_FILE "STUDYLOCKS"

// One held study lock; the lock ends when it is released or destroyed.
struct studylock {
    int fd = -1;      // the store's descriptor of the lock file (not owned), -1: not held
    off_t slot = 0;   // the first byte locked
    off_t length = 1; // bytes locked from slot (studylock_acquireAll: every study's)
    studylock() = default;
    studylock(const studylock &) = delete;
    studylock &operator=(const studylock &) = delete;
    ~studylock();
};

// The descriptor of the lock file that one store locks through, opened at
// its first lock and kept (one open and one close fewer per stored image):
// a lock is a byte range locked and unlocked through it. Each LocalStore
// owns one, so that two stores in one process (two archives) lock apart,
// as two processes do. Kept with the process and the directory it was
// opened for: a child of a fork shares the parent's open file description,
// whose locks are one owner's, so it opens its own. A store is used by one
// thread at a time and holds at most one study lock, so one description
// serves all of its locks.
struct studylock_file {
    int fd = -1;      // the descriptor, or -1
    int pid = 0;      // the process that opened it
    std::string path; // the lock file it is open on
    studylock_file() = default;
    studylock_file(const studylock_file &) = delete;
    studylock_file &operator=(const studylock_file &) = delete;
    ~studylock_file(); // closes it (a copy a fork inherited: the parent keeps its own)
};

// Waits for the lock of study in uidDir, taken through file (the store's). 0 held; -1 not held
// (errno set; logged at level 8 unless ENOENT: uidDir does not exist).
int studylock_acquire(studylock_file *file, studylock *lock, const char *uidDir, const char *study,
                      FILE *log);

// Waits for the lock of every study at once (storeindex backup: a moment in
// which no image is being placed or indexed and no delete runs): 0 held,
// -1 not held (as studylock_acquire; errno ETIMEDOUT: not all within
// waitSeconds, and nothing is kept). The bytes are taken in ascending
// order, each range that is free at once and each held byte as soon as
// its holder lets go, so that a steady stream of stores cannot hold the
// whole back forever (a lock of the whole range would wait for a moment in
// which no byte at all is held); no deadlock, as whoever holds a study
// lock holds only that one and waits for none. The bytes taken on the way
// keep their studies' writers waiting: a holder that does not let go
// (a writer stuck on its disk) ends the wait at waitSeconds, not never.
int studylock_acquireAll(studylock_file *file, studylock *lock, const char *uidDir, FILE *log,
                         double waitSeconds);

// Takes, without waiting, the byte of the lock file that a running backup
// holds for its whole run (past every study's): 0 held (in lock), 1 a
// backup holds it, -1 not held (as studylock_acquire).
int studylock_tryBackup(studylock_file *file, studylock *lock, const char *uidDir, FILE *log);

// The byte of the lock file that study's lock is (two studies may share one).
off_t studylock_slot(const char *study);

// Ends the lock (a lock not held is passed over).
void studylock_release(studylock *lock);

#endif
