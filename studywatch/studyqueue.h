// The study queue of studywatch: one entry per announced study that has not
// been finished yet, with its state, its child and the time it was last
// announced, and one count per state.
#ifndef VELTO_STUDYWATCH_STUDYQUEUE_H
#define VELTO_STUDYWATCH_STUDYQUEUE_H

#include <stdint.h>
#include <sys/types.h>

// Room for a study UID: at most 199 characters and a NUL.
#define SQ_UIDSIZE 200

// Life of an entry: waiting (images arriving), ready (quiet for longer than
// the timeout), running (its child works on it), done (child ended; the
// entry is freed right after).
enum SQ_state { SQ_WAITING = 0, SQ_READY = 1, SQ_RUNNING = 2, SQ_DONE = 3 };
#define SQ_NSTATES 4

// Who announced a study: the archive that studywatch follows, or a sender
// it does not know (anyone on the segment can send to the channel).
enum SQ_origin { SQ_UNKNOWN = 0, SQ_ARCHIVE = 1 };

struct SQ_entry {
    SQ_entry *next;            // next older entry, or null
    char studyuid[SQ_UIDSIZE]; // the study UID as announced, NUL-terminated
    SQ_state state;
    SQ_origin origin; // SQ_ARCHIVE once the archive announced it
    pid_t child;      // -1 until a child is started
    int64_t lastseen; // monotonic milliseconds of the last announcement
};

// Studies the queue holds at most (SQ_init's limit): announcements of new
// studies beyond it are refused, so that a flood of forged announcements
// cannot make the daemon's memory grow without bound. The archive's own
// studies take the place of unknown senders' ones that have not started,
// so such a flood cannot lock them out.
#define SQ_DEFAULT_LIMIT 10000u

// The queue owns its entries; new entries go to the head, so the list runs
// from newest to oldest. count[s] is always the number of entries in state s.
struct SQ_queue {
    SQ_entry *head;
    unsigned count[SQ_NSTATES];
    unsigned limit; // most entries at once
};

// Makes q empty (it must not hold entries), with the default limit.
void SQ_init(SQ_queue *q);

// Frees every entry and makes q empty.
void SQ_clear(SQ_queue *q);

// The entry of exactly this study UID, in any state, or null.
SQ_entry *SQ_find(const SQ_queue *q, const char *studyuid);

// The entry whose child has this process id, or null.
SQ_entry *SQ_find_child(const SQ_queue *q, pid_t child);

// Records an announcement of studyuid (at most SQ_UIDSIZE - 1 characters;
// longer is a programming error) from origin at time now: refreshes the
// entry's last-seen time if the study is queued (returns 0), else puts a new
// waiting entry at the head (returns 1). An unknown sender never refreshes
// an entry the archive announced (it could hold the study back for ever);
// the archive's announcement makes an unknown sender's entry the archive's.
// At the limit, an archive study takes the place of the newest unknown
// sender's entry that is not running (freed; returns 2); an unknown
// sender's new study is refused. Returns -1 if memory ran out, -2 if the
// queue is full and nothing could make room; nothing changes then.
int SQ_announce(SQ_queue *q, const char *studyuid, int64_t now, SQ_origin origin = SQ_ARCHIVE);

// Moves e to state s, keeping the counts. Every state change goes through it.
void SQ_update_state(SQ_queue *q, SQ_entry *e, SQ_state s);

// Makes the oldest waiting entry whose last announcement lies more than
// timeout before now ready, and returns it; null if there is none. At most
// one entry per call.
SQ_entry *SQ_promote(SQ_queue *q, int64_t now, int64_t timeout);

// Makes every waiting entry whose last announcement lies more than timeout
// before now ready, in one pass. Returns how many.
unsigned SQ_promote_all(SQ_queue *q, int64_t now, int64_t timeout);

// The earliest time at which a waiting entry becomes quiet enough to be
// promoted (its last announcement plus timeout plus 1), or -1 if none waits.
int64_t SQ_next_quiet(const SQ_queue *q, int64_t timeout);

// The oldest ready entry of the archive, else the oldest ready entry of an
// unknown sender, or null.
SQ_entry *SQ_next_ready(const SQ_queue *q);

// Makes e done, unlinks it and frees it; it leaves every count.
void SQ_finish(SQ_queue *q, SQ_entry *e);

// Number of entries in state s.
unsigned SQ_count(const SQ_queue *q, SQ_state s);

// Number of entries in every state.
unsigned SQ_size(const SQ_queue *q);

#endif
