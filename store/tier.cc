// The object tier: its settings file, stubs, moving an image out, reading
// one back through the cache, and forgetting one (store/tier.h).
#include "store/tier.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "index/retrievelist.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "store/checksums.h"

// The tier's messages go to the caller's log, or to stderr without one.
#define TLOG(log, level, ...) logprintf(level, (log) != nullptr ? (log) : stderr, __VA_ARGS__)

// "30d", "12h", "5m", "10s" or plain seconds: seconds, or -1.
static long parseDuration(const std::string &v)
{
    char *end = nullptr;
    double n = strtod(v.c_str(), &end);
    if (end == v.c_str() || n < 0)
        return -1;
    std::string unit(end);
    double mult = unit == "d" ? 86400 : unit == "h" ? 3600 : unit == "m" ? 60 : 1;
    if (!unit.empty() && unit != "d" && unit != "h" && unit != "m" && unit != "s")
        return -1;
    return (long)(n * mult);
}

// "512M", "2G", "100K" or plain bytes: bytes, or 0.
static uint64_t parseSize(const std::string &v)
{
    char *end = nullptr;
    unsigned long long n = strtoull(v.c_str(), &end, 10);
    std::string unit(end);
    uint64_t mult = unit == "K"   ? 1ull << 10
                    : unit == "M" ? 1ull << 20
                    : unit == "G" ? 1ull << 30
                                  : 1;
    if (end == v.c_str() || (!unit.empty() && mult == 1))
        return 0;
    return n * mult;
}

long tier_parseDuration(const std::string &v)
{
    return parseDuration(v);
}

uint64_t tier_parseSize(const std::string &v)
{
    return parseSize(v);
}

static std::string relativeTo(const std::string &dir, const std::string &name)
{
    return name.empty() || name[0] == '/' ? name : dir + "/" + name;
}

// The credentials file: "access-key KEY" and "secret-key SECRET" lines.
// Refused when its group or others may read it.
static int loadCredentials(const std::string &path, tier_config *cfg, char *why, size_t whySize)
{
    struct stat st;
    sitefile_error err;
    FILE *f = sitefile_open(path.c_str(), &st, &err);
    if (f == nullptr) {
        snprintf(why, whySize, "cannot read the credentials %s: %s", path.c_str(),
                 err.reason.c_str());
        return -1;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        snprintf(why, whySize, "the credentials %s may be read by its group or others (mode %o)",
                 path.c_str(), (unsigned)(st.st_mode & 07777));
        fclose(f);
        return -1;
    }
    // A secret may hold '#': only a line starting with one is a comment. A
    // line without a value is passed over, and a value is its first word.
    sitefile_options options;
    options.maxLength = 4095;
    options.hashAnywhere = false;
    int read = sitefile_readStream(
        f, options,
        [&](const sitefile_line &line) {
            std::string value = sitefile_firstWord(line.value);
            if (value.empty())
                return true;
            if (line.key == "access-key")
                cfg->s3.accessKey = value;
            else if (line.key == "secret-key")
                cfg->s3.secretKey = value;
            return true;
        },
        &err);
    fclose(f);
    if (read != 0) {
        snprintf(why, whySize, "cannot read the credentials %s", path.c_str());
        return -1;
    }
    if (cfg->s3.accessKey.empty() || cfg->s3.secretKey.empty()) {
        snprintf(why, whySize, "the credentials %s lack access-key or secret-key", path.c_str());
        return -1;
    }
    return 0;
}

int tier_loadFile(const char *path, const char *baseDir, tier_config *cfg, char *why,
                  size_t whySize)
{
    *cfg = tier_config();
    char copy[PATH_MAX];
    snprintf(copy, sizeof copy, "%s", path);
    std::string dir = dirname(copy);
    std::string credentials;
    // Lines of up to 2047 characters: the length this file always had.
    sitefile_options options;
    options.maxLength = 2047;
    int result = 0;
    sitefile_error err;
    int read = sitefile_read(
        path, options,
        [&](const sitefile_line &line) {
            const std::string &k = line.key, &v = line.value;
            // One key of at most 63 characters and one value of at most 1023.
            bool ok = sitefile_isOneWord(v) && k.size() < 64 && v.size() < 1024;
            if (!ok)
                ;
            else if (k == "endpoint")
                cfg->s3.endpoint = v;
            else if (k == "bucket")
                cfg->s3.bucket = v;
            else if (k == "region")
                cfg->s3.region = v;
            else if (k == "credentials")
                credentials = relativeTo(dir, v);
            else if (k == "verify-tls")
                ok = (v == "on" || v == "off") && ((cfg->s3.verifyTls = v == "on"), true);
            else if (k == "ca-file")
                cfg->s3.caFile = relativeTo(dir, v);
            else if (k == "prefix")
                cfg->prefix = v;
            else if (k == "quiet")
                ok = (cfg->quietSeconds = parseDuration(v)) >= 0;
            else if (k == "min-quiet")
                ok = (cfg->minQuietSeconds = parseDuration(v)) >= 0;
            else if (k == "free-below")
                ok = sscanf(v.c_str(), "%lf%%", &cfg->freeBelowPercent) == 1 &&
                     cfg->freeBelowPercent >= 0 && cfg->freeBelowPercent < 100;
            else if (k == "list-page")
                ok = sscanf(v.c_str(), "%d", &cfg->s3.listPage) == 1 && cfg->s3.listPage >= 1 &&
                     cfg->s3.listPage <= 1000;
            else if (k == "movers")
                ok = sscanf(v.c_str(), "%d", &cfg->movers) == 1 && cfg->movers >= 1 &&
                     cfg->movers <= 16;
            else if (k == "cache-dir")
                cfg->cacheDir = relativeTo(dir, v);
            else if (k == "cache-size")
                ok = (cfg->cacheBytes = parseSize(v)) > 0;
            else if (k == "timeout")
                ok = (cfg->s3.stallTimeout = parseDuration(v)) > 0;
            else
                ok = false;
            if (!ok) {
                snprintf(why, whySize, "%s line %d: bad setting \"%.63s\"", path, line.number,
                         k.c_str());
                result = -1;
            }
            return ok;
        },
        &err);
    if (read != 0 && err.status == SITEFILE_TOO_LONG) {
        snprintf(why, whySize, "%s line %d: %s", path, err.line, err.reason.c_str());
        result = -1;
    } else if (read != 0) {
        snprintf(why, whySize, "cannot read %s: %s", path, err.reason.c_str());
        result = -1;
    }
    if (result != 0)
        return result;
    if (cfg->s3.endpoint.empty() || cfg->s3.bucket.empty() || credentials.empty()) {
        snprintf(why, whySize, "%s: endpoint, bucket and credentials are required", path);
        return -1;
    }
    if (cfg->s3.endpoint.compare(0, 7, "http://") != 0 &&
        cfg->s3.endpoint.compare(0, 8, "https://") != 0) {
        snprintf(why, whySize, "%s: the endpoint must be an http:// or https:// URL", path);
        return -1;
    }
    while (!cfg->s3.endpoint.empty() && cfg->s3.endpoint.back() == '/')
        cfg->s3.endpoint.pop_back();
    if (cfg->s3.region.empty())
        cfg->s3.region = "us-east-1";
    if (cfg->cacheDir.empty())
        cfg->cacheDir = std::string(baseDir) + "/tiercache";
    cfg->baseDir = baseDir;
    return loadCredentials(credentials, cfg, why, whySize);
}

int tier_setup(const char *baseDir, std::unique_ptr<tier_config> *out, char *why, size_t whySize)
{
    char found[INSTALLPATH_SIZE];
    out->reset();
    if (getfilepath(CONFIG_SEARCHPATH, TIER_CONFIG_FILENAME, F_OK, found, sizeof found) == nullptr)
        return 0;
    std::unique_ptr<tier_config> cfg(new tier_config);
    if (tier_loadFile(found, baseDir, cfg.get(), why, whySize) != 0)
        return -1;
    // The transfer library's set-up, before any thread: once per process.
    objstore_global_init();
    *out = std::move(cfg);
    return 1;
}

int tier_start(const char *baseDir, std::unique_ptr<tier_config> *out, FILE *log, const char *prog)
{
    char why[512] = "";
    int r = tier_setup(baseDir, out, why, sizeof why);
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, log, "Object tier: %s\n", why);
        fprintf(stderr, "%s: object tier: %s\n", prog, why);
        return 1;
    }
    if (r == 0)
        return 0;
    // A prefix another archive owns is never served from (its deletes would
    // remove the other's objects); a gateway that cannot tell now does not
    // stop the start (the tier's images fail until it is back, the mover
    // claims the prefix before it moves anything).
    int c = tier_claim(out->get(), TIER_VERIFY, why, sizeof why);
    if (c == TIER_FOREIGN || c == TIER_LOCAL_ERROR) {
        logprintf(LOGLEVEL_FATAL, log, "Object tier: %s\n", why);
        fprintf(stderr, "%s: object tier: %s\n", prog, why);
        out->reset();
        return 1;
    }
    if (c == TIER_UNREACHABLE)
        logprintf(LOGLEVEL_WARNING, log, "Object tier: cannot check who owns the prefix: %s\n",
                  why);
    logprintf(LOGLEVEL_NOTICE, log, "Object tier %s/%s in use.\n", (*out)->s3.endpoint.c_str(),
              (*out)->s3.bucket.c_str());
    return 0;
}

std::string tier_key(const tier_config &cfg, const char *baseDir, const char *path)
{
    size_t n = strlen(baseDir);
    while (n > 0 && baseDir[n - 1] == '/')
        n--;
    const char *rel = path;
    if (strncmp(path, baseDir, n) == 0 && path[n] == '/')
        rel = path + n + 1;
    return cfg.prefix + rel;
}

static std::string stubPath(const char *imagePath)
{
    return std::string(imagePath) + TIER_STUB_SUFFIX;
}

int tier_readStub(const char *imagePath, tier_stub *stub)
{
    *stub = tier_stub();
    FILE *f = fopen(stubPath(imagePath).c_str(), "re");
    if (f == nullptr)
        return errno == ENOENT ? 1 : -1;
    char line[1024];
    while (fgets(line, sizeof line, f) != nullptr) {
        char key[32], value[1000];
        if (sscanf(line, "%31s %999s", key, value) != 2)
            continue;
        if (strcmp(key, "key") == 0)
            stub->key = value;
        else if (strcmp(key, "size") == 0)
            stub->size = strtoull(value, nullptr, 10);
        else if (strcmp(key, "sha256") == 0)
            stub->sha256 = value;
        else if (strcmp(key, "class") == 0)
            stub->sopClass = value;
        else if (strcmp(key, "xfer") == 0)
            stub->xfer = value;
    }
    fclose(f);
    return stub->key.empty() || stub->sha256.size() != 64 ? -1 : 0;
}

// fsync of the directory holding path: 0 or -1.
static int syncParent(const std::string &path)
{
    std::string dir = path.substr(0, path.rfind('/'));
    int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r = fsync(fd);
    close(fd);
    return r;
}

int tier_writeStub(const char *imagePath, const tier_stub &stub)
{
    std::string path = stubPath(imagePath);
    std::string tmp = path + ".tmp";
    char text[2048];
    int len = snprintf(text, sizeof text, "key %s\nsize %llu\nsha256 %s\nclass %s\nxfer %s\n",
                       stub.key.c_str(), (unsigned long long)stub.size, stub.sha256.c_str(),
                       stub.sopClass.empty() ? "-" : stub.sopClass.c_str(),
                       stub.xfer.empty() ? "-" : stub.xfer.c_str());
    if (len <= 0 || len >= (int)sizeof text) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A crash before the rename leaves the temporary name only (the image
    // is still its local file); after it, the stub is whole.
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    int r = fullio_write(fd, text, (size_t)len) == len && fsync(fd) == 0 ? 0 : -1;
    int saved = errno;
    close(fd);
    if (r == 0 && rename(tmp.c_str(), path.c_str()) == 0)
        return syncParent(path);
    saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return -1;
}

// Writes the head of the image file at path (its data set up to the pixel
// data, in its own transfer syntax) under the temporary name, flushed:
// 0, or -1.
static int writeHead(const char *path, const std::string &tmp)
{
    DcmFileFormat ff;
    if (ff.loadFileUntilTag(path, EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect,
                            DCM_PixelData)
            .bad() ||
        ff.saveFile(tmp.c_str(), EXS_Unknown).bad())
        return -1;
    int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    int r = fd >= 0 && fsync(fd) == 0 ? 0 : -1;
    if (fd >= 0)
        close(fd);
    return r;
}

int tier_writeHead(const char *src, const char *headPath)
{
    std::string tmp = std::string(headPath) + ".tmp";
    if (writeHead(src, tmp) != 0 || rename(tmp.c_str(), headPath) != 0) {
        int saved = errno;
        unlink(tmp.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

int tier_moveImage(const tier_config &cfg, const char *baseDir, const char *path, FILE *log)
{
    char why[512] = "";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return TIER_MISSING;
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot open %s: %s\n", path, strerror(errno));
        return TIER_FAILED;
    }
    tier_stub stub;
    stub.key = tier_key(cfg, baseDir, path);
    int result = TIER_OK;
    struct stat before, now;
    if (fstat(fd, &before) != 0 || objstore_sha256_fd(fd, &stub.sha256, &stub.size) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot read %s: %s\n", path, strerror(errno));
        result = TIER_FAILED;
    } else if (retrievelist_fileClass(path, &stub.sopClass, &stub.xfer) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:%s is not a readable DICOM file\n", path);
        result = TIER_FAILED;
    } else if (objstore_put(cfg.s3, stub.key, fd, stub.size, stub.sha256, why, sizeof why,
                            cfg.archiveId) != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:upload of %s failed: %s\n", path, why);
        result = TIER_UNAVAILABLE;
    } else {
        objstore_info head;
        int h = objstore_head(cfg.s3, stub.key, &head, why, sizeof why);
        if (h != OBJSTORE_OK || head.size != stub.size || head.sha256 != stub.sha256) {
            TLOG(log, LOGLEVEL_ERROR,
                 "TIER:%s did not arrive whole (size %llu of %llu, checksum %s) %s\n", path,
                 (unsigned long long)head.size, (unsigned long long)stub.size,
                 head.sha256 == stub.sha256 ? "equal" : "different", why);
            result = TIER_UNAVAILABLE;
        }
    }
    // The file that was uploaded must still be the one at path: a store
    // that replaced the image meanwhile keeps its new file local (the next
    // pass moves it). A replacement between this check and the unlink would
    // be lost, a window of two system calls that the mover's quiet time
    // keeps closed in practice (it moves only studies nobody has written
    // to for a while).
    if (result == TIER_OK &&
        (stat(path, &now) != 0 || now.st_ino != before.st_ino || now.st_dev != before.st_dev ||
         now.st_mtime != before.st_mtime || (uint64_t)now.st_size != stub.size)) {
        TLOG(log, LOGLEVEL_WARNING, "TIER:%s changed while it was moved; kept local\n", path);
        result = TIER_CHANGED;
    }
    std::string head = std::string(path) + TIER_HEAD_SUFFIX, headTmp = head + ".tmp";
    if (result == TIER_OK &&
        (writeHead(path, headTmp) != 0 || rename(headTmp.c_str(), head.c_str()) != 0)) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot keep the head of %s: %s\n", path, strerror(errno));
        unlink(headTmp.c_str());
        result = TIER_FAILED;
    }
    if (result == TIER_OK && tier_writeStub(path, stub) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot write the stub of %s: %s\n", path, strerror(errno));
        result = TIER_FAILED;
    }
    close(fd);
    if (result == TIER_OK && (unlink(path) != 0 || syncParent(path) != 0)) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot remove %s after moving it: %s\n", path,
             strerror(errno));
        result = TIER_FAILED;
    }
    return result;
}

int tier_putImage(const tier_config &cfg, const char *baseDir, const char *path, int fd, FILE *log,
                  const checksums_record *known)
{
    char why[512] = "";
    std::string key = tier_key(cfg, baseDir, path), sha;
    uint64_t size = 0;
    struct stat st;
    // The write path hashed these very bytes as it wrote them: read again
    // only when the file is not the size it recorded.
    if (known != nullptr && known->sha256.size() == 64 && fstat(fd, &st) == 0 &&
        (uint64_t)st.st_size == known->size) {
        sha = known->sha256;
        size = known->size;
    } else if (objstore_sha256_fd(fd, &sha, &size) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot read %s: %s\n", path, strerror(errno));
        return TIER_FAILED;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot read %s: %s\n", path, strerror(errno));
        return TIER_FAILED;
    }
    // No HEAD afterwards, unlike a move out (which removes the local file
    // on its word): the request is signed over the body's SHA-256
    // (x-amz-content-sha256), which the gateway checks before it stores
    // anything, so a PUT answered with success stored exactly these bytes.
    // A HEAD would add a round trip to every acknowledgement of ack shared.
    if (objstore_put(cfg.s3, key, fd, size, sha, why, sizeof why, cfg.archiveId) != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:upload of %s failed: %s\n", path, why);
        return TIER_UNAVAILABLE;
    }
    return TIER_OK;
}

int tier_deleteObject(const tier_config &cfg, const char *baseDir, const char *path, FILE *log)
{
    char why[512] = "";
    int r = objstore_delete(cfg.s3, tier_key(cfg, baseDir, path), why, sizeof why);
    if (r == OBJSTORE_OK || r == OBJSTORE_NOT_FOUND)
        return 0;
    TLOG(log, LOGLEVEL_ERROR, "TIER:cannot delete the object of %s: %s\n", path, why);
    return -1;
}

tier_file::~tier_file()
{
    if (lockFd >= 0)
        close(lockFd);
}

int tier_stubClass(const char *path, std::string *sopClass, std::string *xfer)
{
    tier_stub stub;
    if (tier_readStub(path, &stub) != 0 || stub.sopClass == "-" || stub.sopClass.empty())
        return -1;
    *sopClass = stub.sopClass;
    *xfer = stub.xfer;
    return 0;
}

// Opens the cached copy at path, locked shared against eviction, if it is
// there whole (size). The descriptor, or -1.
static int openCached(const std::string &path, uint64_t size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    // A copy evicted between the open and the lock has no name left.
    if (flock(fd, LOCK_SH) != 0 || fstat(fd, &st) != 0 || st.st_nlink == 0 ||
        (uint64_t)st.st_size != size) {
        close(fd);
        return -1;
    }
    // The modification time orders the copies for eviction: last used last.
    futimens(fd, nullptr);
    return fd;
}

// Evicts the least recently used copies that nobody reads until need bytes
// fit below the limit. Temporary files of fetches that died go too.
static void makeRoom(const tier_config &cfg, uint64_t need)
{
    DIR *d = opendir(cfg.cacheDir.c_str());
    if (d == nullptr)
        return;
    struct entry {
        time_t mtime;
        uint64_t size;
        std::string path;
    };
    std::vector<entry> copies;
    uint64_t total = 0;
    time_t now = time(nullptr);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        std::string p = cfg.cacheDir + "/" + name;
        if (name[0] == '.' || stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
            if (now - st.st_mtime > 3600)
                unlink(p.c_str());
            continue;
        }
        copies.push_back({st.st_mtime, (uint64_t)st.st_size, p});
        total += (uint64_t)st.st_size;
    }
    closedir(d);
    std::sort(copies.begin(), copies.end(),
              [](const entry &a, const entry &b) { return a.mtime < b.mtime; });
    for (const entry &c : copies) {
        if (total + need <= cfg.cacheBytes)
            break;
        // A copy that a reader holds (shared lock) stays.
        int fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(c.path.c_str()) == 0)
            total -= c.size;
        close(fd);
    }
}

// Fetches the stub's object into the cache under cached: 0, -1 logged, or
// 1 when it came back damaged (logged).
static int fetch(const tier_config &cfg, const char *path, const tier_stub &stub,
                 const std::string &cached, FILE *log)
{
    static std::atomic<unsigned> counter(0);
    char why[512] = "";
    mkdir(cfg.cacheDir.c_str(), 0700);
    makeRoom(cfg, stub.size);
    char tmp[PATH_MAX];
    snprintf(tmp, sizeof tmp, "%s.%d.%u.tmp", cached.c_str(), (int)getpid(), counter.fetch_add(1));
    int fd = open(tmp, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot create %s: %s\n", tmp, strerror(errno));
        return -1;
    }
    uint64_t written = 0, size = 0;
    std::string sha;
    int result = 0;
    int g = objstore_get(cfg.s3, stub.key, fd, 0, 0, &written, why, sizeof why);
    if (g != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot fetch %s for %s: %s\n", stub.key.c_str(), path,
             g == OBJSTORE_NOT_FOUND ? "not in the tier" : why);
        result = -1;
    } else if (objstore_sha256_fd(fd, &sha, &size) != 0 || size != stub.size ||
               sha != stub.sha256) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:%s came back damaged (size %llu of %llu)\n",
             stub.key.c_str(), (unsigned long long)size, (unsigned long long)stub.size);
        result = size == 0 && sha.empty() ? -1 : 1;
    }
    close(fd);
    // The cache is only a copy: a crash leaves a temporary file (removed
    // by a later eviction) or a whole copy, never a torn one under its name.
    if (result == 0 && rename(tmp, cached.c_str()) != 0)
        result = -1;
    if (result != 0)
        unlink(tmp);
    return result;
}

// Verifies the file open on fd (the image at path) against rec: TIER_OK, or
// TIER_DAMAGED after a log line naming what (what: "file", "cached copy").
static int verifyOpen(int fd, const checksums_record &rec, const char *path, const char *what,
                      FILE *log)
{
    checksums_record found;
    int v = checksums_verifyFd(fd, rec, &found);
    if (v == CHECKSUMS_GOOD)
        return TIER_OK;
    if (v == CHECKSUMS_DAMAGED)
        TLOG(log, LOGLEVEL_ERROR,
             "DAMAGED:the %s of %s is not the image stored (size %llu of %llu, checksum %s)\n",
             what, path, (unsigned long long)found.size, (unsigned long long)rec.size,
             found.sha256.empty() ? "not read" : found.sha256.c_str());
    else
        TLOG(log, LOGLEVEL_ERROR, "DAMAGED:the %s of %s cannot be read: %s\n", what, path,
             strerror(errno));
    return TIER_DAMAGED;
}

// The local file at path, verified against its CHECKSUMS line: TIER_OK (also
// without a line), TIER_MISSING when it is gone, or TIER_DAMAGED.
static int verifyLocal(const char *path, FILE *log)
{
    // Without setting the access time (an inode change for the file
    // system's journal, for every image read just after it was written);
    // O_NOATIME needs the file's owner, another's file is read all the same.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return TIER_MISSING;
    if (fd < 0) {
        int failed = errno;
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot open %s: %s\n", path, strerror(failed));
        return failed == EIO ? TIER_DAMAGED : TIER_UNAVAILABLE;
    }
    checksums_record rec;
    int found = checksums_lookupImage(path, &rec);
    int r = TIER_OK;
    if (found == 0)
        r = verifyOpen(fd, rec, path, "file", log);
    else if (found < 0)
        TLOG(log, LOGLEVEL_WARNING,
             "CHECKSUMS:the record of %s cannot be read (read unchecked): %s\n", path,
             strerror(errno));
    close(fd);
    return r;
}

int tier_openImage(const tier_config *cfg, const char *path, tier_file *file, FILE *log,
                   bool headOnly)
{
    if (file->lockFd >= 0)
        close(file->lockFd);
    file->lockFd = -1;
    file->path = path;
    if (headOnly && access(path, F_OK) == 0)
        return TIER_OK;
    int local = verifyLocal(path, log);
    if (local != TIER_MISSING)
        return local;
    tier_stub stub;
    int s = tier_readStub(path, &stub);
    // The stub is written before the file goes: a file gone between the
    // first look and the stub's read has its stub by now.
    // A head alone (the file not back meanwhile): the stub was lost; its
    // object gives it back.
    if (s == 1 && access(path, F_OK) != 0 && tier_recoverStub(cfg, path, log) == 0)
        s = tier_readStub(path, &stub);
    if (s == 1)
        return verifyLocal(path, log);
    if (s != 0 || cfg == nullptr) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:%s is in the tier, which is %s\n", path,
             cfg == nullptr ? "not configured" : "recorded in a damaged stub");
        return TIER_UNAVAILABLE;
    }
    std::string cached = cfg->cacheDir + "/" + stub.sha256 + ".dcm";
    checksums_record rec;
    rec.size = stub.size;
    rec.sha256 = stub.sha256;
    // A copy found in the cache is verified at every open, not only when
    // it was filled: the cache is a plain directory that anything may have
    // written to since. A damaged one stays (for the scrub to repair) and
    // the read fails as for a damaged file.
    int fd = openCached(cached, stub.size);
    if (fd >= 0 && !headOnly && verifyOpen(fd, rec, path, "cached copy", log) != TIER_OK) {
        close(fd);
        return TIER_DAMAGED;
    }
    if (fd < 0) {
        int fetched = fetch(*cfg, path, stub, cached, log);
        if (fetched == 1)
            return TIER_DAMAGED;
        // Just fetched and checked on the way: not read a second time.
        if (fetched == 0)
            fd = openCached(cached, stub.size);
    }
    if (fd < 0)
        return TIER_UNAVAILABLE;
    file->path = cached;
    file->lockFd = fd;
    return TIER_OK;
}

int tier_openHome(const tier_config &cfg, const char *baseDir, const char *path, tier_file *file,
                  FILE *log)
{
    if (file->lockFd >= 0)
        close(file->lockFd);
    file->lockFd = -1;
    file->path = path;
    int local = verifyLocal(path, log);
    if (local != TIER_MISSING)
        return local;
    // No stub on a cluster node: the object's own HEAD gives what the stub
    // would (its size and the SHA-256 put with it at ingest).
    char why[512] = "";
    tier_stub stub;
    stub.key = tier_key(cfg, baseDir, path);
    objstore_info head;
    int h = objstore_head(cfg.s3, stub.key, &head, why, sizeof why);
    if (h == OBJSTORE_NOT_FOUND)
        return TIER_MISSING;
    if (h != OBJSTORE_OK) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot ask for %s: %s\n", path, why);
        return TIER_UNAVAILABLE;
    }
    if (head.sha256.size() != 64 || (!cfg.archiveId.empty() && head.archive != cfg.archiveId)) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:the object of %s carries no checksum of this archive\n",
             path);
        return TIER_DAMAGED;
    }
    stub.size = head.size;
    stub.sha256 = head.sha256;
    std::string cached = cfg.cacheDir + "/" + stub.sha256 + ".dcm";
    checksums_record rec;
    rec.size = stub.size;
    rec.sha256 = stub.sha256;
    int fd = openCached(cached, stub.size);
    if (fd >= 0 && verifyOpen(fd, rec, path, "cached copy", log) != TIER_OK) {
        close(fd);
        return TIER_DAMAGED;
    }
    if (fd < 0) {
        int fetched = fetch(cfg, path, stub, cached, log);
        if (fetched == 1)
            return TIER_DAMAGED;
        if (fetched == 0)
            fd = openCached(cached, stub.size);
    }
    if (fd < 0)
        return TIER_UNAVAILABLE;
    file->path = cached;
    file->lockFd = fd;
    return TIER_OK;
}

int tier_forgetImage(const tier_config *cfg, const char *path, FILE *log)
{
    tier_stub stub;
    std::string head = std::string(path) + TIER_HEAD_SUFFIX;
    int s = tier_readStub(path, &stub);
    // A head without a stub is what a move killed before its stub left, or
    // a lost stub: an object of this archive at its key goes too.
    if (s == 1 && tier_recoverStub(cfg, path, log) == 0)
        s = tier_readStub(path, &stub);
    if (s == 1)
        return unlink(head.c_str()) == 0 || errno == ENOENT ? 0 : -1;
    char why[512] = "not configured";
    if (cfg == nullptr ||
        (!stub.key.empty() && objstore_delete(cfg->s3, stub.key, why, sizeof why) != OBJSTORE_OK)) {
        TLOG(log, LOGLEVEL_ERROR, "TIER:cannot delete %s from the tier: %s\n", path, why);
        return -1;
    }
    // The stub goes first: a kill after it leaves a head alone, which the
    // repeated delete removes.
    std::string sp = stubPath(path);
    if (unlink(sp.c_str()) != 0 && errno != ENOENT)
        return -1;
    return unlink(head.c_str()) == 0 || errno == ENOENT ? syncParent(sp) : -1;
}
