// Forwarding: the site's rules ("ForwardRules" along the configuration
// search path) that send stored images on to peers of the AE title map, and
// the persistent queue of forwarding jobs in the store (BASE/forward/) that
// the server's forwarder works through and the web shows and adds to.
//
// A job is one small file, ID.job, replaced through a temporary name, a
// flush and a rename; the instances already delivered by it are appended,
// one UID per line, to ID.done. An on-store job of an image being stored
// is ID.held until the image is (forward_hold). A job selects a study, a series or one
// image; it is sent by the forwarder (server/forwarder.h), and delivery is
// at least once: an image whose C-STORE response came but whose line in
// ID.done did not reach the file before a crash is sent again after the
// restart.
#ifndef VELTO_CORE_FORWARD_H
#define VELTO_CORE_FORWARD_H

#include "dcmtk/config/osconfig.h"

#include <stddef.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

#include "index/keymatch.h"

// The rules file along the configuration search path, and the queue's
// directory below the store's base directory.
#define FORWARD_RULES_FILE "ForwardRules"
#define FORWARD_DIR "forward"

// When a rule's job is made.
enum {
    FORWARD_ON_STORE = 0, // as each image is stored (a job per image)
    FORWARD_ON_QUIET = 1, // once its study has had no new image for a while
};
// How quiet a study must be, by default: studywatch's default quiet time.
enum { FORWARD_DEFAULT_QUIET = 30 };
// Attempts of a job before it is marked failed, by default.
enum { FORWARD_DEFAULT_MAX_ATTEMPTS = 8 };
// Days the history of finished jobs is kept, by default, and its most
// bytes (the oldest lines go first when it holds more).
enum { FORWARD_DEFAULT_HISTORY_DAYS = 7 };
enum { FORWARD_HISTORY_MAX_BYTES = 4 << 20 };
// The longest wait between two attempts, in seconds.
enum { FORWARD_MAX_WAIT = 3600 };

// The transfer syntax a job sends in.
enum {
    FORWARD_SYNTAX_STORED = 0,   // as stored where the peer takes it (as a C-MOVE does)
    FORWARD_SYNTAX_EXPLICIT = 1, // Explicit VR Little Endian (decoded when compressed)
    FORWARD_SYNTAX_IMPLICIT = 2, // Implicit VR Little Endian (decoded when compressed)
};

// One condition of a rule: an attribute's key, matched against the stored
// image's value as C-FIND matches it (index/keymatch.h).
struct forward_condition {
    DcmTagKey tag;
    std::string value; // as written
    keymatch_key key;
};

// One rule of the file.
struct forward_rule {
    int line = 0;
    std::string destination;                   // AE title of the map
    int when = FORWARD_ON_STORE;               // FORWARD_ON_*
    unsigned quiet = FORWARD_DEFAULT_QUIET;    // FORWARD_ON_QUIET: seconds
    int syntax = FORWARD_SYNTAX_STORED;        // FORWARD_SYNTAX_*
    std::string calling;                       // calling AE title pattern ("" any)
    std::vector<forward_condition> conditions; // all must match
    // deidentify=yes|OPTIONS: the images go de-identified (core/
    // deidentify.h): "" not, "yes" by the basic profile, else its options
    // comma separated (dates, device, patient, refuse-burned-in).
    std::string deidentify;
};

// The rules file.
struct forward_rules {
    std::vector<forward_rule> rules;
    int maxAttempts = FORWARD_DEFAULT_MAX_ATTEMPTS;
    unsigned historyDays = FORWARD_DEFAULT_HISTORY_DAYS; // "history DAYS"
    std::string path;                                    // the file read ("": none)
};

// Parses the text of a rules file into *rules (replaced). 0, or -1 with a
// one-line reason ("line N: ...") in error (errorSize bytes).
int forward_parseRules(const std::string &text, forward_rules *rules, char *error,
                       size_t errorSize);
// Reads path, or FORWARD_RULES_FILE along the configuration search path
// when path is null: 0 read, 1 no such file (no rules), -1 unreadable or
// malformed (error as above; *rules then holds none).
int forward_loadRules(const char *path, forward_rules *rules, char *error, size_t errorSize);

// The line of the first rule whose destination is title (blanks around
// either not counted), or 0.
int forward_ruleTo(const forward_rules *rules, const char *title);

// The job states.
enum {
    FORWARD_PENDING = 0, // to be sent (now, or after its wait)
    FORWARD_FAILED = 1,  // gave up after the last attempt; waits for a retry
    FORWARD_DONE = 2,    // delivered (kept only for jobs submitted from the web)
};

// One job, as its file holds it, with what its .done file says.
struct forward_job {
    std::string id;
    std::string destination;
    std::string study, series, instance; // series, instance: "" for a wider job
    int syntax = FORWARD_SYNTAX_STORED;
    std::string origin; // "rule N", "web USER"
    // As forward_rule::deidentify: the images are sent de-identified.
    std::string deidentify;
    unsigned quiet = 0; // a study's quiet job: seconds after its last image
    int state = FORWARD_PENDING;
    int attempts = 0;      // tries that failed
    long long next = 0;    // earliest next try (seconds since the epoch)
    long long created = 0; // seconds since the epoch
    int total = 0;         // images the last try selected (0: not tried yet)
    int failed = 0;        // images that failed at the last try
    std::string error;     // why the last try failed
    // Read from the files, never written:
    int sent = 0;            // lines of ID.done
    long long touchedNs = 0; // the job file's modification time (a quiet job's last image)
};

// A new job id, in the order jobs are made (seconds, nanoseconds, process,
// a counter): letters, digits and "-".
std::string forward_newId();
// The id of rule r's quiet job of study: one per rule, destination and
// study.
std::string forward_quietId(const forward_rule &r, const char *study);
// Whether rule r asks for the image ds stored by caller (the calling AE
// title; null or "" from the web): its calling pattern and every
// condition match, and caller is not its destination.
bool forward_ruleMatches(const forward_rule &r, DcmDataset *ds, const char *caller);

// The name of a state ("pending", "failed", "done").
const char *forward_stateName(int state);
// The name of a syntax ("stored", "explicit", "implicit").
const char *forward_syntaxName(int syntax);

// The queue's directory below baseDir.
std::string forward_dir(const char *baseDir);

// After an image was stored: makes the jobs that the rules ask for it,
// caller being the calling AE title (null or "" from the web). A rule
// whose destination is the caller makes none: the image came from there,
// and sending it back would start a loop between two archives. A job of an
// on-store rule is on disk (flushed, with its directory) when this returns;
// a quiet rule's study job is made once and then has its time refreshed.
// 0, or -1 after a log (a job could not be written): the caller must not
// confirm the image.
int forward_noteStored(const char *baseDir, const forward_rules *rules, DcmDataset *ds,
                       const char *caller, const char *study, const char *series,
                       const char *instance, FILE *log);

// The on-store jobs of one image while it is being stored: each written
// whole and flushed as ID.held, which the forwarder does not see, and held
// open with a lock (flock) that tells a start beside a live store from a
// dead one's leftover. forward_keep makes them jobs once the image is
// stored, forward_drop removes them when it is not: neither needs room on
// the disk, so a full disk cannot leave an image without its jobs or jobs
// without their image. What a crash leaves (a held job, the image placed
// or not) is settled at the next start (forward_settleHeld).
struct forward_held {
    std::vector<std::string> ids;
    std::vector<int> fds; // open and locked, one per id
};

// Before an image is stored (before it can count as stored): the jobs that
// the rules ask for it, as forward_noteStored makes them, but with each
// on-store job held (above). A quiet rule's study job is made or refreshed
// at once: it selects at its time whatever the study then holds, so one
// made for an image that then fails is harmless. 0 with *held filled, or
// -1 after a log ("Cannot write forwarding job ..."): nothing is held and
// the caller refuses the image.
int forward_hold(const char *baseDir, const forward_rules *rules, DcmDataset *ds,
                 const char *caller, const char *study, const char *series, const char *instance,
                 forward_held *held, FILE *log);
// The image is stored: its held jobs become jobs (ID.held renamed ID.job,
// which wakes the forwarder), and held is emptied. 0, or -1 after a log:
// those not renamed stay held (the caller takes the image back and drops
// them, or leaves them for the next start when the image stays).
int forward_keep(const char *baseDir, forward_held *held, FILE *log);
// The image is not stored: its held jobs are removed (a job already made of
// one by a forward_keep that failed part way too), and held is emptied.
void forward_drop(const char *baseDir, forward_held *held);
// Leaves held jobs as they are, unlocked, for the next start (the image
// stays, but its jobs could not be made): held is emptied.
void forward_leaveHeld(forward_held *held);
// At a start, once the store's own repairs are done: each held job that no
// live store holds becomes a job when stored(arg, job) says that its image
// is in the store, and is removed when not (or when it is torn: written
// before its image was placed). The number made jobs.
int forward_settleHeld(const char *baseDir, bool (*stored)(void *arg, const forward_job &job),
                       void *arg, FILE *log);

// Makes a new job from job (id, state, attempts, next and created are set
// here): 0 with job->id set, or -1 after a log.
int forward_submit(const char *baseDir, forward_job *job, FILE *log);

// Every job, in the order of their ids (the order they were made). 0, or
// -1 when the directory cannot be read (none yet: 0 and an empty list).
int forward_list(const char *baseDir, std::vector<forward_job> *jobs);
// One job: 1 read, 0 no such job (or an id that is not one), -1 unreadable.
int forward_read(const char *baseDir, const std::string &id, forward_job *job);
// The jobs waiting and the jobs failed.
void forward_counts(const char *baseDir, size_t *pending, size_t *failed);
// True when the queue holds any job (in any state): one look at the
// directory's names, no job read.
bool forward_queued(const char *baseDir);

// Puts a failed job back into the queue (attempts from 0, due now): 1 done,
// 0 no such failed job, -1 after a log.
int forward_retry(const char *baseDir, const std::string &id, FILE *log);

// --- the forwarder's side ---
// Writes job over its file (temporary name, flush, rename): 0, or -1
// after a log. A study's quiet job keeps its file's time (that of the
// study's last image): the forwarder's rewrite is no new image.
int forward_write(const char *baseDir, const forward_job &job, FILE *log);
// Notes that instance was delivered by job id (a line appended to ID.done;
// a line a crash cuts short is not counted). 0, or -1 after a log.
int forward_noteSent(const char *baseDir, const std::string &id, const std::string &instance,
                     FILE *log);
// The instances job id has delivered.
void forward_sentSet(const char *baseDir, const std::string &id, std::set<std::string> *out);
// A job that has delivered every image it selected: removed, or for a web
// job kept as done. A quiet job whose study got a new image since takenNs
// (the job file's time when its try began) stays pending instead: its new
// images go at its next try. 0, or -1 after a log.
int forward_finish(const char *baseDir, const forward_job &job, long long takenNs, FILE *log);
// The wait before the try after attempts failed ones: base seconds doubled
// for each further failure, at most FORWARD_MAX_WAIT.
long long forward_retryWait(unsigned base, int attempts);
// Removes temporary files left by dead writers, done records older than a
// day, and delivery records (below) older than a day.
void forward_sweep(const char *baseDir);

// Delivery records, against loops that the rules cannot see (an archive
// reached under another title, three archives in a ring): one small file
// per destination and instance below BASE/forward/delivered/, holding the
// fingerprint of the data set last delivered there (the stored file's
// bytes after its meta header: a CRC-32 and the length). A rule's job
// whose image went to the same destination unchanged within the last day
// does not send it again. A record is a cache: written through a
// temporary name and a rename, not flushed (one lost in a crash costs one
// more send, which at-least-once delivery allows).
//
// The fingerprint of the stored file at path: false when it cannot be read.
bool forward_fingerprint(const std::string &path, std::string *out);
// Notes that instance went to destination with fingerprint (errors are
// ignored: see above).
void forward_noteDelivered(const char *baseDir, const std::string &destination,
                           const std::string &instance, const std::string &fingerprint);
// True when instance went to destination with fingerprint within the
// last day.
bool forward_deliveredBefore(const char *baseDir, const std::string &destination,
                             const std::string &instance, const std::string &fingerprint);

// --- operations of the page: per destination, and the history ---
//
// When a job falls due: its own next try, and for a study's quiet job not
// before the study has been quiet for its time (the forwarder's rule).
long long forward_dueAt(const forward_job &job);

// A destination is paused by a file BASE/forward/paused-HEX (HEX: the AE
// title's bytes in hexadecimal), written through a temporary name and a
// rename: the forwarder sends nothing there while it exists, and its jobs
// keep their places, attempts and waits. Pausing again, or resuming one not
// paused, is no error. 0, or -1 after a log.
int forward_setPaused(const char *baseDir, const std::string &destination, bool paused, FILE *log);
// The paused destinations.
void forward_pausedSet(const char *baseDir, std::set<std::string> *out);

// Retry all: every failed job of destination, and every pending one that
// waits after a failed try, put back into the queue (attempts from 0, due
// now), only those of one study when study is not empty. The number of
// jobs put back, or -1 after a log.
int forward_retryAll(const char *baseDir, const std::string &destination, const std::string &study,
                     FILE *log);

// The history of finished jobs: BASE/forward/history, one line per
// destination, study and origin of the jobs that one look of the forwarder
// finished ("AT\tDESTINATION\tSTUDY\tORIGIN\tJOBS\tIMAGES"), appended by
// the forwarder alone; a line a crash cuts short is not read.
struct forward_finished {
    long long at = 0; // seconds since the epoch
    std::string destination, study, origin;
    int jobs = 0, images = 0;
};
// Appends entries. 0, or -1 after a log (the jobs are finished all the
// same: the history is a record for people, not the queue).
int forward_noteFinished(const char *baseDir, const std::vector<forward_finished> &entries,
                         FILE *log);
// The history, oldest first, at most the last max entries.
void forward_history(const char *baseDir, size_t max, std::vector<forward_finished> *out);
// Drops the entries older than keepSeconds, and the oldest beyond
// FORWARD_HISTORY_MAX_BYTES (a rewrite through a temporary name and a
// rename, by the forwarder, the only writer).
void forward_pruneHistory(const char *baseDir, long long keepSeconds);

#endif
