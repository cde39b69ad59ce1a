// The query/retrieve page of storeweb: C-FIND at a peer of the AE title map
// over an association of its own, and C-MOVEs to the archive run on
// threads of their own whose progress the page polls.
#include "web/retrievepage.h"

#include <ctype.h>
#include <microhttpd.h>
#include <string.h>
#include <time.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/diutil.h"
#include "dcmtk/dcmnet/dul.h"

#include "access/accesspolicy.h"
#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "runtime/logprintf.h"
#include "web/csrf.h"
#include "web/httpd.h"
#include "web/layout.h"
#include "web/multipart.h"
#include "web/webserver.h"

// Seconds to connect to a peer (its answers then have the toolkit's
// receive timeout, 60 s each).
enum { RETRIEVEPAGE_CONNECT_SECONDS = 10 };

int retrievepage_owns(const std::string &path)
{
    const size_t n = strlen(RETRIEVEPAGE_ROOT);
    return path.compare(0, n, RETRIEVEPAGE_ROOT) == 0 && (path.size() == n || path[n] == '/');
}

// One peer that may be searched: a site entry of the map (not learnt from
// the monitor channel), never the archive itself.
struct qrPeer {
    std::string name, aetitle, address;
};

static std::vector<qrPeer> peers()
{
    std::vector<qrPeer> out;
    AETitleMap map;
    AETitleMap_LoadSite(&map, nullptr);
    for (AETitleMapEntry *e = map; e != nullptr; e = e->next)
        if (!AETitleMap_IsLearnt(e) && strcmp(e->name, "Local") != 0 &&
            strcmp(e->aetitle, web_archiveTitle()) != 0)
            out.push_back({e->name, e->aetitle, e->address});
    AETitleMap_Destroy(&map);
    return out;
}

static bool findPeer(const std::string &aetitle, qrPeer *out)
{
    for (const qrPeer &p : peers())
        if (p.aetitle == aetitle) {
            *out = p;
            return true;
        }
    return false;
}

// The retrieves, oldest first, at most RETRIEVEPAGE_KEEP (the oldest
// finished go first). Shared by the request threads and the retrieves'
// threads under lock; a retrieve's thread finds its entry by id.
struct qrMove {
    int id = 0;
    std::string peer, study, user;
    long long started = 0, ended = 0;
    std::string state = "running"; // running, done, failed
    int remaining = -1, completed = 0, failed = 0, warning = 0;
    std::string error;
};
struct qrRegistry {
    std::mutex lock;
    std::deque<qrMove> moves;
    int nextId = 1;
    int running = 0;
};
// Made once and never destroyed: a retrieve's thread may still run while
// the process ends, and must not find its registry gone.
static qrRegistry &registry()
{
    static qrRegistry *r = new qrRegistry;
    return *r;
}

// The search's fields as typed.
struct qrQuery {
    std::string peer, name, pid, from, to, modality;
};

static std::string arg(const webrequest &rq, const char *name)
{
    const char *v = rq.arg(name);
    return v != nullptr ? std::string(v).substr(0, 64) : std::string();
}

// A date field ("YYYY-MM-DD" as a date input sends it, or YYYYMMDD) as
// DICOM writes it, or "" with *bad set.
static std::string dicomDate(const std::string &text, bool *bad)
{
    std::string d;
    for (char c : text)
        if (c != '-')
            d += c;
    if (d.empty())
        return d;
    bool digits = d.size() == 8;
    for (char c : d)
        digits = digits && isdigit((unsigned char)c);
    if (!digits)
        *bad = true;
    return digits ? d : std::string();
}

// The modalities offered in the search.
static const char *const modalities[] = {"CT", "MR", "CR", "DX", "US", "MG", "NM", "PT",
                                         "XA", "RF", "OT", "SC", "SR", "ES", "IO", "PX"};

// An association to peer with one presentation context for sopClass:
// the association, or null with *why set (and the network then closed).
static T_ASC_Association *openAssociation(T_ASC_Network **net, const qrPeer &peer,
                                          const char *sopClass, std::string *why)
{
    *net = dicomnet_net_init(RETRIEVEPAGE_CONNECT_SECONDS);
    if (*net == nullptr) {
        *why = "cannot set up the network";
        return nullptr;
    }
    T_ASC_Parameters *params =
        dicomnet_params_init(web_archiveTitle(), nullptr, peer.aetitle.c_str(),
                             peer.address.c_str(), false, ASC_DEFAULTMAXPDU);
    if (params == nullptr || dicomnet_params_add_std_PC(params, 1, sopClass).bad()) {
        *why = "cannot prepare the association";
        if (params != nullptr)
            ASC_destroyAssociationParameters(&params);
        dicomnet_net_exit(*net);
        *net = nullptr;
        return nullptr;
    }
    dcmConnectionTimeout.set(RETRIEVEPAGE_CONNECT_SECONDS);
    T_ASC_Association *assoc = nullptr;
    int r = dicomnet_associate(&assoc, *net, params);
    if (r != 0) {
        *why = r == -1   ? "the peer rejected the association"
               : r == -3 ? "the peer does not offer query/retrieve"
                         : "cannot reach the peer";
        dicomnet_dissociate(&assoc, r == -3 ? EC_Normal : DUL_PEERABORTEDASSOCIATION);
        dicomnet_net_exit(*net);
        *net = nullptr;
        return nullptr;
    }
    return assoc;
}

static void closeAssociation(T_ASC_Network *net, T_ASC_Association **assoc, bool ok)
{
    dicomnet_dissociate(assoc, ok ? EC_Normal : DUL_PEERABORTEDASSOCIATION);
    dicomnet_net_exit(net);
}

// One study of a search's answer, its values in UTF-8.
struct qrStudy {
    std::string uid, name, pid, date, modalities, description, accession, images;
};

struct findState {
    std::vector<qrStudy> studies;
    size_t dropped = 0;
};

static std::string value(DcmDataset *ds, const DcmTagKey &tag)
{
    const char *v = dicomnet_getTagString(ds, tag);
    return v != nullptr ? std::string(v).substr(0, 256) : std::string();
}

static void findCallback(void *data, T_DIMSE_C_FindRQ *, int, T_DIMSE_C_FindRSP *, DcmDataset *ids)
{
    auto *st = (findState *)((dicomnet_SCU_callback_record *)data)->callerData;
    if (ids == nullptr)
        return;
    // The answer's own character set, shown as UTF-8 (left as it came
    // when it cannot be converted: the page escapes every byte it shows).
    ids->convertToUTF8();
    // Beyond the bound the answers are read and dropped: memory stays bounded.
    if (st->studies.size() >= RETRIEVEPAGE_MAX_STUDIES) {
        st->dropped++;
        return;
    }
    qrStudy s;
    s.uid = value(ids, DCM_StudyInstanceUID);
    s.name = value(ids, DCM_PatientName);
    s.pid = value(ids, DCM_PatientID);
    s.date = value(ids, DCM_StudyDate);
    s.modalities = value(ids, DCM_ModalitiesInStudy);
    s.description = value(ids, DCM_StudyDescription);
    s.accession = value(ids, DCM_AccessionNumber);
    s.images = value(ids, DCM_NumberOfStudyRelatedInstances);
    if (!s.uid.empty())
        st->studies.push_back(std::move(s));
}

// The search at q.peer: 0 with *out, -1 with *why when the peer cannot be
// searched, -2 with *why for a search that is not one (unknown peer, bad
// field).
static int search(const qrQuery &q, findState *out, std::string *why)
{
    qrPeer peer;
    if (!findPeer(q.peer, &peer)) {
        *why = "Unknown peer: " + q.peer;
        return -2;
    }
    bool bad = false;
    std::string from = dicomDate(q.from, &bad), to = dicomDate(q.to, &bad);
    if (bad) {
        *why = "Dates as YYYY-MM-DD.";
        return -2;
    }
    for (const std::string *v : {&q.name, &q.pid, &q.modality})
        if (v->find('\\') != std::string::npos) {
            *why = "One value per field (no backslash).";
            return -2;
        }
    DcmDataset query;
    query.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    std::string name = q.name;
    // A name without wildcards is the start of the name, as the study
    // page's search takes it.
    if (!name.empty() && name.find_first_of("*?") == std::string::npos)
        name += "*";
    query.putAndInsertString(DCM_PatientName, name.c_str());
    query.putAndInsertString(DCM_PatientID, q.pid.c_str());
    std::string range = from.empty() && to.empty() ? "" : from + "-" + to;
    query.putAndInsertString(DCM_StudyDate, range.c_str());
    query.putAndInsertString(DCM_ModalitiesInStudy, q.modality.c_str());
    for (const DcmTagKey &k : {DCM_StudyInstanceUID, DCM_StudyDescription, DCM_AccessionNumber,
                               DCM_NumberOfStudyRelatedInstances, DCM_StudyTime})
        query.insertEmptyElement(DcmTag(k));
    T_ASC_Network *net = nullptr;
    T_ASC_Association *assoc =
        openAssociation(&net, peer, UID_FINDStudyRootQueryRetrieveInformationModel, why);
    if (assoc == nullptr)
        return -1;
    OFCondition cond = dicomnet_SCU_find(assoc, UID_FINDStudyRootQueryRetrieveInformationModel,
                                         &query, findCallback, out);
    closeAssociation(net, &assoc, cond.good());
    if (cond.bad()) {
        *why = std::string("The search failed at the peer: ") + cond.text();
        return -1;
    }
    return 0;
}

static void moveCallback(void *data, T_DIMSE_C_MoveRQ *, int, T_DIMSE_C_MoveRSP *rsp)
{
    int id = *(const int *)((dicomnet_SCU_callback_record *)data)->callerData;
    std::lock_guard<std::mutex> hold(registry().lock);
    for (qrMove &m : registry().moves)
        if (m.id == id) {
            m.remaining = rsp->NumberOfRemainingSubOperations;
            m.completed = rsp->NumberOfCompletedSubOperations;
            m.failed = rsp->NumberOfFailedSubOperations;
            m.warning = rsp->NumberOfWarningSubOperations;
        }
}

// A retrieve's thread: the C-MOVE of one study to the archive.
static void runMove(int id, qrPeer peer, std::string study)
{
    std::string why;
    T_DIMSE_C_MoveRSP final;
    memset(&final, 0, sizeof final);
    bool ok = false;
    T_ASC_Network *net = nullptr;
    T_ASC_Association *assoc =
        openAssociation(&net, peer, UID_MOVEStudyRootQueryRetrieveInformationModel, &why);
    if (assoc != nullptr) {
        DcmDataset query;
        query.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        query.putAndInsertString(DCM_StudyInstanceUID, study.c_str());
        OFCondition cond =
            dicomnet_SCU_moveFinal(assoc, UID_MOVEStudyRootQueryRetrieveInformationModel, &query,
                                   web_archiveTitle(), moveCallback, &id, &final);
        closeAssociation(net, &assoc, cond.good());
        if (cond.bad())
            why = std::string("the retrieve failed: ") + cond.text();
        else if (final.DimseStatus != STATUS_Success &&
                 final.DimseStatus != STATUS_MOVE_Warning_SubOperationsCompleteOneOrMoreFailures)
            why = std::string("the peer answered ") + DU_cmoveStatusString(final.DimseStatus);
        else
            ok = final.NumberOfFailedSubOperations == 0;
        if (cond.good() && why.empty() && !ok)
            why = "some images failed";
    }
    std::lock_guard<std::mutex> hold(registry().lock);
    registry().running--;
    for (qrMove &m : registry().moves)
        if (m.id == id) {
            if (assoc == nullptr && !why.empty() && m.completed == 0)
                m.remaining = 0;
            if ((final.opts & O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS) != 0)
                m.completed = final.NumberOfCompletedSubOperations;
            if ((final.opts & O_MOVE_NUMBEROFFAILEDSUBOPERATIONS) != 0)
                m.failed = final.NumberOfFailedSubOperations;
            if ((final.opts & O_MOVE_NUMBEROFWARNINGSUBOPERATIONS) != 0)
                m.warning = final.NumberOfWarningSubOperations;
            m.remaining = 0;
            m.state = ok ? "done" : "failed";
            m.error = why;
            m.ended = (long long)time(nullptr);
            logprintf(ok ? LOGLEVEL_NOTICE : LOGLEVEL_WARNING, web_options.logfp,
                      "Retrieve %d of study %s from %s: %s, %d image(s) stored, %d failed%s%s.\n",
                      id, study.c_str(), web_escapeForLog(peer.aetitle).c_str(), m.state.c_str(),
                      m.completed, m.failed, why.empty() ? "" : ": ", why.c_str());
        }
}

// Starts a retrieve: its id, or 0 with *why when too many run.
static int startMove(const qrPeer &peer, const std::string &study, const std::string &user,
                     std::string *why)
{
    std::lock_guard<std::mutex> hold(registry().lock);
    if (registry().running >= RETRIEVEPAGE_MAX_RUNNING) {
        *why = "Too many retrieves run already; try again when one is done.";
        return 0;
    }
    qrMove m;
    m.id = registry().nextId++;
    m.peer = peer.aetitle;
    m.study = study;
    m.user = user;
    m.started = (long long)time(nullptr);
    // The oldest finished entries make room.
    while (registry().moves.size() >= RETRIEVEPAGE_KEEP) {
        auto old = registry().moves.begin();
        while (old != registry().moves.end() && old->state == "running")
            ++old;
        if (old == registry().moves.end())
            break;
        registry().moves.erase(old);
    }
    registry().moves.push_back(m);
    registry().running++;
    // Detached: its entry is all it shares, found by id under the lock.
    // storeweb's end cuts a retrieve short (the peer sees the association
    // end; what was stored stays stored).
    std::thread(runMove, m.id, peer, study).detach();
    return m.id;
}

static std::string moveJson(const qrMove &m)
{
    return "{\"id\":" + std::to_string(m.id) + ",\"peer\":" + web_jsonQuote(m.peer) +
           ",\"study\":" + web_jsonQuote(m.study) + ",\"state\":" + web_jsonQuote(m.state) +
           ",\"remaining\":" + std::to_string(m.remaining) +
           ",\"completed\":" + std::to_string(m.completed) +
           ",\"failed\":" + std::to_string(m.failed) + ",\"warning\":" + std::to_string(m.warning) +
           ",\"started\":" + std::to_string(m.started) + ",\"ended\":" + std::to_string(m.ended) +
           (m.error.empty() ? "" : ",\"error\":" + web_jsonQuote(m.error)) + "}";
}

static std::string studyJson(const qrStudy &s)
{
    return "{\"study\":" + web_jsonQuote(s.uid) + ",\"PatientName\":" + web_jsonQuote(s.name) +
           ",\"PatientID\":" + web_jsonQuote(s.pid) + ",\"StudyDate\":" + web_jsonQuote(s.date) +
           ",\"ModalitiesInStudy\":" + web_jsonQuote(s.modalities) +
           ",\"StudyDescription\":" + web_jsonQuote(s.description) +
           ",\"AccessionNumber\":" + web_jsonQuote(s.accession) +
           ",\"images\":" + web_jsonQuote(s.images) + "}";
}

static qrQuery queryOf(const webrequest &rq)
{
    return {arg(rq, "peer"), arg(rq, "name"), arg(rq, "pid"),
            arg(rq, "from"), arg(rq, "to"),   arg(rq, "modality")};
}

static std::string html(const std::string &s)
{
    return web_escapeHtml(s);
}

// The page's script: the progress of running retrieves, polled each second
// until none runs.
static const char pageScript[] = R"JS(
'use strict';
async function poll() {
  let running = false;
  try {
    const r = await fetch('/retrieve/moves', {credentials: 'same-origin'});
    const j = await r.json();
    for (const m of j.retrievals) {
      const row = document.querySelector('#retrievals tr[data-id="' + m.id + '"]');
      if (!row) continue;
      row.className = 'move ' + m.state;
      row.querySelector('.state').textContent = m.state;
      row.querySelector('.completed').textContent = m.completed;
      row.querySelector('.failed').textContent = m.failed;
      row.querySelector('.remaining').textContent = m.remaining < 0 ? '' : m.remaining;
      const p = row.querySelector('progress');
      const total = m.completed + m.failed + m.warning + Math.max(m.remaining, 0);
      if (total > 0) { p.max = total; p.value = m.completed + m.failed + m.warning; }
      row.querySelector('.error').textContent = m.error || '';
      running = running || m.state === 'running';
    }
  } catch (e) { running = true; }
  if (running) setTimeout(poll, 1000);
}
if (document.querySelector('#retrievals tr.running')) setTimeout(poll, 500);
)JS";

static int servePage(const webrequest &rq, unsigned status, const std::string &message)
{
    qrQuery q = queryOf(rq);
    bool searched = rq.arg("search") != nullptr && !q.peer.empty();
    findState found;
    std::string error = message;
    if (searched && search(q, &found, &error) != 0)
        searched = false;
    std::string page =
        layout_start(rq, "Query/Retrieve", RETRIEVEPAGE_ROOT) + "<main>\n<h1>Query/Retrieve</h1>\n";
    if (!error.empty())
        page += "<p class=\"message\" role=\"alert\">" + html(error) + "</p>\n";
    std::string options;
    for (const qrPeer &p : peers())
        options += "<option value=\"" + html(p.aetitle) + "\"" +
                   (p.aetitle == q.peer ? " selected" : "") + ">" + html(p.name) + " (" +
                   html(p.aetitle) + ")</option>";
    std::string modalityOptions = "<option value=\"\">any</option>";
    for (const char *m : modalities)
        modalityOptions +=
            std::string("<option") + (q.modality == m ? " selected" : "") + ">" + m + "</option>";
    auto input = [](const char *name, const char *label, const std::string &v,
                    const char *type = "text") {
        return std::string("<label>") + label + " <input type=\"" + type + "\" name=\"" + name +
               "\" value=\"" + html(v) + "\"></label>\n";
    };
    page += "<section><h2>Search a peer</h2>\n<form id=\"qr-search\" class=\"grid\" "
            "method=\"get\" action=\"" RETRIEVEPAGE_ROOT "\">\n<label>Peer <select "
            "name=\"peer\">" +
            options + "</select></label>\n" + input("name", "Patient name", q.name) +
            input("pid", "Patient ID", q.pid) + input("from", "From", q.from, "date") +
            input("to", "To", q.to, "date") + "<label>Modality <select name=\"modality\">" +
            modalityOptions +
            "</select></label>\n<div><button id=\"qr-go\" type=\"submit\" name=\"search\" "
            "value=\"1\">Search</button></div>\n</form>\n";
    if (options.empty())
        page += "<p>No peers: the site's entries of AETitleMap are.</p>\n";
    page += "</section>\n";
    if (searched) {
        page +=
            "<section><h2>Studies at " + html(q.peer) + "</h2>\n<p id=\"qr-count\">" +
            std::to_string(found.studies.size()) + " found" +
            (found.dropped != 0
                 ? " (the first " + std::to_string(found.studies.size()) + "; narrow the search)"
                 : "") +
            "</p>\n<form id=\"qr-move\" method=\"post\" action=\"" RETRIEVEPAGE_ROOT "/move\">" +
            csrf_hiddenField(rq) + "<input type=\"hidden\" name=\"peer\" value=\"" + html(q.peer) +
            "\">\n<div class=\"scroll\"><table id=\"qr-results\">\n<tr><th></th>"
            "<th>Patient</th><th>Patient ID</th><th>Date</th><th>Modalities</th>"
            "<th>Description</th><th>Accession</th><th>Images</th></tr>\n";
        for (const qrStudy &s : found.studies) {
            page += "<tr data-study=\"" + html(s.uid) +
                    "\"><td><input type=\"checkbox\" name=\"study\" value=\"" + html(s.uid) +
                    "\" aria-label=\"Retrieve this study\"></td>";
            for (const std::string *v :
                 {&s.name, &s.pid, &s.date, &s.modalities, &s.description, &s.accession, &s.images})
                page += "<td>" + html(*v) + "</td>";
            page += "</tr>\n";
        }
        page += "</table></div>\n<div class=\"actions\"><button id=\"qr-retrieve\" "
                "type=\"submit\">Retrieve into this archive</button></div>\n</form>\n</section>\n";
    }
    std::vector<qrMove> moves;
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        moves.assign(registry().moves.begin(), registry().moves.end());
    }
    page += "<section><h2>Retrieves</h2>\n<div class=\"scroll\"><table id=\"retrievals\">\n"
            "<tr><th>#</th><th>Peer</th><th>Study</th><th>State</th><th>Progress</th>"
            "<th>Stored</th><th>Failed</th><th>Remaining</th><th>Error</th></tr>\n";
    for (size_t i = moves.size(); i-- > 0;) {
        const qrMove &m = moves[i];
        int total = m.completed + m.failed + m.warning + (m.remaining > 0 ? m.remaining : 0);
        page += "<tr class=\"move " + m.state + "\" data-id=\"" + std::to_string(m.id) + "\"><td>" +
                std::to_string(m.id) + "</td><td>" + html(m.peer) + "</td><td>" + html(m.study) +
                "</td><td class=\"state\">" + m.state + "</td><td><progress max=\"" +
                std::to_string(total > 0 ? total : 1) + "\" value=\"" +
                std::to_string(total > 0 ? total - (m.remaining > 0 ? m.remaining : 0) : 0) +
                "\"></progress></td><td class=\"completed\">" + std::to_string(m.completed) +
                "</td><td class=\"failed\">" + std::to_string(m.failed) +
                "</td><td class=\"remaining\">" +
                (m.remaining < 0 ? "" : std::to_string(m.remaining)) + "</td><td class=\"error\">" +
                html(m.error) + "</td></tr>\n";
    }
    page += "</table></div></section>\n</main>\n<script>" + std::string(pageScript) +
            "</script>\n</body></html>\n";
    return web_reply(rq, status, "text/html; charset=utf-8", page);
}

static int replyJson(const webrequest &rq, unsigned status, const std::string &json)
{
    return web_reply(rq, status, "application/json", json + "\n");
}

// POST /retrieve/move: from the page's form (answered with the page), or
// JSON {"peer":..., "study":...} (answered 202 with the ids).
static int serveMove(const webrequest &rq, const std::string &body)
{
    webfields fields;
    unsigned refused = web_bodyFields(rq, body, &fields);
    if (refused != 0)
        return web_replyError(rq, refused, "Expected a form or a flat JSON object");
    std::string peerTitle;
    std::vector<std::string> studies;
    for (const auto &f : fields) {
        if (f.first == "peer")
            peerTitle = f.second;
        else if (f.first == "study" && studies.size() < RETRIEVEPAGE_MAX_STUDIES)
            studies.push_back(f.second);
    }
    const char *accept = rq.header(MHD_HTTP_HEADER_ACCEPT);
    bool form = multipart_mediaType(rq.header(MHD_HTTP_HEADER_CONTENT_TYPE)) ==
                    "application/x-www-form-urlencoded" &&
                !(accept != nullptr && strstr(accept, "application/json") != nullptr);
    auto fail = [&](unsigned status, const std::string &why) {
        return form ? servePage(rq, status, why)
                    : replyJson(rq, status, "{\"error\":" + web_jsonQuote(why) + "}");
    };
    qrPeer peer;
    if (!findPeer(peerTitle, &peer))
        return fail(MHD_HTTP_BAD_REQUEST, "Unknown peer: " + peerTitle.substr(0, 64));
    if (studies.empty())
        return fail(MHD_HTTP_BAD_REQUEST, "No study chosen.");
    for (const std::string &s : studies)
        if (archive_uidProblem(s.c_str()) != nullptr)
            return fail(MHD_HTTP_BAD_REQUEST, "A study must be one UID.");
    std::string user = rq.user.empty() ? std::string("-") : rq.user, why, ids;
    for (const std::string &s : studies) {
        int id = startMove(peer, s, user, &why);
        if (id == 0)
            return fail(MHD_HTTP_SERVICE_UNAVAILABLE, why);
        logprintf(LOGLEVEL_NOTICE, web_options.logfp,
                  "Retrieve %d: study %s from %s into %s, asked by %s.\n", id, s.c_str(),
                  web_escapeForLog(peer.aetitle).c_str(), web_archiveTitle(),
                  web_escapeForLog(user).c_str());
        ids += (ids.empty() ? "" : ",") + std::to_string(id);
    }
    if (form) {
        MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
        if (r == nullptr)
            return MHD_NO;
        MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, RETRIEVEPAGE_ROOT);
        return web_replyResponse(rq, MHD_HTTP_SEE_OTHER, r);
    }
    return replyJson(rq, MHD_HTTP_ACCEPTED, "{\"ids\":[" + ids + "]}");
}

int retrievepage_serve(const webrequest &rq, const std::string &body)
{
    // Both rights: the page searches a peer and stores what it brings in.
    unsigned granted = httpd_operationsOf(rq);
    if ((granted & (ACCESS_FIND | ACCESS_STORE)) != (ACCESS_FIND | ACCESS_STORE))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    std::vector<std::string> seg = web_splitPath(rq.path.substr(strlen(RETRIEVEPAGE_ROOT)));
    bool get = rq.method == "GET" || rq.method == "HEAD";
    if (get && seg.empty())
        return servePage(rq, MHD_HTTP_OK, "");
    if (get && seg.size() == 1 && seg[0] == "find") {
        findState found;
        std::string why;
        qrQuery q = queryOf(rq);
        int r = search(q, &found, &why);
        if (r != 0)
            return replyJson(rq, r == -2 ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_BAD_GATEWAY,
                             "{\"error\":" + web_jsonQuote(why) + "}");
        std::string list;
        for (const qrStudy &s : found.studies)
            list += (list.empty() ? "" : ",") + studyJson(s);
        return replyJson(rq, MHD_HTTP_OK,
                         "{\"studies\":[" + list +
                             "],\"more\":" + (found.dropped != 0 ? "true" : "false") + "}");
    }
    if (get && seg.size() == 1 && seg[0] == "moves") {
        std::string list;
        std::lock_guard<std::mutex> hold(registry().lock);
        for (const qrMove &m : registry().moves)
            list += (list.empty() ? "" : ",") + moveJson(m);
        return replyJson(rq, MHD_HTTP_OK, "{\"retrievals\":[" + list + "]}");
    }
    if (!(seg.size() == 1 && seg[0] == "move"))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rq.method != "POST")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    // The form carries the page's token; JSON needs none (web/csrf.h).
    if (!csrf_ok(rq, body))
        return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    return serveMove(rq, body);
}
