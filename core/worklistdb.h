// The modality worklist of a cluster: the entries kept in the cluster's
// database (one row per entry, the entry file's bytes with it), so that an
// entry made through one node's pages is answered by every node's
// worklist SCP and marked done by a study that arrives through any node.
//
// Each node keeps answering from the entry files below its own store
// (core/worklist.h: DCMTK's data source reads a directory): before a query
// and before a listing, worklistdb_sync makes the node's files what the
// database says. The database is the truth: a local entry it does not
// hold is removed (made through this node but never recorded: see
// worklistdb_create), one it holds and the node lacks is written, one done
// there is moved to the done directory here.
#ifndef VELTO_CORE_WORKLISTDB_H
#define VELTO_CORE_WORKLISTDB_H

#include <stdio.h>

#include <string>

#include "core/worklist.h"

class clusterdb;

// Makes an entry as Worklist_Create does and records it in the database:
// the file first, then its row; a row that cannot be written takes the
// file back (a crash in between leaves a file that the next sync removes),
// so an entry answered "made" is every node's. Results as
// Worklist_Create's.
int worklistdb_create(clusterdb *db, const char *baseDir, const worklistfields &fields,
                      std::string *id, std::string *error, FILE *log);

// Removes the entry id from the database, then this node's file (another
// node's goes at its next sync). Results as Worklist_Remove's.
int worklistdb_remove(clusterdb *db, const char *baseDir, const std::string &id, FILE *log);

// A study arrived: the entries that match under mode (WORKLIST_DONE_*)
// are marked done in the database and here. The number marked.
int worklistdb_markDone(clusterdb *db, const char *baseDir, const char *accession,
                        const char *studyUID, int mode, FILE *log);

// Makes this node's entry files what the database holds (see above): 0, or
// -1 when the database cannot be read (logged; the files stay as they
// were, and the caller answers from them or refuses, as it chooses).
int worklistdb_sync(clusterdb *db, const char *baseDir, FILE *log);

#endif
