// The tier's mover: which studies go (age and free space) and moving their
// local images one by one through tier_moveImage.
#include "store/storetier.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "runtime/logprintf.h"
#include "store/storecompress.h"
#include "store/storerebuild.h"
#include "store/storetree.h"
#include "store/tier.h"

// Errors before any move go to stderr, as the tier's own do here.
#define TLOG_STDERR(...) logprintf(LOGLEVEL_ERROR, stderr, __VA_ARGS__)

// A study with local images and the time it last changed: the newest
// modification time of its image files and index files (not of its
// directories or stubs, which the mover itself changes).
struct candidate {
    const storetree_study *study;
    time_t changed;
    uint64_t bytes;
    size_t images;
};

static void newest(const std::string &path, time_t *changed, uint64_t *bytes)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    *changed = std::max(*changed, st.st_mtime);
    if (bytes != nullptr)
        *bytes += (uint64_t)st.st_size;
}

static candidate assess(const storetree_study &study)
{
    candidate c{&study, 0, 0, 0};
    newest(study.dir + "/SERIESINDEX.dat", &c.changed, nullptr);
    for (const storetree_series &series : study.series) {
        newest(series.dir + "/IMAGEINDEX.dat", &c.changed, nullptr);
        for (const std::string &image : series.images) {
            newest(series.dir + "/image_" + image + ".dcm", &c.changed, &c.bytes);
            c.images++;
        }
    }
    return c;
}

// Free and total bytes of base's file system (0, 0 when unknown).
static void diskSpace(const char *base, double *freeBytes, double *totalBytes)
{
    struct statvfs vfs;
    *freeBytes = *totalBytes = 0;
    if (statvfs(base, &vfs) != 0 || vfs.f_blocks == 0)
        return;
    *freeBytes = (double)vfs.f_bavail * (double)vfs.f_frsize;
    *totalBytes = (double)vfs.f_blocks * (double)vfs.f_frsize;
}

// The studies a pass moves, in the order it moves them: the selection that
// both the run and the dry run (-n) make, so that the dry run lists exactly
// what a run would move. The free-space rule counts each chosen study's
// bytes as freed (its images leave; stubs and heads stay) instead of
// reading the disk again after each move.
static std::vector<candidate> choose(const char *base, const storetree &tree,
                                     const tier_config &cfg)
{
    time_t now = time(nullptr);
    std::vector<candidate> quiet, chosen;
    for (const storetree_study &study : tree.studies) {
        candidate c = assess(study);
        if (c.images > 0 && now - c.changed >= cfg.minQuietSeconds)
            quiet.push_back(c);
    }
    // Oldest first: the free-space rule takes them in this order.
    std::stable_sort(quiet.begin(), quiet.end(),
                     [](const candidate &a, const candidate &b) { return a.changed < b.changed; });
    double freeBytes, totalBytes;
    diskSpace(base, &freeBytes, &totalBytes);
    for (const candidate &c : quiet) {
        bool byAge = cfg.quietSeconds >= 0 && now - c.changed >= cfg.quietSeconds;
        bool bySpace = cfg.freeBelowPercent >= 0 && totalBytes > 0 &&
                       100.0 * freeBytes / totalBytes < cfg.freeBelowPercent;
        if (!byAge && !bySpace)
            continue;
        chosen.push_back(c);
        freeBytes += (double)c.bytes;
    }
    return chosen;
}

// The mover's lock, BASE/TIERMOVER.lock held by flock: one mover at a time
// per store (two would upload, flush and unlink the same images under each
// other). The descriptor, -2 when another mover holds it, -1 when it cannot
// be opened. A mover that dies drops it with its descriptor.
int storetier_lock(const char *base)
{
    std::string path = std::string(base) + "/" STORETIER_LOCK_FILE;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? -2 : -1;
    }
    return fd;
}

time_t storetier_lastChange(const storetree_study &study)
{
    return assess(study).changed;
}

int storetier_run(const char *base, const tier_config &cfg, int dryRun, FILE *out,
                  const compress_config *compress, studylock_file *locks)
{
    int lockFd = -1;
    if (!dryRun && (lockFd = storetier_lock(base)) < 0)
        return lockFd == -2 ? STORETIER_BUSY : -1;
    // Only a prefix of this archive's is moved into: claimed at the first
    // run, refused when another archive's marker is at, above or below it.
    tier_config own = cfg;
    char why[512] = "";
    int claim = tier_claim(&own, dryRun ? TIER_VERIFY : TIER_CLAIM, why, sizeof why);
    storetree tree;
    if (claim != TIER_OWNED || storetree_scan(base, &tree) != 0) {
        if (claim != TIER_OWNED)
            TLOG_STDERR("TIER:%s\n", why);
        if (lockFd >= 0)
            close(lockFd);
        return claim == TIER_FOREIGN ? STORETIER_FOREIGN : -1;
    }
    std::vector<candidate> chosen = choose(base, tree, own);
    int failed = 0;
    for (const candidate &c : chosen) {
        if (dryRun) {
            fprintf(out, "would move %s %zu %llu\n", c.study->uid.c_str(), c.images,
                    (unsigned long long)c.bytes);
            continue;
        }
        // Compressed before it goes: the images read back from the tier
        // later are the smaller ones. What fails is logged and moves as it is.
        if (compress != nullptr && locks != nullptr) {
            compress_totals totals;
            storecompress_study(*c.study, tree.uidDir, *compress, locks, 0, out, stderr, &totals);
        }
        std::vector<std::string> paths;
        for (const storetree_series &series : c.study->series)
            for (const std::string &image : series.images)
                paths.push_back(series.dir + "/image_" + image + ".dcm");
        // Several images at once: each one's upload, HEAD and flushes wait
        // on the gateway and the disk, which the others use meanwhile.
        // Every image is moved by its own steps; none waits on another.
        std::atomic<size_t> next(0), moved(0);
        std::atomic<int> studyFailed(0);
        auto work = [&] {
            for (size_t i; (i = next.fetch_add(1)) < paths.size();) {
                int r = tier_moveImage(own, tree.base.c_str(), paths[i].c_str());
                if (r == TIER_OK)
                    moved++;
                else if (r != TIER_MISSING && r != TIER_CHANGED)
                    studyFailed++;
            }
        };
        std::vector<std::thread> helpers;
        for (int t = 1; t < own.movers && (size_t)t < paths.size(); t++)
            helpers.emplace_back(work);
        work();
        for (std::thread &t : helpers)
            t.join();
        failed += studyFailed;
        fprintf(out, "moved %s %zu %llu\n", c.study->uid.c_str(), moved.load(),
                (unsigned long long)c.bytes);
        fflush(out);
    }
    // Links of the patient link tree to the moved files lead to their heads.
    if (!dryRun && !chosen.empty())
        storerebuild_repairLinks(base, nullptr);
    if (lockFd >= 0)
        close(lockFd);
    return failed;
}
