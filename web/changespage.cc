// POST and GET /changes: a change of stored images made through the
// archive core (core/change.h) for a web user, and the change log read
// back as JSON.
#include "web/changespage.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/archive.h"
#include "core/change.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"
#include "web/csrf.h"
#include "web/metrics.h"
#include "web/webserver.h"

bool changespage_owns(const std::string &path)
{
    return path == "/changes";
}

static std::vector<std::string> commaList(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        if (comma > start)
            out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

static int answer(const webrequest &rq, const change_result &r)
{
    static const char *const names[] = {"done", "refused", "not found", "failed", "unfinished"};
    static const unsigned statuses[] = {MHD_HTTP_OK, MHD_HTTP_BAD_REQUEST, MHD_HTTP_NOT_FOUND,
                                        MHD_HTTP_INTERNAL_SERVER_ERROR,
                                        MHD_HTTP_INTERNAL_SERVER_ERROR};
    int s = r.status >= CHANGE_DONE && r.status <= CHANGE_UNFINISHED ? r.status : CHANGE_FAILED;
    std::string json = "{\"id\": " + web_jsonQuote(r.id) + ", \"status\": \"" + names[s] +
                       "\", \"message\": " + web_jsonQuote(r.message) +
                       ", \"images\": " + std::to_string(r.images) + ", \"studies\": [";
    for (size_t i = 0; i < r.studies.size(); i++)
        json += (i ? ", " : "") + web_jsonQuote(r.studies[i]);
    return web_reply(rq, statuses[s], "application/json", json + "]}");
}

static int makeChange(const webrequest &rq, const std::string &body)
{
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return web_replyError(
            rq, refused,
            refused == MHD_HTTP_BAD_REQUEST
                ? "The body is no flat JSON object"
                : "Expected application/x-www-form-urlencoded or application/json");
    change_origin origin{rq.user.empty() ? "web" : rq.user, "web " + web_peerAddress(rq.conn)};
    std::string kind;
    change_modify modify;
    change_merge merge;
    change_split split;
    for (const auto &f : fields) {
        const std::string &k = f.first, &v = f.second;
        if (k == CSRF_FIELD)
            continue;
        if (k == "kind")
            kind = v;
        else if (k == "patient")
            modify.patientId = v;
        else if (k == "issuer")
            modify.issuer = v;
        else if (k == "study")
            modify.study = split.study = v;
        else if (k == "series") {
            modify.series = v;
            split.series = commaList(v);
        } else if (k == "newUids")
            modify.newUids = v == "yes" || v == "true" || v == "on";
        else if (k == "from")
            merge.fromId = v;
        else if (k == "fromIssuer")
            merge.fromIssuer = v;
        else if (k == "to")
            merge.toId = v;
        else if (k == "toIssuer")
            merge.toIssuer = v;
        else if (k == "toStudy")
            split.toStudy = v;
        else
            modify.values.push_back({k, v});
    }
    if (kind != "modify" && !modify.values.empty())
        return web_replyError(
            rq, MHD_HTTP_BAD_REQUEST,
            ("A field this change does not take: " + modify.values[0].attribute).c_str());
    modify.origin = merge.origin = split.origin = origin;
    change_result result;
    {
        // A change rewrites files and index records: the archive alone.
        archive_exclusive hold(&web_archive);
        if (kind == "modify")
            archive_modify(&web_archive, modify, &result);
        else if (kind == "merge")
            archive_merge(&web_archive, merge, &result);
        else if (kind == "split")
            archive_split(&web_archive, split, &result);
        else
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "kind must be modify, merge or split");
    }
    logprintf(result.status == CHANGE_DONE ? LOGLEVEL_NOTICE : LOGLEVEL_WARNING, web_options.logfp,
              "Change %s (%s) for user %s: %s\n", result.id.c_str(), kind.c_str(),
              web_escapeForLog(rq.user).c_str(), web_escapeForLog(result.message).c_str());
    return answer(rq, result);
}

// One "change" field's three parts (attribute, old, new), as written.
static std::string changeJson(const std::string &text)
{
    std::string json = "[";
    std::vector<char> out(text.size() + 1);
    const char *cursor = text.c_str();
    for (int k = 0; k < 3 && parse_getstring(&cursor, out.data(), out.size(), 0) == 0; k++)
        json += (k ? ", " : "") + web_jsonQuote(out.data());
    return json + "]";
}

static int listChanges(const webrequest &rq)
{
    const char *patient = rq.arg("patient");
    const char *study = rq.arg("study");
    std::vector<std::vector<std::pair<std::string, std::string>>> entries;
    int r;
    {
        archive_shared hold(&web_archive);
        r = archive_changeLog(&web_archive, patient ? patient : "", study ? study : "", &entries);
    }
    if (r != 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "The change log is unreadable");
    std::string json = "[";
    for (size_t i = 0; i < entries.size(); i++) {
        json += i ? ",\n{" : "{";
        std::string changes;
        bool first = true;
        for (const auto &f : entries[i]) {
            if (f.first == "change") {
                changes += (changes.empty() ? "" : ", ") + changeJson(f.second);
                continue;
            }
            json += (first ? "" : ", ") + web_jsonQuote(f.first) + ": " + web_jsonQuote(f.second);
            first = false;
        }
        json += ", \"changes\": [" + changes + "]}";
    }
    return web_reply(rq, MHD_HTTP_OK, "application/json", json + "]");
}

int changespage_serve(const webrequest &rq, const std::string &body)
{
    if (rq.method == "POST")
        return makeChange(rq, body);
    if (rq.method == "GET" || rq.method == "HEAD")
        return listChanges(rq);
    return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
}

const char *changespage_dialog()
{
    return R"HTML(<dialog id="edit"><form id="edit-form" method="dialog">
<h2 id="edit-title"></h2>
<p><label>Change <select id="edit-scope" name="scope"><option value="patient">the patient (all studies)</option><option value="study">this study</option><option value="series">this series</option></select></label></p>
<p class="edit-patient"><label>Patient <input name="PatientName" id="e-PatientName"></label>
<label>Patient ID <input name="PatientID" id="e-PatientID"></label>
<label>Birth date <input name="PatientBirthDate" id="e-PatientBirthDate" placeholder="YYYYMMDD"></label>
<label>Sex <input name="PatientSex" id="e-PatientSex" size="2" placeholder="M, F, O"></label></p>
<p class="edit-study"><label>Accession <input name="AccessionNumber" id="e-AccessionNumber"></label>
<label>Study description <input name="StudyDescription" id="e-StudyDescription"></label></p>
<p class="edit-series"><label>Series description <input name="SeriesDescription" id="e-SeriesDescription"></label></p>
<p id="edit-error" class="error"></p>
<button type="button" id="edit-save">Save</button> <button type="button" id="edit-cancel">Cancel</button>
<h3>Changes</h3><ul id="edit-log"></ul></form></dialog>
)HTML";
}

const char *changespage_script()
{
    return R"JS(
// The edit dialog: only the fields the user changed are sent; a refusal
// stays in the dialog with what was typed.
let editing = null;
const editFields = ['PatientName', 'PatientID', 'PatientBirthDate', 'PatientSex',
                    'AccessionNumber', 'StudyDescription', 'SeriesDescription'];
function editScope() {
  const scope = document.getElementById('edit-scope').value;
  document.querySelector('#edit .edit-patient').hidden = scope === 'series';
  document.querySelector('#edit .edit-study').hidden = scope === 'series';
}
async function editLog() {
  const list = document.getElementById('edit-log');
  list.textContent = '';
  const q = editing.scope === 'patient' ? 'patient=' + encodeURIComponent(editing.patient)
                                        : 'study=' + encodeURIComponent(editing.study);
  const r = await fetch('/changes?' + q, {credentials: 'same-origin'});
  if (!r.ok) return;
  for (const e of await r.json()) {
    const li = document.createElement('li');
    li.textContent = e.time + ' ' + e.user + ' (' + e.from + ') ' + e.kind + ' ' + e.scope + ': ' +
        e.changes.map((c) => c[0] + ' "' + c[1] + '" \u2192 "' + c[2] + '"').join(', ');
    list.appendChild(li);
  }
}
// The values as stored (the rows show names formatted), from QIDO-RS.
async function storedValues(study, series) {
  const v = (item, tag) => {
    const a = item && item[tag] && item[tag].Value;
    if (!a || !a.length) return '';
    return typeof a[0] === 'object' ? (a[0].Alphabetic || '') : String(a[0]);
  };
  const get = async (url) => {
    const r = await fetch(url, {credentials: 'same-origin', headers: {'Accept': 'application/dicom+json'}});
    return r.ok ? ((await r.json()) || [])[0] : null;
  };
  const root = '/dicom-web/studies';
  const s = await get(root + '?StudyInstanceUID=' + encodeURIComponent(study) +
                      '&includefield=StudyDescription&includefield=PatientBirthDate' +
                      '&includefield=PatientSex');
  const out = {PatientName: v(s, '00100010'), PatientID: v(s, '00100020'),
               PatientBirthDate: v(s, '00100030'), PatientSex: v(s, '00100040'),
               AccessionNumber: v(s, '00080050'), StudyDescription: v(s, '00081030')};
  if (series) {
    const r = await get(root + '/' + encodeURIComponent(study) + '/series?SeriesInstanceUID=' +
                        encodeURIComponent(series) + '&includefield=SeriesDescription');
    out.SeriesDescription = v(r, '0008103E');
  }
  return out;
}
async function openEdit(b) {
  editing = {study: b.dataset.study, series: b.dataset.series || ''};
  editing.initial = await storedValues(editing.study, editing.series);
  editing.patient = editing.initial.PatientID;
  for (const f of editFields)
    document.getElementById('e-' + f).value = editing.initial[f] || '';
  const scope = document.getElementById('edit-scope');
  scope.value = b.dataset.series ? 'series' : 'study';
  scope.querySelector('option[value=patient]').disabled = !!b.dataset.series;
  scope.querySelector('option[value=series]').disabled = !b.dataset.series;
  editing.scope = scope.value;
  document.getElementById('edit-title').textContent = 'Edit ' + what(editing.study, editing.series);
  document.getElementById('edit-error').textContent = '';
  editScope();
  editLog();
  document.getElementById('edit').showModal();
}
document.addEventListener('click', (ev) => {
  const b = ev.target.closest('button.edit');
  if (b) openEdit(b);
});
document.getElementById('edit-scope').addEventListener('change', () => {
  editing.scope = document.getElementById('edit-scope').value;
  editScope();
  editLog();
});
// Enter in a field saves, and never closes the dialog with what was typed.
document.getElementById('edit-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  document.getElementById('edit-save').click();
});
document.getElementById('edit-cancel').addEventListener('click', () => {
  document.getElementById('edit').close();
});
document.getElementById('edit-save').addEventListener('click', async () => {
  const fields = {kind: 'modify'};
  if (editing.scope === 'patient') fields.patient = editing.patient;
  else fields.study = editing.study;
  if (editing.scope === 'series') fields.series = editing.series;
  let changed = 0;
  for (const f of editFields) {
    const input = document.getElementById('e-' + f);
    if (input.closest('p').hidden || input.value === (editing.initial[f] || '')) continue;
    fields[f] = input.value;
    changed++;
  }
  const error = document.getElementById('edit-error');
  if (!changed) { error.textContent = 'Nothing changed.'; return; }
  error.textContent = 'Saving ...';
  const r = await post('/changes', fields);
  let text = await r.text();
  try { text = JSON.parse(text).message; } catch (e) { /* a plain-text refusal */ }
  if (!r.ok) { error.textContent = 'Not changed: ' + text; return; }
  document.getElementById('edit').close();
  say('edit', 'Changed ' + what(editing.study, editing.series) + ': ' + text, 'ok');
  await load(location.pathname + location.search, performance.now());
});
)JS";
}
