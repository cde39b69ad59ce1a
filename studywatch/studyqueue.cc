// The study queue of studywatch: a singly linked list of heap entries,
// newest first, with one count per state.
#include "studywatch/studyqueue.h"

#include <stdlib.h>
#include <string.h>

void SQ_init(SQ_queue *q)
{
    q->head = NULL;
    q->limit = SQ_DEFAULT_LIMIT;
    for (int s = 0; s < SQ_NSTATES; s++)
        q->count[s] = 0;
}

void SQ_clear(SQ_queue *q)
{
    while (q->head)
        SQ_finish(q, q->head);
}

SQ_entry *SQ_find(const SQ_queue *q, const char *studyuid)
{
    for (SQ_entry *e = q->head; e; e = e->next)
        if (strcmp(e->studyuid, studyuid) == 0)
            return e;
    return NULL;
}

SQ_entry *SQ_find_child(const SQ_queue *q, pid_t child)
{
    for (SQ_entry *e = q->head; e; e = e->next)
        if (e->child == child)
            return e;
    return NULL;
}

// The newest entry of an unknown sender that no child works on, or null.
static SQ_entry *newest_unknown_idle(const SQ_queue *q)
{
    for (SQ_entry *e = q->head; e; e = e->next)
        if (e->origin == SQ_UNKNOWN && (e->state == SQ_WAITING || e->state == SQ_READY))
            return e;
    return NULL;
}

int SQ_announce(SQ_queue *q, const char *studyuid, int64_t now, SQ_origin origin)
{
    size_t len = strlen(studyuid);
    // The parser never hands over a UID that does not fit; cutting one here
    // would merge two studies into one entry.
    if (len >= SQ_UIDSIZE)
        abort();
    SQ_entry *e = SQ_find(q, studyuid);
    if (e) {
        if (origin == SQ_ARCHIVE || e->origin == SQ_UNKNOWN)
            e->lastseen = now;
        if (origin == SQ_ARCHIVE)
            e->origin = SQ_ARCHIVE;
        return 0;
    }
    int result = 1;
    if (SQ_size(q) >= q->limit) {
        SQ_entry *victim = origin == SQ_ARCHIVE ? newest_unknown_idle(q) : NULL;
        if (!victim)
            return -2;
        // Allocated first: if memory has run out, the victim stays.
        e = static_cast<SQ_entry *>(malloc(sizeof *e));
        if (!e)
            return -1;
        SQ_finish(q, victim);
        result = 2;
    } else {
        e = static_cast<SQ_entry *>(malloc(sizeof *e));
        if (!e)
            return -1;
    }
    memset(e, 0, sizeof *e);
    memcpy(e->studyuid, studyuid, len + 1);
    e->origin = origin;
    e->state = SQ_WAITING;
    e->child = -1;
    e->lastseen = now;
    e->next = q->head;
    q->head = e;
    q->count[SQ_WAITING]++;
    return result;
}

void SQ_update_state(SQ_queue *q, SQ_entry *e, SQ_state s)
{
    if (q->count[e->state] == 0)
        abort(); // counts out of step with the list
    q->count[e->state]--;
    e->state = s;
    q->count[s]++;
}

// The last (oldest) entry in state s, with check_quiet only among those last
// announced more than timeout before now; null if there is none. Taking the
// oldest keeps a stream of newer studies from starving an older one.
static SQ_entry *oldest_in_state(const SQ_queue *q, SQ_state s, int64_t now, int64_t timeout,
                                 bool check_quiet)
{
    SQ_entry *found = NULL;
    for (SQ_entry *e = q->head; e; e = e->next) {
        if (e->state != s)
            continue;
        if (check_quiet && !(e->lastseen < now - timeout))
            continue;
        found = e;
    }
    return found;
}

SQ_entry *SQ_promote(SQ_queue *q, int64_t now, int64_t timeout)
{
    SQ_entry *e = oldest_in_state(q, SQ_WAITING, now, timeout, true);
    if (e)
        SQ_update_state(q, e, SQ_READY);
    return e;
}

unsigned SQ_promote_all(SQ_queue *q, int64_t now, int64_t timeout)
{
    unsigned n = 0;
    for (SQ_entry *e = q->head; e; e = e->next) {
        if (e->state == SQ_WAITING && e->lastseen < now - timeout) {
            SQ_update_state(q, e, SQ_READY);
            n++;
        }
    }
    return n;
}

int64_t SQ_next_quiet(const SQ_queue *q, int64_t timeout)
{
    int64_t next = -1;
    for (SQ_entry *e = q->head; e; e = e->next) {
        if (e->state != SQ_WAITING)
            continue;
        int64_t at = e->lastseen + timeout + 1;
        if (next < 0 || at < next)
            next = at;
    }
    return next;
}

SQ_entry *SQ_next_ready(const SQ_queue *q)
{
    // One pass: the last ready entry of each origin is its oldest.
    SQ_entry *archive = NULL, *unknown = NULL;
    for (SQ_entry *e = q->head; e; e = e->next) {
        if (e->state != SQ_READY)
            continue;
        if (e->origin == SQ_ARCHIVE)
            archive = e;
        else
            unknown = e;
    }
    return archive ? archive : unknown;
}

void SQ_finish(SQ_queue *q, SQ_entry *e)
{
    SQ_entry **link = &q->head;
    while (*link && *link != e)
        link = &(*link)->next;
    if (!*link)
        abort(); // not an entry of this queue
    SQ_update_state(q, e, SQ_DONE);
    *link = e->next;
    q->count[SQ_DONE]--;
    free(e);
}

unsigned SQ_count(const SQ_queue *q, SQ_state s)
{
    return q->count[s];
}

unsigned SQ_size(const SQ_queue *q)
{
    unsigned n = 0;
    for (int s = 0; s < SQ_NSTATES; s++)
        n += q->count[s];
    return n;
}
