// Query/retrieve from other archives in the browser: a search of a peer of
// the AE title map (C-FIND, study root, by patient, date range and
// modality) and the retrieve of chosen studies into this archive (a C-MOVE
// at the peer with the archive's own AE title as destination, whose
// pending responses are the progress shown). The page needs both the find
// and the store rights of the access policy: it queries a peer, and what
// it brings in is stored.
#ifndef VELTO_WEB_RETRIEVEPAGE_H
#define VELTO_WEB_RETRIEVEPAGE_H

#include <string>

struct webrequest;

#define RETRIEVEPAGE_ROOT "/retrieve"

// The most studies one search shows (the peer's further answers are read
// and dropped), retrieves running at once, and retrieves remembered.
enum { RETRIEVEPAGE_MAX_STUDIES = 500 };
enum { RETRIEVEPAGE_MAX_RUNNING = 4 };
enum { RETRIEVEPAGE_KEEP = 100 };

// 1 when path is the service's (RETRIEVEPAGE_ROOT or below it).
int retrievepage_owns(const std::string &path);
// Answers a request below RETRIEVEPAGE_ROOT (body: a POST's whole body):
//   GET  /retrieve            the page (with ?peer=...: the search's results)
//   GET  /retrieve/find       the search as JSON {"studies":[...]}
//   GET  /retrieve/moves      the retrieves and their progress as JSON
//   POST /retrieve/move       peer and study (one or more): starts retrieves
int retrievepage_serve(const webrequest &rq, const std::string &body);

#endif
