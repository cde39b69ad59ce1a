// Quietness of studies in the cluster's database (cluster/activity.h).
#include "cluster/activity.h"

#include <stdlib.h>

#include "cluster/clusterdb.h"

// The database's clock in milliseconds, as SQL.
#define ACTIVITY_NOW "(extract(epoch FROM clock_timestamp()) * 1000)::bigint"

// Version 1: the table. "changes" counts the study's changes: a render is
// of one count (claimed_change, rendered_change), so a change made while
// it runs (or in the same millisecond as the change it claimed) leaves the
// study to be rendered again. The partial index keeps the claimers' search
// to the studies not yet rendered.
static const char *const activitySteps[] = {
    "CREATE TABLE velto_study_activity ("
    " study text PRIMARY KEY,"
    " changed_ms bigint NOT NULL,"
    " changed_by text NOT NULL,"
    " changed_what text NOT NULL,"
    " changes bigint NOT NULL DEFAULT 1,"
    " rendered_change bigint NOT NULL DEFAULT 0,"
    " claimed_by text,"
    " claimed_until bigint,"
    " claimed_change bigint);"
    "CREATE INDEX velto_study_activity_unrendered ON velto_study_activity (changed_ms)"
    " WHERE changes > rendered_change",
};

int activity_migrate(clusterdb *db)
{
    return db->migrate("activity", 1, activitySteps);
}

// Version 1 of "activity-index": a study's row noted by the index's own
// transactions. Every image the index adds or rewrites (an insert, or an
// update of its series or attributes: not the location an upload
// changes) upserts its study's row in the same transaction, as the
// explicit note does: no statement, round trip or commit of its own per
// image, and no image indexed whose study the watchers miss (a node killed
// between its commit and a note of its own). The session's
// application_name names the node (pgindex::setSessionName).
static const char *const activityIndexSteps[] = {
    "CREATE FUNCTION velto_note_activity() RETURNS trigger LANGUAGE plpgsql AS $f$"
    " DECLARE uid text;"
    " BEGIN"
    "  SELECT st.study_uid INTO uid FROM velto_series se JOIN velto_studies st"
    "   ON st.id = se.study WHERE se.id = NEW.series;"
    "  IF uid IS NOT NULL THEN"
    "   INSERT INTO velto_study_activity (study, changed_ms, changed_by, changed_what)"
    "    VALUES (uid, " ACTIVITY_NOW ","
    "     current_setting('application_name'),"
    "     'stored')"
    "    ON CONFLICT (study) DO UPDATE SET"
    "     changed_ms = GREATEST(velto_study_activity.changed_ms, excluded.changed_ms),"
    "     changed_by = excluded.changed_by, changed_what = excluded.changed_what,"
    "     changes = velto_study_activity.changes + 1;"
    "  END IF;"
    "  RETURN NULL;"
    " END $f$;"
    "CREATE TRIGGER velto_instances_activity AFTER INSERT OR UPDATE OF series, attrs"
    " ON velto_instances FOR EACH ROW EXECUTE FUNCTION velto_note_activity();",
};

int activity_migrateIndex(clusterdb *db)
{
    // The index's tables are made by the index when it first connects
    // (index/pgindex.h): the caller has opened it.
    return db->migrate("activity-index", 1, activityIndexSteps);
}

int activity_note(clusterdb *db, const std::string &study, const std::string &node,
                  const char *what)
{
    // Idempotent enough for a replay after a lost COMMIT: a change counted
    // twice only asks for the render once more. The time never goes back,
    // should two nodes' transactions cross.
    //
    // One statement on its own, without waiting for the database's disk
    // (synchronous_commit off for its transaction alone: set_config's
    // local setting lasts until the end of the statement's own
    // transaction, whose commit reads it): the upsert is one per image, and
    // a flush each made storing small images half again as slow, a
    // transaction of its own a round trip or two more. What a crash of the
    // database may lose is its last few hundred milliseconds of changes,
    // and the next synchronous commit of this node (the next image's index
    // row) puts them on disk with its own: at worst a study is rendered at
    // its previous change, or after its next.
    int r =
        db->exec("INSERT INTO velto_study_activity (study, changed_ms, changed_by, changed_what)"
                 " SELECT $1, " ACTIVITY_NOW ", $2, $3"
                 " FROM (SELECT set_config('synchronous_commit', 'off', true)) AS unflushed"
                 " ON CONFLICT (study) DO UPDATE SET"
                 " changed_ms = GREATEST(velto_study_activity.changed_ms, excluded.changed_ms),"
                 " changed_by = excluded.changed_by, changed_what = excluded.changed_what,"
                 " changes = velto_study_activity.changes + 1",
                 {study, node, what});
    return r == CLUSTERDB_OK ? 0 : -1;
}

int activity_claimQuiet(clusterdb *db, const std::string &node, long quietMs, long leaseMs, int max,
                        std::vector<activity_claim> *out)
{
    std::vector<activity_claim> claims;
    int r = db->transact([&](clusterdb_tx &tx) -> int {
        claims.clear();
        clusterdb_rows rows;
        // SKIP LOCKED: two studywatches claiming at once each take other
        // rows rather than wait; the claim itself (claimed_until) keeps a
        // study from the others once this transaction commits.
        int s = tx.q("SELECT study, changes FROM velto_study_activity"
                     " WHERE changes > rendered_change"
                     " AND changed_ms < " ACTIVITY_NOW " - $1::bigint"
                     " AND (claimed_until IS NULL OR claimed_until < " ACTIVITY_NOW ")"
                     " ORDER BY changed_ms LIMIT $2::integer FOR UPDATE SKIP LOCKED",
                     {std::to_string(quietMs), std::to_string(max)}, &rows);
        if (s != CLUSTERDB_OK)
            return s;
        for (size_t i = 0; i < rows.size(); i++) {
            s = tx.q("UPDATE velto_study_activity SET claimed_by = $2,"
                     " claimed_until = " ACTIVITY_NOW " + $3::bigint, claimed_change = $4::bigint"
                     " WHERE study = $1",
                     {rows.at(i, 0), node, std::to_string(leaseMs), rows.at(i, 1)});
            if (s != CLUSTERDB_OK)
                return s;
            claims.push_back(activity_claim{rows.at(i, 0), atoll(rows.at(i, 1).c_str())});
        }
        return CLUSTERDB_OK;
    });
    if (r != CLUSTERDB_OK)
        return -1;
    out->insert(out->end(), claims.begin(), claims.end());
    return 0;
}

int activity_renew(clusterdb *db, const std::string &node, const std::string &study, long leaseMs)
{
    clusterdb_rows rows;
    // Renewed only while still this node's and not yet run out: a claim
    // whose lease ran out may have been taken over already.
    int r = db->exec("UPDATE velto_study_activity SET claimed_until = " ACTIVITY_NOW " + $3::bigint"
                     " WHERE study = $1 AND claimed_by = $2 AND claimed_until >= " ACTIVITY_NOW,
                     {study, node, std::to_string(leaseMs)}, &rows);
    if (r != CLUSTERDB_OK)
        return -1;
    return rows.affected > 0 ? 1 : 0;
}

int activity_rendered(clusterdb *db, const std::string &node, const activity_claim &claim)
{
    // GREATEST: a slower render of an older change, ending after a newer
    // one's, does not take the newer mark back.
    int r = db->exec("UPDATE velto_study_activity SET"
                     " rendered_change = GREATEST(rendered_change, $3::bigint),"
                     " claimed_by = NULL, claimed_until = NULL, claimed_change = NULL"
                     " WHERE study = $1 AND claimed_by = $2",
                     {claim.study, node, std::to_string(claim.change)});
    // A claim taken over meanwhile is left alone: the other node renders
    // the study again and marks it.
    return r == CLUSTERDB_OK ? 0 : -1;
}
