// The object tier: images of quiet studies moved to an object store over
// S3, and read back on demand through a bounded local cache.
//
// The tier is configured by the site file "ObjectTier" along the
// configuration search path; without it the tier is off and nothing here
// changes what the store does. An image in the tier is recorded by a stub
// file beside the place of its image file, "image_UID.dcm.tier", holding the
// object's key, size and SHA-256 and the image's SOP class and transfer
// syntax (so a retrieve can plan its contexts without fetching it). The
// index files are not changed: an indexed image is where its file is, or in
// the tier when its stub is there.
//
// Moving one image out (tier_moveImage), and what a kill at each step
// leaves:
//   1. upload (the gateway checks the body against its signed SHA-256):
//      killed here, the local file is still the image; an object is left
//      that no stub claims, which the next pass uploads again;
//   2. HEAD: the object's size and the x-amz-meta-sha256 it carries must be
//      the file's;
//   3. the head, then the stub written under temporary names, flushed,
//      renamed (head first), directory flushed: killed before the stub's
//      rename, the local file is the image (temporary files or a head
//      alone are left, which the next pass replaces); after it, both exist
//      and the local file wins until the next pass;
//   4. local file unlinked, directory flushed: from now on the stub is the
//      image's record.
// Readers look for the local file first and the stub second, and the stub
// is in place before the file goes, so a reader never finds neither.
#ifndef VELTO_STORE_TIER_H
#define VELTO_STORE_TIER_H

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "objstore/objstore.h"

// File name of the site's settings.
#define TIER_CONFIG_FILENAME "ObjectTier"
// Suffix of a stub beside the image file's place.
#define TIER_STUB_SUFFIX ".tier"
// Suffix of the image's head kept beside it: its meta header and data set
// up to the pixel data, a DICOM file that queries (index/finddataset.cc)
// and rebuilds read instead of fetching the image.
#define TIER_HEAD_SUFFIX ".head"

// The tier's settings.
struct tier_config {
    objstore_config s3;
    std::string prefix;               // prepended to every key (e.g. "site1/")
    long quietSeconds = -1;           // move studies quiet this long (-1: not by age)
    double freeBelowPercent = -1;     // move oldest studies while free space is below this
    long minQuietSeconds = 3600;      // never move a study changed more recently than this
    int movers = 4;                   // images of a study the mover moves at once
    std::string cacheDir;             // read-back cache (default: BASE/tiercache)
    uint64_t cacheBytes = 1ull << 30; // the cache's size limit
    std::string baseDir;              // the store's base directory
    std::string archiveId;            // this archive's id once tier_claim has read it
};

// What a stub records.
struct tier_stub {
    std::string key;
    uint64_t size = 0;
    std::string sha256;
    std::string sopClass, xfer;
};

// The settings' forms, for the other site files of the store: "30d",
// "12h", "5m", "10s" or plain seconds (-1: malformed); "512M", "2G", "100K"
// or plain bytes (0: malformed).
long tier_parseDuration(const std::string &v);
uint64_t tier_parseSize(const std::string &v);

// Reads the settings file at path (relative names in it are taken from its
// directory) for the store at baseDir: 0, or -1 with a reason in why (a
// setting that is unknown or malformed, a credentials file that cannot be
// read or that its group or others may read).
int tier_loadFile(const char *path, const char *baseDir, tier_config *cfg, char *why,
                  size_t whySize);

// Looks for "ObjectTier" along the configuration search path for the store
// at baseDir: 0 no file (*out null: the tier is off), 1 loaded into *out,
// -1 unusable (reason in why; *out null). Each store keeps its own
// (LocalStore::getTier). Call before threads or forks.
int tier_setup(const char *baseDir, std::unique_ptr<tier_config> *out, char *why, size_t whySize);
// tier_setup for a daemon: logs "in use" (level 32) or why the settings
// are unusable (level 1, and on stderr with prog's name). 0, or 1: the
// program must not start.
int tier_start(const char *baseDir, std::unique_ptr<tier_config> *out, FILE *log, const char *prog);

// The object key of the image file at path below baseDir: the prefix and
// the path relative to baseDir ("uid/XX/YY/study_S/series_R/image_I.dcm").
std::string tier_key(const tier_config &cfg, const char *baseDir, const char *path);

// The stub of the image file at imagePath: 0 read, 1 none, -1 damaged.
int tier_readStub(const char *imagePath, tier_stub *stub);
// Writes the stub of imagePath (temporary name, flush, rename, directory
// flush): 0, or -1 (errno set).
int tier_writeStub(const char *imagePath, const tier_stub &stub);

// Results of tier_moveImage, tier_putImage and tier_openImage.
enum {
    TIER_OK = 0,          // moved / readable at the path given back
    TIER_MISSING = 1,     // neither the file nor a stub
    TIER_UNAVAILABLE = 2, // recorded in the tier but the tier cannot give it now
    TIER_FAILED = 3,      // a local step failed (logged)
    TIER_CHANGED = 4,     // the file changed while it was moved (left local)
    TIER_DAMAGED = 5,     // its bytes are not those recorded at ingest (logged): never read
};

// Moves the image file at path (below baseDir) into the tier as described
// above. TIER_OK, or another result after a log line (to log; null:
// stderr); the file stays readable in every case.
int tier_moveImage(const tier_config &cfg, const char *baseDir, const char *path,
                   FILE *log = nullptr);

// A cluster node's upload of a new image (the bucket being every image's
// home, cluster/clusterconfig.h): the file open on fd (read from its start,
// left open) is put under tier_key's key for path with its SHA-256 and
// cfg.archiveId. known (may be null): the file's size and SHA-256 as the
// write path hashed them, used instead of reading the file again when its
// size is the file's. The local file stays (the node's cache); no head, no
// stub. TIER_OK, or TIER_UNAVAILABLE / TIER_FAILED after a log line.
struct checksums_record;
int tier_putImage(const tier_config &cfg, const char *baseDir, const char *path, int fd,
                  FILE *log = nullptr, const checksums_record *known = nullptr);

// Removes the object of the image at path (a cluster node's delete): 0
// removed or not there, -1 the gateway failed (logged).
int tier_deleteObject(const tier_config &cfg, const char *baseDir, const char *path,
                      FILE *log = nullptr);

// An image opened for reading: path is the image file itself or its copy in
// the cache, which stays while the handle lives (lockFd holds it against
// eviction).
struct tier_file {
    std::string path;
    int lockFd = -1;
    tier_file() = default;
    tier_file(const tier_file &) = delete;
    tier_file &operator=(const tier_file &) = delete;
    ~tier_file();
};

// Finds the image whose file belongs at path, and verifies it: the store's
// one opening of an image for reading, which every read that hands its
// bytes to a peer or a browser passes. The file when it is there, checked
// against its line in the series' CHECKSUMS (store/checksums.h; an image
// without one, stored before checksums were kept, is read unchecked); else,
// with a stub and the tier on (cfg: the store's, null: off), its copy in
// the cache, checked against the stub's size and SHA-256 at every open, or
// its object fetched into the cache (checked on the way; the oldest unused
// cached copies evicted to keep the cache below its limit). The check
// reads the file once, through the page cache that the read that follows
// then finds it in. TIER_OK (file->path set), TIER_MISSING,
// TIER_UNAVAILABLE or TIER_DAMAGED (a local file, a cached copy or an
// object whose bytes are not the recorded ones: left as found, for the
// scrub to repair) after a log line (to log; null: stderr).
//
// headOnly: the caller reads only the image's head (the metadata of a
// WADO-RS answer, a rebuild), no bytes of it go out: nothing is verified
// but a fetched object (checked on the way, as always).
int tier_openImage(const tier_config *cfg, const char *path, tier_file *file, FILE *log = nullptr,
                   bool headOnly = false);
// tier_openImage for a cluster node, whose images have no stubs: the file
// when it is there (verified as above), else the object at tier_key's key
// for path, its size and SHA-256 taken from a HEAD request (the
// x-amz-meta-sha256 put at ingest; an object of another archive is never
// read), fetched into the cache and checked against them. TIER_OK,
// TIER_MISSING (no object), TIER_UNAVAILABLE or TIER_DAMAGED.
int tier_openHome(const tier_config &cfg, const char *baseDir, const char *path, tier_file *file,
                  FILE *log = nullptr);

// The SOP class and transfer syntax of the image at path from its stub
// (when its file is gone): 0, or -1.
int tier_stubClass(const char *path, std::string *sopClass, std::string *xfer);

// Removes what the tier holds of the image at path: the object, then the
// stub (a kill in between leaves the stub, and a repeat finds the object
// gone, which counts as deleted). 0 nothing there or removed; -1 the object
// could not be deleted or the tier is off (logged; the stub is kept, so the
// image stays whole and the delete can be repeated). cfg and log as for
// tier_openImage.
int tier_forgetImage(const tier_config *cfg, const char *path, FILE *log = nullptr);

// Ownership (store/tierarchive.cc). Each store has an archive id, made once
// at first use (32 hex digits in BASE/ARCHIVEID), and claims its prefix of
// the bucket with a marker object PREFIX + ".velto-archive" that carries the
// id as x-amz-meta-archive, as every object it uploads does. A prefix is
// another archive's when a marker with another id is at it, at a prefix
// that encloses it (a string prefix of it: "" encloses everything) or at one
// it encloses.
#define TIER_ARCHIVE_ID_FILE "ARCHIVEID"
#define TIER_MARKER_NAME ".velto-archive"

// How tier_claim treats the prefix.
enum {
    TIER_VERIFY = 0, // only read: is the prefix another archive's?
    TIER_CLAIM = 1,  // make the store's id if it has none, and claim the prefix if unclaimed
    TIER_ADOPT = 2,  // as TIER_CLAIM, but a store without an id takes the marker's (recovery)
    TIER_PEEK = 3,   // as TIER_VERIFY, but a store without an id reads as the marker's archive
};
// Results of tier_claim.
enum {
    TIER_OWNED = 0,       // this archive's (or, verifying, nobody's yet); cfg->archiveId set
    TIER_FOREIGN = 1,     // another archive's (why says whose and where)
    TIER_UNREACHABLE = 2, // the gateway cannot tell (why)
    TIER_LOCAL_ERROR = 3, // the store's id cannot be read or made (why)
};
// Checks (and with TIER_CLAIM or TIER_ADOPT takes) the ownership of cfg's
// prefix for the store at cfg->baseDir: a TIER_* result above.
int tier_claim(tier_config *cfg, int mode, char *why, size_t whySize);

// The store's archive id from BASE/ARCHIVEID: 0 read, 1 none, -1 unreadable.
int tier_readArchiveId(const char *baseDir, std::string *id);
// Writes id (32 hex digits) as the store's archive id unless it has one
// (temporary name, flush, link, directory flush): 0 with *id the store's id
// now (compare it with the one given), or -1 (errno set).
int tier_writeArchiveId(const char *baseDir, std::string *id);

// Recovers what the store keeps of the moved image whose file belongs at
// path, from its object (key): the stub from a HEAD request (size, SHA-256,
// owner), and the head (fetched from the object's start) when it is not
// there. TIER_OK; TIER_MISSING when there is no such object of this archive;
// TIER_UNAVAILABLE (gateway) or TIER_FAILED (local) after a log line.
int tier_recoverImage(const tier_config &cfg, const char *path, const std::string &key,
                      FILE *log = nullptr);

// The read path's recovery of a lost stub: when the image at path has
// neither its file nor its stub but its head, and cfg (null: off) finds
// its object, the stub is written again (tier_recoverImage). 0 when there
// is a stub now, -1 otherwise.
int tier_recoverStub(const tier_config *cfg, const char *path, FILE *log = nullptr);

// The key of the image file at path from its place (the prefix and its last
// six path components, "uid/XX/YY/study_S/series_R/image_I.dcm").
std::string tier_keyOfPath(const tier_config &cfg, const char *path);

// Writes the head of the DICOM file at src to headPath (temporary name,
// flush, rename): 0, or -1.
int tier_writeHead(const char *src, const char *headPath);

#endif
