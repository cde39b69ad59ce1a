// The PostgreSQL backend of the index interface (index/indexbackend.h):
// the records of an archive's images in four tables (velto_patients,
// velto_studies, velto_series, velto_instances) of a PostgreSQL 15
// database that several processes and hosts share, reached with libpq.
//
// It knows nothing of the store: every attribute a match may carry is kept
// in the database (the record keys and the study keys as columns, every
// other short top-level attribute of an image in its attrs column), so a
// query never opens an image file and any node answers any image.
//
// - The schema is made and migrated by the backend itself at open, in a
//   transaction under an advisory lock: a velto_schema_version row, then
//   each migration that the database lacks. Migrations only add (tables,
//   nullable columns, indexes), so a node still running the old code keeps
//   working on a migrated database.
// - One archive id per archive: every row carries it, and SOP Instance UIDs
//   are unique per archive (a UNIQUE constraint, not a file-system link).
// - A transaction is a READ COMMITTED database transaction that locks its
//   study's row (SELECT ... FOR UPDATE, or the row's insert), so a delete
//   and a store of one study serialise across processes and nodes. Its
//   changes are kept in memory until commit: a serialization failure or a
//   deadlock (SQLSTATE 40001, 40P01) or a lost connection before COMMIT
//   replays the whole transaction (a bounded number of times).
// - Failover: a server that refuses connections (restarting, a standby
//   being promoted) is waited for up to a bound (setPatience), then the
//   call fails (INDEX_FAILED): a C-STORE is refused, never left hanging.
//   A connection lost before COMMIT replays the transaction; one lost at
//   COMMIT asks the server on a new connection what became of it
//   (txid_status of the id read with the study's lock; a session that
//   still holds it is ended first) and replays it only when it did not
//   take. A replay is safe either way: its writes are upserts by key and
//   removals whose absence counts as done. A server that answers 25006 (read only)
//   or a shutdown's 57P0x is left for a new connection, which by default
//   asks for one that takes writes (target_session_attrs=read-write, so a
//   conninfo listing the primary and its standbys follows a promotion).
// - Durability is the database's: a committed change is flushed by the
//   server at COMMIT; a process killed before its COMMIT leaves nothing
//   (the server rolls its transaction back), so recover has nothing to do.
// - Duplicates: an image added INDEX_ADD_NEW or _PLACED whose SOP Instance
//   UID is there already is INDEX_EXISTS (the UNIQUE key decides, across
//   nodes: an insert meeting another transaction's uncommitted row waits
//   for its end); INDEX_ADD_REPLACE rewrites the row, wherever it was.
// - Connections: one per process. A forked child must not use its parent's
//   backend (the connection's socket is shared): it opens a backend of its
//   own. Calls on one backend are serialised by a mutex, so the reads that
//   the interface lets run on several threads (find, next, stale) take
//   turns on the connection; a cursor fetches its matches in batches, each
//   a statement of its own, and holds no transaction between calls.
#ifndef VELTO_INDEX_PGINDEX_H
#define VELTO_INDEX_PGINDEX_H

#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "index/indexbackend.h"

typedef struct pg_conn PGconn;

// The schema version this code makes and knows.
enum { PGINDEX_SCHEMA_VERSION = 1 };

class pgindex : public index_backend
{
public:
    // conninfo: a libpq connection string ("host=/run/x port=5432
    // dbname=velto user=velto"); archive: the archive's id, which every row
    // carries; log: where failures are logged (borrowed, may be null).
    pgindex(const std::string &conninfo, const std::string &archive, FILE *log);
    ~pgindex() override;
    pgindex(const pgindex &) = delete;
    pgindex &operator=(const pgindex &) = delete;

    // Connects and makes or migrates the schema: 0, or -1 (logged). Every
    // other call connects first when this was not called or failed.
    int open();
    // How long a call waits for a server that refuses connections
    // (restarting, failing over) before it fails with INDEX_FAILED: 15 s
    // unless set. A call soon after such a failure tries once only.
    void setPatience(long ms);
    // The name the sessions give the server (application_name, unless the
    // connection string names one; and the setting velto.node, always): a
    // cluster node's name, which what the database records of its changes
    // carries. Before the first call.
    void setSessionName(const std::string &name);

    index_transaction *begin(const char *study) override;
    index_transaction *beginStudies(const std::vector<std::string> &studies) override;
    int commit(index_transaction *t) override;
    void abort(index_transaction *t) override;
    int add(index_transaction *t, DcmDataset *ds, int how) override;
    int addFile(index_transaction *t, DcmDataset *ds, int how, const index_file &file) override;
    int setInTier(const std::vector<std::string> &instances) override;
    int change(index_transaction *t, DcmDataset *ds) override;
    int removeIn(index_transaction *t, const char *study, const char *series,
                 const char *instance) override;
    int remove(const char *study, const char *series, const char *instance) override;
    index_cursor *find(DcmDataset *query, const char *level, int flags) override;
    int select(DcmDataset *identifier, std::vector<index_image> *out) override;
    int studyImages(const char *study, std::vector<index_image> *out) override;
    int locate(const std::vector<std::string> &instances, std::vector<index_image> *out) override;
    int refresh() override;
    bool stale() override;
    int compact() override;
    int recover() override;
    // In a forked child: the parent's connection is let go of without a
    // Terminate on the socket the parent still uses (the child's copy of
    // it is pointed at /dev/null first); the next call connects anew.
    void forked() override;

    // For the cursors and helpers of pgindex.cc.
    struct impl;

private:
    impl *p_;
};

#endif
