// The changes of stored images over HTTP (core/change.h): POST /changes
// makes one (modify, merge or split), GET /changes lists the change log.
#ifndef VELTO_WEB_CHANGESPAGE_H
#define VELTO_WEB_CHANGESPAGE_H

#include <string>

struct webrequest;

// Whether path is this service's ("/changes").
bool changespage_owns(const std::string &path);

// POST /changes: a flat JSON object or a form (web_bodyFields), with the
// page's token as every page POST (web/csrf.h). Its fields:
//   kind     "modify", "merge" or "split"
//   modify:  patient [issuer] | study [series]; newUids "yes"; and every
//            other field an attribute (keyword or "gggg,eeee") and its
//            new value
//   merge:   from [fromIssuer] to [toIssuer] (Patient IDs)
//   split:   study, series (one UID or several, comma-separated),
//            [toStudy]
// Answers JSON {"id", "status" ("done", "refused", "not found", "failed",
// "unfinished"), "message", "images", "studies": [...]}: 200 done, 400
// refused, 404 not found, 500 failed or unfinished.
// GET /changes?patient=ID|study=UID (or neither: all): the change log's
// entries as a JSON array of objects (id, time, user, from, kind, scope,
// images, studies, patients, changes: [[attribute, old, new], ...]).
int changespage_serve(const webrequest &rq, const std::string &body);

// The study list's edit dialog (a form per patient, study and series, sent
// to POST /changes; a refusal is shown in the dialog, which keeps what
// was typed) with the change log of the patient or study, and its script:
// for the page to embed (web/pages.cc), after its own script.
const char *changespage_dialog();
const char *changespage_script();

#endif
