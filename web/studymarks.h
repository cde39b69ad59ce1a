// storeweb's marks on studies from the study page: the protection flags of
// retention (core/retention.h) and the rejection of images (core/rejection.h),
// each a change of the store that needs the delete right:
//   GET  /protect          JSON {"studies": [UID...], "patients": [ID...]}
//   POST /protect          study=UID or patient=ID, on=1|0: JSON {"protected": true|false}
//   POST /reject           study=UID [series=UID] reason=113001|113037|113038|113039:
//                          the archive makes and stores a rejection note;
//                          JSON {"rejected": N, "note": UID}
//   POST /purge-rejected   removes every rejected image: JSON {"purged": N}
//   GET  /studymarks.js    the page's script for its Protect and Reject buttons
// A POST carries the page's token (web/csrf.h) as the delete form does.
#ifndef VELTO_WEB_STUDYMARKS_H
#define VELTO_WEB_STUDYMARKS_H

#include <string>

#include "core/retention.h"
#include "web/webserver.h"

// 1 when path is one of the service's.
int studymarks_owns(const std::string &path);
// Whether path changes the store (POST: the delete right) or only reads.
bool studymarks_changes(const std::string &method, const std::string &path);
// Answers a request to one of the service's paths, body the whole body.
int studymarks_serve(const webrequest &rq, const std::string &body);

// The protection flags, for the page's rows (none when unreadable).
retention_protection studymarks_protection();

#endif
