// storeweb's protection flags and rejections from the study page
// (web/studymarks.h).
#include "web/studymarks.h"

#include <microhttpd.h>
#include <string.h>

#include "core/archive.h"
#include "core/rejection.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"

int studymarks_owns(const std::string &path)
{
    return path == "/protect" || path == "/reject" || path == "/purge-rejected" ||
           path == "/studymarks.js";
}

bool studymarks_changes(const std::string &method, const std::string &path)
{
    return method == "POST" && path != "/studymarks.js";
}

retention_protection studymarks_protection()
{
    retention_protection p;
    archive_protection(&web_archive, &p);
    return p;
}

// The page's buttons: Protect / Unprotect of a study and of its patient on
// a study's row, Reject on a study's and a series' row (a reason chosen in
// a dialog of its own).
static const char script[] = R"JS(
'use strict';
(() => {
const csrf = document.body.dataset.csrf;
function send(url, fields) {
  const body = new URLSearchParams(fields);
  body.set('csrf', csrf);
  return fetch(url, {method: 'POST', credentials: 'same-origin', body,
                     headers: {'X-CSRF-Token': csrf, 'Accept': 'application/json'}});
}
function tell(text, ok) {
  const m = document.getElementById('messages');
  if (!m) return;
  const p = document.createElement('p');
  p.className = ok ? 'ok' : 'failed';
  p.textContent = text;
  m.prepend(p);
}
const reasons = [['113001', 'Rejected for Quality Reasons'],
                 ['113037', 'Rejected for Patient Safety Reasons'],
                 ['113038', 'Incorrect Modality Worklist Entry'],
                 ['113039', 'Data Retention Policy Expired']];
const dlg = document.createElement('dialog');
dlg.id = 'reject';
dlg.innerHTML = '<form method="dialog"><p id="reject-what"></p><label>Reason <select ' +
    'id="reject-reason"></select></label> <button value="go" id="reject-go">Reject</button> ' +
    '<button value="cancel" id="reject-cancel">Cancel</button></form>';
document.body.append(dlg);
const sel = dlg.querySelector('select');
for (const [code, meaning] of reasons) sel.add(new Option(meaning, code));
let pending = null;
dlg.addEventListener('close', async () => {
  const d = pending;
  pending = null;
  if (!d || dlg.returnValue !== 'go') return;
  const fields = {study: d.study, reason: sel.value};
  if (d.series) fields.series = d.series;
  const r = await send('/reject', fields);
  let text = await r.text();
  try { text = JSON.parse(text).rejected + ' images rejected'; } catch (e) { /* error text */ }
  tell('Reject: ' + text, r.ok);
  if (r.ok) location.reload();
});
document.addEventListener('click', async (ev) => {
  const b = ev.target.closest('button.protect, button.reject');
  if (!b) return;
  if (b.classList.contains('reject')) {
    pending = {study: b.dataset.study, series: b.dataset.series};
    dlg.querySelector('#reject-what').textContent = 'Reject the images of ' +
        (pending.series ? 'series ' + pending.series : 'study ' + pending.study) +
        '? They are hidden at once; a purge removes them.';
    dlg.showModal();
    return;
  }
  const on = b.dataset.protected !== '1';
  const patient = b.dataset.patient;
  const fields = patient !== undefined ? {patient} : {study: b.dataset.study};
  fields.on = on ? '1' : '0';
  const r = await send('/protect', fields);
  tell((on ? 'Protect' : 'Unprotect') + (patient !== undefined ? ' patient ' + patient
                                                                : ' study ' + b.dataset.study) +
       ': ' + (r.ok ? 'done' : await r.text()), r.ok);
  // A patient's flag marks every row of the patient: the page again.
  if (r.ok && patient !== undefined) location.reload();
  else if (r.ok) {
    b.dataset.protected = on ? '1' : '0';
    b.textContent = on ? 'Unprotect' : 'Protect';
    const row = b.closest('tr');
    if (row) row.classList.toggle('protected', on);
  }
});
})();
)JS";

static std::string field(const webfields &fields, const char *name)
{
    for (const auto &f : fields)
        if (f.first == name)
            return f.second;
    return "";
}

static std::string jsonList(const std::set<std::string> &values)
{
    std::string out = "[";
    for (const std::string &v : values)
        out += (out.size() > 1 ? ", " : "") + web_jsonQuote(v);
    return out + "]";
}

int studymarks_serve(const webrequest &rq, const std::string &body)
{
    if (rq.path == "/studymarks.js" || (rq.path == "/protect" && rq.method != "POST")) {
        if (rq.method != "GET" && rq.method != "HEAD")
            return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
        if (rq.path == "/studymarks.js")
            return web_reply(rq, MHD_HTTP_OK, "text/javascript; charset=utf-8", script);
        retention_protection p;
        if (archive_protection(&web_archive, &p) != 0)
            return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Flags unreadable");
        return web_reply(rq, MHD_HTTP_OK, "application/json",
                         "{\"studies\": " + jsonList(p.studies) +
                             ", \"patients\": " + jsonList(p.patients) + "}");
    }
    if (rq.method != "POST")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return web_replyError(rq, refused, "Expected a form or a flat JSON object");
    std::string user = web_escapeForLog(rq.user);
    if (rq.path == "/protect") {
        std::string study = field(fields, "study"), patient = field(fields, "patient");
        std::string on = field(fields, "on");
        if (study.empty() == patient.empty() || (on != "1" && on != "0") ||
            (!study.empty() && archive_uidProblem(study.c_str()) != nullptr))
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST,
                                  "Give study (a UID) or patient, and on=1 or on=0");
        const char *kind = study.empty() ? "patient" : "study";
        const std::string &value = study.empty() ? patient : study;
        int r = archive_setProtection(&web_archive, kind, value, on == "1", web_options.logfp);
        if (r == 1)
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Unusable patient ID");
        if (r != 0)
            return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Flags not written");
        logprintf(LOGLEVEL_NOTICE, web_options.logfp, "%s %s %s for user %s\n",
                  on == "1" ? "Protected" : "Unprotected", kind, web_escapeForLog(value).c_str(),
                  user.c_str());
        return web_reply(rq, MHD_HTTP_OK, "application/json",
                         std::string("{\"protected\": ") + (on == "1" ? "true" : "false") + "}");
    }
    if (rq.path == "/reject") {
        std::string study = field(fields, "study"), series = field(fields, "series");
        std::string reason = field(fields, "reason");
        if (archive_uidProblem(study.c_str()) != nullptr ||
            (!series.empty() && archive_uidProblem(series.c_str()) != nullptr) ||
            rejection_meaning(reason.c_str()) == nullptr)
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST,
                                  "Give study (and series) as UIDs and a reason: 113001, 113037, "
                                  "113038 or 113039");
        std::string note;
        size_t count = 0;
        int r;
        {
            // The note is stored as any image is: the lock alone.
            archive_exclusive hold(&web_archive);
            archive_refresh(&web_archive);
            r = archive_rejectImages(&web_archive, study, series, reason.c_str(), &note, &count);
        }
        if (r == 1)
            return web_replyError(rq, MHD_HTTP_NOT_FOUND, "No images to reject");
        if (r != 0)
            return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The note was not stored");
        logprintf(LOGLEVEL_NOTICE, web_options.logfp,
                  "Rejected %zu images of study %s%s%s (%s) by note %s for user %s\n", count,
                  study.c_str(), series.empty() ? "" : " series ", series.c_str(),
                  rejection_meaning(reason.c_str()), note.c_str(), user.c_str());
        return web_reply(rq, MHD_HTTP_OK, "application/json",
                         "{\"rejected\": " + std::to_string(count) +
                             ", \"note\": " + web_jsonQuote(note) + "}");
    }
    int purged;
    {
        archive_exclusive hold(&web_archive);
        purged = archive_purgeRejected(&web_archive, false, nullptr, web_options.logfp);
    }
    if (purged < 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The purge failed");
    logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Purged %d rejected images for user %s\n", purged,
              user.c_str());
    return web_reply(rq, MHD_HTTP_OK, "application/json",
                     "{\"purged\": " + std::to_string(purged) + "}");
}
