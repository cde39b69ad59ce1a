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

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/deidentify.h"
#include "core/forward.h"
#include "core/forwarddb.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"
#include "web/httpd.h"
#include "web/layout.h"
#include "web/multipart.h"
#include "web/studyactions.h"

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

// On a node of a cluster the queue is the cluster's database (core/
// forwarddb.h), shared by every node's forwarder and page; on one host the
// files below the store. Null on one host.
static std::unique_ptr<forwarddb> clusterQueue()
{
    clusterdb *db = archive_clusterDb(&web_archive);
    if (db == nullptr)
        return nullptr;
    return std::unique_ptr<forwarddb>(
        new forwarddb(db, archive_clusterConfig(&web_archive), web_options.logfp));
}

static int listJobs(std::vector<forward_job> *jobs)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->list(jobs) : forward_list(baseDir(), jobs);
}

static void pausedSet(std::set<std::string> *out)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    if (q != nullptr)
        q->pausedSet(out);
    else
        forward_pausedSet(baseDir(), out);
}

static void readHistory(size_t max, std::vector<forward_finished> *out)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    if (q != nullptr)
        q->history(max, out);
    else
        forward_history(baseDir(), max, out);
}

static int submitJob(forward_job *job)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->submit(job) : forward_submit(baseDir(), job, web_options.logfp);
}

static int retryAll(const std::string &dest, const std::string &study)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->retryAll(dest, study)
                        : forward_retryAll(baseDir(), dest, study, web_options.logfp);
}

static int setPaused(const std::string &dest, bool pause)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->setPaused(dest, pause)
                        : forward_setPaused(baseDir(), dest, pause, web_options.logfp);
}

static int readJob(const std::string &id, forward_job *job)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->read(id, job) : forward_read(baseDir(), id, job);
}

static int retryJob(const std::string &id)
{
    std::unique_ptr<forwarddb> q = clusterQueue();
    return q != nullptr ? q->retry(id) : forward_retry(baseDir(), id, web_options.logfp);
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
    // When it falls due: a quiet job waits for its study's quiet time too.
    if (j.state == FORWARD_PENDING)
        out += ",\"due\":" + std::to_string(forward_dueAt(j));
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

static std::string field(const webfields &fields, const char *name)
{
    for (const auto &f : fields) {
        if (f.first == name)
            return f.second;
    }
    return "";
}

// One destination's line of the page.
struct destinationRow {
    size_t pending = 0, waiting = 0, failed = 0, done = 0;
    long long next = 0; // the earliest due pending job (0: none)
    std::string error;  // the last failure's reason
    bool paused = false;
};

// The jobs of one destination and study: an outage during a study's
// transfer makes one line of its image jobs, not one per image.
struct studyGroup {
    size_t jobs = 0, pending = 0, waiting = 0, failed = 0, done = 0;
    long long sent = 0, total = 0;
    int attempts = 0;
    long long next = 0;
    std::string origin, error;
};

static std::string postForm(const webrequest &rq, const char *action, const std::string &fields,
                            const char *button, const char *cls = "")
{
    return std::string("<form class=\"inline\" method=\"post\" action=\"") + action + "\">" +
           csrf_hiddenField(rq) + fields + "<button type=\"submit\" class=\"" + cls + "\">" +
           button + "</button></form>";
}

static std::string hidden(const char *name, const std::string &value)
{
    return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" +
           web_escapeHtml(value) + "\">";
}

// The rows of the job list shown at most (the JSON list has them all).
enum { FORWARDPAGE_JOB_ROWS = 200 };
// The history's lines shown, newest first.
enum { FORWARDPAGE_HISTORY_ROWS = 100 };

static int servePage(const webrequest &rq, unsigned status, const std::string &message,
                     const webfields &typed = webfields())
{
    std::vector<forward_job> jobs;
    if (listJobs(&jobs) != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Forwarding queue unreadable");
    std::set<std::string> paused;
    pausedSet(&paused);
    size_t pending = 0, failed = 0;
    std::map<std::string, destinationRow> dests;
    std::map<std::pair<std::string, std::string>, studyGroup> groups;
    for (const forward_job &j : jobs) {
        pending += j.state == FORWARD_PENDING ? 1 : 0;
        failed += j.state == FORWARD_FAILED ? 1 : 0;
        destinationRow &d = dests[j.destination];
        studyGroup &g = groups[{j.destination, j.study}];
        bool waiting = j.state == FORWARD_PENDING && j.attempts > 0;
        long long due = j.state == FORWARD_PENDING ? forward_dueAt(j) : 0;
        d.pending += j.state == FORWARD_PENDING && !waiting ? 1 : 0;
        d.waiting += waiting ? 1 : 0;
        d.failed += j.state == FORWARD_FAILED ? 1 : 0;
        d.done += j.state == FORWARD_DONE ? 1 : 0;
        if (due != 0 && (d.next == 0 || due < d.next))
            d.next = due;
        if (!j.error.empty() && j.state != FORWARD_DONE)
            d.error = j.error;
        g.jobs++;
        g.pending += j.state == FORWARD_PENDING && !waiting ? 1 : 0;
        g.waiting += waiting ? 1 : 0;
        g.failed += j.state == FORWARD_FAILED ? 1 : 0;
        g.done += j.state == FORWARD_DONE ? 1 : 0;
        g.sent += j.sent;
        g.total += j.total;
        g.attempts = std::max(g.attempts, j.attempts);
        if (due != 0 && (g.next == 0 || due < g.next))
            g.next = due;
        if (g.origin.empty())
            g.origin = j.origin;
        else if (g.origin != j.origin && g.origin.find(" +") == std::string::npos)
            g.origin += " +";
        if (!j.error.empty() && j.state != FORWARD_DONE)
            g.error = j.error;
    }
    for (const std::string &p : paused)
        dests[p].paused = true;
    // The peers images may go to, for the send form and the destinations
    // without jobs (to pause one before an outage).
    std::vector<studyactions_destination> offered;
    for (const studyactions_destination &d : studyactions_destinations())
        offered.push_back(d);
    for (const studyactions_destination &d : offered)
        dests[d.aetitle];

    std::string page =
        layout_start(rq, "Forwarding", FORWARDPAGE_ROOT) + "<main>\n<h1>Forwarding</h1>\n";
    if (!message.empty())
        page += "<p class=\"message\" role=\"alert\">" + web_escapeHtml(message) + "</p>\n";
    page += "<p id=\"counts\">" + std::to_string(pending) + " pending, " + std::to_string(failed) +
            " failed</p>\n";

    page += "<section><h2>Destinations</h2>\n<div class=\"scroll\"><table id=\"destinations\">\n"
            "<tr><th>Destination</th><th>State</th><th>Pending</th><th>Waiting to retry</th>"
            "<th>Failed</th><th>Next try (UTC)</th><th>Last error</th><th></th></tr>\n";
    for (const auto &e : dests) {
        const destinationRow &d = e.second;
        std::string dest = web_escapeHtml(e.first);
        page += "<tr class=\"destination" + std::string(d.paused ? " paused" : "") +
                "\" data-destination=\"" + dest + "\"><td>" + dest + "</td><td class=\"state\">" +
                (d.paused ? "paused" : "active") + "</td><td>" + std::to_string(d.pending) +
                "</td><td>" + std::to_string(d.waiting) + "</td><td>" + std::to_string(d.failed) +
                "</td><td>" + (d.paused ? "" : web_escapeHtml(timeText(d.next))) + "</td><td>" +
                web_escapeHtml(d.error) + "</td><td class=\"actions\">";
        if (d.failed + d.waiting != 0)
            page += postForm(rq, FORWARDPAGE_ROOT "/retry-all", hidden("destination", e.first),
                             "Retry all");
        page += d.paused ? postForm(rq, FORWARDPAGE_ROOT "/resume", hidden("destination", e.first),
                                    "Resume", "secondary")
                         : postForm(rq, FORWARDPAGE_ROOT "/pause", hidden("destination", e.first),
                                    "Pause", "secondary");
        page += "</td></tr>\n";
    }
    page += "</table></div></section>\n";

    page += "<section><h2>Queue by study</h2>\n<div class=\"scroll\"><table id=\"groups\">\n"
            "<tr><th>Destination</th><th>Study</th><th>Jobs</th><th>Sent</th><th>Origin</th>"
            "<th>State</th><th>Attempts</th><th>Next try (UTC)</th><th>Error</th><th></th></tr>\n";
    for (const auto &e : groups) {
        const studyGroup &g = e.second;
        std::string state = g.failed != 0    ? "failed"
                            : g.waiting != 0 ? "waiting"
                            : g.pending != 0 ? "pending"
                                             : "done";
        std::vector<std::string> parts;
        if (g.pending)
            parts.push_back(std::to_string(g.pending) + " pending");
        if (g.waiting)
            parts.push_back(std::to_string(g.waiting) + " waiting");
        if (g.failed)
            parts.push_back(std::to_string(g.failed) + " failed");
        if (g.done)
            parts.push_back(std::to_string(g.done) + " done");
        std::string stateText;
        for (const std::string &p : parts)
            stateText += (stateText.empty() ? "" : ", ") + p;
        bool paused1 = paused.count(e.first.first) != 0;
        page += "<tr class=\"group " + state + "\" data-destination=\"" +
                web_escapeHtml(e.first.first) + "\" data-study=\"" +
                web_escapeHtml(e.first.second) + "\">";
        for (const std::string &v : {e.first.first, e.first.second, std::to_string(g.jobs),
                                     std::to_string(g.sent) + " / " + std::to_string(g.total),
                                     g.origin, stateText, std::to_string(g.attempts),
                                     paused1 ? std::string("paused") : timeText(g.next), g.error})
            page += "<td>" + web_escapeHtml(v) + "</td>";
        page += "<td>";
        if (g.failed + g.waiting != 0)
            page += postForm(rq, FORWARDPAGE_ROOT "/retry-all",
                             hidden("destination", e.first.first) + hidden("study", e.first.second),
                             "Retry");
        page += "</td></tr>\n";
    }
    page += "</table></div></section>\n";

    page += "<details class=\"card\"><summary>Jobs (" + std::to_string(jobs.size()) +
            ")</summary>\n<div class=\"scroll\"><table id=\"jobs\">\n<tr><th>Job</th>"
            "<th>Destination</th><th>Study</th><th>Series</th><th>Image</th><th>Origin</th>"
            "<th>State</th><th>Sent</th><th>Attempts</th><th>Next try (UTC)</th><th>Error</th>"
            "<th></th></tr>\n";
    size_t shown = 0;
    for (const forward_job &j : jobs) {
        if (shown++ == FORWARDPAGE_JOB_ROWS)
            break;
        const char *state = forward_stateName(j.state);
        page +=
            "<tr class=\"" + std::string(state) + "\" data-id=\"" + web_escapeHtml(j.id) + "\">";
        for (const std::string &v :
             {j.id, j.destination, j.study, j.series, j.instance, j.origin, std::string(state),
              std::to_string(j.sent) + " / " + std::to_string(j.total), std::to_string(j.attempts),
              j.state == FORWARD_PENDING ? timeText(forward_dueAt(j)) : "", j.error})
            page += "<td>" + web_escapeHtml(v) + "</td>";
        page += "<td>";
        if (j.state == FORWARD_FAILED)
            page += "<form method=\"post\" action=\"" FORWARDPAGE_ROOT "/jobs/" +
                    web_escapeHtml(j.id) + "/retry\">" + csrf_hiddenField(rq) +
                    "<button type=\"submit\">Retry</button></form>";
        page += "</td></tr>\n";
    }
    page += "</table></div>";
    if (jobs.size() > FORWARDPAGE_JOB_ROWS)
        page += "<p>The first " + std::to_string((int)FORWARDPAGE_JOB_ROWS) + " of " +
                std::to_string(jobs.size()) +
                " jobs; all of them at <a href=\"" FORWARDPAGE_ROOT "/jobs\">" FORWARDPAGE_ROOT
                "/jobs</a>.</p>";
    page += "</details>\n";

    std::vector<forward_finished> history;
    readHistory(FORWARDPAGE_HISTORY_ROWS, &history);
    page += "<section><h2>Finished</h2>\n<div class=\"scroll\"><table id=\"history\">\n"
            "<tr><th>Finished (UTC)</th><th>Destination</th><th>Study</th><th>Origin</th>"
            "<th>Jobs</th><th>Images</th></tr>\n";
    for (size_t i = history.size(); i-- > 0;) {
        const forward_finished &h = history[i];
        page += "<tr class=\"finished\">";
        for (const std::string &v : {timeText(h.at), h.destination, h.study, h.origin,
                                     std::to_string(h.jobs), std::to_string(h.images)})
            page += "<td>" + web_escapeHtml(v) + "</td>";
        page += "</tr>\n";
    }
    page += "</table></div></section>\n";

    std::string typedStudy = field(typed, "study"), typedSeries = field(typed, "series"),
                typedDest = field(typed, "destination");
    std::string options;
    for (const studyactions_destination &d : offered)
        options += "<option value=\"" + web_escapeHtml(d.aetitle) + "\"" +
                   (d.aetitle == typedDest ? " selected" : "") + ">" + web_escapeHtml(d.name) +
                   " (" + web_escapeHtml(d.aetitle) + ")</option>";
    page += "<section><h2>Send a study</h2>\n<form id=\"send\" method=\"post\" "
            "action=\"" FORWARDPAGE_ROOT "/send\">\n" +
            csrf_hiddenField(rq) +
            "\n<label>Study Instance UID <input name=\"study\" required value=\"" +
            web_escapeHtml(typedStudy) +
            "\"></label>\n"
            "<label>Series Instance UID (optional) <input name=\"series\" value=\"" +
            web_escapeHtml(typedSeries) +
            "\"></label>\n"
            "<label>Destination <select name=\"destination\">" +
            options +
            "</select></label>\n"
            "<div><button type=\"submit\">Send</button></div>\n</form>\n" +
            (offered.empty() ? "<p>No destinations: peers with the flag M in AETitleMap are.</p>\n"
                             : "") +
            "</section>\n</main>\n</body></html>\n";
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
                     const std::string &json, const webfields &typed = webfields())
{
    const char *accept = rq.header(MHD_HTTP_HEADER_ACCEPT);
    bool wantsJson = accept != nullptr && strstr(accept, "application/json") != nullptr;
    if (isForm(rq) && !wantsJson)
        return status < 300 ? redirectToPage(rq) : servePage(rq, status, message, typed);
    return status < 300 ? replyJson(rq, status, json) : replyJsonError(rq, status, message);
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
        return replyPost(rq, MHD_HTTP_BAD_REQUEST, "A study (and series) UID is needed.", "",
                         fields);
    AETitleMap map;
    AETitleMap_LoadSite(&map, nullptr);
    bool known =
        !job.destination.empty() && AETitleMap_FindByAET(&map, job.destination.c_str()) != nullptr;
    AETitleMap_Destroy(&map);
    // The archive itself is no destination: the images would come back
    // to the store they are in.
    if (job.destination == web_archiveTitle())
        return replyPost(rq, MHD_HTTP_BAD_REQUEST,
                         job.destination.substr(0, 64) + " is this archive itself.", "", fields);
    if (!known || !httpd_checkDestination(job.destination.c_str()))
        return replyPost(rq, MHD_HTTP_BAD_REQUEST,
                         "Unknown destination: " + job.destination.substr(0, 64), "", fields);
    std::vector<webinstance> images;
    web_refreshStudies();
    // The index answers -1 for a study it does not hold, as WADO reads it.
    if (web_listInstances(job.study.c_str(), job.series.empty() ? nullptr : job.series.c_str(),
                          nullptr, &images) != 0 ||
        images.empty())
        return replyPost(rq, MHD_HTTP_NOT_FOUND, "No such study or series.", "", fields);
    job.origin = "web " + (rq.user.empty() ? std::string("-") : rq.user);
    job.total = (int)images.size();
    if (submitJob(&job) != 0)
        return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The job cannot be written.", "");
    logprintf(LOGLEVEL_NOTICE, web_options.logfp,
              "Forward: job %s sends %d image(s) of study %s to %s (%s).\n", job.id.c_str(),
              job.total, job.study.c_str(), job.destination.c_str(),
              web_escapeForLog(job.origin).c_str());
    return replyPost(rq, MHD_HTTP_ACCEPTED, "",
                     "{\"id\":" + web_jsonQuote(job.id) +
                         ",\"total\":" + std::to_string(job.total) + "}");
}

// GET /forward/destinations: per destination, its jobs by state and
// whether it is paused.
static int serveDestinations(const webrequest &rq)
{
    std::vector<forward_job> jobs;
    if (listJobs(&jobs) != 0)
        return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Queue unreadable");
    std::set<std::string> paused;
    pausedSet(&paused);
    std::map<std::string, destinationRow> dests;
    for (const forward_job &j : jobs) {
        destinationRow &d = dests[j.destination];
        bool waiting = j.state == FORWARD_PENDING && j.attempts > 0;
        d.pending += j.state == FORWARD_PENDING && !waiting ? 1 : 0;
        d.waiting += waiting ? 1 : 0;
        d.failed += j.state == FORWARD_FAILED ? 1 : 0;
        d.done += j.state == FORWARD_DONE ? 1 : 0;
        long long due = j.state == FORWARD_PENDING ? forward_dueAt(j) : 0;
        if (due != 0 && (d.next == 0 || due < d.next))
            d.next = due;
    }
    for (const std::string &p : paused)
        dests[p].paused = true;
    std::string list;
    for (const auto &e : dests) {
        const destinationRow &d = e.second;
        list += std::string(list.empty() ? "" : ",") +
                "{\"destination\":" + web_jsonQuote(e.first) +
                ",\"paused\":" + (d.paused ? "true" : "false") +
                ",\"pending\":" + std::to_string(d.pending) +
                ",\"waiting\":" + std::to_string(d.waiting) +
                ",\"failed\":" + std::to_string(d.failed) + ",\"done\":" + std::to_string(d.done) +
                ",\"next\":" + std::to_string(d.next) + "}";
    }
    return replyJson(rq, MHD_HTTP_OK, "{\"destinations\":[" + list + "]}");
}

// POST /forward/retry-all (destination, study optional), /forward/pause and
// /forward/resume (destination).
static int serveDestinationAction(const webrequest &rq, const std::string &what,
                                  const std::string &body)
{
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return replyJsonError(rq, refused,
                              refused == MHD_HTTP_BAD_REQUEST
                                  ? "The body is no flat JSON object."
                                  : "Expected application/x-www-form-urlencoded or "
                                    "application/json.");
    std::string dest = field(fields, "destination"), study = field(fields, "study");
    if (dest.empty() || dest.size() > 64)
        return replyPost(rq, MHD_HTTP_BAD_REQUEST, "A destination is needed.", "");
    if (!study.empty() && !oneUid(study))
        return replyPost(rq, MHD_HTTP_BAD_REQUEST, "The study must be one UID.", "");
    std::string who = web_escapeForLog(rq.user.empty() ? std::string("-") : rq.user);
    if (what == "retry-all") {
        int n = retryAll(dest, study);
        if (n < 0)
            return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The jobs cannot be written.", "");
        logprintf(LOGLEVEL_NOTICE, web_options.logfp,
                  "Forward: %d job(s) to %s%s%s retried by %s.\n", n,
                  web_escapeForLog(dest).c_str(), study.empty() ? "" : " of study ", study.c_str(),
                  who.c_str());
        return replyPost(rq, MHD_HTTP_OK, "", "{\"retried\":" + std::to_string(n) + "}");
    }
    bool pause = what == "pause";
    if (setPaused(dest, pause) != 0)
        return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The queue cannot be written.", "");
    logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Forward: destination %s %s by %s.\n",
              web_escapeForLog(dest).c_str(), pause ? "paused" : "resumed", who.c_str());
    return replyPost(rq, MHD_HTTP_OK, "",
                     std::string("{\"paused\":") + (pause ? "true" : "false") + "}");
}

int forwardpage_serve(const webrequest &rq, const std::string &body)
{
    std::vector<std::string> seg = web_splitPath(rq.path.substr(strlen(FORWARDPAGE_ROOT)));
    bool get = rq.method == "GET" || rq.method == "HEAD";
    if (get && seg.empty())
        return servePage(rq, MHD_HTTP_OK, "");
    if (get && seg.size() == 1 && seg[0] == "jobs") {
        std::vector<forward_job> jobs;
        if (listJobs(&jobs) != 0)
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
        int r = readJob(seg[1], &j);
        if (r < 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Job unreadable");
        if (r == 0)
            return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "No such job");
        return replyJson(rq, MHD_HTTP_OK, jobJson(j));
    }
    if (get && seg.size() == 1 && seg[0] == "destinations")
        return serveDestinations(rq);
    bool send = seg.size() == 1 && seg[0] == "send";
    bool retry = seg.size() == 3 && seg[0] == "jobs" && seg[2] == "retry";
    bool perDestination =
        seg.size() == 1 && (seg[0] == "retry-all" || seg[0] == "pause" || seg[0] == "resume");
    if (!send && !retry && !perDestination)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rq.method != "POST")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    // Every request that changes the queue carries the page's token, or is
    // JSON, which no other site's page can send (web/csrf.h).
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    if (send)
        return serveSend(rq, body);
    if (perDestination)
        return serveDestinationAction(rq, seg[0], body);
    int r = retryJob(seg[1]);
    if (r < 0)
        return replyPost(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The job cannot be written.", "");
    if (r == 0)
        return replyPost(rq, MHD_HTTP_NOT_FOUND, "No such failed job.", "");
    return replyPost(rq, MHD_HTTP_OK, "", "{\"id\":" + web_jsonQuote(seg[1]) + "}");
}
