// The de-identification of a study from the browser (core/deidentify.h):
// the page with its options, the de-identified ZIP (streamed an image at a
// time), and the copy into the archive as a new study. Sending a study
// de-identified is the forwarding page's send with the field deidentify.
#ifndef VELTO_WEB_DEIDPAGE_H
#define VELTO_WEB_DEIDPAGE_H

#include <string>

struct webrequest;

#define DEIDPAGE_ROOT "/deidentify"

// True for the paths this file serves:
// GET  /deidentify?study=UID[&series=UID]   the page with the options
// GET  /deidentify/zip?study=UID[&series=UID][&options=LIST][&dates=on...]
//      the ZIP of STUDY/SERIES/INSTANCE.dcm by the new UIDs, and last
//      DEIDENTIFIED.txt: the pseudonym, the counts, and the images whose
//      pixel data may hold identifying text
// POST /deidentify/copy (form with the page's token, or JSON): study,
//      series, options: the copy into the archive; JSON {"study", "patientId",
//      "images", "burnedIn", "refused", "failed"[, "warning"]}
bool deidpage_owns(const std::string &path);
// The access policy's operations the request needs (ACCESS_* of
// access/accesspolicy.h): a download's (C-GET), and a copy's also a
// store's.
unsigned deidpage_operation(const std::string &method, const std::string &path);
int deidpage_serve(const webrequest &rq, const std::string &body);

#endif
