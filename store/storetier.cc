// The tier's mover: which studies go (age and free space) and moving their
// local images one by one through tier_moveImage.
#include "store/storetier.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/storetree.h"
#include "store/tier.h"

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

// Free space of base's file system in percent of its size, or 100.
static double freePercent(const char *base)
{
    struct statvfs vfs;
    if (statvfs(base, &vfs) != 0 || vfs.f_blocks == 0)
        return 100;
    return 100.0 * (double)vfs.f_bavail / (double)vfs.f_blocks;
}

int storetier_run(const char *base, const tier_config &cfg, int dryRun, FILE *out)
{
    storetree tree;
    if (storetree_scan(base, &tree) != 0)
        return -1;
    time_t now = time(nullptr);
    std::vector<candidate> quiet;
    for (const storetree_study &study : tree.studies) {
        candidate c = assess(study);
        if (c.images > 0 && now - c.changed >= cfg.minQuietSeconds)
            quiet.push_back(c);
    }
    // Oldest first: the free-space rule takes them in this order.
    std::stable_sort(quiet.begin(), quiet.end(),
                     [](const candidate &a, const candidate &b) { return a.changed < b.changed; });
    int failed = 0;
    for (const candidate &c : quiet) {
        bool byAge = cfg.quietSeconds >= 0 && now - c.changed >= cfg.quietSeconds;
        bool bySpace = cfg.freeBelowPercent >= 0 && freePercent(base) < cfg.freeBelowPercent;
        if (!byAge && !bySpace)
            continue;
        if (dryRun) {
            fprintf(out, "would move %s %zu %llu\n", c.study->uid.c_str(), c.images,
                    (unsigned long long)c.bytes);
            continue;
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
                int r = tier_moveImage(cfg, tree.base.c_str(), paths[i].c_str());
                if (r == TIER_OK)
                    moved++;
                else if (r != TIER_MISSING && r != TIER_CHANGED)
                    studyFailed++;
            }
        };
        std::vector<std::thread> helpers;
        for (int t = 1; t < cfg.movers && (size_t)t < paths.size(); t++)
            helpers.emplace_back(work);
        work();
        for (std::thread &t : helpers)
            t.join();
        failed += studyFailed;
        fprintf(out, "moved %s %zu %llu\n", c.study->uid.c_str(), moved.load(),
                (unsigned long long)c.bytes);
        fflush(out);
    }
    return failed;
}
