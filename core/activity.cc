// archive_noteActivity: in a cluster, the last change of each study in the
// cluster's database (cluster/activity.h), for the studywatch of every
// node. Each image stored is noted by the index's own transaction (a
// trigger made at the archive's open, core/archiveopen.cc).
#include <atomic>

#include "cluster/activity.h"
#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archive.h"

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
