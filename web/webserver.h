// storeweb: the settings, the process-wide objects, one HTTP request as the
// services see it, the reply helpers and the services themselves (QIDO-RS,
// WADO-RS, WADO-URI, STOW-RS, the pages and the viewer).
//
// Threads: the HTTP library runs every connection in a thread of its own.
// The archive (web_archive, opened by main) is one object per process that
// keeps state between calls: every use of it happens while holding its
// serialisation (core/archive.h). Searches hold it shared (archive_shared)
// and run side by side: a walk of the index only reads (the study table,
// which nothing changes while any holder shares the lock, and the index
// files through descriptors and locks of its own). Whatever changes the
// store or reloads its study table (STOW-RS, a delete, web_refreshStudies'
// reload) holds it alone (archive_exclusive). Reading a stored image file
// needs no lock (files are replaced by rename, so a reader sees the old file
// or the new one).
#ifndef VELTO_WEB_WEBSERVER_H
#define VELTO_WEB_WEBSERVER_H

#include <stddef.h>
#include <stdio.h>

#include <pthread.h>

#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Response;
struct archive_context;
class DcmDataset;

// Defaults of the settings.
#define WEB_DEFAULT_PORT 8042
#define WEB_DEFAULT_ADDRESS "127.0.0.1"
#define WEB_DEFAULT_MONITOR_PORT 1104
#define WEB_DEFAULT_MCAST_GROUP "224.0.0.1"
// Site file of the users allowed in, found along the configuration search
// path: "name:crypt-hash" per line.
#define WEB_USERS_FILE "WebUsers"
// Realm of the basic authentication challenge.
#define WEB_REALM "Velto image archive"
// Limits of one STOW-RS upload (-U upload,part and -N): the body's bytes,
// one part's bytes, the number of parts.
#define WEB_DEFAULT_MAX_UPLOAD (4ULL << 30)
#define WEB_DEFAULT_MAX_PART (1ULL << 30)
#define WEB_DEFAULT_MAX_PARTS 10000
// The least rate of a request body (-R): bytes per second over each period
// of so many seconds (the first period, from the end of the headers, is the
// grace a client has to start sending).
#define WEB_DEFAULT_BODY_RATE 1024
#define WEB_DEFAULT_BODY_WINDOW 10
// Root of the DICOMweb services below the server's address.
#define WEB_DICOMWEB_ROOT "/dicom-web"

// storeserver's own AE title when neither -a nor a map entry "Local" names
// it (as storeserver chooses its own).
#define WEB_DEFAULT_ARCHIVE_AETITLE "VeltoStorage"

// The settings: defaults, then the command line (written only by main).
struct weboptions {
    int port;                      // HTTP(S) port (-p)
    const char *address;           // address to listen on (-b)
    int monitor_port;              // monitor channel UDP port (-m)
    const char *mcast_group;       // monitor channel group
    int open_without_auth;         // -A: may listen beyond loopback without users
    const char *users_file;        // -w: users file, else WEB_USERS_FILE along the search path
    const char *cert_file;         // -C: PEM certificate (with -K: HTTPS)
    const char *key_file;          // -K: PEM private key
    const char *viewer_dir;        // -V: the viewer's files, or null (built-in search)
    int overwrite;                 // -o: STOW replaces stored images
    unsigned long long max_upload; // -U: bytes of one STOW-RS body
    unsigned long long max_part;   // -U: bytes of one part of it
    size_t max_parts;              // -N: parts of one STOW-RS body
    int threads_max;               // -M: connections served at once
    FILE *logfp;                   // log stream: stderr or the -l file
    const char *logfile;           // -l
    const char *pidfile;           // -P
    int debug;                     // count of -D
    int per_address_max;           // -I: connections from one client address at once
    int header_timeout;            // -H: seconds a request's headers may take to arrive
    int symlinks;                  // -s: uploads go into the patient link tree too
    // -n: further names and addresses (canonical, frontdoor_canonicalName)
    // that clients reach the daemon by; besides these it answers only for
    // "localhost" and the address a connection reached.
    std::vector<std::string> host_names;
    unsigned long min_body_rate; // -R: bytes per second a request body must keep up ...
    int body_window;             // -R: ... over each period of this many seconds
    const char *aetitle;         // -a: the archive's AE title (else web_archiveTitle's rule)
};

// The process-wide objects (web/main.cc).
extern weboptions web_options;
// The archive (core/archive.h): use only under archive_shared or
// archive_exclusive on it.
extern archive_context web_archive;
extern int web_monitorSock; // connected to the monitor channel, or -1

// One request as the services see it. Query arguments keep their order
// and repeats (includefield may be given several times).
struct webrequest {
    MHD_Connection *conn;
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> args;
    std::string user; // the authenticated user; "" when the daemon has no users
    // The status of the answer queued (web_replyResponse), 0 before: for
    // the audit trail, which records the request after its answer.
    mutable unsigned status = 0;
    // The value of a request header, or null.
    const char *header(const char *name) const;
    // The first query argument named name, or null.
    const char *arg(const char *name) const;
};

// Answers of the services. Each queues its response on the connection and
// returns the library's result (MHD_YES / MHD_NO as int).
int web_reply(const webrequest &rq, unsigned status, const char *contentType,
              const std::string &body);
// Queues response (owned: destroyed here) with status.
int web_replyResponse(const webrequest &rq, unsigned status, MHD_Response *response);
// A short plain-text error answer.
int web_replyError(const webrequest &rq, unsigned status, const char *text);
// A response of unknown length (sent chunked) made piece by piece as the
// client takes it, so that only one piece is held at a time: next appends
// the next piece to its (empty) argument and returns true, or returns
// false at the end and is not called again. A HEAD request's response
// (which has no body) never calls it. Null when the library cannot make
// the response.
typedef std::function<bool(std::string *)> webpieces;
MHD_Response *web_pieceResponse(const webrequest &rq, webpieces next);

// The whole of a file into *out: false when it cannot be opened.
bool web_readFile(const std::string &path, std::string *out);

// text with the characters that HTML gives a meaning (< > & ") escaped,
// for a page's text or an attribute value in double quotes.
std::string web_escapeHtml(const std::string &text);

// Text from a peer made safe for the log: printable ASCII kept, everything
// else as \xHH, cut to 200 characters.
std::string web_escapeForLog(const std::string &text);

// A state-changing request may be sent by any page the browser shows, with
// the user's credentials: false when its Origin names another origin than
// this server (or is "null"); true when it names this one or is absent.
bool web_sameOrigin(const webrequest &rq);

// The non-empty segments of a path between its slashes ("/a//b/" gives
// "a", "b").
std::vector<std::string> web_splitPath(const std::string &path);

// The client's numeric address, or "" when unknown.
std::string web_peerAddress(MHD_Connection *conn);
// Whether the site's access policy grants rq's user operation (an ACCESS_*
// bit of access/accesspolicy.h) from rq's address (true when it is off).
bool web_permits(const webrequest &rq, unsigned operation);

// The fields of an application/x-www-form-urlencoded body, decoded, in
// their order (empty values kept).
void web_parseForm(const std::string &body, std::vector<std::pair<std::string, std::string>> *out);
// The first field name of such a body, decoded; "" when absent.
std::string web_formField(const std::string &body, const char *name);

// --- the services; each answers rq (segments: the path below the root) ---
// QIDO-RS: GET studies, series, instances at any level of the hierarchy.
int qido_search(const webrequest &rq, const std::vector<std::string> &seg);
// WADO-RS: GET of studies/.../ (instances, metadata, frames, rendered,
// thumbnail, bulkdata).
int wado_retrieve(const webrequest &rq, const std::vector<std::string> &seg);
// WADO-URI: GET /wado?requestType=WADO&studyUID&seriesUID&objectUID.
int wado_uri(const webrequest &rq);
// The study page at "/": search, paging, sorting and the actions on each
// study and series (see web/pages.cc).
int pages_studyList(const webrequest &rq);
// The series of one study, as rows of the study page (GET /series?study=).
int pages_seriesRows(const webrequest &rq);
// The viewer's files below /viewer/.
int pages_viewer(const webrequest &rq);

// STOW-RS: a POST to studies[/{study}] is read in pieces. stow_begin makes
// the request's state (null: the answer is already queued, e.g. 415),
// stow_feed takes each piece of the body (0 go on; a refused body, 400 or
// 413, is dropped as it comes and answered by stow_finish; -1 when too much
// of a refused body came: stow_refuse answers at once and the connection
// ends), stow_finish answers once the body has ended (a body cut short
// too: what was stored is reported), stow_free ends the state (and flushes
// what was stored, whatever happened to the connection).
struct stowstate;
stowstate *stow_begin(const webrequest &rq, const std::vector<std::string> &seg, int *result);
int stow_feed(stowstate *st, const char *data, size_t len);
int stow_refuse(stowstate *st, const webrequest &rq);
int stow_finish(stowstate *st, const webrequest &rq);
void stow_free(stowstate *st);

// --- shared by the services (web/webcommon.cc) ---
// The stored files of a study, series or instance (null below the level
// asked), in index order, as (study, series, instance) UIDs.
struct webinstance {
    std::string study, series, instance;
    // The file was there when the list was made (one instance named by
    // its three UIDs is looked for as its file): webtier_open and
    // webtier_ready need not look again. A file moved to the tier since
    // then is missed as one moved between their look and the read is.
    bool seen = false;
};
// Enumerates the stored instances: 0 (list filled, possibly empty), -1 the
// index cannot be read.
int web_listInstances(const char *study, const char *series, const char *instance,
                      std::vector<webinstance> *out);
// Brings the store's study table up to date with the index files that
// other processes (storeserver) write, before a query takes the archive's serialisation
// shared. Call without holding it: the check shares the lock, a reload
// (only when an index file changed) holds it alone.
void web_refreshStudies();
// Path of the stored file of an instance.
std::string web_instancePath(const webinstance &i);
// The dataset written as one DICOM JSON object (UTF-8), appended to out.
// bulkBase non-empty: Pixel Data is given as a BulkDataURI below it.
void web_appendJson(DcmDataset *ds, const std::string &bulkBase, std::string *out);
// The DICOMweb root URL as a client reached it (scheme, Host header, root).
std::string web_rootUrl(const webrequest &rq);

// Named text values of a request body, in their order.
typedef std::vector<std::pair<std::string, std::string>> webfields;
// A flat JSON object whose values are strings (null: left out) into
// fields. False when the text is anything else, or names a key twice
// (*error, when not null, says which: for the answer).
bool web_parseJsonObject(const std::string &s, webfields *fields, std::string *error = nullptr);
// text as a JSON string, quotes included.
std::string web_jsonQuote(const std::string &text);
// The fields of a state-changing request's body, read as its media type
// says (without case and parameters) and as nothing else: an
// application/x-www-form-urlencoded form or a flat JSON object
// (application/json). 0, or the status of the refusal: 415 for any other
// type (or none), 400 for a JSON body that is no such object.
unsigned web_bodyFields(const webrequest &rq, const std::string &body, webfields *fields);

// The archive's (storeserver's) AE title, chosen as storeserver chooses its
// own: -a, else the title of the AE title map's entry "Local", else
// WEB_DEFAULT_ARCHIVE_AETITLE. The send dialogs never offer it, and a
// retrieve from a peer names it as the C-MOVE destination.
const char *web_archiveTitle();

#endif
