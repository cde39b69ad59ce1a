// The forwarding page and JSON endpoint of storeweb: the queue's jobs and
// their progress, the retry of failed jobs, and new jobs that send a study
// or series to a peer, all through the queue of the archive core
// (core/forward.h), which the server's forwarder works through.
#include "web/forwardpage.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/deidentify.h"
#include "core/forward.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"
#include "web/httpd.h"
#include "web/multipart.h"

int forwardpage_owns(const std::string &path)
{
    const size_t n = strlen(FORWARDPAGE_ROOT);
    return path.compare(0, n, FORWARDPAGE_ROOT) == 0 && (path.size() == n || path[n] == '/');
}

// The store's base directory: fixed once storeweb runs.
static const char *baseDir()
{
    return archive_baseDir(&web_archive);
}

static std::string jobJson(const forward_job &j)
{
    std::string out = "{\"id\":" + web_jsonQuote(j.id);
    out += ",\"destination\":" + web_jsonQuote(j.destination);
    out += ",\"study\":" + web_jsonQuote(j.study);
    if (!j.series.empty())
        out += ",\"series\":" + web_jsonQuote(j.series);
    if (!j.instance.empty())
        out += ",\"instance\":" + web_jsonQuote(j.instance);
    out += ",\"syntax\":" + web_jsonQuote(forward_syntaxName(j.syntax));
    out += ",\"origin\":" + web_jsonQuote(j.origin);
    if (!j.deidentify.empty())
        out += ",\"deidentify\":" + web_jsonQuote(j.deidentify);
    out += ",\"state\":" + web_jsonQuote(forward_stateName(j.state));
    out += ",\"attempts\":" + std::to_string(j.attempts);
    out += ",\"total\":" + std::to_string(j.total);
    out += ",\"sent\":" + std::to_string(j.sent);
    out += ",\"failed\":" + std::to_string(j.failed);
    out += ",\"next\":" + std::to_string(j.next);
    out += ",\"created\":" + std::to_string(j.created);
    if (!j.error.empty())
        out += ",\"error\":" + web_jsonQuote(j.error);
    return out + "}";
}

static int replyJson(const webrequest &rq, unsigned status, const std::string &json)
{
    return web_reply(rq, status, "application/json", json + "\n");
}

static int replyJsonError(const webrequest &rq, unsigned status, const std::string &text)
{
    return replyJson(rq, status, "{\"error\":" + web_jsonQuote(text) + "}");
}

static std::string timeText(long long t)
{
    if (t <= 0)
        return "";
    time_t tt = (time_t)t;
    struct tm tmv;
    char text[32];
    gmtime_r(&tt, &tmv);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tmv);
    return text;
}

static int servePage(const webrequest &rq, unsigned status, const std::string &message)
{
    std::vector<forward_job> jobs;
    if (forward_list(baseDir(), &jobs) != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Forwarding queue unreadable");
    size_t pending = 0, failed = 0;
    for (const forward_job &j : jobs) {
        pending += j.state == FORWARD_PENDING ? 1 : 0;
        failed += j.state == FORWARD_FAILED ? 1 : 0;
    }
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Forwarding</title>\n"
        "<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
        "td,th{border-bottom:1px solid #ccc;padding:4px 8px;text-align:left}"
        "tr.failed td{color:#a00}label{display:block;margin:2px 0}</style>\n"
        "</head><body>\n<h1>Forwarding</h1>\n";
    if (!message.empty())
        page += "<p class=\"message\">" + web_escapeHtml(message) + "</p>\n";
    page += "<p id=\"counts\">" + std::to_string(pending) + " pending, " + std::to_string(failed) +
            " failed</p>\n";
    page += "<table id=\"jobs\">\n<tr><th>Job</th><th>Destination</th><th>Study</th>"
            "<th>Series</th><th>Image</th><th>Origin</th><th>State</th><th>Sent</th>"
            "<th>Attempts</th><th>Next try (UTC)</th><th>Error</th><th></th></tr>\n";
    for (const forward_job &j : jobs) {
        const char *state = forward_stateName(j.state);
        page +=
            "<tr class=\"" + std::string(state) + "\" data-id=\"" + web_escapeHtml(j.id) + "\">";
        for (const std::string &v :
             {j.id, j.destination, j.study, j.series, j.instance, j.origin, std::string(state),
              std::to_string(j.sent) + " / " + std::to_string(j.total), std::to_string(j.attempts),
              j.state == FORWARD_PENDING ? timeText(j.next) : "", j.error})
            page += "<td>" + web_escapeHtml(v) + "</td>";
        page += "<td>";
        if (j.state == FORWARD_FAILED)
            page += "<form method=\"post\" action=\"" FORWARDPAGE_ROOT "/jobs/" +
                    web_escapeHtml(j.id) + "/retry\">" + csrf_hiddenField(rq) +
                    "<button type=\"submit\">Retry</button></form>";
        page += "</td></tr>\n";
    }
    page += "</table>\n<h2>Send a study</h2>\n<form id=\"send\" method=\"post\" "
            "action=\"" FORWARDPAGE_ROOT "/send\">\n" +
            csrf_hiddenField(rq) +
            "\n<label>Study Instance UID <input name=\"study\"></label>\n"
            "<label>Series Instance UID (optional) <input name=\"series\"></label>\n"
            "<label>Destination AE title <input name=\"destination\"></label>\n"
            "<button type=\"submit\">Send</button>\n</form>\n</body></html>\n";
    return web_reply(rq, status, "text/html; charset=utf-8", page);
}

static int redirectToPage(const webrequest &rq)
{
    MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, FORWARDPAGE_ROOT);
    return web_replyResponse(rq, MHD_HTTP_SEE_OTHER, r);
}

// True when the request came from the page's form (urlencoded).
static bool isForm(const webrequest &rq)
{
    return multipart_mediaType(rq.header(MHD_HTTP_HEADER_CONTENT_TYPE)) ==
           "application/x-www-form-urlencoded";
}

// An answer to a POST: the page (with message) for a form, else JSON.
// A form posted by the page itself is answered with the page (or a
// redirect to it); a script's request (JSON, or a form that asks for JSON,
// as the study page's send does) with JSON.
static int replyPost(const webrequest &rq, unsigned status, const std::string &message,
                     const std::string &json)
{
    const char *accept = rq.header(MHD_HTTP_HEADER_ACCEPT);
    bool wantsJson = accept != nullptr && strstr(accept, "application/json") != nullptr;
    if (isForm(rq) && !wantsJson)
        return status < 300 ? redirectToPage(rq) : servePage(rq, status, message);
    return status < 300 ? replyJson(rq, status, json) : replyJsonError(rq, status, message);
}

static std::string field(const webfields &fields, const char *name)
{
    for (const auto &f : fields) {
        if (f.first == name)
            return f.second;
    }
    return "";
}

// One UID (no list), as the archive takes one.
static bool oneUid(const std::string &uid)
{
    return archive_uidProblem(uid.c_str()) == nullptr;
}

// POST /forward/send: a new job for a study or series, to a peer of the
// map that the access policy lets images go to.
static int serveSend(const webrequest &rq, const std::string &body)
{
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return replyJsonError(rq, refused,
                              refused == MHD_HTTP_BAD_REQUEST
                                  ? "The body is no flat JSON object."
                                  : "Expected application/x-www-form-urlencoded or "
                                    "application/json.");
    forward_job job;
    job.study = field(fields, "study");
    job.series = field(fields, "series");
    job.destination = field(fields, "destination");
    // deidentify=yes or a list of options: the images go de-identified.
    job.deidentify = field(fields, "deidentify");
    if (job.deidentify == "no")
        job.deidentify.clear();
    if (!job.deidentify.empty() && !deidentify_parseOptions(job.deidentify, nullptr))
        return replyPost(rq, MHD_HTTP_BAD_REQUEST, "Unknown de-identification option.", "");
    if (!oneUid(job.study) || (!job.series.empty() && !oneUid(job.series)))
        return replyPost(rq, MHD_HTTP_BAD_REQUEST, "A study (and series) UID is needed.", "");
    AETitleMap map;
    AETitleMap_LoadSite(&map, nullptr);
    bool known =
        !job.destination.empty() && AETitleMap_FindByAET(&map, job.destination.c_str()) != nullptr;
    AETitleMap_Destroy(&map);
    if (!known || !httpd_checkDestination(job.destination.c_str()))
        return replyPost(rq, MHD_HTTP_BAD_REQUEST,
                         "Unknown destination: " + job.destination.substr(0, 64), "");
    std::vector<webinstance> images;
    web_refreshStudies();
    // The index answers -1 for a study it does not hold, as WADO reads it.
    if (web_listInstances(job.study.c_str(), job.series.empty() ? nullptr : job.series.c_str(),
                          nullptr, &images) != 0 ||
        images.empty())
        return replyPost(rq, MHD_HTTP_NOT_FOUND, "No such study or series.", "");
    job.origin = "web " + (rq.user.empty() ? std::string("-") : rq.user);
    job.total = (int)images.size();
    if (forward_submit(baseDir(), &job, web_options.logfp) != 0)
        return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The job cannot be written.", "");
    logprintf(LOGLEVEL_NOTICE, web_options.logfp,
              "Forward: job %s sends %d image(s) of study %s to %s (%s).\n", job.id.c_str(),
              job.total, job.study.c_str(), job.destination.c_str(),
              web_escapeForLog(job.origin).c_str());
    return replyPost(rq, MHD_HTTP_ACCEPTED, "",
                     "{\"id\":" + web_jsonQuote(job.id) +
                         ",\"total\":" + std::to_string(job.total) + "}");
}

int forwardpage_serve(const webrequest &rq, const std::string &body)
{
    std::vector<std::string> seg = web_splitPath(rq.path.substr(strlen(FORWARDPAGE_ROOT)));
    bool get = rq.method == "GET" || rq.method == "HEAD";
    if (get && seg.empty())
        return servePage(rq, MHD_HTTP_OK, "");
    if (get && seg.size() == 1 && seg[0] == "jobs") {
        std::vector<forward_job> jobs;
        if (forward_list(baseDir(), &jobs) != 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Queue unreadable");
        size_t pending = 0, failed = 0;
        std::string list;
        for (const forward_job &j : jobs) {
            pending += j.state == FORWARD_PENDING ? 1 : 0;
            failed += j.state == FORWARD_FAILED ? 1 : 0;
            list += (list.empty() ? "" : ",") + jobJson(j);
        }
        return replyJson(rq, MHD_HTTP_OK,
                         "{\"pending\":" + std::to_string(pending) +
                             ",\"failed\":" + std::to_string(failed) + ",\"jobs\":[" + list + "]}");
    }
    if (get && seg.size() == 2 && seg[0] == "jobs") {
        forward_job j;
        int r = forward_read(baseDir(), seg[1], &j);
        if (r < 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Job unreadable");
        if (r == 0)
            return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "No such job");
        return replyJson(rq, MHD_HTTP_OK, jobJson(j));
    }
    bool send = seg.size() == 1 && seg[0] == "send";
    bool retry = seg.size() == 3 && seg[0] == "jobs" && seg[2] == "retry";
    if (!send && !retry)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rq.method != "POST")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    // Every request that changes the queue carries the page's token, or is
    // JSON, which no other site's page can send (web/csrf.h).
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    if (send)
        return serveSend(rq, body);
    int r = forward_retry(baseDir(), seg[1], web_options.logfp);
    if (r < 0)
        return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The job cannot be written.", "");
    if (r == 0)
        return replyPost(rq, MHD_HTTP_NOT_FOUND, "No such failed job.", "");
    return replyPost(rq, MHD_HTTP_OK, "", "{\"id\":" + web_jsonQuote(seg[1]) + "}");
}
