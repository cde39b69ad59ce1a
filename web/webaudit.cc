// storeweb's audit messages and the audit pages (web/webaudit.h).
#include "web/webaudit.h"

#include <microhttpd.h>
#include <string.h>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcuid.h"

#include "access/accesspolicy.h"
#include "core/archive.h"
#include "web/forwardpage.h"
#include "web/worklistpage.h"

// A good login is audited again after this long; a view of the same study
// by the same user from the same address after this.
enum { LOGIN_AGAIN_SECONDS = 3600, VIEW_AGAIN_SECONDS = 300 };

static audit_sink *sink()
{
    return web_archive.audit;
}

audit_participant webaudit_user(const webrequest &rq)
{
    audit_participant p;
    // Without a users file every request is anonymous.
    p.userId = rq.user.empty() ? "anonymous" : rq.user;
    p.address = web_peerAddress(rq.conn);
    p.requestor = true;
    return p;
}

static audit_participant self()
{
    audit_participant p = audit_self(sink());
    return p;
}

// True when key was not seen within seconds (and notes it now).
static bool firstWithin(webaudit_memory *m, std::map<std::string, time_t> *seen,
                        const std::string &key, int seconds)
{
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> g(m->mu);
    // Bounded: a flood of addresses or studies cannot grow it for ever.
    if (seen->size() > 10000)
        seen->clear();
    auto it = seen->find(key);
    if (it != seen->end() && now - it->second < seconds)
        return false;
    (*seen)[key] = now;
    return true;
}

void webaudit_login(webaudit_memory *memory, const std::string &user, const std::string &address,
                    bool ok)
{
    if (sink() == nullptr)
        return;
    if (ok && !firstWithin(memory, &memory->logins, user + "\n" + address, LOGIN_AGAIN_SECONDS))
        return;
    audit_event ev;
    ev.kind = AUDIT_LOGIN;
    ev.outcome = ok ? AUDIT_SUCCESS : AUDIT_MINOR_FAILURE;
    if (!ok)
        ev.outcomeText = "wrong user name or password";
    audit_participant p;
    p.userId = user.empty() ? "unknown" : user;
    p.address = address;
    p.requestor = true;
    ev.participants = {p, self()};
    audit_emit(sink(), ev);
}

static void emitStudy(audit_kind kind, char action, const webrequest &rq, const std::string &study,
                      int role)
{
    if (study.empty())
        return;
    audit_studies set;
    set.add(study, "");
    audit_participant user = webaudit_user(rq);
    user.role = role;
    audit_emitStudies(sink(), kind, action, AUDIT_SUCCESS, {user, self()}, &set);
}

static void emitQuery(const webrequest &rq)
{
    audit_event ev;
    ev.kind = AUDIT_QUERY;
    ev.participants = {webaudit_user(rq), self()};
    audit_object q;
    q.kind = audit_object::QUERY;
    q.id = UID_FINDStudyRootQueryRetrieveInformationModel;
    q.query = rq.path;
    for (size_t i = 0; i < rq.args.size(); i++)
        q.query += (i == 0 ? "?" : "&") + rq.args[i].first + "=" + rq.args[i].second;
    ev.objects.push_back(q);
    audit_emit(sink(), ev);
}

// A field of a form body ("a=1&b=2", undecoded) or of a flat JSON object.
static std::string bodyField(const std::string &body, const std::string &name)
{
    size_t p = body.find("\"" + name + "\"");
    if (p != std::string::npos) {
        p = body.find('"', body.find(':', p) + 1);
        size_t e = p == std::string::npos ? p : body.find('"', p + 1);
        return e == std::string::npos ? "" : body.substr(p + 1, e - p - 1);
    }
    size_t start = 0;
    while (start < body.size()) {
        size_t amp = body.find('&', start);
        std::string pair = body.substr(start, amp == std::string::npos ? amp : amp - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    return "";
}

static void emitWorklist(const webrequest &rq, const std::vector<std::string> &wseg,
                         const std::string &body)
{
    // wseg: below /worklist: [] (the form's add), [id, "delete"] (the
    // form's remove), ["entries"] (POST: add) or ["entries", id] (DELETE).
    char action;
    std::string id;
    if (wseg.empty() || (wseg.size() == 1 && wseg[0] == "entries")) {
        if (rq.method != "POST")
            return;
        action = 'C';
    } else if (wseg.size() == 2 && wseg[1] == "delete" && rq.method == "POST") {
        action = 'D';
        id = wseg[0];
    } else if (wseg.size() == 2 && wseg[0] == "entries" && rq.method == "DELETE") {
        action = 'D';
        id = wseg[1];
    } else {
        return;
    }
    audit_event ev;
    ev.kind = AUDIT_PROCEDURE_RECORD;
    ev.action = action;
    bool ok = rq.status >= 200 && rq.status < 400;
    ev.outcome = ok ? AUDIT_SUCCESS : AUDIT_MINOR_FAILURE;
    if (!ok)
        ev.outcomeText = "refused (HTTP " + std::to_string(rq.status) + ")";
    ev.participants = {webaudit_user(rq), self()};
    audit_object o;
    o.kind = audit_object::ENTRY;
    o.id = WORKLISTPAGE_ROOT "/entries/" + (id.empty() ? std::string("new") : id);
    o.name = bodyField(body, "AccessionNumber");
    ev.objects.push_back(o);
    std::string patient = bodyField(body, "PatientID");
    if (!patient.empty()) {
        audit_object p;
        p.kind = audit_object::PATIENT;
        p.id = patient;
        ev.objects.push_back(p);
    }
    audit_emit(sink(), ev);
}

void webaudit_request(webaudit_memory *memory, const webrequest &rq,
                      const std::vector<std::string> &seg, const std::string &body)
{
    if (sink() == nullptr)
        return;
    const std::string &p = rq.path;
    if (worklistpage_owns(p)) {
        emitWorklist(rq, web_splitPath(p.substr(strlen(WORKLISTPAGE_ROOT))), body);
        return;
    }
    // A send asked for (queued; the forwarder audits what it delivers).
    if (p == FORWARDPAGE_ROOT "/send" && rq.method == "POST" && rq.status >= 200 &&
        rq.status < 300) {
        std::string study = bodyField(body, "study");
        audit_studies set;
        if (!study.empty())
            set.add(study, "");
        audit_participant to;
        to.userId = bodyField(body, "destination");
        to.role = AUDIT_ROLE_DESTINATION;
        audit_emitStudies(sink(), AUDIT_BEGIN_TRANSFER, 'E', AUDIT_SUCCESS,
                          {webaudit_user(rq), audit_self(sink(), AUDIT_ROLE_SOURCE), to}, &set);
        return;
    }
    // Below, only what was answered: a refused request showed nothing.
    if (rq.status < 200 || rq.status >= 300 || (rq.method != "GET" && rq.method != "HEAD"))
        return;
    const std::string root = WEB_DICOMWEB_ROOT;
    std::string user = webaudit_user(rq).userId + "\n" + webaudit_user(rq).address + "\n";
    if (p.compare(0, root.size(), root) == 0 && !seg.empty()) {
        const std::string &last = seg.back();
        if (last == "studies" || last == "series" || last == "instances") {
            emitQuery(rq);
            return;
        }
        if (seg[0] != "studies" || seg.size() < 2)
            return;
        bool view = last == "metadata" || last == "rendered" || last == "thumbnail" ||
                    (seg.size() >= 2 && seg[seg.size() - 2] == "frames");
        if (!view) {
            emitStudy(AUDIT_TRANSFERRED, 'R', rq, seg[1], AUDIT_ROLE_DESTINATION);
        } else if (firstWithin(memory, &memory->views, user + seg[1], VIEW_AGAIN_SECONDS)) {
            emitStudy(AUDIT_ACCESSED, 'R', rq, seg[1], AUDIT_ROLE_NONE);
        }
        return;
    }
    if (p == "/" || p == "/index.html") {
        emitQuery(rq);
    } else if (p == "/series") {
        const char *study = rq.arg("study");
        if (study != nullptr &&
            firstWithin(memory, &memory->views, user + study, VIEW_AGAIN_SECONDS))
            emitStudy(AUDIT_ACCESSED, 'R', rq, study, AUDIT_ROLE_NONE);
    } else if (p == "/download") {
        const char *study = rq.arg("study");
        if (study != nullptr)
            emitStudy(AUDIT_TRANSFERRED, 'R', rq, study, AUDIT_ROLE_DESTINATION);
    } else if (p == "/wado") {
        const char *study = rq.arg("studyUID");
        const char *type = rq.arg("contentType");
        if (study == nullptr)
            return;
        if (type != nullptr && strcmp(type, "application/dicom") == 0)
            emitStudy(AUDIT_TRANSFERRED, 'R', rq, study, AUDIT_ROLE_DESTINATION);
        else if (firstWithin(memory, &memory->views, user + study, VIEW_AGAIN_SECONDS))
            emitStudy(AUDIT_ACCESSED, 'R', rq, study, AUDIT_ROLE_NONE);
    }
}

void webaudit_stored(const webrequest &rq, audit_studies *stored)
{
    if (sink() == nullptr)
        return;
    audit_participant user = webaudit_user(rq);
    user.role = AUDIT_ROLE_SOURCE;
    audit_participant me = self();
    me.role = AUDIT_ROLE_DESTINATION;
    audit_emitStudies(sink(), AUDIT_TRANSFERRED, 'C', AUDIT_SUCCESS, {user, me}, stored);
}

// The spool holds the XML's escapes: the text they stand for, once.
static std::string unescapeXml(const std::string &in)
{
    static const std::pair<const char *, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    for (size_t i = 0; i < in.size();) {
        bool done = false;
        for (const auto &e : entities) {
            size_t n = strlen(e.first);
            if (in.compare(i, n, e.first) == 0) {
                out += e.second;
                i += n;
                done = true;
                break;
            }
        }
        if (!done)
            out += in[i++];
    }
    return out;
}

bool webaudit_owns(const std::string &path)
{
    return path == "/audit";
}

int webaudit_serve(const webrequest &rq)
{
    if (rq.method != "GET" && rq.method != "HEAD")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    if (sink() == nullptr)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "No audit trail is kept (no AuditLog file)");
    const char *study = rq.arg("study");
    const char *user = rq.arg("user");
    if ((study == nullptr) == (user == nullptr))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Give study=UID or user=NAME");
    if (study != nullptr && archive_uidProblem(study) != nullptr)
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study must be a UID");
    // Another user's trail is for those who may delete (the site's
    // administrators); one's own is everyone's.
    if (user != nullptr && rq.user != user && !web_permits(rq, ACCESS_DELETE))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    std::vector<audit_record> recs =
        audit_read(sink(), study != nullptr ? study : "", user != nullptr ? user : "", 500);
    // Reading the trail is on the trail too.
    audit_event used;
    used.kind = AUDIT_LOG_USED;
    used.action = 'R';
    used.participants = {webaudit_user(rq), self()};
    audit_object log;
    log.kind = audit_object::LOG;
    log.id = rq.path +
             (study != nullptr ? std::string("?study=") + study : std::string("?user=") + user);
    used.objects.push_back(log);
    audit_emit(sink(), used);
    std::string title = study != nullptr ? std::string("Audit trail of study ") + study
                                         : std::string("Audit trail of user ") + user;
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                       web_escapeHtml(title) +
                       "</title>\n<style>body{font-family:sans-serif;margin:1em}"
                       "table{border-collapse:collapse}td,th{border-bottom:1px solid #ccc;"
                       "padding:4px 8px;text-align:left}tr.failed td{color:#a00}</style>\n"
                       "</head><body>\n<p><a href=\"/\">Studies</a></p>\n<h1>" +
                       web_escapeHtml(title) + "</h1>\n";
    page += "<table id=\"audit\">\n<tr><th>Time (UTC)</th><th>Event</th><th>Action</th>"
            "<th>Outcome</th><th>Who</th><th>From</th><th>Objects</th></tr>\n";
    for (const audit_record &r : recs) {
        page += std::string("<tr class=\"event") + (r.outcome != "0" ? " failed" : "") + "\">";
        for (const std::string *f :
             {&r.time, &r.event, &r.action, &r.outcome, &r.who, &r.where, &r.objects}) {
            page += "<td>" + web_escapeHtml(unescapeXml(*f)) + "</td>";
        }
        page += "</tr>\n";
    }
    page += "</table>\n";
    if (recs.empty())
        page += "<p>No events.</p>\n";
    page += "</body></html>\n";
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}
