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
#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"

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

static void appendUtf8(std::string *out, unsigned cp)
{
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

static void skipBlanks(const std::string &s, size_t *i)
{
    while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\t' || s[*i] == '\r' || s[*i] == '\n'))
        (*i)++;
}

static bool hex4(const std::string &s, size_t i, unsigned *v)
{
    if (i + 4 > s.size())
        return false;
    *v = 0;
    for (size_t k = i; k < i + 4; k++) {
        char c = s[k];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            return false;
        *v = *v * 16 + (unsigned)d;
    }
    return true;
}

// A JSON string starting at s[*i] (the quote); false when malformed.
static bool jsonString(const std::string &s, size_t *i, std::string *out)
{
    if (*i >= s.size() || s[*i] != '"')
        return false;
    for (size_t k = *i + 1; k < s.size(); k++) {
        unsigned char c = (unsigned char)s[k];
        if (c == '"') {
            *i = k + 1;
            return true;
        }
        if (c < 0x20)
            return false;
        if (c != '\\') {
            *out += (char)c;
            continue;
        }
        if (++k >= s.size())
            return false;
        unsigned cp;
        switch (s[k]) {
        case '"':
        case '\\':
        case '/':
            *out += s[k];
            break;
        case 'b':
            *out += '\b';
            break;
        case 'f':
            *out += '\f';
            break;
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        case 't':
            *out += '\t';
            break;
        case 'u':
            if (!hex4(s, k + 1, &cp))
                return false;
            k += 4;
            // A surrogate pair stands for one code point beyond the BMP.
            if (cp >= 0xD800 && cp < 0xDC00) {
                unsigned lo;
                if (k + 2 >= s.size() || s[k + 1] != '\\' || s[k + 2] != 'u' ||
                    !hex4(s, k + 3, &lo) || lo < 0xDC00 || lo >= 0xE000)
                    return false;
                k += 6;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else if (cp >= 0xDC00 && cp < 0xE000) {
                return false;
            }
            appendUtf8(out, cp);
            break;
        default:
            return false;
        }
    }
    return false;
}

// A flat JSON object whose values are strings (null: left out) into
// fields. False when the text is anything else.
static bool parseJsonObject(const std::string &s, worklistfields *fields)
{
    size_t i = 0;
    skipBlanks(s, &i);
    if (i >= s.size() || s[i++] != '{')
        return false;
    skipBlanks(s, &i);
    if (i < s.size() && s[i] == '}') {
        i++;
    } else {
        for (;;) {
            std::string key, value;
            skipBlanks(s, &i);
            if (!jsonString(s, &i, &key))
                return false;
            skipBlanks(s, &i);
            if (i >= s.size() || s[i++] != ':')
                return false;
            skipBlanks(s, &i);
            if (s.compare(i, 4, "null") == 0)
                i += 4;
            else if (jsonString(s, &i, &value))
                fields->emplace_back(key, value);
            else
                return false;
            skipBlanks(s, &i);
            if (i < s.size() && s[i] == ',') {
                i++;
                continue;
            }
            if (i < s.size() && s[i] == '}') {
                i++;
                break;
            }
            return false;
        }
    }
    skipBlanks(s, &i);
    return i == s.size();
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

static std::string jsonQuote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static std::string entryJson(const worklistentry &e)
{
    std::string out =
        "{\"id\":" + jsonQuote(e.id) + ",\"complete\":" + (e.complete ? "true" : "false");
    for (const auto &f : e.fields)
        out += "," + jsonQuote(f.first) + ":" + jsonQuote(f.second);
    return out + "}";
}

// The entry id, or false when there is none (or it cannot be an entry's).
static bool findEntry(const std::string &id, worklistentry *out)
{
    std::vector<worklistentry> all;
    if (!Worklist_ValidId(id) || Worklist_List(baseDir(), &all, web_options.logfp) != 0)
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
    return web_reply(rq, status, "application/json", "{\"error\":" + jsonQuote(text) + "}\n");
}

static int serveJson(const webrequest &rq, const std::vector<std::string> &seg,
                     const std::string &body)
{
    // seg: "entries" [id]
    if (seg.size() > 2)
        return replyJsonError(rq, MHD_HTTP_NOT_FOUND, "no such entry");
    if (seg.size() == 1 && (rq.method == "GET" || rq.method == "HEAD")) {
        std::vector<worklistentry> all;
        if (Worklist_List(baseDir(), &all, web_options.logfp) != 0)
            return replyJsonError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "worklist unreadable");
        std::string out = "[";
        for (size_t i = 0; i < all.size(); i++)
            out += (i ? ",\n" : "") + entryJson(all[i]);
        return web_reply(rq, MHD_HTTP_OK, "application/json", out + "]\n");
    }
    if (seg.size() == 1 && rq.method == "POST") {
        const char *type = rq.header(MHD_HTTP_HEADER_CONTENT_TYPE);
        worklistfields fields;
        if (type == nullptr || strncasecmp(type, "application/json", 16) != 0)
            return replyJsonError(rq, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "application/json expected");
        if (!parseJsonObject(body, &fields))
            return replyJsonError(rq, MHD_HTTP_BAD_REQUEST, "a JSON object of strings expected");
        std::string id, error;
        int r = Worklist_Create(baseDir(), fields, &id, &error, web_options.logfp);
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
        int r = Worklist_Remove(baseDir(), seg[1], web_options.logfp);
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

// The hidden field of a form with the user's token.
static std::string tokenField(const webrequest &rq)
{
    return "<input type=\"hidden\" name=\"" CSRF_FIELD "\" value=\"" + csrf_token(rq.user) + "\">";
}

static int servePage(const webrequest &rq, unsigned status, const std::string &message)
{
    std::vector<worklistentry> all;
    if (Worklist_List(baseDir(), &all, web_options.logfp) != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Worklist unreadable");
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Worklist</title>\n"
        "<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
        "td,th{border-bottom:1px solid #ccc;padding:4px 8px;text-align:left}"
        "label{display:block;margin:2px 0}tr.incomplete td{color:#a00}</style>\n"
        "</head><body>\n<h1>Worklist</h1>\n";
    if (!message.empty())
        page += "<p class=\"message\">" + web_escapeHtml(message) + "</p>\n";
    page += "<table id=\"worklist\">\n<tr><th>Patient</th><th>Patient ID</th><th>Accession</th>"
            "<th>Modality</th><th>Station</th><th>Date</th><th>Time</th><th>Procedure</th>"
            "<th></th></tr>\n";
    for (const worklistentry &e : all) {
        page += "<tr class=\"entry" + std::string(e.complete ? "" : " incomplete") +
                "\" data-id=\"" + web_escapeHtml(e.id) + "\"" +
                (e.complete ? "" : " title=\"incomplete: not served to modalities\"") + ">";
        for (const char *k : {"PatientName", "PatientID", "AccessionNumber", "Modality",
                              "ScheduledStationAETitle", "ScheduledProcedureStepStartDate",
                              "ScheduledProcedureStepStartTime", "RequestedProcedureDescription"})
            page += "<td>" + web_escapeHtml(fieldOf(e, k)) + "</td>";
        page += "<td><form method=\"post\" action=\"" WORKLISTPAGE_ROOT "/" + web_escapeHtml(e.id) +
                "/delete\">" + tokenField(rq) +
                "<button type=\"submit\">Remove</button></form></td></tr>\n";
    }
    page += "</table>\n";
    for (const worklistentry &e : all) {
        if (!e.complete) {
            page += "<p class=\"legend\">Entries in red lack attributes a worklist answer must "
                    "hold: modalities are not sent them.</p>\n";
            break;
        }
    }
    page +=
        "<h2>New entry</h2>\n<form id=\"add\" method=\"post\" action=\"" WORKLISTPAGE_ROOT "\">\n";
    for (const auto &f : formFields)
        page += std::string("<label>") + f.label + " <input type=\"" + f.type + "\" name=\"" +
                f.keyword + "\"></label>\n";
    page += tokenField(rq) + "<button type=\"submit\">Add</button>\n</form>\n</body></html>\n";
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
    std::vector<std::string> seg;
    std::string rest = rq.path.substr(strlen(WORKLISTPAGE_ROOT));
    size_t i = 0;
    while (i < rest.size()) {
        size_t j = rest.find('/', i);
        if (j == std::string::npos)
            j = rest.size();
        if (j > i)
            seg.push_back(rest.substr(i, j - i));
        i = j + 1;
    }
    if (!seg.empty() && seg[0] == "entries")
        return serveJson(rq, seg, body);
    if (seg.empty() && (rq.method == "GET" || rq.method == "HEAD"))
        return servePage(rq, MHD_HTTP_OK, "");
    if (rq.method != "POST" || !(seg.empty() || (seg.size() == 2 && seg[1] == "delete")))
        return web_replyError(rq, seg.empty() ? MHD_HTTP_METHOD_NOT_ALLOWED : MHD_HTTP_NOT_FOUND,
                              "Not found");
    // The forms carry the page's token; the JSON API above needs none (its
    // content type is one no form can send, see web/csrf.h).
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    if (seg.size() == 2) {
        int r = Worklist_Remove(baseDir(), seg[0], web_options.logfp);
        if (r < 0)
            return servePage(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The entry cannot be removed.");
        return redirectToPage(rq);
    }
    worklistfields fields;
    parseForm(body, &fields);
    std::string id, error;
    int r = Worklist_Create(baseDir(), fields, &id, &error, web_options.logfp);
    if (r != 0)
        return servePage(rq, r > 0 ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_INTERNAL_SERVER_ERROR,
                         "Not added: " + error);
    logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Worklist: entry %s added\n", id.c_str());
    return redirectToPage(rq);
}
