// storeweb's forwarding service below /forward: the queue of forwarding
// jobs (core/forward.h) as a page and as JSON, the retry of a failed job,
// and the sending of a study or series to a peer of the AE title map
// through the same queue (the server's forwarder sends it with the
// retrieve code of C-MOVE).
#ifndef VELTO_WEB_FORWARDPAGE_H
#define VELTO_WEB_FORWARDPAGE_H

#include <string>

#include "web/webserver.h"

// The path the service answers below (itself and what lies under it).
#define FORWARDPAGE_ROOT "/forward"

// 1 when path is the service's (FORWARDPAGE_ROOT or below it).
int forwardpage_owns(const std::string &path);

// Answers a request below FORWARDPAGE_ROOT, body being the whole request
// body:
//   GET  /forward                   the page: the queue, a retry button per
//                                   failed job, a form to send a study
//   GET  /forward/jobs              JSON: {"pending": N, "failed": N, "jobs": [...]}
//   GET  /forward/jobs/{id}         JSON: one job with its progress, or 404
//   POST /forward/jobs/{id}/retry   a failed job back into the queue (404 if none)
//   POST /forward/send              study, optional series, destination (form
//                                   or JSON): 202 {"id": ..., "total": N}
// A form (urlencoded) is answered with 303 to the page, JSON with JSON.
// Every POST must pass the same-origin check (403).
int forwardpage_serve(const webrequest &rq, const std::string &body);

#endif
