// The browser's de-identification (web/deidpage.h): the options page, the
// de-identified ZIP streamed an image at a time, and the copy into the
// archive through the core (core/deidexport.h).
#include "web/deidpage.h"

#include <microhttpd.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "access/accesspolicy.h"
#include "core/archive.h"
#include "core/deidexport.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"
#include "web/metrics.h"
#include "web/studyactions.h"
#include "web/webserver.h"
#include "web/webtier.h"

#define ZIP_PATH DEIDPAGE_ROOT "/zip"
#define COPY_PATH DEIDPAGE_ROOT "/copy"

bool deidpage_owns(const std::string &path)
{
    return path == DEIDPAGE_ROOT || path == ZIP_PATH || path == COPY_PATH;
}

unsigned deidpage_operation(const std::string &method, const std::string &path)
{
    if (path == COPY_PATH && method == "POST")
        return ACCESS_GET | ACCESS_STORE;
    return ACCESS_GET;
}

static const char *const OPTION_WORDS[] = {"dates", "device", "patient", "refuse-burned-in"};

// The options of a request: "options" (a comma-separated list, or "yes"),
// and each option's own field (a checkbox) with any value. False for an
// unknown option.
static bool optionsOf(const webfields &fields, deidentify_options *options)
{
    *options = deidentify_options();
    for (const auto &f : fields) {
        if (f.first == "options" && !f.second.empty()) {
            deidentify_options listed;
            if (!deidentify_parseOptions(f.second, &listed))
                return false;
            options->shiftDates |= listed.shiftDates;
            options->retainDevice |= listed.retainDevice;
            options->retainPatient |= listed.retainPatient;
            options->refuseBurnedIn |= listed.refuseBurnedIn;
        }
        for (const char *w : OPTION_WORDS)
            if (f.first == w)
                deidentify_option(w, options);
    }
    return true;
}

static std::string field(const webfields &fields, const char *name)
{
    for (const auto &f : fields)
        if (f.first == name)
            return f.second;
    return "";
}

static bool oneUid(const std::string &uid)
{
    return archive_uidProblem(uid.c_str()) == nullptr;
}

static bool siteKey(deidentify_key *key)
{
    std::string why;
    if (deidentify_loadKey(archive_baseDir(&web_archive), key, &why) == 0)
        return true;
    logprintf(LOGLEVEL_ERROR, web_options.logfp, "De-identify: %s\n", why.c_str());
    return false;
}

// --- the page ---

static int servePage(const webrequest &rq)
{
    const char *studyArg = rq.arg("study");
    const char *seriesArg = rq.arg("series");
    std::string study = studyArg != nullptr ? studyArg : "";
    std::string series = seriesArg != nullptr ? seriesArg : "";
    if (!oneUid(study) || (!series.empty() && !oneUid(series)))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study (and series) must be UIDs");
    std::string uids =
        "<input type=\"hidden\" name=\"study\" value=\"" + web_escapeHtml(study) + "\">" +
        (series.empty()
             ? std::string()
             : "<input type=\"hidden\" name=\"series\" value=\"" + web_escapeHtml(series) + "\">");
    std::string boxes =
        "<label><input type=\"checkbox\" name=\"dates\"> Keep dates, shifted per patient</label>"
        "<label><input type=\"checkbox\" name=\"device\"> Keep device identity</label>"
        "<label><input type=\"checkbox\" name=\"patient\"> Keep patient characteristics (age, "
        "sex, size, weight)</label>"
        "<label><input type=\"checkbox\" name=\"refuse-burned-in\"> Leave out images whose "
        "pixels may hold text</label>\n";
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>De-identify</title>\n"
        "<style>body{font-family:sans-serif;margin:1em}label{display:block;margin:2px 0}"
        "form{margin:1em 0;padding:0.5em;border:1px solid #ccc}</style>\n"
        "</head><body>\n<h1>De-identify study " +
        web_escapeHtml(study) +
        "</h1>\n<p>Names, IDs, dates, institutions and UIDs are removed or replaced by the "
        "basic de-identification profile; the same patient always gets the same pseudonym. "
        "Text burned into the pixels is not removed: such images are reported.</p>\n"
        "<form id=\"zip\" method=\"get\" action=\"" ZIP_PATH "\">" +
        uids + boxes + "<button type=\"submit\">Download ZIP</button></form>\n" +
        "<form id=\"copy\" method=\"post\" action=\"" COPY_PATH "\">" + csrf_hiddenField(rq) +
        uids + boxes + "<button type=\"submit\">Copy into the archive as a new study</button>" +
        "</form>\n<form id=\"send\" method=\"post\" action=\"/forward/send\">" +
        csrf_hiddenField(rq) + uids +
        "<label>Options (yes, or dates,device,patient,refuse-burned-in) <input "
        "name=\"deidentify\" value=\"yes\"></label><label>Destination <select "
        "name=\"destination\">";
    for (const studyactions_destination &d : studyactions_destinations())
        page += "<option value=\"" + web_escapeHtml(d.aetitle) + "\">" + web_escapeHtml(d.name) +
                "</option>";
    page += "</select></label><button type=\"submit\">Send de-identified</button></form>\n"
            "</body></html>\n";
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

// --- the ZIP ---

struct deidzip {
    std::vector<webinstance> list;
    size_t next = 0;
    deidentify_key key;
    deidentify_options options;
    deidexport_zip zip;
    // The bytes waiting to go out: an entry's header, then its image (moved
    // in, not copied: one image in memory at a time).
    std::string pending, body;
    size_t pendingPos = 0, bodyPos = 0;
    bool finished = false;
    size_t images = 0, refused = 0, failed = 0;
    std::string pseudonymId;
    std::vector<std::string> burnedIn; // entry names
};

// The next image de-identified into pending: false when none is left.
static bool nextImage(deidzip *z)
{
    while (z->next < z->list.size()) {
        const webinstance &i = z->list[z->next++];
        DcmFileFormat ff;
        deidentify_result r;
        int d = deidexport_readImage(&web_archive, web_instancePath(i), z->key, z->options, &ff, &r,
                                     web_options.logfp);
        if (d == DEIDENTIFY_REFUSED) {
            z->refused++;
            continue;
        }
        std::string bytes;
        if (d != DEIDENTIFY_DONE || deidentify_encode(&ff, &bytes) != 0) {
            z->failed++;
            continue;
        }
        std::string name = deidexport_entryName(r);
        if (r.burnedIn)
            z->burnedIn.push_back(name);
        z->pseudonymId = r.pseudonymId;
        z->images++;
        z->pending = z->zip.entry(name, bytes);
        z->pendingPos = 0;
        z->body = std::move(bytes);
        z->bodyPos = 0;
        metrics_add(METRICS_WEB_SENT);
        return true;
    }
    return false;
}

// The last entry: what the export did, so that the receiver of the ZIP is
// told of the images whose pixels may hold identifying text.
static void finishZip(deidzip *z)
{
    std::string text = "De-identified by the basic profile";
    std::string words = deidentify_optionWords(z->options);
    text += words.empty() ? "" : " (" + words + ")";
    text += "\npseudonym: " + (z->pseudonymId.empty() ? std::string("-") : z->pseudonymId) +
            "\nimages: " + std::to_string(z->images) + "\nrefused: " + std::to_string(z->refused) +
            "\nfailed: " + std::to_string(z->failed) +
            "\nburned-in: " + std::to_string(z->burnedIn.size()) + "\n";
    if (!z->burnedIn.empty()) {
        text += "WARNING: pixel data may hold identifying text in:\n";
        for (const std::string &n : z->burnedIn)
            text += n + "\n";
    }
    z->pending = z->zip.entry("DEIDENTIFIED.txt", text);
    z->pending += text;
    z->pending += z->zip.finish();
    z->pendingPos = 0;
}

static ssize_t readZip(void *cls, uint64_t, char *buf, size_t max)
{
    deidzip *z = static_cast<deidzip *>(cls);
    size_t filled = 0;
    while (filled < max) {
        if (z->pendingPos < z->pending.size()) {
            size_t n = std::min(max - filled, z->pending.size() - z->pendingPos);
            memcpy(buf + filled, z->pending.data() + z->pendingPos, n);
            z->pendingPos += n;
            filled += n;
            continue;
        }
        if (z->bodyPos < z->body.size()) {
            size_t n = std::min(max - filled, z->body.size() - z->bodyPos);
            memcpy(buf + filled, z->body.data() + z->bodyPos, n);
            z->bodyPos += n;
            filled += n;
            continue;
        }
        // The image sent: its memory goes before the next is read.
        std::string().swap(z->body);
        z->bodyPos = 0;
        if (nextImage(z))
            continue;
        if (!z->finished) {
            z->finished = true;
            finishZip(z);
            continue;
        }
        break;
    }
    if (filled == 0)
        return MHD_CONTENT_READER_END_OF_STREAM;
    return (ssize_t)filled;
}

static void freeZip(void *cls)
{
    deidzip *z = static_cast<deidzip *>(cls);
    if (z->finished)
        logprintf(LOGLEVEL_NOTICE, web_options.logfp,
                  "De-identified ZIP: %zu image(s), %zu burned in, %zu refused, %zu failed\n",
                  z->images, z->burnedIn.size(), z->refused, z->failed);
    delete z;
}

static int serveZip(const webrequest &rq)
{
    const char *study = rq.arg("study");
    const char *series = rq.arg("series");
    if (study == nullptr || !oneUid(study) || (series != nullptr && !oneUid(series)))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study (and series) must be UIDs");
    std::unique_ptr<deidzip> z(new deidzip);
    if (!optionsOf(rq.args, &z->options))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Unknown de-identification option");
    if (web_listInstances(study, series, nullptr, &z->list) != 0 || z->list.empty())
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    int ready = webtier_ready(z->list);
    if (ready != 0)
        return web_replyError(rq, ready, webtier_reason(ready));
    if (!siteKey(&z->key))
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The site's key is unusable");
    logprintf(LOGLEVEL_NOTICE, web_options.logfp,
              "De-identified ZIP of study %s%s%s (%s) for user %s\n", study,
              series != nullptr ? " series " : "", series != nullptr ? series : "",
              deidentify_optionWords(z->options).c_str(), web_escapeForLog(rq.user).c_str());
    MHD_Response *r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 256 * 1024, readZip, z.get(), freeZip);
    if (r == nullptr)
        return MHD_NO;
    z.release(); // the response owns it: freeZip ends it
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/zip");
    MHD_add_response_header(r, "Content-Disposition", "attachment; filename=\"deidentified.zip\"");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}

// --- the copy ---

static int serveCopy(const webrequest &rq, const std::string &body)
{
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return web_replyError(rq, refused,
                              refused == MHD_HTTP_BAD_REQUEST
                                  ? "The body is no flat JSON object"
                                  : "Expected application/x-www-form-urlencoded or "
                                    "application/json");
    std::string study = field(fields, "study"), series = field(fields, "series");
    if (!oneUid(study) || (!series.empty() && !oneUid(series)))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study (and series) must be UIDs");
    deidentify_options options;
    if (!optionsOf(fields, &options))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Unknown de-identification option");
    deidentify_key key;
    if (!siteKey(&key))
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The site's key is unusable");
    deidexport_summary sum;
    int r;
    {
        // Images are stored: the lock alone, as a delete and STOW-RS hold it.
        archive_exclusive hold(&web_archive);
        r = deidexport_toArchive(&web_archive, key, options, study, series, &sum,
                                 web_options.logfp);
    }
    if (r != 0)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    logprintf(sum.failed != 0 ? LOGLEVEL_WARNING : LOGLEVEL_NOTICE, web_options.logfp,
              "De-identified copy of study %s as %s: %zu image(s), %zu burned in, %zu refused, "
              "%zu failed, for user %s\n",
              study.c_str(), sum.study.empty() ? "-" : sum.study.c_str(), sum.images, sum.burnedIn,
              sum.refused, sum.failed, web_escapeForLog(rq.user).c_str());
    std::string answer = "{\"study\": " + web_jsonQuote(sum.study) +
                         ", \"patientId\": " + web_jsonQuote(sum.pseudonymId) +
                         ", \"images\": " + std::to_string(sum.images) +
                         ", \"burnedIn\": " + std::to_string(sum.burnedIn) +
                         ", \"refused\": " + std::to_string(sum.refused) +
                         ", \"failed\": " + std::to_string(sum.failed);
    if (sum.burnedIn != 0)
        answer += ", \"warning\": \"pixel data may hold identifying text\"";
    answer += "}";
    return web_reply(rq, sum.failed == 0 ? MHD_HTTP_OK : MHD_HTTP_INTERNAL_SERVER_ERROR,
                     "application/json", answer);
}

int deidpage_serve(const webrequest &rq, const std::string &body)
{
    bool get = rq.method == "GET" || rq.method == "HEAD";
    if (rq.path == DEIDPAGE_ROOT && get)
        return servePage(rq);
    if (rq.path == ZIP_PATH && get)
        return serveZip(rq);
    if (rq.path == COPY_PATH && rq.method == "POST") {
        // A change to the store: the page's token, or JSON (web/csrf.h).
        if (!csrf_ok(rq, body))
            return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
        return serveCopy(rq, body);
    }
    return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
}
