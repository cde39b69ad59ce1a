// The core's activity listener and archive_noteActivity: in a cluster, the
// last change of each study in the cluster's database (cluster/activity.h),
// for the studywatch of every node.
#include <atomic>

#include "cluster/activity.h"
#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archive.h"
#include "core/listener.h"

// Whether this process (or the parent it was forked from) made the table:
// a forked worker inherits the parent's true and never migrates again.
static std::atomic<bool> migrated(false);

static int prepare(clusterdb *db)
{
    if (migrated.load())
        return 0;
    if (activity_migrate(db) != 0)
        return -1;
    migrated.store(true);
    return 0;
}

int archive_clusterPrepare(const archive_context *ctx)
{
    clusterdb *db = archive_clusterDb(ctx);
    return db == nullptr ? 0 : prepare(db);
}

void archive_noteActivity(const archive_context *ctx, const std::string &study, const char *what)
{
    clusterdb *db = archive_clusterDb(ctx);
    const cluster_config *cfg = archive_clusterConfig(ctx);
    if (db == nullptr || cfg == nullptr || study.empty())
        return;
    // The database logs what failed; the study waits for its next change.
    if (prepare(db) == 0)
        activity_note(db, study, cfg->node, what);
}

namespace
{

// One upsert per image stored, on the worker's own connection: about half
// a millisecond against the image's own write and flush, and it needs no
// end of the association (which a crash may never reach) to be told.
class activityListener : public archive_listener
{
public:
    void stored(const archive_event &e) override
    {
        archive_noteActivity(e.ctx, e.uids->study, "stored");
    }
};

} // namespace

std::unique_ptr<archive_listener> archive_newActivityListener()
{
    return std::unique_ptr<archive_listener>(new activityListener);
}
