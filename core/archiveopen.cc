// The archive object of a process (core/archive.h): archive_open makes
// the store, starts the object tier and the capacity policy, takes the
// store lock and runs the recovery; the serialisation of the threads that
// use it (archive_shared, archive_exclusive); archive_close.
#include "core/archive.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "cluster/activity.h"
#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archivetier.h"
#include "core/rejection.h"
#include "core/worklist.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"
#include "store/localstore.h"
#include "store/storebackup.h"

static_assert((int)ARCHIVE_UID_MAX == (int)LS_UID_MAX, "the archive's UID limit is the store's");

// What archive_open made besides the store.
struct archive_state {
    archive_settings settings;
    std::string baseDir;  // the settings' copy (the store borrows it), or ""
    int lockFd = -1;      // holds the store lock, or -1
    bool locked = false;  // the lock was tried (archive_start)
    bool noStore = false; // the lock found no base directory (makeStore tries again)
    bool started = false; // archive_start ran to its end
    pthread_rwlock_t rw;  // the serialisation: archive_shared, archive_exclusive
    // The cluster's settings and this process's connection to its
    // database, or null (one host).
    std::unique_ptr<cluster_config> cluster;
    std::unique_ptr<clusterdb> db;
    std::string archiveId; // the cluster's archive id, or ""
    // The last of velto_cluster_deletes this node has dropped its files
    // of (-1: not read yet from BASE/CLUSTERDELETES); under deletesMu.
    long long deletesSeen = -1;
    std::mutex deletesMu;
    // The uploader's state: its uploads fail (said once per outage), and
    // where the tier's own line of each failed attempt goes (/dev/null).
    bool uploadsFailing = false;
    FILE *quietLog = nullptr;
};

static void setError(std::string *error, const std::string &text)
{
    if (error != nullptr)
        *error = text;
}

// A cluster node's refusal to start: in the log and on stderr.
static void refuse(const archive_state *st, const char *prog, const std::string &why)
{
    logprintf(LOGLEVEL_FATAL, st->settings.log, "Cluster: %s\n", why.c_str());
    fprintf(stderr, "%s: cluster: %s\n", prog, why.c_str());
}

// The cluster's own table: the archive id, one per cluster, made by the
// first node that starts (the row's key allows one row).
// 2: the deletes made through any node, which every node reads to drop
// its own cached files of them (archive_clusterDrainDeletes).
static const char *const clusterSteps[] = {
    "CREATE TABLE velto_cluster_archive ("
    " one boolean PRIMARY KEY DEFAULT true CHECK (one),"
    " archive text NOT NULL,"
    " made timestamptz NOT NULL DEFAULT now())",
    "CREATE TABLE velto_cluster_deletes ("
    " id bigserial PRIMARY KEY,"
    " archive text NOT NULL,"
    " study text NOT NULL, series text NOT NULL, instance text NOT NULL,"
    " node text NOT NULL,"
    " at timestamptz NOT NULL DEFAULT now())",
    // 3: the uploads that ack local owes the bucket, each the node's that
    // holds the file (archive_clusterUploadPass).
    "CREATE TABLE velto_cluster_uploads ("
    " archive text NOT NULL,"
    " instance text NOT NULL,"
    " study text NOT NULL, series text NOT NULL,"
    " node text NOT NULL,"
    " queued timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (archive, instance));"
    "CREATE INDEX velto_cluster_uploads_node ON velto_cluster_uploads (archive, node)",
};

static std::string randomId()
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

// The cluster's archive id from its database (made there by the first
// node), written to BASE/ARCHIVEID where the store has none: 0, or -1 after
// saying why. A database that cannot be reached at the start is a refusal,
// not a start that waits: the id decides which prefix of the bucket this
// node may touch, and without the index the node can neither answer a
// query nor acknowledge an image; the service manager starts it again.
// A store with another id is another archive's (its images, its prefix):
// it is never joined to this cluster, whose deletes would destroy them.
static int clusterArchive(archive_state *st, const char *base, const char *prog)
{
    clusterdb *db = st->db.get();
    clusterdb_rows rows;
    if (db->migrate("cluster", 3, clusterSteps) != 0 ||
        db->exec("INSERT INTO velto_cluster_archive (archive) VALUES ($1) ON CONFLICT DO NOTHING",
                 {randomId()}) != CLUSTERDB_OK ||
        db->exec("SELECT archive FROM velto_cluster_archive", {}, &rows) != CLUSTERDB_OK ||
        rows.size() != 1) {
        refuse(st, prog, "the cluster's database cannot be reached or read (see the log)");
        return -1;
    }
    std::string id = rows.at(0, 0), mine;
    // The store's directory is made here when missing (makeStore would
    // make it at the start): the id goes in before anything else.
    if (mkdir(base, 0777) != 0 && errno != EEXIST) {
        refuse(st, prog, std::string("cannot make the store ") + base + ": " + strerror(errno));
        return -1;
    }
    int had = tier_readArchiveId(base, &mine);
    if (had < 0) {
        refuse(st, prog, std::string("the archive id of the store ") + base + " is unreadable");
        return -1;
    }
    if (had == 1) {
        mine = id;
        if (tier_writeArchiveId(base, &mine) != 0) {
            refuse(st, prog,
                   std::string("cannot write the archive id into ") + base + ": " +
                       strerror(errno));
            return -1;
        }
    }
    if (mine != id) {
        refuse(st, prog,
               std::string("the store ") + base + " belongs to archive " + mine +
                   ", not to this cluster's " + id + ": give this node a store of its own");
        return -1;
    }
    st->archiveId = id;
    return 0;
}

// Version 1 of "cluster-uploads" (after the index's tables exist): the
// upload an image acknowledged on a node's disk (ack local: its row's
// location "local", with the file's checksum, placeShared) owes the bucket,
// queued by the row's own transaction, as the node's whose session wrote
// it (velto.node, pgindex::setSessionName). Entry and row commit together:
// no entry without its row, no row without its entry. A row rewritten
// without its file's checksum (a change of its attributes) keeps its
// location and queues nothing. Two stores of one UID: the entry names the
// node whose row won (the other's insert waited on the row's key and was
// refused, its transaction rolled back).
static const char *const uploadSteps[] = {
    "CREATE FUNCTION velto_queue_upload() RETURNS trigger LANGUAGE plpgsql AS $f$"
    " DECLARE s text; r text; n text := current_setting('velto.node', true);"
    " BEGIN"
    "  IF n IS NULL OR n = '' THEN RETURN NULL; END IF;"
    "  SELECT st.study_uid, se.series_uid INTO s, r FROM velto_series se"
    "   JOIN velto_studies st ON st.id = se.study WHERE se.id = NEW.series;"
    "  INSERT INTO velto_cluster_uploads (archive, instance, study, series, node)"
    "   VALUES (NEW.archive, NEW.sop_uid, s, r, n)"
    "   ON CONFLICT (archive, instance) DO UPDATE SET study = EXCLUDED.study,"
    "   series = EXCLUDED.series, node = EXCLUDED.node, queued = now();"
    "  RETURN NULL;"
    " END $f$;"
    "CREATE TRIGGER velto_instances_upload AFTER INSERT OR UPDATE ON velto_instances"
    " FOR EACH ROW WHEN (NEW.location = 'local' AND NEW.checksum IS NOT NULL)"
    " EXECUTE FUNCTION velto_queue_upload();",
};

// A cluster node's index and acknowledgement: the ObjectTier is required
// (the bucket is every image's home), the index is the cluster's
// database. 0, or -1 after saying why.
static int clusterIndex(archive_state *st, LocalStore *store, const char *prog)
{
    if (store->getTier() == nullptr) {
        refuse(st, prog,
               "a cluster node needs the object tier (an ObjectTier file): the bucket is every "
               "image's home");
        return -1;
    }
    if (store->openSharedIndex(st->cluster->database, st->archiveId, st->cluster->node) != 0) {
        refuse(st, prog, "the cluster's index cannot be opened (see the log)");
        return -1;
    }
    // The studies' quietness, noted by the index's own transactions once
    // the index's tables are there (made by the open above).
    // The queue of ack local's uploads, filled by the rows' transactions.
    if (activity_migrate(st->db.get()) != 0 || activity_migrateIndex(st->db.get()) != 0 ||
        st->db->migrate("cluster-uploads", 1, uploadSteps) != 0) {
        refuse(st, prog, "the cluster's activity and upload tables cannot be made (see the log)");
        return -1;
    }
    store->setUploadBeforeAck(st->cluster->ack == CLUSTER_ACK_SHARED);
    logprintf(LOGLEVEL_NOTICE, st->settings.log, "Cluster node %s of archive %s.\n",
              st->cluster->node.c_str(), st->archiveId.c_str());
    return 0;
}

int archive_open(archive_context *ctx, const archive_settings &settings, std::string *error)
{
    // Opening twice is a programming error.
    if (ctx->store != nullptr || ctx->state != nullptr)
        abort();
    archive_state *st = new archive_state;
    st->settings = settings;
    pthread_rwlockattr_t attr;
    // Writers first (see archive_shared): a failure is a programming error.
    if (pthread_rwlockattr_init(&attr) != 0 ||
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP) != 0 ||
        pthread_rwlock_init(&st->rw, &attr) != 0)
        abort();
    pthread_rwlockattr_destroy(&attr);
    // The store's constructor reads "LocalStoreDir" along the search path
    // and loads the study table: only now, after detect_installpath, so
    // that an installed program finds the file of its own installation.
    LocalStore *store;
    if (settings.baseDir != nullptr) {
        st->baseDir = settings.baseDir;
        store = new LocalStore(st->baseDir.c_str());
    } else {
        store = new LocalStore();
    }
    store->setLogfile(settings.log);
    store->setSyncEachImage(settings.syncEachImage ? 1 : 0);
    st->settings.baseDir = nullptr; // borrowed: st->baseDir or the store's own
    ctx->store = store;
    ctx->state = st;

    struct stat sb;
    int found = settings.requireStore ? stat(store->getBaseDir(), &sb) : 0;
    if (settings.requireStore && (found != 0 || !S_ISDIR(sb.st_mode))) {
        int saved = found != 0 ? errno : ENOTDIR;
        setError(error, std::string("store ") + store->getBaseDir() + ": " + strerror(saved));
        archive_close(ctx);
        errno = saved;
        return -1;
    }
    // A cluster node learns its archive id from the database before the
    // tier checks (and claims) the prefix under that id.
    if (settings.prog != nullptr) {
        if (cluster_start(&st->cluster, settings.log, settings.prog) != 0) {
            setError(error, "");
            archive_close(ctx);
            errno = 0;
            return -1;
        }
        if (st->cluster) {
            st->db.reset(new clusterdb(st->cluster->database, settings.log));
            if (clusterArchive(st, store->getBaseDir(), settings.prog) != 0) {
                setError(error, "");
                archive_close(ctx);
                errno = 0;
                return -1;
            }
        }
    }
    if (settings.prog != nullptr &&
        archivetier_start(store, settings.log, settings.prog, st->cluster != nullptr) != 0) {
        // Told on stderr and in the log by the tier or the capacity policy.
        setError(error, "");
        archive_close(ctx);
        errno = 0;
        return -1;
    }
    if (st->cluster && clusterIndex(st, store, settings.prog) != 0) {
        setError(error, "");
        archive_close(ctx);
        errno = 0;
        return -1;
    }
    if (settings.prog != nullptr) {
        int resend = rejection_siteResend(settings.log);
        if (resend < 0) {
            fprintf(stderr, "%s: the Rejection settings are unusable (see the log)\n",
                    settings.prog);
            setError(error, "");
            archive_close(ctx);
            errno = 0;
            return -1;
        }
        ctx->acceptRejectedAgain = resend == 1;
    }
    if (settings.deferStart)
        return 0;
    if (archive_start(ctx, error) != 0) {
        int saved = errno;
        archive_close(ctx);
        errno = saved;
        return -1;
    }
    return 0;
}

// Makes the store's directories where missing (archive_settings.makeStore)
// and takes the lock that found none before. A failure is logged and
// leaves the start going: the first image tries again, and says so.
static void makeStore(archive_context *ctx)
{
    archive_state *st = ctx->state;
    const char *base = ctx->store->getBaseDir();
    std::string uid = std::string(base) + "/uid";
    // Each new directory is put on disk (its parent flushed) here, not
    // noted in the store for a later flush: a server's workers, forked
    // later, would inherit the note and flush it again at every first
    // association (or fail every association on a disk that fails flushes).
    const char *failed = nullptr;
    int made = mkdir(base, 0777);
    if (made != 0 && errno != EEXIST)
        failed = base;
    else if (made == 0 && durable_flushParent(base) != 0)
        failed = "the parent of the store";
    if (failed == nullptr) {
        made = mkdir(uid.c_str(), 0777);
        if (made != 0 && errno != EEXIST)
            failed = uid.c_str();
    }
    if (failed == nullptr && Worklist_Prepare(base) != 0)
        failed = "the worklist directory";
    if (failed == nullptr &&
        (durable_flushDir(base) != 0 || durable_flushDir(Worklist_Dir(base).c_str()) != 0))
        failed = "the store's directories";
    if (failed != nullptr) {
        logprintf(LOGLEVEL_ERROR, st->settings.log, "Cannot make the store %s (%s): %s\n", base,
                  failed, strerror(errno));
        return;
    }
    if (st->noStore) {
        st->noStore = false;
        // Shared (a serving process): only a rebuild begun on the new,
        // empty store in the meantime could hold it against us; served
        // unlocked then, as a lock that fails otherwise.
        st->lockFd = ctx->store->LockStore(st->settings.lock == ARCHIVE_LOCK_EXCLUSIVE);
        if (st->lockFd < 0)
            logprintf(LOGLEVEL_WARNING, st->settings.log, "Cannot lock store %s: %s\n", base,
                      strerror(errno));
    }
}

int archive_start(archive_context *ctx, std::string *error, bool lockOnly)
{
    archive_state *st = ctx->state;
    if (st == nullptr)
        abort(); // not opened
    const char *base = ctx->store->getBaseDir();
    // A store that a restore is copying into is half made; a restore cut
    // short is run again, which starts over: nothing may be stored there
    // meanwhile.
    if (!st->locked && !st->settings.restoring && storebackup_restoring(base)) {
        setError(error, std::string("store ") + base +
                            " is being restored (storeindex restore has not ended; run it again)");
        errno = EBUSY;
        return -1;
    }
    if (!st->locked && st->settings.lock != ARCHIVE_LOCK_NONE) {
        st->lockFd = ctx->store->LockStore(st->settings.lock == ARCHIVE_LOCK_EXCLUSIVE);
        if (st->lockFd < 0 && errno == EAGAIN) {
            setError(error, std::string("store ") + base +
                                (st->settings.lock == ARCHIVE_LOCK_EXCLUSIVE
                                     ? " is in use (a running server or rebuild holds it)"
                                     : " is being rebuilt (storeindex holds it)"));
            errno = EAGAIN;
            return -1;
        }
        // ENOENT: no store made yet; the first image makes it. Any other
        // reason leaves the store unlocked: said, but no reason to refuse
        // serving.
        if (st->lockFd < 0 && errno != ENOENT)
            logprintf(LOGLEVEL_WARNING, st->settings.log, "Cannot lock store %s: %s\n", base,
                      strerror(errno));
        st->noStore = st->lockFd < 0 && errno == ENOENT;
    }
    st->locked = true;
    if (lockOnly)
        return 0;
    // Started twice is a programming error.
    if (st->started)
        abort();
    st->started = true;
    if (st->settings.makeStore)
        makeStore(ctx);
    if (st->settings.recover) {
        // What a crash left is finished before anyone reads the index;
        // then the table and the key digests that the first query uses (a
        // missing or stale keys file is rebuilt here).
        archive_recover(ctx);
        archive_refresh(ctx);
    }
    return 0;
}

void archive_close(archive_context *ctx)
{
    archive_state *st = ctx->state;
    if (st == nullptr)
        return;
    archive_auditDeletes(ctx);
    // The store first: its flusher threads put what they hold on disk
    // while the lock still keeps a rebuild out.
    delete ctx->store;
    ctx->store = nullptr;
    if (st->lockFd >= 0)
        close(st->lockFd);
    pthread_rwlock_destroy(&st->rw);
    if (st->quietLog != nullptr)
        fclose(st->quietLog);
    delete st;
    ctx->state = nullptr;
}

void archive_forked(archive_context *ctx)
{
    archive_state *st = ctx->state;
    if (st != nullptr && st->lockFd >= 0) {
        close(st->lockFd);
        st->lockFd = -1;
    }
    // The parent's database session is the parent's: the child connects
    // anew at its first use.
    if (st != nullptr && st->db)
        st->db->forked();
    // So is the index's: the child makes its own backend (pgindex.h), which
    // connects at its first use.
    if (ctx->store != nullptr)
        ctx->store->forkedIndex();
}

int archive_clusterNoteDelete(const archive_context *ctx, const char *study, const char *series,
                              const char *instance)
{
    archive_state *st = ctx->state;
    if (st == nullptr || !st->db)
        return 0;
    // The image's pending upload goes with the record, in one statement:
    // an upload entry that a node finds after a delete record is then
    // always of a later store of the UID (archive_clusterDrainDeletes
    // keeps that store's file, which may be its only copy).
    return st->db->exec(
               "WITH gone AS (DELETE FROM velto_cluster_uploads"
               " WHERE archive = $1 AND instance = $4)"
               " INSERT INTO velto_cluster_deletes (archive, study, series, instance, node)"
               " VALUES ($1, $2, $3, $4, $5)",
               {st->archiveId, study, series, instance, st->cluster->node}) == CLUSTERDB_OK
               ? 0
               : -1;
}

// Where a node keeps the last delete it has dropped its files of: a hint
// only (a mark lost or old makes the node drop the same files again).
static std::string deletesMark(const archive_context *ctx)
{
    return std::string(ctx->store->getBaseDir()) + "/CLUSTERDELETES";
}

int archive_clusterDrainDeletes(const archive_context *ctx)
{
    archive_state *st = ctx->state;
    if (st == nullptr || !st->db)
        return 0;
    std::lock_guard<std::mutex> g(st->deletesMu);
    std::string mark = deletesMark(ctx);
    if (st->deletesSeen < 0) {
        st->deletesSeen = 0;
        int fd = open(mark.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[32];
        ssize_t n = fd >= 0 ? fullio_read(fd, buf, sizeof buf - 1) : -1;
        if (n > 0) {
            buf[n] = 0;
            st->deletesSeen = atoll(buf);
        }
        if (fd >= 0)
            close(fd);
    }
    clusterdb_rows rows;
    // With each record: whether this node has an upload of the image
    // queued, which is then of a store after the delete (the delete took
    // the earlier entries with it): ack local, the file its only copy.
    if (st->db->exec("SELECT d.id, d.study, d.series, d.instance, u.instance IS NOT NULL"
                     " FROM velto_cluster_deletes d LEFT JOIN velto_cluster_uploads u"
                     " ON u.archive = d.archive AND u.instance = d.instance AND u.node = $3"
                     " AND u.study = d.study AND u.series = d.series"
                     " WHERE d.archive = $1 AND d.id > $2::bigint ORDER BY d.id LIMIT 1000",
                     {st->archiveId, std::to_string(st->deletesSeen), st->cluster->node},
                     &rows) != CLUSTERDB_OK)
        return -1;
    int dropped = 0;
    for (size_t i = 0; i < rows.size(); i++) {
        // This node's copy is a cache of an image that is gone (or stored
        // again since, whose home is the bucket): it goes either way, so
        // that no stale copy is ever served; unless this node stored it
        // again and has not uploaded it yet (see above). The UIDs are the database's
        // text: checked as any UID that names a file.
        const std::string &S = rows.at(i, 1), &R = rows.at(i, 2), &I = rows.at(i, 3);
        bool storedAgainHere = rows.at(i, 4) == "t";
        if (!storedAgainHere && ctx->store->CheckUid(S.c_str(), "Study Instance UID") == 0 &&
            ctx->store->CheckUid(R.c_str(), "Series Instance UID") == 0 &&
            ctx->store->CheckUid(I.c_str(), "SOP Instance UID") == 0) {
            OFString path = ctx->store->GetUidPath(S.c_str(), R.c_str(), I.c_str(), 1);
            if (unlink(path.c_str()) == 0) {
                dropped++;
                ctx->store->noteParentChanged(path);
            }
        }
        st->deletesSeen = atoll(rows.at(i, 0).c_str());
    }
    if (rows.size() > 0) {
        durable_file f;
        std::string text = std::to_string(st->deletesSeen) + "\n";
        if (f.create(mark, 0644) != 0 || f.write(text.data(), text.size()) != 0 || f.commit() != 0)
            logprintf(LOGLEVEL_WARNING, st->settings.log, "Cannot write %s: %s\n", mark.c_str(),
                      strerror(errno));
    }
    if (dropped > 0)
        logprintf(LOGLEVEL_NOTICE, st->settings.log,
                  "Dropped %d cached images deleted through the cluster.\n", dropped);
    return dropped;
}

int archive_clusterUploadPass(const archive_context *ctx)
{
    archive_state *st = ctx->state;
    LocalStore *store = ctx->store;
    if (st == nullptr || !st->db || store->getTier() == nullptr)
        return 0;
    clusterdb_rows rows;
    if (st->db->exec("SELECT study, series, instance FROM velto_cluster_uploads"
                     " WHERE archive = $1 AND node = $2 ORDER BY queued LIMIT 200",
                     {st->archiveId, st->cluster->node}, &rows) != CLUSTERDB_OK)
        return -1;
    int uploaded = 0;
    // The entries done in this pass, ended together: the rows' location
    // first, then the entries. A kill between the two leaves entries whose
    // upload is done, repeated by the next pass (the same bytes under the
    // same key).
    std::vector<std::string> done, inTier;
    auto finish = [&]() {
        if (!inTier.empty() && store->index().setInTier(inTier) != INDEX_OK)
            return;
        if (!done.empty())
            st->db->exec("DELETE FROM velto_cluster_uploads WHERE archive = $1 AND node = $2"
                         " AND instance = ANY($3::text[])",
                         {st->archiveId, st->cluster->node, textfield_sqlArray(done)});
    };
    // The pass's rows looked up at once.
    std::vector<std::string> instances;
    for (size_t i = 0; i < rows.size(); i++)
        instances.push_back(rows.at(i, 2));
    std::vector<index_image> found;
    if (!instances.empty() && store->index().locate(instances, &found) < 0)
        return -1;
    for (size_t i = 0; i < rows.size(); i++) {
        const std::string &S = rows.at(i, 0), &R = rows.at(i, 1), &I = rows.at(i, 2);
        if (store->CheckUid(S.c_str(), "Study Instance UID") != 0 ||
            store->CheckUid(R.c_str(), "Series Instance UID") != 0 ||
            store->CheckUid(I.c_str(), "SOP Instance UID") != 0)
            continue;
        OFString path = store->GetUidPath(S.c_str(), R.c_str(), I.c_str(), 1);
        bool rowHere = i < found.size() && found[i].study == S && found[i].series == R;
        int fd = rowHere ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        // No row (never committed, or deleted since) or no file (deleted):
        // nothing to upload. Otherwise the entry goes once the object is
        // in the bucket, checked; a failure leaves it for the next pass.
        bool ended = !rowHere || (fd < 0 && errno == ENOENT);
        if (fd >= 0) {
            // Each attempt's own failure line would come every poll while
            // the gateway is down: the outage is said once instead.
            if (st->quietLog == nullptr)
                st->quietLog = fopen("/dev/null", "we");
            FILE *log = st->uploadsFailing && st->quietLog ? st->quietLog : st->settings.log;
            int put = tier_putImage(*store->getTier(), store->getBaseDir(), path.c_str(), fd, log);
            close(fd);
            ended = put == TIER_OK;
            uploaded += ended;
            if (ended)
                inTier.push_back(I);
            if (!ended) {
                if (!st->uploadsFailing)
                    logprintf(LOGLEVEL_ERROR, st->settings.log,
                              "Cluster: uploads wait for the bucket (retried every poll, growing "
                              "to 30 s)\n");
                st->uploadsFailing = true;
                // The gateway is down or refusing: the other entries wait
                // for the next pass.
                finish();
                return -2;
            }
            if (st->uploadsFailing)
                logprintf(LOGLEVEL_NOTICE, st->settings.log, "Cluster: uploads go again\n");
            st->uploadsFailing = false;
        }
        if (ended)
            done.push_back(I);
    }
    finish();
    return uploaded;
}

long archive_clusterUploadBacklog(const archive_context *ctx)
{
    archive_state *st = ctx->state;
    if (st == nullptr || !st->db)
        return 0;
    clusterdb_rows rows;
    if (st->db->exec("SELECT count(*) FROM velto_cluster_uploads WHERE archive = $1",
                     {st->archiveId}, &rows) != CLUSTERDB_OK ||
        rows.size() != 1)
        return -1;
    return atol(rows.at(0, 0).c_str());
}

const cluster_config *archive_clusterConfig(const archive_context *ctx)
{
    return ctx->state != nullptr ? ctx->state->cluster.get() : nullptr;
}

clusterdb *archive_clusterDb(const archive_context *ctx)
{
    return ctx->state != nullptr ? ctx->state->db.get() : nullptr;
}

int archive_lockDescriptor(const archive_context *ctx)
{
    return ctx->state != nullptr ? ctx->state->lockFd : -1;
}

// A failing lock call is a programming error (a lock taken twice, or not
// held when released), as is a guard on an archive never opened.
static archive_state *opened(const archive_context *ctx)
{
    if (ctx->state == nullptr)
        abort();
    return ctx->state;
}

archive_shared::archive_shared(const archive_context *ctx) : state_(opened(ctx))
{
    if (pthread_rwlock_rdlock(&state_->rw) != 0)
        abort();
}

archive_shared::~archive_shared()
{
    if (pthread_rwlock_unlock(&state_->rw) != 0)
        abort();
}

archive_exclusive::archive_exclusive(const archive_context *ctx) : state_(opened(ctx))
{
    if (pthread_rwlock_wrlock(&state_->rw) != 0)
        abort();
}

archive_exclusive::~archive_exclusive()
{
    if (pthread_rwlock_unlock(&state_->rw) != 0)
        abort();
}
