// storeweb's worklist service below /worklist: the page with its form, and
// the JSON endpoint for scripts, over the store's worklist entries.
#ifndef VELTO_WEB_WORKLISTPAGE_H
#define VELTO_WEB_WORKLISTPAGE_H

#include <string>

#include "web/webserver.h"

class DcmDataset;

// The path the service answers below (itself and what lies under it).
#define WORKLISTPAGE_ROOT "/worklist"
// The largest request body it takes (a form or a JSON object).
enum { WORKLISTPAGE_MAX_BODY = 65536 };

// 1 when path is the service's (WORKLISTPAGE_ROOT or below it).
int worklistpage_owns(const std::string &path);

// Answers a request below WORKLISTPAGE_ROOT, body being the whole request
// body:
//   GET    /worklist                    the page: entries, a form to add one
//   POST   /worklist                    the form (urlencoded): add, 303 to the page
//   POST   /worklist/{id}/delete        the page's remove button: 303 to the page
//   GET    /worklist/entries            JSON: [{"id": ..., "PatientName": ..., ...}]
//   POST   /worklist/entries            JSON object of keywords: 201 with the entry
//   GET    /worklist/entries/{id}       JSON: the entry, or 404
//   DELETE /worklist/entries/{id}       204, or 404
// A refused entry is 400 with the reason; a form from another origin 403.
int worklistpage_serve(const webrequest &rq, const std::string &body);

// What marks an entry done when a study arrives by STOW-RS (-W): a
// WORKLIST_DONE_* mode of core/worklist.h. Set by the entry routine.
extern int worklistpage_doneMode;

#endif
