// The pages for people: the study page at "/" (search by name, patient ID,
// accession number, date range and modality through the archive core's
// query; sorting and paging over every match; per study and series: view,
// ZIP download, send, delete; upload of files and folders through STOW-RS)
// and the viewer's files below /viewer/, whose start page and configuration
// are adapted to this server.
#include <ctype.h>
#include <fcntl.h>
#include <limits.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "runtime/installpath.h"
#include "web/changespage.h"
#include "web/csrf.h"
#include "web/layout.h"
#include "web/metrics.h"
#include "web/studyactions.h"
#include "web/studymarks.h"
#include "web/webserver.h"

// Studies on one page by default, and at most.
enum { PAGE_DEFAULT_LIMIT = 50, PAGE_MAX_LIMIT = 200 };
// Longest text accepted in a search field.
enum { PAGE_MAX_FIELD = 64 };

static std::string html(const char *text)
{
    std::string name = text ? text : "";
    for (char &c : name)
        if (c == '^')
            c = ' '; // name components
    return web_escapeHtml(name);
}

static std::string html(const std::string &text)
{
    return html(text.c_str());
}

// YYYYMMDD as YYYY-MM-DD; anything else as it is.
static std::string date(const std::string &d)
{
    if (d.size() != 8)
        return html(d);
    return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
}

// A query argument's value for a URL.
static std::string urlEncode(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// What the study page searches for, how it sorts, and which page it shows.
struct searchargs {
    std::string name, pid, accession, from, to, modality;
    std::string sort = "date", order = "desc";
    size_t offset = 0, limit = PAGE_DEFAULT_LIMIT;
};

static std::string argText(const webrequest &rq, const char *name)
{
    const char *v = rq.arg(name);
    std::string s = v != nullptr ? v : "";
    size_t a = s.find_first_not_of(" \t");
    size_t b = s.find_last_not_of(" \t");
    s = a == std::string::npos ? "" : s.substr(a, b - a + 1);
    return s.size() > PAGE_MAX_FIELD ? s.substr(0, PAGE_MAX_FIELD) : s;
}

static size_t argNumber(const webrequest &rq, const char *name, size_t dflt, size_t max)
{
    const char *v = rq.arg(name);
    if (v == nullptr || v[0] < '0' || v[0] > '9')
        return dflt;
    unsigned long long n = strtoull(v, nullptr, 10);
    return n > max ? max : (size_t)n;
}

static searchargs parseSearch(const webrequest &rq)
{
    searchargs a;
    a.name = argText(rq, "name");
    a.pid = argText(rq, "pid");
    a.accession = argText(rq, "accession");
    a.from = argText(rq, "from");
    a.to = argText(rq, "to");
    a.modality = argText(rq, "modality");
    std::string sort = argText(rq, "sort");
    if (sort == "name" || sort == "id" || sort == "modality" || sort == "date")
        a.sort = sort;
    std::string order = argText(rq, "order");
    if (order == "asc" || order == "desc")
        a.order = order;
    else if (a.sort != "date")
        a.order = "asc";
    a.offset = argNumber(rq, "offset", 0, (size_t)1 << 40);
    a.limit = argNumber(rq, "limit", PAGE_DEFAULT_LIMIT, PAGE_MAX_LIMIT);
    if (a.limit == 0)
        a.limit = PAGE_DEFAULT_LIMIT;
    return a;
}

// The page's URL for args with one argument changed.
static std::string pageUrl(const searchargs &a, const char *key = nullptr,
                           const std::string &value = "")
{
    std::vector<std::pair<std::string, std::string>> v = {
        {"name", a.name},
        {"pid", a.pid},
        {"accession", a.accession},
        {"from", a.from},
        {"to", a.to},
        {"modality", a.modality},
        {"sort", a.sort},
        {"order", a.order},
        {"offset", std::to_string(a.offset)},
        {"limit", std::to_string(a.limit)},
    };
    std::string url = "/?";
    for (auto &kv : v) {
        if (key != nullptr && kv.first == key)
            kv.second = value;
        if (kv.second.empty())
            continue;
        if (url.size() > 2)
            url += "&";
        url += kv.first + "=" + urlEncode(kv.second);
    }
    return web_escapeHtml(url);
}

// A text field as a prefix match: the value and "*", unless it holds its
// own wildcards.
static std::string prefix(const std::string &v)
{
    if (v.empty() || v.find_first_of("*?") != std::string::npos)
        return v;
    return v + "*";
}

// A date field (YYYY-MM-DD from the form's date input, or YYYYMMDD) as
// the index holds dates.
static std::string dicomDate(const std::string &v)
{
    std::string d;
    for (char c : v)
        if (c != '-')
            d += c;
    return d;
}

// The study-level query of args into q: "" or why the search is refused.
static std::string buildQuery(const searchargs &a, DcmDataset *q)
{
    dicomnet_Key_Add(q, 0x0008, 0x0052, "STUDY");
    const DcmTagKey keys[] = {DCM_StudyInstanceUID, DCM_PatientName,      DCM_PatientID,
                              DCM_StudyDate,        DCM_StudyTime,        DCM_StudyDescription,
                              DCM_AccessionNumber,  DCM_ModalitiesInStudy};
    for (const DcmTagKey &k : keys)
        q->insertEmptyElement(DcmTag(k));
    // A backslash would make a value a list of values.
    for (const std::string *v : {&a.name, &a.pid, &a.accession, &a.modality, &a.from, &a.to})
        if (v->find('\\') != std::string::npos)
            return "A search field holds a backslash.";
    if (!a.name.empty())
        q->putAndInsertString(DCM_PatientName, prefix(a.name).c_str());
    if (!a.pid.empty())
        q->putAndInsertString(DCM_PatientID, prefix(a.pid).c_str());
    if (!a.accession.empty())
        q->putAndInsertString(DCM_AccessionNumber, prefix(a.accession).c_str());
    if (!a.modality.empty()) {
        // Modalities are stored in capitals (a code string): "ct" finds CT.
        std::string modality = a.modality;
        for (char &c : modality) {
            if (!isalnum((unsigned char)c))
                return "A modality is letters and digits (CT, MR ...).";
            c = (char)toupper((unsigned char)c);
        }
        q->putAndInsertString(DCM_ModalitiesInStudy, modality.c_str());
    }
    if (!a.from.empty() || !a.to.empty()) {
        std::string from = dicomDate(a.from), to = dicomDate(a.to);
        std::string range = from == to ? from : from + "-" + to;
        if (!archive_wellFormedKey(DcmTag(DCM_StudyDate), range.c_str()))
            return "The dates are not dates.";
        q->putAndInsertString(DCM_StudyDate, range.c_str());
    }
    return "";
}

// One study found: what the page shows and sorts by.
struct studyrow {
    std::string uid, name, pid, date, time, description, accession, modalities;
    long series = -1, images = -1;
};

static std::string tagText(DcmDataset *d, const DcmTagKey &key)
{
    const char *v = dicomnet_getTagString(d, key);
    return v != nullptr ? v : "";
}

static void sortRows(std::vector<studyrow> *rows, const searchargs &a)
{
    // Names without regard to case, as they are matched.
    auto lower = [](std::string s) {
        for (char &c : s)
            c = (char)tolower((unsigned char)c);
        return s;
    };
    auto key = [&](const studyrow &r) -> std::string {
        if (a.sort == "name")
            return lower(r.name);
        if (a.sort == "id")
            return r.pid;
        if (a.sort == "modality")
            return r.modalities;
        return r.date + r.time;
    };
    std::vector<std::pair<std::string, size_t>> order;
    order.reserve(rows->size());
    for (size_t i = 0; i < rows->size(); i++)
        order.emplace_back(key((*rows)[i]), i);
    bool desc = a.order == "desc";
    // Equal keys keep the index's order, whichever way the page sorts.
    std::stable_sort(order.begin(), order.end(), [desc](const auto &x, const auto &y) {
        return desc ? y.first < x.first : x.first < y.first;
    });
    std::vector<studyrow> sorted;
    sorted.reserve(rows->size());
    for (const auto &o : order)
        sorted.push_back(std::move((*rows)[o.second]));
    rows->swap(sorted);
}

// The series and image counts of one study, from the index.
static void countStudy(studyrow *r)
{
    DcmDataset q;
    dicomnet_Key_Add(&q, 0x0008, 0x0052, "STUDY");
    dicomnet_Key_Add(&q, 0x0020, 0x000D, r->uid.c_str());
    q.insertEmptyElement(DcmTag(DCM_NumberOfStudyRelatedSeries));
    q.insertEmptyElement(DcmTag(DCM_NumberOfStudyRelatedInstances));
    archive_query walk(&web_archive, &q);
    DcmDataset *m = nullptr;
    if (walk.next(&m) == 0) {
        const char *v;
        if ((v = dicomnet_getTagString(m, DCM_NumberOfStudyRelatedSeries)) != nullptr)
            r->series = atol(v);
        if ((v = dicomnet_getTagString(m, DCM_NumberOfStudyRelatedInstances)) != nullptr)
            r->images = atol(v);
    }
    delete m;
    walk.end();
}

// The matches of args, sorted, and the page's slice counted: 0, or -1 when
// the index cannot be read. Every match is walked (the total and the sort
// need them all); only the page's rows are counted.
static int search(const searchargs &a, DcmDataset *q, std::vector<studyrow> *page, size_t *total)
{
    std::vector<studyrow> rows;
    int r;
    web_refreshStudies();
    archive_shared hold(&web_archive);
    {
        archive_query walk(&web_archive, q);
        DcmDataset *m = nullptr;
        while ((r = walk.next(&m)) == 0) {
            studyrow row;
            row.uid = tagText(m, DCM_StudyInstanceUID);
            row.name = tagText(m, DCM_PatientName);
            row.pid = tagText(m, DCM_PatientID);
            row.date = tagText(m, DCM_StudyDate);
            row.time = tagText(m, DCM_StudyTime);
            row.description = tagText(m, DCM_StudyDescription);
            row.accession = tagText(m, DCM_AccessionNumber);
            row.modalities = tagText(m, DCM_ModalitiesInStudy);
            delete m;
            m = nullptr;
            if (!row.uid.empty())
                rows.push_back(std::move(row));
        }
        delete m;
    }
    if (r < 0)
        return -1;
    sortRows(&rows, a);
    *total = rows.size();
    for (size_t i = a.offset; i < rows.size() && i < a.offset + a.limit; i++) {
        countStudy(&rows[i]);
        page->push_back(std::move(rows[i]));
    }
    return 0;
}

// The buttons of a study's or series' row: view, download, de-identify,
// send, delete, reject, and on a study's row protect the study and its patient (protect,
// protectPatient: 1 protected, 0 not, -1 no button: web/studymarks.h).
static std::string actions(const std::string &study, const std::string &series, int protect = -1,
                           int protectPatient = -1, const std::string &patient = std::string())
{
    std::string s = web_escapeHtml(study), se = web_escapeHtml(series);
    std::string target =
        "data-study=\"" + s + "\"" + (series.empty() ? "" : " data-series=\"" + se + "\"");
    std::string zip = "/download?study=" + s + (series.empty() ? "" : "&amp;series=" + se);
    return "<td class=\"actions\"><a class=\"view\" href=\"/viewer/viewer?StudyInstanceUIDs=" + s +
           (series.empty() ? "" : "&amp;SeriesInstanceUIDs=" + se) +
           "\">View</a> <a class=\"download\" href=\"" + zip +
           "\">ZIP</a> <a class=\"deidentify\" href=\"/deidentify?study=" + s +
           (series.empty() ? "" : "&amp;series=" + se) + "\">De-identify</a>" +
           " <button type=\"button\" class=\"send\" " + target +
           ">Send</button> <button type=\"button\" class=\"edit\" " + target +
           ">Edit</button> <button type=\"button\" class=\"delete\" " + target +
           ">Delete</button> <button type=\"button\" class=\"reject\" " + target +
           ">Reject</button>" +
           (protect < 0 ? ""
                        : " <button type=\"button\" class=\"protect\" data-protected=\"" +
                              std::to_string(protect) + "\" " + target + ">" +
                              (protect ? "Unprotect" : "Protect") + "</button>") +
           (protectPatient < 0
                ? ""
                : " <button type=\"button\" class=\"protect\" data-patient=\"" +
                      web_escapeHtml(patient) + "\" data-protected=\"" +
                      (protectPatient ? "1\">Unprotect patient" : "0\">Protect patient") +
                      "</button>") +
           // The study's audit trail (web/webaudit.h), when one is kept.
           (series.empty() && web_archive.audit != nullptr
                ? " <a class=\"audit\" href=\"/audit?study=" + s + "\">Audit</a>"
                : "") +
           "</td>";
}

// The results part of the page (what a search replaces).
static std::string results(const searchargs &a, const std::vector<studyrow> &rows, size_t total,
                           const std::string &error)
{
    std::string out = "<div id=\"results\" data-total=\"" + std::to_string(total) +
                      "\" data-offset=\"" + std::to_string(a.offset) + "\" data-limit=\"" +
                      std::to_string(a.limit) + "\">\n";
    if (!error.empty()) {
        out += "<p class=\"error\">" + web_escapeHtml(error) + "</p>\n</div>\n";
        return out;
    }
    size_t first = rows.empty() ? 0 : a.offset + 1;
    out += "<p class=\"summary\">" + std::to_string(total) + (total == 1 ? " study" : " studies") +
           (rows.empty() ? ""
                         : ", " + std::to_string(first) + "&ndash;" +
                               std::to_string(a.offset + rows.size()) + " shown") +
           ".</p>\n<table id=\"studies\">\n<thead><tr><th></th><th></th>";
    static const struct {
        const char *key, *title;
    } columns[] = {{"name", "Patient"}, {"id", "Patient ID"}, {"date", "Date"}};
    for (const auto &c : columns) {
        bool current = a.sort == c.key;
        std::string order = current && a.order == "asc" ? "desc" : "asc";
        searchargs b = a;
        b.sort = c.key;
        b.order = order;
        b.offset = 0;
        out += std::string("<th><a class=\"sort\" data-sort=\"") + c.key + "\" href=\"" +
               pageUrl(b) + "\">" + c.title +
               (current ? (a.order == "asc" ? " &#9650;" : " &#9660;") : "") + "</a></th>";
    }
    {
        bool current = a.sort == "modality";
        searchargs b = a;
        b.sort = "modality";
        b.order = current && a.order == "asc" ? "desc" : "asc";
        b.offset = 0;
        out += "<th><a class=\"sort\" data-sort=\"modality\" href=\"" + pageUrl(b) +
               "\">Modalities" + (current ? (a.order == "asc" ? " &#9650;" : " &#9660;") : "") +
               "</a></th>";
    }
    out += "<th>Accession</th><th>Description</th><th>Series</th><th>Images</th><th></th></tr>"
           "</thead>\n<tbody>\n";
    retention_protection protection = studymarks_protection();
    for (const studyrow &r : rows) {
        std::string u = web_escapeHtml(r.uid);
        // Retention never deletes a protected study or patient's study.
        int byStudy = protection.studies.count(r.uid) != 0 ? 1 : 0;
        bool byPatient = !r.pid.empty() && protection.patients.count(r.pid) != 0;
        std::string mark;
        if (byStudy || byPatient)
            mark = std::string(" <span class=\"protected-mark\">Protected") +
                   (byPatient ? " (patient)" : "") + "</span>";
        out += std::string("<tr class=\"study") + (byStudy || byPatient ? " protected" : "") +
               "\" data-uid=\"" + u +
               "\"><td><button type=\"button\" class=\"expand\" title=\"Series\">+</button></td>"
               "<td><img loading=\"lazy\" alt=\"\" src=\"" WEB_DICOMWEB_ROOT "/studies/" +
               u + "/thumbnail\"></td><td class=\"name\">" + html(r.name) +
               "</td><td class=\"pid\">" + html(r.pid) + mark + "</td><td class=\"date\">" +
               date(r.date) + "</td><td class=\"modalities\">" + html(r.modalities) + "</td><td>" +
               html(r.accession) + "</td><td>" + html(r.description) +
               "</td><td class=\"series-count\">" +
               (r.series >= 0 ? std::to_string(r.series) : "") + "</td><td class=\"images\">" +
               (r.images >= 0 ? std::to_string(r.images) : "") + "</td>" +
               actions(r.uid, "", byStudy,
                       r.pid.empty() ? -1
                       : byPatient   ? 1
                                     : 0,
                       r.pid) +
               "</tr>\n";
    }
    out += "</tbody></table>\n<nav class=\"pager\">";
    if (a.offset > 0)
        out += "<a class=\"page prev\" href=\"" +
               pageUrl(a, "offset", std::to_string(a.offset > a.limit ? a.offset - a.limit : 0)) +
               "\">&larr; Previous</a> ";
    if (a.offset + rows.size() < total)
        out += "<a class=\"page next\" href=\"" +
               pageUrl(a, "offset", std::to_string(a.offset + a.limit)) + "\">Next &rarr;</a>";
    out += "</nav>\n</div>\n";
    return out;
}

// The page's style and script: plain CSS and a little script of our own.
static const char pageStyle[] = R"CSS(
img{width:64px;height:64px;object-fit:contain;background:#000}
nav.top a{margin-right:1em}form.search label{margin-right:.6em}
form.search input[type=text]{width:9em}.error{color:#b00}.ok{color:#060}.failed{color:#b00}
.already{color:#555}.protected-mark{color:#060;font-size:smaller}
tr.series td{background:#f4f4f4}#messages p{margin:.2em 0}section{margin:1em 0}
)CSS";

static const char pageScript[] = R"JS(
'use strict';
const csrf = document.body.dataset.csrf;
const form = document.getElementById('search');
const messages = document.getElementById('messages');
let searches = 0;
function say(kind, text, cls) {
  const p = document.createElement('p');
  p.className = 'msg ' + (cls || '');
  p.dataset.kind = kind;
  p.textContent = text;
  messages.prepend(p);
  return p;
}
// Replaces the results with those of url, timing from t0 to the rows laid out.
async function load(url, t0) {
  const r = await fetch(url + (url.includes('?') ? '&' : '?') + 'part=rows',
                        {credentials: 'same-origin'});
  const text = await r.text();
  document.getElementById('results').outerHTML = text;
  void document.getElementById('results').offsetHeight;
  const ms = performance.now() - t0;
  searches++;
  document.body.dataset.searchMs = ms.toFixed(1);
  document.body.dataset.searches = String(searches);
  document.getElementById('timing').textContent = 'Answered in ' + ms.toFixed(0) + ' ms';
  history.replaceState(null, '', url);
}
form.addEventListener('submit', (ev) => {
  ev.preventDefault();
  const p = new URLSearchParams();
  for (const [k, v] of new FormData(form)) if (v !== '') p.set(k, v);
  load('/?' + p.toString(), ev.timeStamp);
});
document.addEventListener('click', async (ev) => {
  const a = ev.target.closest('a.sort, a.page');
  if (a) {
    ev.preventDefault();
    load(a.getAttribute('href'), ev.timeStamp);
    return;
  }
  const b = ev.target.closest('button');
  if (!b) return;
  if (b.classList.contains('expand')) expand(b);
  else if (b.classList.contains('delete')) askDelete(b.dataset.study, b.dataset.series);
  else if (b.classList.contains('send')) askSend(b.dataset.study, b.dataset.series);
});
async function expand(b) {
  const row = b.closest('tr');
  const uid = row.dataset.uid;
  const open = document.querySelectorAll('tr.series[data-study="' + CSS.escape(uid) + '"]');
  if (open.length) { open.forEach((r) => r.remove()); b.textContent = '+'; return; }
  const r = await fetch('/series?study=' + encodeURIComponent(uid), {credentials: 'same-origin'});
  row.insertAdjacentHTML('afterend', await r.text());
  b.textContent = '-';
}
function what(study, series) {
  return series ? 'series ' + series + ' of study ' + study : 'study ' + study;
}
function post(url, fields) {
  const body = new URLSearchParams(fields);
  body.set('csrf', csrf);
  return fetch(url, {method: 'POST', credentials: 'same-origin', body,
                     headers: {'X-CSRF-Token': csrf, 'Accept': 'application/json'}});
}
let pendingDelete = null;
function askDelete(study, series) {
  pendingDelete = {study, series};
  document.getElementById('confirm-text').textContent =
      'Delete ' + what(study, series) + ' from the archive? This cannot be undone.';
  document.getElementById('confirm').showModal();
}
document.getElementById('confirm-no').addEventListener('click', () => {
  pendingDelete = null;
  document.getElementById('confirm').close();
});
document.getElementById('confirm-yes').addEventListener('click', async () => {
  document.getElementById('confirm').close();
  const d = pendingDelete;
  pendingDelete = null;
  if (!d) return;
  const fields = {study: d.study};
  if (d.series) fields.series = d.series;
  const r = await post('/delete', fields);
  let text = await r.text();
  try { const j = JSON.parse(text); text = j.deleted + ' images deleted, ' + j.failed + ' failed'; }
  catch (e) { /* an error text */ }
  const p = say('delete', 'Delete of ' + what(d.study, d.series) + ': ' + text,
                r.ok ? 'ok' : 'failed');
  p.dataset.status = String(r.status);
  if (r.ok) {
    const sel = d.series ? 'tr.series[data-uid="' + CSS.escape(d.series) + '"]'
                         : 'tr[data-uid="' + CSS.escape(d.study) + '"], tr.series[data-study="' +
                               CSS.escape(d.study) + '"]';
    document.querySelectorAll(sel).forEach((row) => row.remove());
    // The counts and the page's rows as they are now.
    load(location.pathname + location.search, performance.now());
  }
});
let pendingSend = null;
function askSend(study, series) {
  pendingSend = {study, series};
  document.getElementById('send-what').textContent = 'Send ' + what(study, series) + ' to:';
  document.getElementById('send').showModal();
}
document.getElementById('send-cancel').addEventListener('click', () => {
  pendingSend = null;
  document.getElementById('send').close();
});
const finalStates = ['done', 'completed', 'complete', 'succeeded', 'failed', 'error', 'cancelled',
                     'canceled', 'finished'];
document.getElementById('send-go').addEventListener('click', async () => {
  document.getElementById('send').close();
  const s = pendingSend;
  pendingSend = null;
  const dest = document.getElementById('send-dest').value;
  if (!s || !dest) return;
  const fields = {study: s.study, destination: dest};
  if (s.series) fields.series = s.series;
  const p = say('send', 'Sending ' + what(s.study, s.series) + ' to ' + dest + ' ...');
  const r = await post('/forward/send', fields);
  p.dataset.status = String(r.status);
  if (r.status === 404) { p.textContent = 'Sending is not available on this server.';
                          p.className = 'msg failed'; p.dataset.state = 'unavailable'; return; }
  if (!r.ok) { p.textContent = 'Send refused: ' + await r.text(); p.className = 'msg failed';
               p.dataset.state = 'refused'; return; }
  // The job's id: {"id": ...} (or a bare JSON string or number).
  const answer = await r.json();
  const job = answer !== null && typeof answer === 'object' ? (answer.id ?? answer.job) : answer;
  p.dataset.job = job;
  for (;;) {
    const j = await (await fetch('/forward/jobs/' + encodeURIComponent(job),
                                 {credentials: 'same-origin'})).json();
    p.textContent = 'Send to ' + dest + ': ' + j.sent + ' of ' + j.total + ' sent, ' + j.failed +
                    ' failed (' + j.state + ')';
    p.dataset.state = j.state;
    if (finalStates.includes(j.state)) {
      p.className = 'msg ' + (j.failed ? 'failed' : 'ok');
      break;
    }
    await new Promise((res) => setTimeout(res, 300));
  }
});
// Uploads go through STOW-RS, one file per request, a few at a time, so
// that each file gets its own result and no request grows without bound.
async function upload(files) {
  const list = document.getElementById('upload-results');
  list.textContent = '';
  let stored = 0, already = 0, failed = 0, next = 0;
  const summary = document.getElementById('upload-summary');
  summary.textContent = 'Uploading ' + files.length + ' files ...';
  summary.dataset.done = 'no';
  async function one(f) {
    const name = f.webkitRelativePath || f.name;
    const boundary = 'velto-' + Math.random().toString(16).slice(2);
    const body = new Blob(['--' + boundary + '\r\nContent-Type: application/dicom\r\n\r\n', f,
                           '\r\n--' + boundary + '--\r\n']);
    const li = document.createElement('li');
    li.dataset.file = name;
    // 'ok', 'already' (stored before: the answer's warning B006 on the
    // instance, with 202) or 'failed'.
    let state = 'failed', why = '';
    try {
      const r = await fetch('/dicom-web/studies', {method: 'POST', credentials: 'same-origin', body,
          headers: {'Content-Type': 'multipart/related; type="application/dicom"; boundary=' + boundary,
                    'Accept': 'application/dicom+json', 'X-CSRF-Token': csrf}});
      if (r.status === 200) {
        state = 'ok';
      } else if (r.status === 202) {
        const a = await r.json().catch(() => null);
        const refs = (a && a['00081199'] && a['00081199'].Value) || [];
        const failures = (a && a['00081198'] && a['00081198'].Value) || [];
        const warned = (item) => ((item['00081196'] || {}).Value || []).includes(0xB006);
        if (failures.length === 0 && refs.length > 0)
          state = refs.every(warned) ? 'already' : 'ok';
      }
      why = state === 'ok' ? 'stored' : state === 'already' ? 'already stored'
                                                              : 'failed (' + r.status + ')';
    } catch (e) { why = 'failed (' + e + ')'; }
    li.className = state;
    li.textContent = name + ': ' + why;
    list.appendChild(li);
    if (state === 'ok') stored++; else if (state === 'already') already++; else failed++;
  }
  async function worker() { while (next < files.length) await one(files[next++]); }
  await Promise.all([worker(), worker(), worker(), worker()]);
  summary.textContent = stored + ' stored' + (already ? ', ' + already + ' already stored' : '') +
                        (failed ? ', ' + failed + ' failed' : '');
  summary.className = failed ? 'failed' : 'ok';
  // The list as the search stands, with what was stored (before done is
  // said, so that whoever waits for it sees the new rows).
  if (stored) await load(location.pathname + location.search, performance.now());
  summary.dataset.done = 'yes';
  summary.dataset.stored = String(stored);
  summary.dataset.already = String(already);
  summary.dataset.failed = String(failed);
}
document.getElementById('upload-go').addEventListener('click', () => {
  const files = [...document.getElementById('upload-files').files,
                 ...document.getElementById('upload-folder').files];
  if (files.length) upload(files);
});
)JS";

static std::string field(const char *name, const char *label, const std::string &value,
                         const char *type = "text", const char *hint = "")
{
    return std::string("<label>") + label + " <input type=\"" + type + "\" name=\"" + name +
           "\" id=\"f-" + name + "\" placeholder=\"" + hint + "\" value=\"" +
           web_escapeHtml(value) + "\"></label>";
}

int pages_studyList(const webrequest &rq)
{
    searchargs a = parseSearch(rq);
    DcmDataset q;
    std::string error = buildQuery(a, &q);
    std::vector<studyrow> rows;
    size_t total = 0;
    if (error.empty()) {
        metrics_add(METRICS_WEB_QUERIES);
        if (search(a, &q, &rows, &total) != 0) {
            // An index that cannot be read is an error, not an empty list.
            metrics_add(METRICS_FAIL_QUERY);
            return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
        }
    }
    std::string part = results(a, rows, total, error);
    const char *p = rq.arg("part");
    if (p != nullptr && strcmp(p, "rows") == 0)
        return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", part);
    std::string options;
    for (const studyactions_destination &d : studyactions_destinations())
        options += "<option value=\"" + web_escapeHtml(d.aetitle) + "\">" + web_escapeHtml(d.name) +
                   " (" + web_escapeHtml(d.aetitle) + ")</option>";
    std::string page =
        layout_head("Studies", "<style>" + std::string(pageStyle) + "</style>\n") +
        "<body data-csrf=\"" + web_escapeHtml(csrf_token(rq.user)) + "\">\n" + layout_nav(rq, "/") +
        "<main>\n<h1>Studies</h1>\n<form id=\"search\" class=\"search\" method=\"get\" "
        "action=\"/\">" +
        field("name", "Patient", a.name, "text", "FAMILY^GIVEN") +
        field("pid", "Patient ID", a.pid) + field("accession", "Accession", a.accession) +
        field("from", "From", a.from, "date") + field("to", "To", a.to, "date") +
        field("modality", "Modality", a.modality) +
        "<input type=\"hidden\" name=\"sort\" value=\"" + web_escapeHtml(a.sort) +
        "\"><input type=\"hidden\" name=\"order\" value=\"" + web_escapeHtml(a.order) +
        "\"><input type=\"hidden\" name=\"limit\" value=\"" + std::to_string(a.limit) +
        "\"><button id=\"search-go\" type=\"submit\">Search</button> <span id=\"timing\">"
        "</span></form>\n" +
        part +
        "<section id=\"upload\"><h2>Upload</h2><label>Files <input type=\"file\" "
        "id=\"upload-files\" multiple></label> <label>Folder <input type=\"file\" "
        "id=\"upload-folder\" webkitdirectory multiple></label> <button type=\"button\" "
        "id=\"upload-go\">Upload</button>\n<p id=\"upload-summary\"></p><ul "
        "id=\"upload-results\"></ul></section>\n<section id=\"messages\"></section>\n"
        "<p>DICOMweb: <code>" +
        html(web_rootUrl(rq)) +
        "</code></p>\n<dialog id=\"confirm\"><p id=\"confirm-text\"></p><button type=\"button\" "
        "id=\"confirm-yes\">Delete</button> <button type=\"button\" id=\"confirm-no\">"
        "Cancel</button></dialog>\n<dialog id=\"send\"><p id=\"send-what\"></p><select "
        "id=\"send-dest\">" +
        options + "</select>" +
        (options.empty() ? "<p>No destinations: peers with the flag M in AETitleMap are.</p>"
                         : "") +
        " <button type=\"button\" id=\"send-go\">Send</button> <button type=\"button\" "
        "id=\"send-cancel\">Cancel</button></dialog>\n" +
        changespage_dialog() + "<script>" + pageScript + changespage_script() +
        "</script>\n<script src=\"/studymarks.js\"></script>\n</main>\n</body></html>\n";
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

int pages_seriesRows(const webrequest &rq)
{
    const char *study = rq.arg("study");
    if (study == nullptr || archive_uidProblem(study) != nullptr)
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "study must be one UID");
    DcmDataset q;
    dicomnet_Key_Add(&q, 0x0008, 0x0052, "SERIES");
    dicomnet_Key_Add(&q, 0x0020, 0x000D, study);
    const DcmTagKey keys[] = {DCM_SeriesInstanceUID, DCM_Modality, DCM_SeriesNumber,
                              DCM_SeriesDescription, DCM_NumberOfSeriesRelatedInstances};
    for (const DcmTagKey &k : keys)
        q.insertEmptyElement(DcmTag(k));
    std::string out;
    int r;
    metrics_add(METRICS_WEB_QUERIES);
    {
        web_refreshStudies();
        archive_shared hold(&web_archive);
        archive_query walk(&web_archive, &q);
        DcmDataset *m = nullptr;
        while ((r = walk.next(&m)) == 0) {
            std::string uid = tagText(m, DCM_SeriesInstanceUID);
            out += "<tr class=\"series\" data-study=\"" + web_escapeHtml(study) + "\" data-uid=\"" +
                   web_escapeHtml(uid) + "\"><td></td><td>" + html(tagText(m, DCM_SeriesNumber)) +
                   "</td><td colspan=\"3\">" + html(tagText(m, DCM_SeriesDescription)) +
                   "</td><td>" + html(tagText(m, DCM_Modality)) +
                   "</td><td></td><td></td><td></td><td>" +
                   html(tagText(m, DCM_NumberOfSeriesRelatedInstances)) + "</td>" +
                   actions(study, uid) + "</tr>\n";
            delete m;
            m = nullptr;
        }
        delete m;
    }
    if (r < 0) {
        metrics_add(METRICS_FAIL_QUERY);
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
    }
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", out);
}

// The viewer's directory: -V, else share/velto/viewer of the installation.
static std::string viewerDir()
{
    if (web_options.viewer_dir != nullptr)
        return web_options.viewer_dir;
    return std::string(installpath_progPath()) + "/share/velto/viewer";
}

static const char *mediaTypeOf(const std::string &path)
{
    static const struct {
        const char *ext, *type;
    } types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "application/javascript"},
        {".css", "text/css"},
        {".json", "application/json"},
        {".wasm", "application/wasm"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".woff2", "font/woff2"},
        {".woff", "font/woff"},
        {".ttf", "font/ttf"},
        {".map", "application/json"},
        {".txt", "text/plain"},
    };
    for (const auto &t : types) {
        size_t n = strlen(t.ext);
        if (path.size() > n && path.compare(path.size() - n, n, t.ext) == 0)
            return t.type;
    }
    return "application/octet-stream";
}

static void replaceAll(std::string *s, const std::string &from, const std::string &to)
{
    size_t at = 0;
    while ((at = s->find(from, at)) != std::string::npos) {
        s->replace(at, from.size(), to);
        at += to.size();
    }
}

// The viewer's start page, built to be served from "/": its own
// references are moved below /viewer/.
static int viewerIndex(const webrequest &rq)
{
    std::string page;
    if (!web_readFile(viewerDir() + "/index.html", &page))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "The viewer is not installed");
    replaceAll(&page, "window.PUBLIC_URL=\"/\"", "window.PUBLIC_URL=\"/viewer/\"");
    replaceAll(&page, "href=\"/", "href=\"/viewer/");
    replaceAll(&page, "src=\"/", "src=\"/viewer/");
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

// The viewer's configuration: this server's DICOMweb services as its only
// data source.
static int viewerConfig(const webrequest &rq)
{
    static const char config[] =
        "window.config = {\n"
        "  routerBasename: '/viewer',\n"
        "  extensions: [],\n"
        "  modes: [],\n"
        "  showStudyList: true,\n"
        "  showWarningMessageForCrossOrigin: false,\n"
        "  showCPUFallbackMessage: false,\n"
        "  defaultDataSourceName: 'velto',\n"
        "  dataSources: [{\n"
        "    namespace: '@ohif/extension-default.dataSourcesModule.dicomweb',\n"
        "    sourceName: 'velto',\n"
        "    configuration: {\n"
        "      friendlyName: 'Velto image archive',\n"
        "      name: 'velto',\n"
        "      wadoUriRoot: window.location.origin + '/wado',\n"
        "      qidoRoot: window.location.origin + '" WEB_DICOMWEB_ROOT "',\n"
        "      wadoRoot: window.location.origin + '" WEB_DICOMWEB_ROOT "',\n"
        "      qidoSupportsIncludeField: false,\n"
        "      imageRendering: 'wadors',\n"
        "      thumbnailRendering: 'wadors',\n"
        "      enableStudyLazyLoad: true,\n"
        "      supportsFuzzyMatching: false,\n"
        "      supportsWildcard: true,\n"
        "      staticWado: false,\n"
        "      singlepart: false,\n"
        "      bulkDataURI: { enabled: true },\n"
        "      omitQuotationForMultipartRequest: true,\n"
        "      dicomUploadEnabled: true,\n"
        "    },\n"
        "  }],\n"
        "};\n";
    return web_reply(rq, MHD_HTTP_OK, "application/javascript", config);
}

// The viewer's scripts load their other parts from the path the viewer was
// built for ("/"), and its style sheets name their fonts below it; served
// below /viewer/, they must name that instead. Each such file is read once:
// the adapted text is kept, or null when the file names no such path and is
// served from its file. Kept by real path: at most one entry per file of
// the viewer's directory.
static const struct {
    const char *suffix, *built, *served;
} builtPaths[] = {
    {".js", "__webpack_require__.p = \"/\";", "__webpack_require__.p = \"/viewer/\";"},
    {".css", "url(/", "url(/viewer/"},
};
// The process's adapted viewer files; any request thread may read or add.
static struct {
    std::mutex lock; // guards files
    std::map<std::string, std::shared_ptr<const std::string>> files;
} adapted;

static std::shared_ptr<const std::string> adaptedFile(const std::string &path)
{
    {
        std::lock_guard<std::mutex> hold(adapted.lock);
        auto it = adapted.files.find(path);
        if (it != adapted.files.end())
            return it->second;
    }
    std::shared_ptr<const std::string> text;
    for (const auto &b : builtPaths) {
        size_t n = strlen(b.suffix);
        std::string file;
        if (path.size() <= n || path.compare(path.size() - n, n, b.suffix) != 0 ||
            !web_readFile(path, &file) || file.find(b.built) == std::string::npos)
            continue;
        replaceAll(&file, b.built, b.served);
        text = std::make_shared<const std::string>(std::move(file));
    }
    std::lock_guard<std::mutex> hold(adapted.lock);
    adapted.files[path] = text;
    return text;
}

// The path below the viewer's directory in one spelling: empty and "."
// segments dropped. False for a ".." segment or a hidden file.
static bool normalisedPath(const std::string &in, std::string *out)
{
    out->clear();
    size_t i = 0;
    while (i <= in.size()) {
        size_t j = in.find('/', i);
        if (j == std::string::npos)
            j = in.size();
        std::string part = in.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".")
            continue;
        if (part[0] == '.')
            return false;
        if (!out->empty())
            *out += '/';
        *out += part;
    }
    return true;
}

int pages_viewer(const webrequest &rq)
{
    std::string rel;
    // Nothing outside the viewer's directory: no ".." segment, no hidden file.
    if (!normalisedPath(rq.path.size() > 8 ? rq.path.substr(8) : "", &rel))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rel.empty() || rel == "index.html")
        return viewerIndex(rq);
    if (rel == "app-config.js")
        return viewerConfig(rq);
    // The file by its real path, which must lie in the directory: a link
    // out of it is not followed, and the adapted files are kept once each
    // however a request spells their path.
    char real[PATH_MAX], dirReal[PATH_MAX];
    std::string path;
    if (realpath(viewerDir().c_str(), dirReal) != nullptr &&
        realpath((viewerDir() + "/" + rel).c_str(), real) != nullptr &&
        strncmp(real, dirReal, strlen(dirReal)) == 0 && real[strlen(dirReal)] == '/')
        path = real;
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        // The viewer's own routes (viewer?StudyInstanceUIDs=...) are pages
        // of its start page.
        if (strchr(rel.c_str(), '.') == nullptr)
            return viewerIndex(rq);
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    }
    std::shared_ptr<const std::string> adapted = adaptedFile(path);
    if (adapted) {
        close(fd);
        return web_reply(rq, MHD_HTTP_OK, mediaTypeOf(path), *adapted);
    }
    // The library closes fd with the response.
    MHD_Response *r = MHD_create_response_from_fd((uint64_t)st.st_size, fd);
    if (r == nullptr) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, mediaTypeOf(path));
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=3600");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}
