// storeweb's audit messages (core/audit.h) and the audit pages: every
// login (a failed one with the client's address; a good one once per user
// and address an hour), every search (QIDO-RS and the study list), every
// view (the series rows of a study, metadata, rendered images, frames:
// once per user, address and study in five minutes, as a viewer fetches
// many), every download (WADO, ZIP), every upload (per study), every
// worklist change; /audit?study=UID and /audit?user=NAME list the events
// of a study or a user from the local spool.
#ifndef VELTO_WEB_WEBAUDIT_H
#define VELTO_WEB_WEBAUDIT_H

#include <time.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/audit.h"
#include "web/webserver.h"

// What the audit of the web keeps between requests (a member of the
// server's state): when each login and each view was last audited.
struct webaudit_memory {
    std::mutex mu;
    std::map<std::string, time_t> logins, views;
};

// The requesting user of rq (name and address) as a participant.
audit_participant webaudit_user(const webrequest &rq);
// A login: user ("" unknown) from address, ok or refused.
void webaudit_login(webaudit_memory *memory, const std::string &user, const std::string &address,
                    bool ok);
// After a request has been answered (rq.status): its audit message, by
// the path and arguments (searches, views, downloads, worklist changes).
void webaudit_request(webaudit_memory *memory, const webrequest &rq,
                      const std::vector<std::string> &seg, const std::string &body);
// The images one upload stored, per study.
void webaudit_stored(const webrequest &rq, audit_studies *stored);
// Whether path is an audit page's.
bool webaudit_owns(const std::string &path);
// Serves /audit (GET): ?study=UID (needs the right to search) or
// ?user=NAME (one's own; another's with the right to delete).
int webaudit_serve(const webrequest &rq);

#endif
