// The scrub of every stored copy of every image (store/storescrub.h).
#include "store/storescrub.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "store/checksums.h"
#include "store/localstore.h"
#include "store/storecompress.h"
#include "store/storetree.h"
#include "store/studylock.h"
#include "store/tier.h"

// ioprio_set(2) has no wrapper in the C library.
enum { IOPRIO_WHO_PROCESS = 1, IOPRIO_CLASS_IDLE = 3, IOPRIO_CLASS_SHIFT = 13 };

struct scrubctx {
    LocalStore *store;
    const tier_config *tier;
    const storescrub_options *options;
    FILE *out;
    storescrub_status *st;
    std::string base;
    struct timespec begun;
    time_t written = 0; // when the status file was last written
    int failures = 0;   // findings not repaired, copies not read
};

static double secondsSince(const struct timespec &t0)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - t0.tv_sec) + (double)(now.tv_nsec - t0.tv_nsec) / 1e9;
}

// Writes the status file (temporary name, rename): a reader finds the last
// whole one. A failure is logged and the scrub goes on.
static void writeStatus(scrubctx *ctx, bool now)
{
    time_t t = time(nullptr);
    if (!now && t == ctx->written)
        return;
    ctx->written = t;
    const storescrub_status &s = *ctx->st;
    char text[1024];
    int len = snprintf(text, sizeof text,
                       "state %s\nstarted %lld\nupdated %lld\nfinished %lld\ntotal %llu\n"
                       "checked %llu\nbytes %llu\ndamaged %llu\nrepaired %llu\nunrepairable %llu\n"
                       "unverified %llu\nunreadable %llu\nstale-lines %llu\n",
                       s.running ? "running" : "finished", (long long)s.started, (long long)t,
                       (long long)s.finished, (unsigned long long)s.total,
                       (unsigned long long)s.checked, (unsigned long long)s.bytes,
                       (unsigned long long)s.damaged, (unsigned long long)s.repaired,
                       (unsigned long long)s.unrepairable, (unsigned long long)s.unverified,
                       (unsigned long long)s.unreadable, (unsigned long long)s.staleLines);
    std::string path = ctx->base + "/" STORESCRUB_STATUS_FILENAME, tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && fullio_write(fd, text, (size_t)len) == len;
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    // Not flushed: the status is a report, and a crash leaves the last one
    // renamed whole or the one before.
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        logprintf(LOGLEVEL_WARNING, ctx->store->getLogfile(), "SCRUB:cannot write %s: %s\n",
                  path.c_str(), strerror(errno));
        unlink(tmp.c_str());
    }
}

// Keeps the bytes read at or below the rate: sleeps while ahead of it.
static void pace(scrubctx *ctx, uint64_t bytes)
{
    ctx->st->bytes += bytes;
    ctx->st->checked++;
    double rate = ctx->options->rateMBs * 1e6;
    if (rate > 0) {
        double ahead = (double)ctx->st->bytes / rate - secondsSince(ctx->begun);
        if (ahead > 0)
            usleep((useconds_t)(ahead > 10 ? 10e6 : ahead * 1e6));
    }
    writeStatus(ctx, false);
}

// One line to out and the store's log.
static void say(scrubctx *ctx, unsigned level, const char *kind, const std::string &path,
                const std::string &text)
{
    if (ctx->out != nullptr) {
        fprintf(ctx->out, "%s: %s: %s\n", kind, path.c_str(), text.c_str());
        fflush(ctx->out);
    }
    logprintf(level, ctx->store->getLogfile(), "SCRUB:%s: %s: %s\n", kind, path.c_str(),
              text.c_str());
}

// "STORAGE DAMAGED uid/..." (the path below the base directory).
static void announceDamaged(scrubctx *ctx, const std::string &imagePath)
{
    if (ctx->options->monitorSock < 0)
        return;
    std::string rel = imagePath.compare(0, ctx->base.size() + 1, ctx->base + "/") == 0
                          ? imagePath.substr(ctx->base.size() + 1)
                          : imagePath;
    std::string text = MONITORMSG_KEYWORD " " MONITORMSG_DAMAGED " " + rel;
    multicast_send(ctx->options->monitorSock, text.c_str());
}

static void damaged(scrubctx *ctx, const std::string &imagePath, const std::string &copyPath,
                    const std::string &what)
{
    ctx->st->damaged++;
    say(ctx, LOGLEVEL_ERROR, "damaged", copyPath, what);
    announceDamaged(ctx, imagePath);
}

static void repaired(scrubctx *ctx, const std::string &path, const std::string &how)
{
    ctx->st->repaired++;
    say(ctx, LOGLEVEL_NOTICE, "repaired", path, how);
}

static void unrepairable(scrubctx *ctx, const std::string &path, const std::string &why)
{
    ctx->st->unrepairable++;
    ctx->failures++;
    say(ctx, LOGLEVEL_ERROR, "unrepairable", path, why);
}

static std::string describe(const checksums_record &want, const checksums_record &found)
{
    char text[256];
    snprintf(text, sizeof text, "size %llu of %llu, checksum %s", (unsigned long long)found.size,
             (unsigned long long)want.size,
             found.sha256.empty() ? "not read" : found.sha256.c_str());
    return text;
}

// The object of key fetched into an unnamed file of the cache directory and
// hashed: 0 (*found set), 1 not in the tier, -1 it cannot be read (why).
static int fetchObject(scrubctx *ctx, const std::string &key, int *fdOut, checksums_record *found,
                       std::string *why)
{
    mkdir(ctx->tier->cacheDir.c_str(), 0700);
    // Unnamed: nothing is left behind by a crash.
    int fd = open(ctx->tier->cacheDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "cannot make a temporary file in " + ctx->tier->cacheDir + ": " + strerror(errno);
        return -1;
    }
    char reason[512] = "";
    uint64_t written = 0;
    int g = objstore_get(ctx->tier->s3, key, fd, 0, 0, &written, reason, sizeof reason);
    if (g != OBJSTORE_OK) {
        close(fd);
        *why = reason;
        return g == OBJSTORE_NOT_FOUND ? 1 : -1;
    }
    if (checksums_computeFd(fd, found) != 0) {
        *why = std::string("cannot read the object fetched: ") + strerror(errno);
        close(fd);
        return -1;
    }
    if (fdOut != nullptr)
        *fdOut = fd;
    else
        close(fd);
    return 0;
}

// A copy at path that verifies against want, opened: its descriptor, or -1.
static int goodCopy(const std::string &path, const checksums_record &want)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && checksums_verifyFd(fd, want) != CHECKSUMS_GOOD) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Replaces the local file at path by the size bytes of fd (a copy that
// verifies), under the study's lock: temporary name in its directory,
// flush, rename, directory flush. 0, or -1 (why).
static int replaceLocal(scrubctx *ctx, const std::string &study, const std::string &path, int fd,
                        std::string *why)
{
    studylock lock;
    OFString uidDir = ctx->store->GetUidPath(nullptr, nullptr, nullptr, 1);
    if (studylock_acquire(ctx->store->getStudyLocks(), &lock, uidDir.c_str(), study.c_str(),
                          ctx->store->getLogfile()) != 0) {
        *why = std::string("cannot lock the study: ") + strerror(errno);
        return -1;
    }
    // A crash leaves the temporary name, which check reports and rebuild
    // removes; the image is its damaged file or its repaired one.
    std::string tmp = path + ".scrub.tmp";
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    bool ok = out >= 0;
    std::vector<unsigned char> buf(256 * 1024);
    for (off_t at = 0; ok;) {
        ssize_t n = fullio_pread(fd, buf.data(), buf.size(), at);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        ok = fullio_write(out, buf.data(), (size_t)n) == n;
        at += n;
    }
    if (ok)
        ok = fdatasync(out) == 0;
    if (out >= 0 && close(out) != 0)
        ok = false;
    // Still the damaged file at path (not deleted or replaced meanwhile).
    if (ok && access(path.c_str(), F_OK) != 0) {
        unlink(tmp.c_str());
        *why = "the image is gone";
        return -1;
    }
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0 ||
        durable_flushDir(path.substr(0, path.rfind('/')).c_str()) != 0) {
        *why = strerror(errno);
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

// Uploads the size bytes of fd (a copy that verifies against want) as key,
// then checks it by HEAD: 0, or -1 (why).
static int uploadAgain(scrubctx *ctx, const std::string &key, int fd, const checksums_record &want,
                       std::string *why)
{
    char reason[512] = "";
    if (objstore_put(ctx->tier->s3, key, fd, want.size, want.sha256, reason, sizeof reason) !=
        OBJSTORE_OK) {
        *why = std::string("upload failed: ") + reason;
        return -1;
    }
    objstore_info head;
    if (objstore_head(ctx->tier->s3, key, &head, reason, sizeof reason) != OBJSTORE_OK ||
        head.size != want.size || head.sha256 != want.sha256) {
        *why = std::string("the object uploaded did not arrive whole ") + reason;
        return -1;
    }
    return 0;
}

// The cached copy of a moved image (stub), if there is one: verified, and
// removed when damaged (the next read fetches the object again).
static void scrubCached(scrubctx *ctx, const std::string &imagePath, const checksums_record &want)
{
    std::string cached = ctx->tier->cacheDir + "/" + want.sha256 + ".dcm";
    int fd = open(cached.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    checksums_record found;
    int v = checksums_verifyFd(fd, want, &found);
    close(fd);
    pace(ctx, found.size);
    if (v == CHECKSUMS_GOOD)
        return;
    damaged(ctx, imagePath, cached, "cached copy of " + imagePath + ": " + describe(want, found));
    // A reader that holds it open keeps reading its descriptor; no new
    // reader finds it.
    if (unlink(cached.c_str()) == 0)
        repaired(ctx, cached, "removed; the next read fetches the object again");
    else
        unrepairable(ctx, cached, std::string("cannot be removed: ") + strerror(errno));
}

// The object of a moved image (stub): verified by its bytes (or by HEAD),
// and uploaded again from the local file or a good cached copy when it is
// damaged or gone.
static void scrubObject(scrubctx *ctx, const std::string &imagePath, const tier_stub &stub)
{
    checksums_record want;
    want.size = stub.size;
    want.sha256 = stub.sha256;
    checksums_record found;
    std::string why;
    int r;
    if (ctx->options->headOnly) {
        objstore_info head;
        char reason[512] = "";
        r = objstore_head(ctx->tier->s3, stub.key, &head, reason, sizeof reason);
        r = r == OBJSTORE_OK ? 0 : r == OBJSTORE_NOT_FOUND ? 1 : -1;
        found.size = head.size;
        found.sha256 = head.sha256;
        why = reason;
        pace(ctx, 0);
    } else {
        r = fetchObject(ctx, stub.key, nullptr, &found, &why);
        pace(ctx, found.size);
    }
    if (r < 0) {
        ctx->st->unreadable++;
        ctx->failures++;
        say(ctx, LOGLEVEL_ERROR, "unreadable", stub.key, "the object tier cannot give it: " + why);
        return;
    }
    if (r == 0 && found.size == want.size && found.sha256 == want.sha256)
        return;
    damaged(ctx, imagePath, stub.key,
            "object of " + imagePath + ": " + (r == 1 ? "not in the tier" : describe(want, found)));
    std::string from = imagePath;
    int fd = goodCopy(imagePath, want);
    if (fd < 0) {
        from = ctx->tier->cacheDir + "/" + want.sha256 + ".dcm";
        fd = goodCopy(from, want);
    }
    if (fd < 0) {
        unrepairable(ctx, stub.key, "no other copy of the image verifies");
        return;
    }
    if (uploadAgain(ctx, stub.key, fd, want, &why) == 0)
        repaired(ctx, stub.key, "uploaded again from " + from);
    else
        unrepairable(ctx, stub.key, why);
    close(fd);
}

// A local file with its record: verified, and replaced by its object (or a
// good cached copy) when damaged.
static void scrubLocal(scrubctx *ctx, const std::string &study, const std::string &path,
                       const checksums_record &want)
{
    checksums_record found;
    int v = checksums_verifyPath(path, want, &found);
    pace(ctx, found.size);
    if (v == CHECKSUMS_GOOD)
        return;
    if (v == CHECKSUMS_UNREAD && errno == ENOENT)
        return; // deleted or moved out since the scan
    // A compression between its checksum line and its rename (running now
    // under the study's lock, or cut short: the next pass finishes it). The
    // image is whole: its compressed form matches the line, the file is
    // the original.
    checksums_record next;
    if (v == CHECKSUMS_DAMAGED &&
        checksums_verifyPath(path + COMPRESS_NEW_SUFFIX, want, &next) == CHECKSUMS_GOOD) {
        say(ctx, LOGLEVEL_NOTICE, "unfinished-compression", path,
            "its compressed form matches its line (storeindex compress finishes it)");
        return;
    }
    damaged(ctx, path, path,
            v == CHECKSUMS_UNREAD ? std::string("cannot be read: ") + strerror(errno)
                                  : describe(want, found));
    std::string why = "no other copy of the image (no object, no cached copy)";
    int fd = -1;
    std::string from;
    tier_stub stub;
    if (ctx->tier != nullptr && tier_readStub(path.c_str(), &stub) == 0 &&
        stub.sha256 == want.sha256) {
        checksums_record object;
        int r = fetchObject(ctx, stub.key, &fd, &object, &why);
        if (r == 0 && (object.size != want.size || object.sha256 != want.sha256)) {
            close(fd);
            fd = -1;
            why = "its object is damaged too";
        } else if (r == 0) {
            from = "its object " + stub.key;
        }
    }
    if (fd < 0 && ctx->tier != nullptr) {
        std::string cached = ctx->tier->cacheDir + "/" + want.sha256 + ".dcm";
        fd = goodCopy(cached, want);
        from = cached;
    }
    if (fd < 0) {
        unrepairable(ctx, path, why);
        return;
    }
    if (replaceLocal(ctx, study, path, fd, &why) == 0)
        repaired(ctx, path, "replaced by " + from);
    else
        unrepairable(ctx, path, why);
    close(fd);
}

// Drops the lines of images that are gone from the series' CHECKSUMS,
// under the study's lock.
static void compactLines(scrubctx *ctx, const std::string &study, const storetree_series &series,
                         const std::set<std::string> &images)
{
    studylock lock;
    OFString uidDir = ctx->store->GetUidPath(nullptr, nullptr, nullptr, 1);
    if (studylock_acquire(ctx->store->getStudyLocks(), &lock, uidDir.c_str(), study.c_str(),
                          ctx->store->getLogfile()) != 0)
        return;
    // Under the lock, the images are the files and stubs there now.
    std::set<std::string> keep = images;
    std::map<std::string, checksums_record> sums;
    if (checksums_read(series.dir, &sums) != 0)
        return;
    for (const auto &e : sums) {
        std::string p = series.dir + "/image_" + e.first + ".dcm";
        if (access(p.c_str(), F_OK) == 0 || access((p + TIER_STUB_SUFFIX).c_str(), F_OK) == 0)
            keep.insert(e.first);
    }
    size_t dropped = 0;
    if (checksums_compact(series.dir, keep, ctx->store->getLogfile(), &dropped) > 0 &&
        dropped > 0) {
        ctx->st->staleLines += dropped;
        say(ctx, LOGLEVEL_INFO, "compacted", checksums_path(series.dir),
            std::to_string(dropped) + " line(s) of images gone dropped");
    }
}

// Asks the disk for the file at path (its first MiBs) while the one before
// it is hashed.
static void readAhead(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    posix_fadvise(fd, 0, 4 << 20, POSIX_FADV_WILLNEED);
    close(fd);
}

static void scrubSeries(scrubctx *ctx, const storetree_study &study, const storetree_series &series)
{
    std::map<std::string, checksums_record> sums;
    if (checksums_read(series.dir, &sums) != 0) {
        ctx->failures++;
        say(ctx, LOGLEVEL_ERROR, "unreadable", checksums_path(series.dir), strerror(errno));
        return;
    }
    std::set<std::string> images(series.images.begin(), series.images.end());
    images.insert(series.tiered.begin(), series.tiered.end());
    for (size_t k = 0; k < series.images.size(); k++) {
        const std::string &sop = series.images[k];
        std::string path = series.dir + "/image_" + sop + ".dcm";
        if (k + 1 < series.images.size())
            readAhead(series.dir + "/image_" + series.images[k + 1] + ".dcm");
        auto line = sums.find(sop);
        tier_stub stub;
        checksums_record want;
        if (line != sums.end()) {
            want = line->second;
        } else if (tier_readStub(path.c_str(), &stub) == 0) {
            want.size = stub.size;
            want.sha256 = stub.sha256;
        } else {
            ctx->st->unverified++;
            ctx->st->checked++;
            say(ctx, LOGLEVEL_WARNING, "unverified", path,
                "no checksum recorded (storeindex rebuild adds one)");
            continue;
        }
        scrubLocal(ctx, study.uid, path, want);
    }
    if (ctx->tier != nullptr) {
        for (const std::string &sop : series.tiered) {
            std::string path = series.dir + "/image_" + sop + ".dcm";
            tier_stub stub;
            if (tier_readStub(path.c_str(), &stub) != 0) {
                ctx->failures++;
                say(ctx, LOGLEVEL_ERROR, "unreadable", path + TIER_STUB_SUFFIX, "damaged stub");
                continue;
            }
            checksums_record want;
            want.size = stub.size;
            want.sha256 = stub.sha256;
            scrubCached(ctx, path, want);
            scrubObject(ctx, path, stub);
        }
    }
    bool stale = false;
    for (const auto &e : sums)
        stale = stale || images.count(e.first) == 0;
    if (stale)
        compactLines(ctx, study.uid, series, images);
}

int storescrub_run(LocalStore *store, const storescrub_options &options, FILE *out,
                   storescrub_status *status)
{
    *status = storescrub_status();
    scrubctx ctx{store, store->getTier(), &options, out, status, store->getBaseDir(), {}, 0, 0};
    while (ctx.base.size() > 1 && ctx.base.back() == '/')
        ctx.base.pop_back();
    if (options.idleIo && syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0,
                                  IOPRIO_CLASS_IDLE << IOPRIO_CLASS_SHIFT) != 0)
        logprintf(LOGLEVEL_WARNING, store->getLogfile(),
                  "SCRUB:cannot take the idle I/O priority: %s\n", strerror(errno));
    storetree tree;
    if (storetree_scan(ctx.base.c_str(), &tree) != 0)
        return 2;
    // The copies to verify: each local file, and each moved image's object
    // and cached copy (if there is one).
    for (const storetree_study &study : tree.studies)
        for (const storetree_series &series : study.series) {
            status->total += series.images.size();
            if (ctx.tier == nullptr)
                continue;
            for (const std::string &sop : series.tiered) {
                tier_stub stub;
                std::string path = series.dir + "/image_" + sop + ".dcm";
                status->total++;
                if (tier_readStub(path.c_str(), &stub) == 0 &&
                    access((ctx.tier->cacheDir + "/" + stub.sha256 + ".dcm").c_str(), F_OK) == 0)
                    status->total++;
            }
        }
    clock_gettime(CLOCK_MONOTONIC, &ctx.begun);
    status->running = true;
    status->started = time(nullptr);
    writeStatus(&ctx, true);
    if (options.monitorSock >= 0)
        multicast_send(options.monitorSock, MONITORMSG_KEYWORD " SCRUB 1");
    for (const std::string &dir : tree.unreadable) {
        ctx.failures++;
        say(&ctx, LOGLEVEL_ERROR, "unreadable", dir, "directory cannot be listed");
    }
    for (const storetree_study &study : tree.studies)
        for (const storetree_series &series : study.series)
            scrubSeries(&ctx, study, series);
    status->running = false;
    status->finished = time(nullptr);
    writeStatus(&ctx, true);
    char summary[256];
    snprintf(summary, sizeof summary,
             "%llu copies (%llu bytes) verified: %llu damaged, %llu repaired, %llu unrepairable, "
             "%llu unverified, %llu unreadable",
             (unsigned long long)status->checked, (unsigned long long)status->bytes,
             (unsigned long long)status->damaged, (unsigned long long)status->repaired,
             (unsigned long long)status->unrepairable, (unsigned long long)status->unverified,
             (unsigned long long)status->unreadable);
    say(&ctx, LOGLEVEL_NOTICE, "scrubbed", ctx.base, summary);
    if (options.monitorSock >= 0) {
        char text[MULTICAST_MSGSIZE];
        snprintf(text, sizeof text, MONITORMSG_KEYWORD " SCRUB 0 damaged %llu repaired %llu",
                 (unsigned long long)status->damaged, (unsigned long long)status->repaired);
        multicast_send(options.monitorSock, text);
    }
    return ctx.failures > 0 ? 1 : 0;
}

int storescrub_readStatus(const char *base, storescrub_status *status)
{
    *status = storescrub_status();
    std::string path = std::string(base) + "/" STORESCRUB_STATUS_FILENAME;
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr)
        return errno == ENOENT ? 1 : -1;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        char key[32], value[64];
        if (sscanf(line, "%31s %63s", key, value) != 2)
            continue;
        unsigned long long n = strtoull(value, nullptr, 10);
        std::string k = key;
        if (k == "state")
            status->running = strcmp(value, "running") == 0;
        else if (k == "started")
            status->started = (time_t)n;
        else if (k == "updated")
            status->updated = (time_t)n;
        else if (k == "finished")
            status->finished = (time_t)n;
        else if (k == "total")
            status->total = n;
        else if (k == "checked")
            status->checked = n;
        else if (k == "bytes")
            status->bytes = n;
        else if (k == "damaged")
            status->damaged = n;
        else if (k == "repaired")
            status->repaired = n;
        else if (k == "unrepairable")
            status->unrepairable = n;
        else if (k == "unverified")
            status->unverified = n;
        else if (k == "unreadable")
            status->unreadable = n;
        else if (k == "stale-lines")
            status->staleLines = n;
    }
    fclose(f);
    return 0;
}
