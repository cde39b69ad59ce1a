// The object tier as an archive of its own (store/tier.h): the store's
// archive id, the marker object by which it claims its prefix of the bucket,
// and recovering an image's stub and head from its object.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "index/retrievelist.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "store/tier.h"

#define TLOG(log, level, ...) logprintf(level, (log) != nullptr ? (log) : stderr, __VA_ARGS__)

static bool isHexId(const std::string &id)
{
    if (id.size() != 32)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

int tier_readArchiveId(const char *baseDir, std::string *id)
{
    std::string path = std::string(baseDir) + "/" TIER_ARCHIVE_ID_FILE;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 1 : -1;
    char buf[64];
    ssize_t n = fullio_read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n < 0)
        return -1;
    buf[n] = 0;
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (!isHexId(text)) {
        errno = EINVAL;
        return -1;
    }
    *id = text;
    return 0;
}

// Writes id as the store's archive id unless it has one: 0 (*id is then the
// id the store has), or -1. The file is written under a temporary name,
// flushed, and linked (not renamed) into place, so that of two processes
// making an id at once the first wins and the second reads it.
static int makeArchiveId(const char *baseDir, std::string *id)
{
    std::string path = std::string(baseDir) + "/" TIER_ARCHIVE_ID_FILE;
    std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    std::string text = *id + "\n";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    int r = fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0
                ? 0
                : -1;
    close(fd);
    if (r == 0 && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST)
        r = -1;
    unlink(tmp.c_str());
    if (r != 0 || durable_flushDir(baseDir) != 0)
        return -1;
    return tier_readArchiveId(baseDir, id) == 0 ? 0 : -1;
}

int tier_writeArchiveId(const char *baseDir, std::string *id)
{
    if (!isHexId(*id)) {
        errno = EINVAL;
        return -1;
    }
    return makeArchiveId(baseDir, id);
}

static std::string newId()
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes)
        abort(); // the kernel's generator does not fail for 16 bytes
    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += digits[b >> 4];
        id += digits[b & 15];
    }
    return id;
}

// HEAD of the marker at prefix: OBJSTORE_* (OK: *owner its archive id, "?"
// when it carries none or no well-formed one).
static int headMarker(const tier_config &cfg, const std::string &prefix, std::string *owner,
                      char *why, size_t whySize)
{
    objstore_info info;
    int r = objstore_head(cfg.s3, prefix + TIER_MARKER_NAME, &info, why, whySize);
    // The id is the gateway's text: anything but an id of ours is shown as
    // "?" (it goes into log lines and messages).
    if (r == OBJSTORE_OK)
        *owner = isHexId(info.archive) ? info.archive : "?";
    return r;
}

// Puts the marker of cfg's prefix naming id: OBJSTORE_*.
static int putMarker(const tier_config &cfg, const std::string &id, char *why, size_t whySize)
{
    std::string body = "velto-archive " + id + "\nprefix " + cfg.prefix + "\n";
    int fd = memfd_create("velto-marker", MFD_CLOEXEC);
    if (fd < 0) {
        snprintf(why, whySize, "cannot make the marker: %s", strerror(errno));
        return OBJSTORE_FAILED;
    }
    std::string sha;
    uint64_t size = 0;
    int r = OBJSTORE_FAILED;
    if (fullio_write(fd, body.data(), body.size()) == (ssize_t)body.size() &&
        objstore_sha256_fd(fd, &sha, &size) == 0)
        r = objstore_put(cfg.s3, cfg.prefix + TIER_MARKER_NAME, fd, size, sha, why, whySize, id);
    else
        snprintf(why, whySize, "cannot make the marker: %s", strerror(errno));
    close(fd);
    return r;
}

int tier_claim(tier_config *cfg, int mode, char *why, size_t whySize)
{
    const std::string &prefix = cfg->prefix;
    std::string where = cfg->s3.bucket + "/" + prefix;
    std::string local;
    int l = tier_readArchiveId(cfg->baseDir.c_str(), &local);
    if (l < 0) {
        snprintf(why, whySize, "the archive id %s/%s cannot be read: %s", cfg->baseDir.c_str(),
                 TIER_ARCHIVE_ID_FILE, strerror(errno));
        return TIER_LOCAL_ERROR;
    }
    std::string owner;
    int h = headMarker(*cfg, prefix, &owner, why, whySize);
    if (h == OBJSTORE_FAILED)
        return TIER_UNREACHABLE;
    if (h == OBJSTORE_OK && local.empty() && (mode == TIER_ADOPT || mode == TIER_PEEK) &&
        isHexId(owner)) {
        if (mode == TIER_ADOPT && makeArchiveId(cfg->baseDir.c_str(), &owner) != 0) {
            snprintf(why, whySize, "cannot write the archive id into %s: %s", cfg->baseDir.c_str(),
                     strerror(errno));
            return TIER_LOCAL_ERROR;
        }
        local = owner;
    }
    if (h == OBJSTORE_OK && owner != local) {
        if (local.empty())
            snprintf(why, whySize,
                     "the prefix \"%s\" of the bucket is claimed by archive %s, and this store "
                     "has no archive id (if it is that archive, its files lost, run storeindex "
                     "rebuild --from-tier)",
                     where.c_str(), owner.c_str());
        else
            snprintf(why, whySize,
                     "the prefix \"%s\" of the bucket is claimed by archive %s, not by this one "
                     "(%s): give each archive a prefix of its own",
                     where.c_str(), owner.c_str(), local.c_str());
        return TIER_FOREIGN;
    }
    // Enclosing prefixes: every shorter string prefix, down to "".
    for (size_t n = prefix.size(); n-- > 0;) {
        std::string outer = prefix.substr(0, n), other;
        int r = headMarker(*cfg, outer, &other, why, whySize);
        if (r == OBJSTORE_FAILED)
            return TIER_UNREACHABLE;
        if (r == OBJSTORE_OK && other != local) {
            snprintf(why, whySize,
                     "the prefix \"%s\" lies inside \"%s/%s\", which archive %s claims: give each "
                     "archive a prefix that neither holds nor lies in another's",
                     where.c_str(), cfg->s3.bucket.c_str(), outer.c_str(), other.c_str());
            return TIER_FOREIGN;
        }
    }
    if (h == OBJSTORE_OK) {
        cfg->archiveId = local;
        return TIER_OWNED;
    }
    // Not claimed yet: no other archive's marker may lie below the prefix
    // (once claimed, an archive that comes later finds this marker above
    // its own prefix instead, so this listing is made only until then).
    std::string inner;
    int r = objstore_listEach(
        cfg->s3, prefix,
        [&](const objstore_entry &e) {
            size_t m = strlen(TIER_MARKER_NAME);
            if (e.key.size() > prefix.size() + m &&
                e.key.compare(e.key.size() - m, m, TIER_MARKER_NAME) == 0) {
                inner = e.key;
                return false;
            }
            return true;
        },
        why, whySize);
    if (r != OBJSTORE_OK)
        return TIER_UNREACHABLE;
    if (!inner.empty()) {
        std::string other;
        int m = headMarker(*cfg, inner.substr(0, inner.size() - strlen(TIER_MARKER_NAME)), &other,
                           why, whySize);
        if (m == OBJSTORE_FAILED)
            return TIER_UNREACHABLE;
        if (m == OBJSTORE_OK && other != local) {
            snprintf(why, whySize,
                     "the prefix \"%s\" holds %s/%s of archive %s: give each archive a prefix "
                     "that neither holds nor lies in another's",
                     where.c_str(), cfg->s3.bucket.c_str(), inner.c_str(), other.c_str());
            return TIER_FOREIGN;
        }
    }
    if (mode == TIER_VERIFY || mode == TIER_PEEK) {
        cfg->archiveId = local;
        return TIER_OWNED;
    }
    if (local.empty()) {
        local = newId();
        if (makeArchiveId(cfg->baseDir.c_str(), &local) != 0) {
            snprintf(why, whySize, "cannot write the archive id into %s: %s", cfg->baseDir.c_str(),
                     strerror(errno));
            return TIER_LOCAL_ERROR;
        }
    }
    // S3 has no "create if absent": the marker is put and read back, and of
    // two archives claiming at once the one whose marker stays has won.
    if (putMarker(*cfg, local, why, whySize) != OBJSTORE_OK ||
        headMarker(*cfg, prefix, &owner, why, whySize) != OBJSTORE_OK)
        return TIER_UNREACHABLE;
    if (owner != local) {
        snprintf(why, whySize,
                 "the prefix \"%s\" of the bucket was claimed by archive %s meanwhile",
                 where.c_str(), owner.c_str());
        return TIER_FOREIGN;
    }
    cfg->archiveId = local;
    return TIER_OWNED;
}

std::string tier_keyOfPath(const tier_config &cfg, const char *path)
{
    std::string p(path);
    size_t cut = p.size();
    for (int i = 0; i < 6 && cut != std::string::npos && cut > 0; i++)
        cut = p.rfind('/', cut - 1);
    return cfg.prefix + (cut == std::string::npos ? p : p.substr(cut + 1));
}

// Bytes of an object's start fetched for its head: the data set up to the
// pixel data fits in them for nearly every image; one that does not is
// fetched whole.
enum { HEAD_FETCH = 256 * 1024 };

// Fetches the object's first bytes (all when whole) into a temporary file
// beside path and makes the head from it: 0, 1 the start was not enough,
// or -1 (logged).
static int fetchHead(const tier_config &cfg, const char *path, const std::string &key,
                     uint64_t size, bool whole, FILE *log)
{
    static std::atomic<unsigned> counter(0);
    std::string head = std::string(path) + TIER_HEAD_SUFFIX;
    // A *.tmp name: what a crash leaves is removed by the next rebuild.
    std::string tmp = head + "." + std::to_string(getpid()) + "." +
                      std::to_string(counter.fetch_add(1)) + ".part.tmp";
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot create %s: %s\n", tmp.c_str(), strerror(errno));
        return -1;
    }
    char why[512] = "";
    uint64_t written = 0;
    uint64_t length = whole || size <= HEAD_FETCH ? 0 : HEAD_FETCH;
    int g = objstore_get(cfg.s3, key, fd, 0, length, &written, why, sizeof why);
    close(fd);
    int result = 0;
    if (g != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot fetch the start of %s: %s\n", key.c_str(), why);
        result = -1;
    } else if (tier_writeHead(tmp.c_str(), head.c_str()) != 0) {
        result = length != 0 ? 1 : -1;
        if (result < 0)
            TLOG(log, LOGLEVEL_ERROR, "TIER:%s is not a readable DICOM file\n", key.c_str());
    }
    unlink(tmp.c_str());
    return result;
}

int tier_recoverImage(const tier_config &cfg, const char *path, const std::string &key, FILE *log)
{
    char why[512] = "";
    objstore_info info;
    int h = objstore_head(cfg.s3, key, &info, why, sizeof why);
    if (h == OBJSTORE_NOT_FOUND)
        return TIER_MISSING;
    if (h != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot look up %s: %s\n", key.c_str(), why);
        return TIER_UNAVAILABLE;
    }
    // An object another archive put is never taken in (one without an owner
    // was moved before objects carried it, under this archive's prefix). A
    // daemon started before the store had its id reads it now.
    std::string id = cfg.archiveId;
    if (id.empty())
        tier_readArchiveId(cfg.baseDir.c_str(), &id);
    if (!info.archive.empty() && info.archive != id)
        return TIER_MISSING;
    if (info.sha256.size() != 64) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:%s carries no checksum; not taken in\n", key.c_str());
        return TIER_FAILED;
    }
    std::string head = std::string(path) + TIER_HEAD_SUFFIX;
    if (access(head.c_str(), R_OK) != 0) {
        int f = fetchHead(cfg, path, key, info.size, false, log);
        if (f == 1)
            f = fetchHead(cfg, path, key, info.size, true, log);
        if (f != 0)
            return TIER_FAILED;
    }
    tier_stub stub;
    stub.key = key;
    stub.size = info.size;
    stub.sha256 = info.sha256;
    if (retrievelist_fileClass(head.c_str(), &stub.sopClass, &stub.xfer) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:the head %s names no SOP class\n", head.c_str());
        return TIER_FAILED;
    }
    if (tier_writeStub(path, stub) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot write the stub of %s: %s\n", path, strerror(errno));
        return TIER_FAILED;
    }
    return TIER_OK;
}

int tier_recoverStub(const tier_config *cfg, const char *path, FILE *log)
{
    std::string head = std::string(path) + TIER_HEAD_SUFFIX;
    if (cfg == nullptr || access(head.c_str(), F_OK) != 0 || access(path, F_OK) == 0)
        return -1;
    if (tier_recoverImage(*cfg, path, tier_keyOfPath(*cfg, path), log) != TIER_OK)
        return -1;
    TLOG(log, LOGLEVEL_WARNING, "TIER:the lost stub of %s was written again from its object\n",
         path);
    return 0;
}
