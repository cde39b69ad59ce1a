// The checksum of every stored image: the SHA-256 (64 lower-case hex
// digits) of the bytes of its stored file, the same digest the object tier
// keeps in a stub and as an object's x-amz-meta-sha256.
//
// Where it is kept: one append-only file per series directory,
// "uid/XX/YY/study_S/series_R/CHECKSUMS", one line per image:
//     I SIZE SHA256\n
// (I the SOP instance UID, SIZE the file's bytes in decimal). A later line
// for the same I wins (an image replaced under the overwrite policy); a
// line that is not whole (a torn last line of a crash) is ignored. A delete
// of the image appends "I 0 -\n", which ends its record (without a line
// a deleted image's record would stay behind, harmless but reported); one
// that cannot be written (a full disk) is not waited for. The file is only
// ever appended to, and rewritten whole only by a compaction (storeindex
// scrub: temporary name, flush, rename), which drops the lines of images
// that are gone.
//
// The write path appends an image's line under the study lock, right after
// the file is placed under its name and its index records are written
// (while its temporary name still holds it too), and notes the file for the
// same flush as those records: what a crash leaves is an image with its
// line, or a placed image whose start repair (FinishStores, the journal's
// replay) computes the line again from the file.
#ifndef VELTO_STORE_CHECKSUMS_H
#define VELTO_STORE_CHECKSUMS_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <set>
#include <string>

// Name of the file in each series directory.
#define CHECKSUMS_FILENAME "CHECKSUMS"

// What is recorded of one image.
struct checksums_record {
    uint64_t size = 0;
    std::string sha256; // 64 lower-case hex digits
};

// A SHA-256 computed over bytes as they pass (OpenSSL EVP): add every piece
// in order, then finish once.
class checksums_hasher
{
public:
    checksums_hasher();
    ~checksums_hasher();
    checksums_hasher(const checksums_hasher &) = delete;
    checksums_hasher &operator=(const checksums_hasher &) = delete;
    void add(const void *bytes, size_t n);
    // The digest of all that was added (hex) and its length; the hasher
    // starts anew.
    checksums_record finish();
    uint64_t bytes() const { return count; }

private:
    struct evp_md_ctx_st *ctx;
    uint64_t count = 0;
};

// A hasher's work moved to a thread of its own: the writer of a large
// image hands it each buffer it has written, in order, and goes on reading
// the network while the bytes are hashed, so that on a machine with a core
// to spare the checksum costs the receive no time. At most depth buffers
// wait (give blocks while they do): memory stays depth buffers. The hasher
// is the pipe's from its making until drain or its end, which wait for
// every buffer given; the thread lives as long as the pipe (never across a
// fork: a pipe lives within one image's receipt).
class checksums_pipe
{
public:
    explicit checksums_pipe(checksums_hasher *sum, size_t depth = 4);
    ~checksums_pipe(); // drains, ends the thread
    checksums_pipe(const checksums_pipe &) = delete;
    checksums_pipe &operator=(const checksums_pipe &) = delete;
    // Takes *buf's bytes (to be hashed after every buffer given before);
    // *buf comes back empty, holding a hashed buffer's room when one is free.
    void give(std::string *buf);
    // Returns once every buffer given is hashed.
    void drain();

private:
    struct state;
    state *s;
    static void run(state *s); // the thread
};

// Readies the digest: the crypto library loads what it needs (some MB) at
// its first use. Called where a store is opened, so that a process that
// forks a worker per association pays it once, before the fork, and not in
// each worker's own memory.
void checksums_prepare();

// The path of the CHECKSUMS file of the series directory seriesDir.
std::string checksums_path(const std::string &seriesDir);

// Splits an image file's path ".../series_R/image_I.dcm" into its series
// directory and instance UID: false when the name is not an image's.
bool checksums_splitImagePath(const std::string &imagePath, std::string *seriesDir,
                              std::string *instance);

// Appends "instance size sha256\n" to the series' CHECKSUMS (created when
// missing), in one write; a file whose last line is torn gets a newline
// first, so that the torn line stays alone. The caller flushes the file
// (the store notes it for SyncWrites; flushNow: fdatasync here). 0, or -1
// after a log line (errno set).
int checksums_append(const std::string &seriesDir, const std::string &instance,
                     const checksums_record &rec, FILE *log, bool flushNow = false);

// Appends the line that ends the record of a deleted image, to a file that
// exists (nothing is created): 0, or -1 (errno set; not logged: a delete
// goes on without it).
int checksums_forget(const std::string &seriesDir, const std::string &instance);

// Every image's line of the series (the last one of each): 0 (a missing
// file is an empty map), or -1 when the file cannot be read (errno set).
// torn (may be null): lines that were not whole or not well formed.
int checksums_read(const std::string &seriesDir, std::map<std::string, checksums_record> *out,
                   size_t *torn = nullptr);

// The record of one image: 0 found, 1 none, -1 the file cannot be read.
int checksums_lookup(const std::string &seriesDir, const std::string &instance,
                     checksums_record *rec);
// The same for the image whose file belongs at imagePath.
int checksums_lookupImage(const std::string &imagePath, checksums_record *rec);

// The SHA-256 and size of the file open on fd, read from offset 0 to its
// end (pread, so the file offset is left as it is): 0, or -1 (errno set).
int checksums_computeFd(int fd, checksums_record *out);
int checksums_computePath(const std::string &path, checksums_record *out);

// Results of the verifications.
enum {
    CHECKSUMS_GOOD = 0,    // the bytes are the record's
    CHECKSUMS_DAMAGED = 1, // they are not (size or digest differs)
    CHECKSUMS_UNREAD = -1, // the file cannot be read (errno set)
};
// Verifies the file open on fd (or at path) against rec; found (may be
// null) gets what the file holds.
int checksums_verifyFd(int fd, const checksums_record &rec, checksums_record *found = nullptr);
int checksums_verifyPath(const std::string &path, const checksums_record &rec,
                         checksums_record *found = nullptr);

// Rewrites the series' CHECKSUMS with only the last line of each image in
// keep (temporary name, flush, rename, directory flush): 1 rewritten, 0
// nothing to drop (left as it is), -1 after a log line. The caller holds
// the study's lock, so that no line is appended meanwhile.
int checksums_compact(const std::string &seriesDir, const std::set<std::string> &keep, FILE *log,
                      size_t *dropped = nullptr);

#endif
