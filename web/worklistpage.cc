// The worklist page and JSON endpoint of storeweb: listing, adding and
// removing the store's worklist entries (core/worklist.h), with a small
// reader of flat JSON objects and of urlencoded forms.
#include "web/worklistpage.h"

#include <ctype.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <mutex>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "core/worklist.h"
#include "core/worklistdb.h"
#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"
#include "web/layout.h"
#include "web/multipart.h"

int worklistpage_doneMode = WORKLIST_DONE_BOTH;

// How many studies storeweb remembers having looked for.

int worklistpage_owns(const std::string &path)
{
    const size_t n = strlen(WORKLISTPAGE_ROOT);
    return path.compare(0, n, WORKLISTPAGE_ROOT) == 0 && (path.size() == n || path[n] == '/');
}

// The store's base directory: fixed once storeweb runs, so read without
// the store's lock.
static const char *baseDir()
{
    return archive_baseDir(&web_archive);
}

// The entries as the pages read and change them: in a cluster through its
// database (core/worklistdb.h), which every node's worklist answers from.
static int createEntry(const worklistfields &fields, std::string *id, std::string *error)
{
    if (clusterdb *db = archive_clusterDb(&web_archive))
        return worklistdb_create(db, baseDir(), fields, id, error, web_options.logfp);
    return Worklist_Create(baseDir(), fields, id, error, web_options.logfp);
}

static int removeEntry(const std::string &id)
{
    if (clusterdb *db = archive_clusterDb(&web_archive))
        return worklistdb_remove(db, baseDir(), id, web_options.logfp);
    return Worklist_Remove(baseDir(), id, web_options.logfp);
}

// A listing that the database cannot confirm is refused rather than shown
// stale (it could show removed entries as scheduled).
static int listEntries(std::vector<worklistentry> *out)
{
    clusterdb *db = archive_clusterDb(&web_archive);
    if (db != nullptr && worklistdb_sync(db, baseDir(), web_options.logfp) != 0)
        return -1;
    return Worklist_List(baseDir(), out, web_options.logfp, true);
}

// An application/x-www-form-urlencoded body; empty values are left out
// (a form sends every field, filled in or not), and so is the token.
static void parseForm(const std::string &body, worklistfields *fields)
{
    worklistfields all;
    web_parseForm(body, &all);
    for (auto &f : all)
        if (!f.second.empty() && f.first != CSRF_FIELD)
            fields->push_back(std::move(f));
}

static std::string entryJson(const worklistentry &e)
{
    std::string out = "{\"id\":" + web_jsonQuote(e.id) +
                      ",\"complete\":" + (e.complete ? "true" : "false") +
                      ",\"done\":" + (e.done ? "true" : "false");
    for (const auto &f : e.fields)
        out += "," + web_jsonQuote(f.first) + ":" + web_jsonQuote(f.second);
    return out + "}";
}

// The entry id, or false when there is none (or it cannot be an entry's).
static bool findEntry(const std::string &id, worklistentry *out)
{
    std::vector<worklistentry> all;
    if (!Worklist_ValidId(id) || listEntries(&all) != 0)
        return false;
    for (const worklistentry &e : all) {
        if (e.id == id) {
            *out = e;
            return true;
        }
    }
    return false;
}

static int replyJsonError(const webrequest &rq, unsigned status, const std::string &text)
{
    return web_reply(rq, status, "application/json", "{\"error\":" + web_jsonQuote(text) + "}\n");
}

static int serveJson(const webrequest &rq, const std::vector<std::string> &seg,
                     const std::string &body)
{
    // seg: "entries" [id]
    if (seg.size() > 2)
        return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "no such entry");
    if (seg.size() == 1 && (rq.method == "GET" || rq.method == "HEAD")) {
        std::vector<worklistentry> all;
        if (listEntries(&all) != 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "worklist unreadable");
        std::string out = "[";
        for (size_t i = 0; i < all.size(); i++)
            out += (i ? ",\n" : "") + entryJson(all[i]);
        return web_reply(rq, MHD_HTTP_OK, "application/json", out + "]\n");
    }
    if (seg.size() == 1 && rq.method == "POST") {
        const char *type = rq.header(MHD_HTTP_HEADER_CONTENT_TYPE);
        worklistfields fields;
        std::string id, error;
        if (multipart_mediaType(type) != "application/json")
            return replyJsonError(rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "application/json expected");
        if (!web_parseJsonObject(body, &fields, &error))
            return replyJsonError(rq, MHD_HTTP_BAD_REQUEST, error);
        int r = createEntry(fields, &id, &error);
        if (r != 0)
            return replyJsonError(rq, r > 0 ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_INTERNAL_SERVER_ERROR,
                                  error);
        logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Worklist: entry %s added\n", id.c_str());
        worklistentry e;
        if (!findEntry(id, &e))
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "entry vanished");
        return web_reply(rq, MHD_HTTP_CREATED, "application/json", entryJson(e) + "\n");
    }
    if (seg.size() == 2 && (rq.method == "GET" || rq.method == "HEAD")) {
        worklistentry e;
        if (!findEntry(seg[1], &e))
            return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "no such entry");
        return web_reply(rq, MHD_HTTP_OK, "application/json", entryJson(e) + "\n");
    }
    if (seg.size() == 2 && rq.method == "DELETE") {
        int r = removeEntry(seg[1]);
        if (r > 0)
            return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "no such entry");
        if (r < 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "cannot remove");
        return web_reply(rq, MHD_HTTP_NO_CONTENT, "application/json", "");
    }
    return replyJsonError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
}

// The page's form fields: keyword, label, input type.
static const struct {
    const char *keyword, *label, *type;
} formFields[] = {
    {"PatientName", "Patient name, Family^Given (required)", "text"},
    {"PatientID", "Patient ID (required)", "text"},
    {"PatientBirthDate", "Birth date (YYYYMMDD)", "text"},
    {"PatientSex", "Sex (M, F, O)", "text"},
    {"AccessionNumber", "Accession number", "text"},
    {"Modality", "Modality (required)", "text"},
    {"ScheduledStationAETitle", "Station AE title (required)", "text"},
    {"ScheduledProcedureStepStartDate", "Date, YYYYMMDD (required)", "text"},
    {"ScheduledProcedureStepStartTime", "Time (HHMMSS)", "text"},
    {"RequestedProcedureDescription", "Procedure", "text"},
    {"ReferringPhysicianName", "Referring physician", "text"},
};

static std::string fieldOf(const worklistentry &e, const char *keyword)
{
    for (const auto &f : e.fields) {
        if (f.first == keyword)
            return f.second;
    }
    return "";
}

// typed: the fields of a form that was refused, shown again as typed.
// editing: the id of the entry the form edits ("": the form adds one).
static int servePage(const webrequest &rq, unsigned status, const std::string &message,
                     const worklistfields &typed = worklistfields(),
                     const std::string &editing = std::string())
{
    std::vector<worklistentry> all;
    // Done entries too (after the open ones), marked as such: a step
    // performed stays visible until someone removes it.
    if (listEntries(&all) != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Worklist unreadable");
    std::string page =
        layout_start(rq, "Worklist", WORKLISTPAGE_ROOT) + "<main>\n<h1>Worklist</h1>\n";
    if (!message.empty())
        page += "<p class=\"message\" role=\"alert\">" + web_escapeHtml(message) + "</p>\n";
    page += "<div class=\"scroll\"><table id=\"worklist\">\n<tr><th>Patient</th><th>Patient "
            "ID</th><th>Accession</th>"
            "<th>Modality</th><th>Station</th><th>Date</th><th>Time</th><th>Procedure</th>"
            "<th>State</th><th></th></tr>\n";
    for (const worklistentry &e : all) {
        page += "<tr class=\"entry" + std::string(e.done ? " done" : "") +
                std::string(e.complete ? "" : " incomplete") + "\" data-id=\"" +
                web_escapeHtml(e.id) + "\"" +
                (e.complete ? "" : " title=\"incomplete: not served to modalities\"") + ">";
        for (const char *k : {"PatientName", "PatientID", "AccessionNumber", "Modality",
                              "ScheduledStationAETitle", "ScheduledProcedureStepStartDate",
                              "ScheduledProcedureStepStartTime", "RequestedProcedureDescription"})
            page += "<td>" + web_escapeHtml(fieldOf(e, k)) + "</td>";
        page += std::string("<td class=\"state\">") + (e.done ? "done" : "scheduled") + "</td>";
        page += "<td class=\"actions\"><form method=\"post\" action=\"" WORKLISTPAGE_ROOT "/" +
                web_escapeHtml(e.id) + "/delete\">" + csrf_hiddenField(rq) +
                "<button type=\"submit\">Remove</button></form>";
        if (!e.done)
            page += "<a class=\"edit\" href=\"" WORKLISTPAGE_ROOT "?edit=" + web_escapeHtml(e.id) +
                    "\">Edit</a>";
        page += "</td></tr>\n";
    }
    page += "</table></div>\n";
    for (const worklistentry &e : all) {
        if (!e.complete && !e.done) {
            page += "<p class=\"legend\">Entries in red lack attributes a worklist answer must "
                    "hold: modalities are not sent them.</p>\n";
            break;
        }
    }
    // The form's start as before: scripts look for it. An edit's form
    // holds the entry's fields (or, refused, what was typed).
    if (editing.empty())
        page += "<section><h2>New entry</h2>\n<form id=\"add\" method=\"post\" "
                "action=\"" WORKLISTPAGE_ROOT "\">\n";
    else
        page += "<section><h2>Edit entry</h2>\n<form id=\"edit\" method=\"post\" "
                "action=\"" WORKLISTPAGE_ROOT "/" +
                web_escapeHtml(editing) + "/edit\">\n";
    for (const auto &f : formFields) {
        // A refused form comes back with what was typed in every field.
        std::string value;
        for (const auto &t : typed)
            if (t.first == f.keyword)
                value = t.second;
        page += std::string("<label>") + f.label + " <input type=\"" + f.type + "\" name=\"" +
                f.keyword + "\" value=\"" + web_escapeHtml(value) + "\"></label>\n";
    }
    page += csrf_hiddenField(rq) + "<div class=\"actions\"><button type=\"submit\">" +
            (editing.empty() ? "Add" : "Save") + "</button>" +
            (editing.empty() ? "" : " <a href=\"" WORKLISTPAGE_ROOT "\">Cancel</a>") +
            "</div>\n</form>\n</section>\n</main>\n</body></html>\n";
    return web_reply(rq, status, "text/html; charset=utf-8", page);
}

static int redirectToPage(const webrequest &rq)
{
    MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, WORKLISTPAGE_ROOT);
    return web_replyResponse(rq, MHD_HTTP_SEE_OTHER, r);
}

int worklistpage_serve(const webrequest &rq, const std::string &body)
{
    std::vector<std::string> seg = web_splitPath(rq.path.substr(strlen(WORKLISTPAGE_ROOT)));
    if (!seg.empty() && seg[0] == "entries")
        return serveJson(rq, seg, body);
    if (seg.empty() && (rq.method == "GET" || rq.method == "HEAD")) {
        const char *edit = rq.arg("edit");
        if (edit == nullptr)
            return servePage(rq, MHD_HTTP_OK, "");
        worklistentry e;
        if (!findEntry(edit, &e) || e.done)
            return servePage(rq, MHD_HTTP_NOT_FOUND, "No such scheduled entry.");
        return servePage(rq, MHD_HTTP_OK, "", e.fields, e.id);
    }
    bool edit = seg.size() == 2 && seg[1] == "edit";
    if (rq.method != "POST" || !(seg.empty() || (seg.size() == 2 && seg[1] == "delete") || edit))
        return web_replyError(rq, seg.empty() ? MHD_HTTP_METHOD_NOT_ALLOWED : MHD_HTTP_NOT_FOUND,
                              "Not found");
    // The forms carry the page's token; the JSON API above needs none (its
    // content type is one no form can send, see web/csrf.h).
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    if (seg.size() == 2 && !edit) {
        int r = removeEntry(seg[0]);
        if (r < 0)
            return servePage(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The entry cannot be removed.");
        return redirectToPage(rq);
    }
    // The form's body is read only as the form type it must have.
    if (multipart_mediaType(rq.header(MHD_HTTP_HEADER_CONTENT_TYPE)) !=
        "application/x-www-form-urlencoded")
        return web_replyError(rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE,
                              "Expected application/x-www-form-urlencoded");
    worklistfields fields;
    parseForm(body, &fields);
    std::string id, error;
    if (edit) {
        worklistentry old;
        if (!findEntry(seg[0], &old) || old.done)
            return servePage(rq, MHD_HTTP_NOT_FOUND, "No such scheduled entry.", fields);
    }
    int r = createEntry(fields, &id, &error);
    if (r != 0)
        return servePage(rq, r > 0 ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_INTERNAL_SERVER_ERROR,
                         (edit ? "Not changed: " : "Not added: ") + error, fields,
                         edit ? seg[0] : std::string());
    if (edit) {
        // The changed entry is a new one, made before the old one goes: a
        // crash between the two leaves both listed, never neither.
        if (removeEntry(seg[0]) < 0)
            return servePage(rq, MHD_HTTP_INTERNAL_SERVER_ERROR,
                             "Saved as a new entry, but the old one cannot be removed.");
        logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Worklist: entry %s changed into %s\n",
                  seg[0].c_str(), id.c_str());
        return redirectToPage(rq);
    }
    logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Worklist: entry %s added\n", id.c_str());
    return redirectToPage(rq);
}
