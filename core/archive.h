// The archive core: what every front end (the DICOM server, the web server)
// does with the image store, between the protocol and the store. An
// archive_context names the store and the site's choices. On it:
// - ingest takes one received image into the archive: the store's checks
//   and write, the patient link tree when the site keeps one, the
//   bookkeeping of storage commitment, the announcement on the monitor
//   channel, and the result as a DIMSE status; archive_flush puts it on
//   disk before a front end confirms it;
// - archive_query walks the index for C-FIND, QIDO-RS and the pages;
// - archive_select lists the images of a retrieve (C-MOVE, C-GET);
// - the checks of storage commitment, and the store's housekeeping;
// - archive_open: one archive per process, which makes the store, starts
//   the object tier and the capacity policy, takes the store lock, runs the
//   recovery, and owns the serialisation of the threads that use it
//   (archive_shared, archive_exclusive); archive_close ends it.
//
// A front end includes this header, not the store's or the index's: the
// store's type is only named here, for the core's own use.
#ifndef VELTO_CORE_ARCHIVE_H
#define VELTO_CORE_ARCHIVE_H

#include "dcmtk/config/osconfig.h"

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"

class LocalStore;
struct archive_state;

// The statuses of an ingest, as a C-STORE response (and a STOW-RS
// instance) carries them.
enum {
    ARCHIVE_STORED = 0x0000,            // stored
    ARCHIVE_EXISTS = 0xB006,            // already stored and kept (Elements Discarded)
    ARCHIVE_REFUSED_NOSPACE = 0xA700,   // not known to be stored (Out of Resources)
    ARCHIVE_CANNOT_UNDERSTAND = 0xC000, // a UID missing or refused
    // Rejected by a rejection note and not taken again (core/rejection.h):
    // a code of the "Cannot understand" range, which every storage SCU
    // reads as a failure, of this archive's own choosing.
    ARCHIVE_REFUSED_REJECTED = 0xC124,
};

// A listener of ingest (core/listener.h).
class archive_listener;
// The core's own listeners of one context (core/archive.cc).
struct archive_effects;
std::shared_ptr<archive_effects> archive_newEffects();

// What the front ends share of one archive. A front end sets the side
// effects (patientLinks .. forwardRules) and opens the archive into it with
// archive_open; what those point to is borrowed and must outlive every call
// that uses the context.
struct archive_context {
    // The image store: made by archive_open, the core's alone (a test of the
    // core may set it to a store of its own).
    LocalStore *store = nullptr;
    // What archive_open made besides (lock, serialisation), or null.
    archive_state *state = nullptr;
    bool patientLinks = false; // keep the patient link tree (-s)
    // The connected send socket of the monitor channel; null or -1: no
    // announcements. A pointer, because a front end may open the socket
    // later than it sets up the context.
    const int *monitorSock = nullptr;
    // What marks a modality worklist entry done when its study arrives
    // (WORKLIST_DONE_* of core/worklist.h; 0: nothing).
    int worklistDone = 0;
    // The site's forwarding rules (core/forward.h), or null: none.
    const struct forward_rules *forwardRules = nullptr;
    // The listeners registered with archive_addListener (borrowed), told
    // after the core's forwarding and link tree and before its announcement
    // and worklist (the order and rules: core/listener.h).
    std::vector<archive_listener *> listeners;
    // The core's own listeners (forwarding, link tree, announcement,
    // worklist: core/listener.h) and what they keep between images, made
    // with the context; a copy of the context shares them.
    std::shared_ptr<archive_effects> effects = archive_newEffects();
    // An image that a rejection note rejected is stored again when it is
    // sent again (the site file "Rejection": core/rejection.h); false:
    // refused. Read by archive_open for a front end (settings.prog).
    bool acceptRejectedAgain = false;
    // The process's audit trail (core/audit.h), or null: none. Borrowed.
    struct audit_sink *audit = nullptr;
};

// Registers listener (borrowed; it must outlive the context) on ctx: told of
// every image that ingest takes, after those registered before it. Called
// while the archive is set up, before any ingest.
void archive_addListener(archive_context *ctx, archive_listener *listener);

// The UIDs of an ingested image ("" where the dataset has none).
struct archive_ingested {
    std::string sopClass, sopInstance, study, series;
};

// Takes ds (only read) into the archive: written into the store (an image
// already stored is replaced when overwrite is non-zero, else kept), and
// its listeners told (core/listener.h: the forwarding jobs before it is
// placed; once stored, the patient link tree with patientLinks, the
// registered listeners such as storage commitment's bookkeeping,
// "STORAGE STOREUID study series instance" announced, the worklist entries
// of the study marked done as worklistDone says). None of them is told of
// an image refused or already stored and kept.
// The caller serialises calls on one context (the store is not thread-safe)
// and calls archive_flush before it tells a peer that the image is on disk.
// Returns an ARCHIVE_* status; *out (may be null) gets the image's UIDs.
// With in (an image the store received as it arrived: LocalStore's
// streamed write path) ds is its head, and in is what is stored; its
// announcement is then sent by archive_endIncoming, after the caller has
// answered the peer. A stored
// image that forwarding rules select has its jobs queued on disk before
// this returns: they are written before the image is placed, and when they
// cannot be, the image is refused (ARCHIVE_REFUSED_NOSPACE) with nothing of
// it stored; an image that fails after them takes them back with it. So no
// confirmed image misses its forward and no refused one leaves a job. Any
// listener with a before-place phase goes the same way.
// caller: the calling AE title (null: none, as from the web), which rules
// may name.
unsigned archive_ingest(const archive_context *ctx, DcmDataset *ds, int overwrite,
                        archive_ingested *out, struct archive_incoming *in = nullptr,
                        const char *caller = nullptr);

// A front end receives an image through archive_receive (core/receive.h),
// which the calls below and archive_uploadCheck are the parts of.
//
// An image received as a stream (Explicit VR Little Endian or a compressed
// syntax): its bytes go into the store's temporary file as they come and
// only its head (what comes before the pixel data) is parsed; archive_ingest
// with in then stores the file as it stands. The calls below go with the
// store's LocalStore::BeginIncoming and its kin (store/localstore.h),
// serialised with every other use of the context's store.
struct archive_incoming;
// Starts an image in transferSyntax; walk is the caller's walk of the same
// bytes (borrowed), each piece fed to it before archive_feedIncoming.
archive_incoming *archive_beginIncoming(const archive_context *ctx, const char *transferSyntax,
                                        const struct elementwalk *walk);
// The next piece of the data set (last: its end); a failure is kept and
// reported by the ingest.
void archive_feedIncoming(const archive_context *ctx, archive_incoming *in,
                          const unsigned char *bytes, size_t n, bool last);
// The parsed head once the data set is whole (owned by in), or null.
DcmDataset *archive_incomingHead(const archive_context *ctx, archive_incoming *in);
// Sends the announcement of an image stored, frees in (null is fine) and
// removes a temporary file not placed.
void archive_endIncoming(const archive_context *ctx, archive_incoming *in);

// Results of archive_checkUpload.
enum {
    ARCHIVE_UPLOAD_WHOLE = 1,    // the toolkit may parse it
    ARCHIVE_UPLOAD_DAMAGED = 0,  // cut short, damaged, or beyond the limits
    ARCHIVE_UPLOAD_UNREAD = -1,  // a read or write failed (errno set)
    ARCHIVE_UPLOAD_FOREIGN = -2, // no meta header, or an encoding the walk cannot follow
};

// Checks an uploaded Part 10 file (open on fd) before the toolkit parses
// it, whose reader recurses once per sequence level and keeps every item in
// memory: its elements are walked (headers only) with sequences at most 64
// deep and at most 200,000 items. A deflated data set is inflated for the
// walk into an unnamed file in tmpDir, at most maxInflated bytes (beyond:
// damaged). ARCHIVE_UPLOAD_*.
int archive_checkUpload(int fd, unsigned long long maxInflated, const char *tmpDir);

// archive_checkUpload of an upload as its bytes arrive, so that nothing is
// read back: feed every byte of the Part 10 file in order, then finish.
// ARCHIVE_UPLOAD_FOREIGN also for a deflated data set, which
// archive_checkUpload then inflates from the file.
//
// Given an archive, an upload whose data set is in a syntax the store keeps
// as it comes (Explicit VR Little Endian, or an encapsulated one), or in
// Implicit VR Little Endian or Explicit VR Big Endian (converted to Explicit
// VR Little Endian as it comes, dicomnet/transcode.h), is also
// written by the store as it arrives (archive_beginIncoming), each piece
// after the walk has passed it, so that nothing is written out and parsed
// again: only its head is parsed. Its elements must then come in ascending
// order without repeats (else damaged), as what follows the head is never
// parsed and the index is made from the head. The check then makes store
// calls in feed, finish and its destructor: the caller serialises them with
// every other use of the archive's store.
class archive_uploadCheck
{
public:
    explicit archive_uploadCheck(const archive_context *ctx = nullptr);
    ~archive_uploadCheck(); // a streamed image not ingested is dropped
    archive_uploadCheck(const archive_uploadCheck &) = delete;
    archive_uploadCheck &operator=(const archive_uploadCheck &) = delete;
    void feed(const unsigned char *bytes, size_t n);
    int finish();

    // Where the bytes go, known once the meta header is read.
    enum {
        ROUTE_PENDING, // held by the check
        ROUTE_STORE,   // taken by the store as they come (given an archive)
        ROUTE_CALLER,  // the caller keeps the file: the bytes held so far are in takeHeld
    };
    int route() const { return route_; }
    // ROUTE_CALLER: the bytes fed before the route was known (once).
    std::string takeHeld();
    // ROUTE_STORE, after finish answered ARCHIVE_UPLOAD_WHOLE: the parsed
    // head (owned by the check), or null when it could not be parsed; and
    // the image that archive_ingest takes with it.
    DcmDataset *head();
    struct archive_incoming *incoming() const { return in_; }

private:
    int startWalk(bool whole); // on the buffered start of the file
    bool toStore(const unsigned char *bytes, size_t n, bool last); // false: not converted
    const archive_context *ctx_;
    std::string start_; // the file's first bytes, until the walk begins
    bool walking_ = false;
    int route_ = ROUTE_PENDING;
    int result_;                            // ARCHIVE_UPLOAD_WHOLE while undecided
    struct elementwalk *walk_;              // owned
    struct archive_incoming *in_ = nullptr; // ROUTE_STORE: the store's image
    struct transcode *conv_ = nullptr;      // owned: the conversion, when converted
};

// Longest UID the archive accepts (index keys are 64 bytes wide: the
// store's LS_UID_MAX, checked in core/archiveopen.cc).
enum { ARCHIVE_UID_MAX = 64 };

// Flags of an archive_query.
enum {
    ARCHIVE_FIND_COMBINED_DATETIME = 1, // StudyDate with StudyTime as one date-time range
};

// One query's walk over the archive's index, one match at a time: the
// C-FIND of the DICOM side, the QIDO-RS searches, the study page and the
// web's instance lists all go through it, so they match alike. The walk
// holds what it has read between two matches (a study's series, a series'
// images) and frees it when it ends: at its last match, by end(), or when
// the query goes. The caller serialises it with every other use of the
// context's store, as for ingest.
class archive_query
{
public:
    // identifier (borrowed, unchanged while the walk runs) holds the keys;
    // level null: the identifier's Query/Retrieve Level (0008,0052); a level
    // given also puts the three UIDs into every image match. flags:
    // ARCHIVE_FIND_*.
    archive_query(const archive_context *ctx, DcmDataset *identifier, const char *level = nullptr,
                  int flags = 0);
    ~archive_query();
    archive_query(const archive_query &) = delete;
    archive_query &operator=(const archive_query &) = delete;

    // The next match: 0 with its keys in *result (created, owned by the
    // caller); 1 no further match; -1 the index cannot be read. After 1 or
    // -1 the walk has ended and every further call returns 1.
    int next(DcmDataset **result);
    // Ends the walk before its last match (a cancelled C-FIND, a page that
    // is full), freeing what it holds.
    void end();

private:
    class index_cursor *walk_; // the index's walk (index/indexbackend.h), owned; null: ended
    // What the walk hides (core/rejection.h), owned, and the query's level.
    class rejection_view *rejected_;
    std::string level_;
};

// One image that a retrieve selects: its UIDs, its file, and what the
// file's meta header says (sopClass empty: the file cannot be read).
struct archive_image {
    std::string study, series, instance;
    std::string path;
    std::string sopClass, xfer;
};

// Results of archive_select.
enum {
    ARCHIVE_SELECTED = 0,          // *out holds every selected image (possibly none)
    ARCHIVE_BAD_IDENTIFIER = -1,   // level missing or unknown, or its unique key missing
    ARCHIVE_INDEX_UNREADABLE = -2, // an index file could not be read
};

// The images that a C-MOVE or C-GET identifier selects (UID lists allowed
// at every level), into *out (cleared first) in the order they are to be
// sent, each file's SOP class and transfer syntax read. ARCHIVE_*.
int archive_select(const archive_context *ctx, DcmDataset *identifier,
                   std::vector<archive_image> *out);

// For a study-level query that asks for SOP Classes in Study (0008,0062)
// and a study match (with its Study Instance UID): sets the key in match
// to the distinct SOP classes of the study's stored images, read from
// their files. False when the query's value of the key (one class or a
// list) names none of them: the study is no match. True (match untouched)
// for any other query.
bool archive_addSOPClassesInStudy(const archive_context *ctx, DcmDataset *query, DcmDataset *match);

// The SOP class and transfer syntax of a Part 10 file held in memory (its
// first n bytes) and the offset of its data set: 1 read, 0 not a whole
// meta header.
int archive_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass, std::string *xfer,
                      size_t *datasetStart);

// Whether a rejection note has hidden the image (core/rejection.h): for a
// front end that reaches an image's file by its UIDs without a walk.
bool archive_rejected(const archive_context *ctx, const char *study, const char *instance);

// Deletes the image (then an emptied series and study) from the store and
// its index: 0 done, else the store's result (logged by the store).
// Every delete is audited (DICOM Study Deleted, one message per study and
// requestor): by names who asked (null: this program itself); the deletes
// of one study by one requestor in a row make one message, sent when
// another study or requestor comes, at archive_auditDeletes, archive_flush
// and archive_close. sopClass (may be null) is the image's SOP class.
int archive_delete(const archive_context *ctx, const char *study, const char *series,
                   const char *instance, const struct audit_participant *by = nullptr,
                   const char *sopClass = nullptr);
// Sends the audit message of the deletes gathered so far (see
// archive_delete).
void archive_auditDeletes(const archive_context *ctx);

// --- storage commitment ---
// True when uid is one the archive can store (1..64 digits and dots, no
// empty component); a refused one is logged, naming what (e.g. "SOP
// Instance UID").
bool archive_usableUid(const archive_context *ctx, const char *uid, const char *what);
// The same test without a log line (for a front end that tells its client):
// why uid is no UID the archive takes, or null when it is one.
const char *archive_uidProblem(const char *uid);
// Finds the study and series of stored instances by their SOP instance
// UIDs in one walk of the index (brought up to date first): (*places)[i]
// for instances[i], with study and series empty when it is not stored
// (path and classes are not filled). The number found, or -1 (logged) when
// the index cannot be read (then none is filled).
int archive_locate(const archive_context *ctx, const std::vector<std::string> &instances,
                   std::vector<archive_image> *places);
// Results of archive_flushImage.
enum {
    ARCHIVE_FLUSHED = 0,       // whole, of the named instance and class, and on disk
    ARCHIVE_FLUSH_MISSING = 1, // no such file, cut short, or another instance
    ARCHIVE_FLUSH_CLASS = 2,   // the named instance, of another SOP class
    ARCHIVE_FLUSH_FAILED = 3,  // damaged (not the bytes stored), a read or the flush
                               // failed, or the object tier cannot
                               // give the image now (logged)
};
// For storage commitment: reads the stored file of one image at path (from
// archive_imagePath; its copy from the object tier when it moved there) to
// its end, checks that it holds instance of sopClass, and flushes it to
// disk. Its index files and directories follow with archive_noteFlushed and
// archive_flush. An ARCHIVE_FLUSH* result; *flushError gets the errno of a
// failed flush, else stays. Of ctx it only reads the store's tier, which
// stays as archive_open made it: runs on several threads at once.
int archive_flushImage(const archive_context *ctx, const std::string &path,
                       const std::string &instance, const std::string &sopClass, int *flushError);
// Storage commitment on a node of a cluster, where the bucket is every
// image's home and this node's files a cache: each image located by the
// shared index (archive_locate's places; study empty: not stored) is
// committed when its checksum is recorded (store/checksums.h: the digest
// its object carries in the bucket), whatever this node's disk holds.
// An image this node keeps no record of (stored by a node on a store of its
// own) is committed when its object is in the bucket with its digest and
// this archive's id (a HEAD), a processing failure when the object is not
// there (yet) or the gateway fails.
// (*results)[i] for places[i]: ARCHIVE_FLUSHED recorded, ARCHIVE_FLUSH_MISSING
// not stored or no record, ARCHIVE_FLUSH_FAILED the record cannot be read
// (logged). The SOP class is not compared: the index does not keep it.
void archive_commitRecorded(const archive_context *ctx, const std::vector<archive_image> &places,
                            std::vector<int> *results);
// Notes a stored image whose file the caller has just flushed itself: its
// index files and directories go to disk at the next archive_flush.
void archive_noteFlushed(const archive_context *ctx, const char *study, const char *series,
                         const char *instance);

// Brings the archive's study table (and the key digests that queries use)
// up to date with the index files that other processes wrote, before a
// walk that must see their studies: 1 reloaded, 0 current, -1 failed.
int archive_refresh(const archive_context *ctx);
// Whether archive_refresh would load anything now. Changes nothing: safe
// while other threads walk the index (archive_refresh is not).
bool archive_stale(const archive_context *ctx);

// --- the store's life in a process that serves it ---
// How archive_open takes the store lock (a flock on the base directory).
enum {
    ARCHIVE_LOCK_NONE = 0,      // not at all (a reader that tolerates writers)
    ARCHIVE_LOCK_SHARED = 1,    // shared: every process that serves the store
    ARCHIVE_LOCK_EXCLUSIVE = 2, // alone: storeindex rebuild
};

// What archive_open needs to know.
struct archive_settings {
    // The base directory; null: "LocalStoreDir" along the configuration
    // search path (read now: after detect_installpath), else the default.
    const char *baseDir = nullptr;
    FILE *log = nullptr; // the store's log stream (null: none)
    // Non-null: the site's ObjectTier and StoreCapacity settings are read
    // (archivetier_start), a failure told on stderr under this name.
    const char *prog = nullptr;
    int lock = ARCHIVE_LOCK_SHARED; // ARCHIVE_LOCK_*
    // A base directory that does not exist is an error. Else it is a store
    // not made yet: opened unlocked, its directories made by the first
    // image, as a server started on an empty machine does.
    bool requireStore = false;
    // After the lock: archive_recover, then archive_refresh (the study
    // table and key digests brought up to date before the first query).
    bool recover = false;
    // Lock and recovery wait for archive_start: for a server that binds
    // its ports as root and runs the recovery as the files' owner.
    bool deferStart = false;
    bool syncEachImage = false; // -S: each image flushed before it is answered
    // storeindex restore's own open of the store it restores: every other
    // start refuses a store that holds the marker of a restore not ended
    // (store/storebackup.h), whose rerun would start over and remove what
    // was stored meanwhile.
    bool restoring = false;
    // A process that serves the store makes its directories (the base
    // directory, its "uid" tree's top, the worklist's) where they are
    // missing, in the half of archive_start that runs the recovery (as the
    // files' owner), and takes the lock that found no directory then: a
    // fresh install accepts a worklist entry before its first image.
    bool makeStore = false;
};

// Opens the archive into ctx (whose side effects the caller has set; its
// store and state must be null): makes the store on the base directory,
// reads the tier and capacity settings, then (unless deferStart) as
// archive_start. 0, or -1 with *error (may be null) saying why, nothing
// left open and errno set: EAGAIN when the lock is held against us (a
// rebuild runs, or with ARCHIVE_LOCK_EXCLUSIVE a server), EBUSY when a
// restore into the store has not ended (not with restoring), ENOENT for a
// missing base directory with requireStore, 0 when the tier or capacity
// settings refused the start (told on stderr and in the log already). A
// lock that fails otherwise (the directory cannot be opened) is logged as
// a warning and the archive opened unlocked.
int archive_open(archive_context *ctx, const archive_settings &settings, std::string *error);
// The second half of archive_open: takes the store lock and runs the
// recovery as the settings say. With lockOnly, only the lock: a server
// takes it before it binds its ports (a rebuild in progress keeps them
// closed) and comes back for the recovery after dropping its privileges.
// 0, or -1 with *error and errno as archive_open (the archive stays open:
// archive_close it).
int archive_start(archive_context *ctx, std::string *error, bool lockOnly = false);
// Ends what archive_open made: the store (its flusher threads end after
// flushing what they hold), the lock, the serialisation. ctx's side
// effects stay. Null state: nothing to do.
void archive_close(archive_context *ctx);
// In a child forked from a process that opened the archive: the child
// inherits the lock's descriptor, and with it the lock itself (a flock
// belongs to the open file, shared by both). A child that serves one peer
// must not keep it, or the lock would outlive its parent until the child
// ends; this closes the child's copy (the parent keeps the lock).
void archive_forked(archive_context *ctx);
// The descriptor that holds the store lock, or -1 (none): for a front end
// that starts a child of its own with a way to close it there.
int archive_lockDescriptor(const archive_context *ctx);

// The cluster this archive is a node of: the site's "Cluster" settings
// (cluster/clusterconfig.h), read by archive_open for a front end
// (settings.prog), or null: one host, its index in files (the default).
const struct cluster_config *archive_clusterConfig(const archive_context *ctx);
// The process's connection to the cluster's database (cluster/clusterdb.h),
// connected at its first use; null on one host. A forked child's is its
// own (archive_forked drops the parent's without touching its session).
class clusterdb *archive_clusterDb(const archive_context *ctx);
// A cluster node's record of a delete of one image, for every node to drop
// its cached file of it (archive_delete writes it before the delete): 0
// (also on one host), or -1 (logged by the database connection).
int archive_clusterNoteDelete(const archive_context *ctx, const char *study, const char *series,
                              const char *instance);
// Drops this node's files of the images deleted through any node since the
// last call (archive_refresh runs it): the number dropped (0 on one host),
// or -1 when the database cannot tell.
int archive_clusterDrainDeletes(const archive_context *ctx);
// A cluster node with ack local: uploads this node's queued images into the
// bucket (each checked by a HEAD, then its entry removed; an entry whose
// image has no row or no file is dropped; a failure is left for the next
// pass). The number uploaded (0 on one host or with ack shared), -1 when
// the database cannot tell, -2 when an upload failed (the pass stops
// there; the first failure of an outage is logged, the others are not).
// For the server's uploader process.
int archive_clusterUploadPass(const archive_context *ctx);
// The images of the whole cluster waiting for their upload (ack local): a
// count, 0 on one host, -1 when the database cannot tell.
long archive_clusterUploadBacklog(const archive_context *ctx);

// In a cluster: records that study changed now (what: "stored",
// "changed") in the cluster's database (cluster/activity.h), by which
// every node's studywatch knows when the study has gone quiet on every
// node. Each image stored is noted by the index's own transaction (a
// trigger the archive's open makes, core/archiveopen.cc); the core calls
// this at each change of stored images (core/change.h), and a front end
// that changes a study by other means calls it too. A delete is
// no change to render (a study that retention deletes is not rendered
// again), as on one host, where only stored images are announced to
// studywatch. Nothing on one host; a failure is logged (the study is then
// rendered after its next change).
void archive_noteActivity(const archive_context *ctx, const std::string &study, const char *what);
// Makes the cluster's tables of the core's own modules (the activity
// table) once per process and its forked children: a front end calls it
// after archive_open, before it forks workers, so that no worker migrates.
// 0 (also on one host), or -1 after a log.
int archive_clusterPrepare(const archive_context *ctx);

// The serialisation of the threads of one process that use the archive
// (the store keeps state between calls and is not thread-safe): a search
// (a walk of the index, which only reads) holds it shared and runs beside
// others; whatever changes the store or reloads its study table holds it
// alone. A writer that waits keeps new readers out, so that a steady
// stream of searches cannot hold a writer back forever; therefore no thread
// may take it shared twice (a writer waiting between the two would leave
// both waiting for good), nor take it again in any way while it holds it.
// A process that uses the archive from one thread only (a server's worker)
// needs neither. Both need an archive_open'ed context.
class archive_shared
{
public:
    explicit archive_shared(const archive_context *ctx);
    ~archive_shared();
    archive_shared(const archive_shared &) = delete;
    archive_shared &operator=(const archive_shared &) = delete;

private:
    archive_state *state_;
};
class archive_exclusive
{
public:
    explicit archive_exclusive(const archive_context *ctx);
    ~archive_exclusive();
    archive_exclusive(const archive_exclusive &) = delete;
    archive_exclusive &operator=(const archive_exclusive &) = delete;

private:
    archive_state *state_;
};

// The store's base directory.
const char *archive_baseDir(const archive_context *ctx);
// Takes the store lock shared, as every process that serves the store
// holds it for its life (storeindex rebuild takes it exclusively): the
// descriptor that holds it, or -1 with errno EAGAIN (a rebuild runs) or
// another errno (the directory cannot be opened; ENOENT: no store yet).
// archive_open takes it; a front end opens the archive instead.
int archive_lock(const archive_context *ctx);
// What a crash left, finished before anyone reads the index: images that a
// dead worker had answered but not flushed into the tree (its journal),
// then deletes cut short, then stores cut short, then an interrupted
// compaction of the study index, and the snapshot of a backup killed in
// its run (store/storebackup.h); last the forwarding jobs that stores cut
// short left held (core/forward.h): queued when their image is stored,
// else removed.
void archive_recover(const archive_context *ctx);
// Drops deleted studies from the study index files.
void archive_compact(const archive_context *ctx);
// Bytes of the store's file system and bytes free to unprivileged users
// (0 when they cannot be had).
void archive_diskSpace(const archive_context *ctx, uint64_t *total, uint64_t *available);
// True when all that this process stored since its last flush is on disk
// already in its image journal (-S), so that the flush of the tree may come
// after the peer has been answered.
bool archive_journalHoldsAll(const archive_context *ctx);

// The path of a stored image file (whether or not it exists).
std::string archive_imagePath(const archive_context *ctx, const char *study, const char *series,
                              const char *instance);

// The keys that the series (image) index record holds, in record order: a
// query on them is answered from the index without reading image files.
const std::vector<DcmTagKey> &archive_seriesRecordKeys();
const std::vector<DcmTagKey> &archive_imageRecordKeys();
// Whether key is one of archive_seriesRecordKeys (archive_imageRecordKeys).
bool archive_seriesRecordHolds(const DcmTagKey &key);
bool archive_imageRecordHolds(const DcmTagKey &key);
// True when a study query matches key (Modality too, against the study's
// modalities); false for a key only series or image queries match.
bool archive_isStudyKey(const DcmTagKey &key);
// True when value is a key that a query may carry for tag's VR: universal,
// empty, or for dates, times and date-times well-formed values or ranges,
// for UIDs one UID or a backslash list of them. A query takes a malformed
// key as universal: a front end that must refuse one asks here first.
bool archive_wellFormedKey(const DcmTag &tag, const char *value);
// archive_wellFormedKey for a UID (or a list of them).
bool archive_wellFormedUids(const char *value);
// True when every key of a query identifier (sequence items included) is
// no longer than its VR allows, with room for wildcards, ranges and UID
// lists (querymatch_keysFit); false with *offending (may be null) set to
// the first that is. A front end refuses such a query before matching it.
bool archive_keysFit(DcmItem *identifier, DcmTagKey *offending);

// Registers the decoders (DCMTK's JPEG family, JPEG-LS and RLE, and this
// tree's JPEG 2000 and HTJ2K decoder, codec/j2kcodec.h) with the
// toolkit, once per process however often it is called (thread-safe): for
// a front end that sends images in another transfer syntax than they were
// stored in, or renders them.
void archive_registerDecoders();

// Flushes what ingests (and every other write of this process to the
// store) changed since the last flush: 0 on disk, -1 after a log.
int archive_flush(const archive_context *ctx);

// For a front end between two requests of one peer, while nothing of the
// next has come: the store's work for the next request done ahead, on the
// peer's time (LocalStore::Idle: after a store, the next image's temporary
// file made). 1 when more may be left to do. archive_endIdle drops what was
// made ahead and not used: when the peer pauses, and at its last request.
int archive_idle(const archive_context *ctx);
void archive_endIdle(const archive_context *ctx);

#endif
