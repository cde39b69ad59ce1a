// Storage commitment's check on a node of a cluster: the shared index and
// the recorded checksum, not this node's file (core/archive.h,
// archive_commitRecorded).
#include <errno.h>
#include <string.h>

#include <map>

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "store/checksums.h"
#include "store/localstore.h"
#include "store/tier.h"

// An image the shared index holds that another node stored on a store of
// its own: this node keeps no record of it, so the bucket, its home, is
// asked. Committed when its object is there with the digest the upload
// signed and this archive's id; an object not (yet) there, as an image
// acknowledged on its node's disk alone (ack local) before its upload, is
// a processing failure, not "no such instance": the index holds it.
static int inBucket(const archive_context *ctx, const std::string &path)
{
    const tier_config *tier = ctx->store->getTier();
    if (tier == nullptr)
        return ARCHIVE_FLUSH_MISSING;
    objstore_info head;
    char why[256];
    std::string key = tier_key(*tier, tier->baseDir.c_str(), path.c_str());
    switch (objstore_head(tier->s3, key, &head, why, sizeof why)) {
    case OBJSTORE_OK:
        if (head.size > 0 && head.sha256.size() == 64 &&
            (tier->archiveId.empty() || head.archive == tier->archiveId))
            return ARCHIVE_FLUSHED;
        return ARCHIVE_FLUSH_MISSING;
    case OBJSTORE_NOT_FOUND:
        return ARCHIVE_FLUSH_FAILED;
    default:
        logprintf(LOGLEVEL_ERROR, ctx->store->getLogfile(),
                  "Cannot look up an image's object for a commitment: %s\n", why);
        return ARCHIVE_FLUSH_FAILED;
    }
}

void archive_commitRecorded(const archive_context *ctx, const std::vector<archive_image> &places,
                            std::vector<int> *results)
{
    results->assign(places.size(), ARCHIVE_FLUSH_MISSING);
    // Each series' records read once: a request names most images of few
    // series.
    std::map<std::string, std::map<std::string, checksums_record>> series;
    std::map<std::string, bool> unreadable;
    for (size_t i = 0; i < places.size(); i++) {
        const archive_image &p = places[i];
        if (p.study.empty())
            continue;
        std::string path =
            archive_imagePath(ctx, p.study.c_str(), p.series.c_str(), p.instance.c_str());
        std::string dir, instance;
        if (!checksums_splitImagePath(path, &dir, &instance))
            continue;
        if (series.count(dir) == 0 && unreadable.count(dir) == 0) {
            if (checksums_read(dir, &series[dir]) != 0) {
                logprintf(LOGLEVEL_ERROR, ctx->store->getLogfile(),
                          "Cannot read the checksums of %s: %s\n", dir.c_str(), strerror(errno));
                series.erase(dir);
                unreadable[dir] = true;
            }
        }
        if (unreadable.count(dir) != 0) {
            (*results)[i] = ARCHIVE_FLUSH_FAILED;
            continue;
        }
        auto rec = series[dir].find(instance);
        // A deleted image's record ends with size 0 and no digest.
        if (rec != series[dir].end() && rec->second.size > 0 && rec->second.sha256.size() == 64)
            (*results)[i] = ARCHIVE_FLUSHED;
        else if (rec == series[dir].end())
            (*results)[i] = inBucket(ctx, path);
    }
}
