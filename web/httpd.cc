// The HTTP library's daemon and the routing of requests: one thread per
// connection; the access handler is called once at a request's headers,
// once per piece of its body and once at its end, and answers at the end.
#include "web/httpd.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "access/accesspolicy.h"
#include "aetitlemap/aetitlemap.h"
#include "cluster/clusterconfig.h"
#include "core/archive.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "web/changespage.h"
#include "web/csrf.h"
#include "web/deidpage.h"
#include "web/forwardpage.h"
#include "web/frontdoor.h"
#include "web/layout.h"
#include "web/metrics.h"
#include "web/retrievepage.h"
#include "web/statuspage.h"
#include "web/studyactions.h"
#include "web/studymarks.h"
#include "web/webaudit.h"
#include "web/webserver.h"
#include "web/worklistpage.h"

struct connwatch;

// The HTTP face's state, one per process.
static struct {
    // The users and their crypt(3) hashes; read once at start-up.
    std::map<std::string, std::string> users;
    // A hash that an unknown user's password is checked against, so that
    // the answer takes as long as for a known user (the first user's: the
    // same method and cost as the site's hashes).
    std::string dummyHash;

    // The site's access policy and the peers it may name (read once at
    // start-up, read-only afterwards, so every thread may consult them).
    AccessPolicy policy;
    AETitleMap policyMap = nullptr;

    // The connection watch (below). watchLock guards watched, the
    // connwatch entries in it and watchStop.
    std::mutex watchLock;
    std::condition_variable watchWake;
    std::set<connwatch *> watched;
    bool watchStop = false;
    std::thread watchThread;

    // The library borrows the certificate and key texts for the daemon's
    // life.
    std::string certText, keyText;

    // What the audit trail keeps between requests (web/webaudit.h).
    webaudit_memory audit;
} httpd;

int httpd_loadPolicy()
{
    char error[256] = "";
    AccessPolicy_Init(&httpd.policy);
    int r = AccessPolicy_Load(&httpd.policy, nullptr, error, sizeof error);
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, web_options.logfp, "Access policy %s: %s\n", httpd.policy.path,
                  error);
        return -1;
    }
    if (r == 0) {
        AETitleMap_LoadSite(&httpd.policyMap, nullptr);
        logprintf(LOGLEVEL_NOTICE, web_options.logfp, "Access policy from %s\n", httpd.policy.path);
    }
    return 0;
}

int httpd_checkDestination(const char *dest)
{
    return AccessPolicy_CheckDestination(&httpd.policy, &httpd.policyMap, dest, web_options.logfp);
}

// The DICOM operation a request amounts to, for the access policy: a
// search is a C-FIND, a retrieval a C-GET, an upload a C-STORE; 0 for the
// pages and the viewer's files, which show nothing of the store.
static unsigned operationOf(const std::string &method, const std::string &path,
                            const std::vector<std::string> &seg)
{
    if (path == "/" || path == "/index.html" || path == "/series" || path == "/status" ||
        path == "/metrics")
        return ACCESS_FIND;
    if (path == "/delete")
        return ACCESS_DELETE;
    // The audit pages (web/webaudit.h: another user's needs more).
    if (webaudit_owns(path))
        return ACCESS_FIND;
    // Changing stored images needs the modify right; reading the change
    // log is a search.
    if (changespage_owns(path))
        return method == "POST" ? ACCESS_MODIFY : ACCESS_FIND;
    if (path == "/download")
        return ACCESS_GET;
    if (deidpage_owns(path))
        return deidpage_operation(method, path);
    if (path == "/wado")
        return ACCESS_GET;
    if (worklistpage_owns(path))
        return ACCESS_WORKLIST;
    // Protecting, rejecting and purging change what retention and every
    // query see: the delete right; the flags' list is a search's.
    if (studymarks_owns(path))
        return studymarks_changes(method, path) ? ACCESS_DELETE
               : path == "/studymarks.js"       ? 0
                                                : ACCESS_FIND;
    // Sending and retrying forwards moves images; looking at the queue finds.
    if (forwardpage_owns(path))
        return method == "POST" ? ACCESS_MOVE : ACCESS_FIND;
    // Query/retrieve needs find and store: store is checked by the page.
    if (retrievepage_owns(path))
        return ACCESS_FIND;
    if (path.compare(0, strlen(WEB_DICOMWEB_ROOT), WEB_DICOMWEB_ROOT) != 0)
        return 0;
    if (method == "POST")
        return ACCESS_STORE;
    if (!seg.empty() &&
        (seg.back() == "studies" || seg.back() == "series" || seg.back() == "instances"))
        return ACCESS_FIND;
    return ACCESS_GET;
}

// The socket peer's numeric address, or "" when unknown.
static std::string socketPeer(MHD_Connection *conn)
{
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (ci == nullptr || ci->client_addr == nullptr)
        return "";
    if (ci->client_addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &((const struct sockaddr_in *)ci->client_addr)->sin_addr, text,
                  sizeof text);
    else if (ci->client_addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &((const struct sockaddr_in6 *)ci->client_addr)->sin6_addr, text,
                  sizeof text);
    return text;
}

// Collects every X-Forwarded-For field of a request, in order.
static MHD_Result collectForwardedFor(void *cls, enum MHD_ValueKind, const char *key,
                                      const char *value)
{
    if (key != nullptr && strcasecmp(key, "X-Forwarded-For") == 0)
        ((std::vector<std::string> *)cls)->push_back(value != nullptr ? value : "");
    return MHD_YES;
}

// The client's numeric address, or "" when unknown: the socket's peer, or,
// on a request whose socket peer is one of the cluster's trusted load
// balancers (the Cluster file's proxy setting), the client that proxy
// names last in X-Forwarded-For; "" when it names none (the proxy's own
// address must not stand for its clients). From any other peer the field
// is not looked at: anyone can write one. The cluster's settings are fixed
// once the archive is open, so they are read here without its lock.
static std::string peerAddress(MHD_Connection *conn)
{
    std::string peer = socketPeer(conn);
    const cluster_config *cluster = archive_clusterConfig(&web_archive);
    if (cluster == nullptr || peer.empty() || !cluster_isProxy(*cluster, peer.c_str()))
        return peer;
    std::vector<std::string> values;
    MHD_get_connection_values(conn, MHD_HEADER_KIND, collectForwardedFor, &values);
    std::string client;
    return frontdoor_forwardedFor(values, &client) ? client : std::string();
}

std::string web_peerAddress(MHD_Connection *conn)
{
    return peerAddress(conn);
}

bool web_permits(const webrequest &rq, unsigned operation)
{
    return !httpd.policy.active ||
           AccessPolicy_Check(&httpd.policy, &httpd.policyMap, rq.user.c_str(),
                              peerAddress(rq.conn).c_str(), operation, web_options.logfp) != 0;
}

// One request in progress (the access handler's per-request pointer).
struct requeststate {
    webrequest rq;
    std::vector<std::string> seg; // path segments below WEB_DICOMWEB_ROOT
    stowstate *stow = nullptr;    // a STOW-RS upload, or null
    std::string body;             // the body of a form request (bounded)
    bool bodyTooLarge = false;    // ... and it went beyond the bound
    bool answered = false;        // a response is queued (e.g. an early refusal)
    bool authorized = false;
    // When its headers came: the request's duration runs to its end.
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// Whether crypt(3) can check passwords against hash: hashing with it as
// the setting gives a hash of the same length, not a failure token ("*0",
// "*1") or nothing. (Any text starting with two salt characters would pass
// as a setting of the old DES method; a DES hash has 13 characters.)
static bool usableHash(const char *hash)
{
    if (hash[0] == '\0')
        return false;
    std::unique_ptr<crypt_data> data(new crypt_data());
    const char *h = crypt_r("", hash, data.get());
    return h != nullptr && h[0] != '*' && strlen(h) == strlen(hash);
}

int httpd_loadUsers(const char *path)
{
    // Opened without waiting for a writer (a FIFO would hang the start)
    // and read only when it is a regular file.
    sitefile_error err;
    FILE *f = sitefile_open(path, nullptr, &err);
    if (f == nullptr) {
        logprintf(LOGLEVEL_FATAL, web_options.logfp, "Cannot read users file %s: %s\n", path,
                  err.reason.c_str());
        return -1;
    }
    char line[1024];
    int n = 0, number = 0, result = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        number++;
        size_t len = strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n') {
            logprintf(LOGLEVEL_FATAL, web_options.logfp, "Users file %s: line %d is too long\n",
                      path, number);
            result = -1;
            break;
        }
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '#' || line[0] == '\0')
            continue;
        char *colon = strchr(line, ':');
        if (colon == nullptr || colon == line || !usableHash(colon + 1)) {
            // The line may hold a password or a hash: only its number is logged.
            logprintf(LOGLEVEL_WARNING, web_options.logfp,
                      "Users file %s: line %d is no name:hash, skipped\n", path, number);
            continue;
        }
        *colon = '\0';
        httpd.users[line] = colon + 1;
        if (httpd.dummyHash.empty())
            httpd.dummyHash = colon + 1;
        n++;
    }
    if (result == 0 && ferror(f)) {
        logprintf(LOGLEVEL_FATAL, web_options.logfp, "Cannot read users file %s: read error\n",
                  path);
        result = -1;
    }
    fclose(f);
    if (result != 0) {
        httpd.users.clear();
        httpd.dummyHash.clear();
        return -1;
    }
    logprintf(LOGLEVEL_NOTICE, web_options.logfp, "%d web users from %s\n", n, path);
    return n;
}

// What a request's credentials are.
enum credentials {
    CREDENTIALS_NONE,  // none given: answered with the challenge
    CREDENTIALS_WRONG, // an unknown user or a wrong password
    CREDENTIALS_OK,    // a known user's name and password
};

// The request's credentials against the users file; a refused login is
// logged with the client's address (credentials-less requests, which every
// browser sends before it asks its user, are not). crypt_r hashes the
// password with the salt and method held in the stored hash; an empty or
// unknown user never matches, but is hashed against the dummy hash all the
// same, so the time of the answer does not tell which user names exist.
static credentials checkUser(MHD_Connection *conn, std::string *name)
{
    char *pass = nullptr;
    char *user = MHD_basic_auth_get_username_password(conn, &pass);
    bool ok = false;
    if (user != nullptr) {
        auto it = httpd.users.find(user);
        bool known = it != httpd.users.end();
        const std::string &hash = known ? it->second : httpd.dummyHash;
        // About 32 KiB: on the heap rather than the connection thread's stack.
        std::unique_ptr<crypt_data> data(new crypt_data());
        const char *h = crypt_r(pass != nullptr ? pass : "", hash.c_str(), data.get());
        ok = known && pass != nullptr && h != nullptr && h[0] != '*' && hash == h;
        if (ok)
            *name = user;
        else
            logprintf(LOGLEVEL_WARNING, web_options.logfp,
                      "Web login refused for user %s from %s\n", web_escapeForLog(user).c_str(),
                      peerAddress(conn).c_str());
        webaudit_login(&httpd.audit, user, peerAddress(conn), ok);
    }
    credentials c = ok ? CREDENTIALS_OK : user != nullptr ? CREDENTIALS_WRONG : CREDENTIALS_NONE;
    free(user);
    free(pass);
    return c;
}

// The connection watch. Every connection is watched from its start:
// - while it waits for a request's headers (at its start, and again after
//   each request, for the next one on a kept-alive connection) the watchdog
//   thread ends it once header_timeout seconds have passed, however slowly
//   bytes trickle in (the library's own timeout starts over with every
//   byte, so one byte every few seconds would hold a connection slot for
//   ever);
// - while it sends a request's body, the body must bring min_body_rate
//   bytes per second over each period of body_window seconds (the first
//   period, from the end of the headers, is the grace to start); the time
//   a handler spends with a piece (storing an image) is not counted, as
//   the client cannot send meanwhile;
// - when few slots are left (WATCH_BUSY_FREE), a wait for headers longer
//   than WATCH_BUSY_SECONDS and a body slower than the rate over that time
//   end the connection at once: slow clients reconnecting from many
//   addresses would otherwise keep every slot taken and the others waiting
//   in the listen queue, while a client that sends whole requests sends
//   its headers within a moment.
enum watchstate {
    WATCH_NONE,    // a handler runs or an answer is sent: not timed
    WATCH_HEADERS, // a request's headers are awaited
    WATCH_BODY,    // a request's body is read
};
struct connwatch {
    int fd; // our own duplicate of the connection's socket, or -1
    // Start of the wait for headers, or of the body's current period.
    std::chrono::steady_clock::time_point since;
    std::chrono::steady_clock::time_point paused; // a handler took a body piece then
    watchstate state;
    unsigned long long bytes; // body bytes in the current period
    bool inPiece;             // the clock stands still while a handler takes a piece
};
#define WATCH_BUSY_SECONDS 1
// "Few slots left": at most this share of threads_max free (and at least one).
#define WATCH_BUSY_FREE(slots) ((slots) / 4 > 1 ? (slots) / 4 : 1)

// httpd.watchLock guards the watch. The watchdog shuts a socket down
// through a duplicate descriptor that it owns until the library reports
// the connection closed: the library's own descriptor may be closed (and
// its number reused by a new connection) before that report, the
// duplicate's number cannot be.

static void notifyConnection(void *, MHD_Connection *conn, void **socketContext,
                             MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const union MHD_ConnectionInfo *ci =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (ci == nullptr)
            return;
        // Without a duplicate (no descriptors left) the connection is
        // only under the library's own timeout.
        int fd = fcntl(ci->connect_fd, F_DUPFD_CLOEXEC, 0);
        auto now = std::chrono::steady_clock::now();
        connwatch *w = new connwatch{fd, now, now, fd != -1 ? WATCH_HEADERS : WATCH_NONE, 0, false};
        std::lock_guard<std::mutex> l(httpd.watchLock);
        httpd.watched.insert(w);
        *socketContext = w;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socketContext != nullptr) {
        connwatch *w = static_cast<connwatch *>(*socketContext);
        {
            std::lock_guard<std::mutex> l(httpd.watchLock);
            httpd.watched.erase(w);
        }
        if (w->fd != -1)
            close(w->fd);
        delete w;
        *socketContext = nullptr;
    }
}

static connwatch *watchOf(MHD_Connection *conn)
{
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (ci == nullptr || ci->socket_context == nullptr)
        return nullptr;
    return static_cast<connwatch *>(ci->socket_context);
}

// Starts the clock of the connection for state (WATCH_NONE: stops it).
static void watchAs(MHD_Connection *conn, watchstate state)
{
    connwatch *w = watchOf(conn);
    if (w == nullptr)
        return;
    std::lock_guard<std::mutex> l(httpd.watchLock);
    w->state = w->fd != -1 ? state : WATCH_NONE;
    w->since = std::chrono::steady_clock::now();
    w->bytes = 0;
    w->inPiece = false;
}

// A handler takes a piece of the body (begin) or is done with its bytes:
// the body's clock stands still in between.
static void watchBodyPiece(MHD_Connection *conn, bool begin, size_t bytes)
{
    connwatch *w = watchOf(conn);
    if (w == nullptr)
        return;
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> l(httpd.watchLock);
    if (begin && w->state == WATCH_BODY) {
        w->state = WATCH_NONE;
        w->inPiece = true;
        w->paused = now;
        w->bytes += bytes;
    } else if (!begin && w->inPiece) {
        w->inPiece = false;
        w->state = WATCH_BODY;
        w->since += now - w->paused;
    }
}

static void watchConnections(weboptions o)
{
    using seconds = std::chrono::duration<double>;
    const seconds deadline(o.header_timeout);
    const seconds busyDeadline(std::min(o.header_timeout, WATCH_BUSY_SECONDS));
    const seconds window(o.body_window);
    std::unique_lock<std::mutex> l(httpd.watchLock);
    while (!httpd.watchStop) {
        auto now = std::chrono::steady_clock::now();
        bool busy = o.threads_max - (int)httpd.watched.size() <= WATCH_BUSY_FREE(o.threads_max);
        for (connwatch *w : httpd.watched) {
            const char *why = nullptr;
            seconds waited = now - w->since;
            if (w->state == WATCH_HEADERS) {
                if (waited >= deadline || (busy && waited >= busyDeadline))
                    why = "no request headers in time";
            } else if (w->state == WATCH_BODY) {
                bool periodOver = waited >= window;
                if ((periodOver || (busy && waited >= busyDeadline)) &&
                    (double)w->bytes < (double)o.min_body_rate * waited.count())
                    why = "request body too slow";
                else if (periodOver) {
                    w->since = now;
                    w->bytes = 0;
                }
            }
            if (why != nullptr) {
                // The connection's thread sees the end of its input and the
                // library closes the connection.
                shutdown(w->fd, SHUT_RDWR);
                w->state = WATCH_NONE;
                logprintf(LOGLEVEL_DEBUG, web_options.logfp, "Connection closed: %s%s\n", why,
                          busy ? " (few connections left)" : "");
            }
        }
        httpd.watchWake.wait_for(l, std::chrono::milliseconds(100));
    }
}

static MHD_Result collectArg(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *args = static_cast<std::vector<std::pair<std::string, std::string>> *>(cls);
    args->emplace_back(key, value ? value : "");
    return MHD_YES;
}

// Whether the request's body is kept for its service: the worklist's, the
// forwarding page's and the study page's delete form.
static bool keepsBody(const std::string &path)
{
    return worklistpage_owns(path) || forwardpage_owns(path) || retrievepage_owns(path) ||
           path == "/delete" || deidpage_owns(path) || studymarks_owns(path) ||
           changespage_owns(path);
}

// Routes a complete request (no body, or STOW's finished body).
static int route(requeststate *s)
{
    const webrequest &rq = s->rq;
    const std::string &p = rq.path;
    const std::string root = WEB_DICOMWEB_ROOT;
    if (worklistpage_owns(p))
        return worklistpage_serve(rq, s->body);
    if (studymarks_owns(p))
        return studymarks_serve(rq, s->body);
    if (forwardpage_owns(p))
        return forwardpage_serve(rq, s->body);
    if (deidpage_owns(p))
        return deidpage_serve(rq, s->body);
    if (webaudit_owns(p))
        return webaudit_serve(rq);
    if (retrievepage_owns(p))
        return retrievepage_serve(rq, s->body);
    if (p.compare(0, root.size(), root) == 0 &&
        (p.size() == root.size() || p[root.size()] == '/')) {
        const std::vector<std::string> &seg = s->seg;
        if (rq.method != "GET" && rq.method != "HEAD")
            return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
        if (seg.empty())
            return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
        const std::string &last = seg.back();
        bool search = last == "studies" || last == "series" || last == "instances";
        if (search)
            return qido_search(rq, seg);
        if (seg[0] == "studies")
            return wado_retrieve(rq, seg);
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    }
    if (changespage_owns(p))
        return changespage_serve(rq, s->body);
    if (p == "/delete") {
        if (rq.method != "POST")
            return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
        if (!csrf_ok(rq, s->body))
            return web_replyError(rq, MHD_HTTP_FORBIDDEN, "Forbidden");
        return studyactions_delete(rq, s->body);
    }
    // A path that names nothing is 404 whatever the method, so a client can
    // tell a service that is not there from one it used wrongly.
    static const char *const pages[] = {"/wado",   "/",        "/index.html", "/series",
                                        "/status", "/metrics", "/download",   LAYOUT_STYLE_PATH};
    bool known = p == "/viewer" || p.compare(0, 8, "/viewer/") == 0;
    for (const char *page : pages)
        known = known || p == page;
    if (!known)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rq.method != "GET" && rq.method != "HEAD")
        return web_replyError(rq, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed");
    if (p == "/wado")
        return wado_uri(rq);
    if (p == "/" || p == "/index.html")
        return pages_studyList(rq);
    if (p == "/series")
        return pages_seriesRows(rq);
    if (p == "/download")
        return studyactions_download(rq);
    if (p == "/status")
        return statuspage_serve(rq);
    if (p == "/metrics")
        return metrics_serve(rq);
    if (p == LAYOUT_STYLE_PATH)
        return layout_serveStyle(rq);
    if (p == "/viewer" || p.compare(0, 8, "/viewer/") == 0)
        return pages_viewer(rq);
    return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
}

static MHD_Result collectFraming(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *f = static_cast<frontdoor_framing *>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0)
        f->hosts.emplace_back(value ? value : "");
    else if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
        f->contentLengths.emplace_back(value ? value : "");
    else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0)
        f->transferEncodings.emplace_back(value ? value : "");
    return MHD_YES;
}

// The canonical text of the local address the connection reached, or "".
static std::string localAddress(MHD_Connection *conn)
{
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    char text[INET6_ADDRSTRLEN] = "";
    if (ci == nullptr || getsockname(ci->connect_fd, (struct sockaddr *)&a, &len) != 0)
        return "";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &((const struct sockaddr_in *)&a)->sin_addr, text, sizeof text);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &((const struct sockaddr_in6 *)&a)->sin6_addr, text, sizeof text);
    std::string canonical;
    return frontdoor_canonicalName(text, &canonical) ? canonical : "";
}

// Answers status and ends the connection after the answer: what follows
// the headers of such a request cannot be told apart from a next request.
static MHD_Result refuseAndClose(requeststate *s, unsigned status, const std::string &text)
{
    s->answered = true;
    MHD_Response *r =
        MHD_create_response_from_buffer(text.size(), (void *)text.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    return (MHD_Result)web_replyResponse(s->rq, status, r);
}

// The checks before anything else of a request: its framing (a proxy in
// front could read another request where this daemon reads one: request
// smuggling) and its Host (a page of another site whose name was made to
// resolve to this machine, DNS rebinding, names its own host). True when
// the request may go on; else its answer is queued.
static bool frontDoor(requeststate *s, const char *version, MHD_Result *result)
{
    MHD_Connection *conn = s->rq.conn;
    frontdoor_framing f;
    f.version = version != nullptr ? version : "";
    MHD_get_connection_values(conn, MHD_HEADER_KIND, collectFraming, &f);
    const char *error = frontdoor_framingError(f);
    std::string host;
    if (error == nullptr && !f.hosts.empty() && !frontdoor_parseHost(f.hosts[0].c_str(), &host))
        error = "a malformed Host";
    if (error != nullptr) {
        logprintf(LOGLEVEL_WARNING, web_options.logfp, "Refused a request from %s: %s\n",
                  peerAddress(conn).c_str(), error);
        *result =
            refuseAndClose(s, MHD_HTTP_BAD_REQUEST, std::string("Bad request: ") + error + "\n");
        return false;
    }
    if (!f.hosts.empty() &&
        !frontdoor_hostServed(host, localAddress(conn), web_options.host_names)) {
        logprintf(LOGLEVEL_WARNING, web_options.logfp,
                  "Refused a request from %s for host %s, which this server does not serve "
                  "(-n names more)\n",
                  peerAddress(conn).c_str(), web_escapeForLog(f.hosts[0]).c_str());
        *result = refuseAndClose(s, MHD_HTTP_MISDIRECTED_REQUEST, "Misdirected request\n");
        return false;
    }
    return true;
}

unsigned httpd_operationsOf(const webrequest &rq)
{
    if (!httpd.policy.active)
        return ACCESS_ALL;
    return AccessPolicy_Operations(&httpd.policy, &httpd.policyMap, rq.user.c_str(),
                                   peerAddress(rq.conn).c_str());
}

// The first call of a request, after its front-door checks: the user, the
// access policy, and for a STOW-RS upload the start of its reading.
static MHD_Result headersIn(requeststate *s)
{
    MHD_Connection *conn = s->rq.conn;
    std::string user;
    credentials given = httpd.users.empty() ? CREDENTIALS_OK : checkUser(conn, &user);
    if (given != CREDENTIALS_OK) {
        MHD_Response *r =
            MHD_create_response_from_buffer(13, (void *)"Unauthorized\n", MHD_RESPMEM_PERSISTENT);
        // Failed logins only: a request without credentials is the first
        // step of every login (and the viewer's manifest comes without).
        if (given == CREDENTIALS_WRONG)
            metrics_add(METRICS_FAIL_AUTH);
        MHD_Result q = MHD_queue_basic_auth_fail_response(conn, WEB_REALM, r);
        MHD_destroy_response(r);
        s->answered = true;
        return q;
    }
    s->authorized = true;
    s->rq.user = user;
    // The policy knows peers by calling AE title: a web user is known
    // by the user name (no users: the empty title, which only "*"
    // rules match).
    unsigned op = operationOf(s->rq.method, s->rq.path, s->seg);
    if (op != 0 && httpd.policy.active &&
        !AccessPolicy_Check(&httpd.policy, &httpd.policyMap, user.c_str(),
                            peerAddress(conn).c_str(), op, web_options.logfp)) {
        s->answered = true;
        metrics_add(METRICS_FAIL_FORBIDDEN);
        return (MHD_Result)web_replyError(s->rq, MHD_HTTP_FORBIDDEN, "Forbidden");
    }
    if (s->rq.method == "POST" && !s->seg.empty() && s->seg[0] == "studies" && s->seg.size() <= 2) {
        // An upload from another site's page is refused. No token is
        // asked: STOW-RS takes only multipart/related, which no form
        // can send (anything else is answered 415 below), see web/csrf.h.
        if (!web_sameOrigin(s->rq)) {
            s->answered = true;
            metrics_add(METRICS_FAIL_CSRF);
            return (MHD_Result)web_replyError(s->rq, MHD_HTTP_FORBIDDEN, "Forbidden");
        }
        int result = MHD_YES;
        s->stow = stow_begin(s->rq, s->seg, &result);
        if (s->stow == nullptr) {
            s->answered = true;
            return (MHD_Result)result;
        }
    }
    return MHD_YES;
}

// A piece of a request's body. Without a STOW reader (or after an answer
// was queued) it is dropped; a page's form or JSON body is kept, up to a
// bound (beyond it the rest is read and dropped, and the answer is 413:
// the client reads no answer before it has sent its body).
static MHD_Result bodyPiece(requeststate *s, const char *upload, size_t *uploadSize)
{
    if (keepsBody(s->rq.path) && !s->answered && !s->bodyTooLarge) {
        s->bodyTooLarge = s->body.size() + *uploadSize > WORKLISTPAGE_MAX_BODY;
        if (s->bodyTooLarge)
            s->body.clear();
        else
            s->body.append(upload, *uploadSize);
    }
    if (s->stow != nullptr && !s->answered && stow_feed(s->stow, upload, *uploadSize) != 0) {
        s->answered = true;
        *uploadSize = 0;
        return (MHD_Result)stow_refuse(s->stow, s->rq);
    }
    *uploadSize = 0;
    return MHD_YES;
}

static MHD_Result accessHandler(void *, MHD_Connection *conn, const char *url, const char *method,
                                const char *version, const char *upload, size_t *uploadSize,
                                void **ptr)
{
    requeststate *s = static_cast<requeststate *>(*ptr);
    if (s == nullptr) {
        // The headers are in: set up the request, check the user, and for a
        // STOW-RS upload start reading its parts as the body arrives.
        s = new requeststate;
        *ptr = s;
        s->rq.conn = conn;
        s->rq.method = method;
        s->rq.path = url;
        MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, collectArg, &s->rq.args);
        const std::string root = WEB_DICOMWEB_ROOT;
        if (s->rq.path.compare(0, root.size(), root) == 0)
            s->seg = web_splitPath(s->rq.path.substr(root.size()));
        // The body, if any, is timed once this call is done.
        watchAs(conn, WATCH_NONE);
        logprintf(LOGLEVEL_DEBUG, web_options.logfp, "%s %s\n", method,
                  web_escapeForLog(url).c_str());
        MHD_Result q = MHD_YES;
        if (!frontDoor(s, version, &q)) {
            watchAs(conn, WATCH_BODY);
            return q;
        }
        MHD_Result r = headersIn(s);
        watchAs(conn, WATCH_BODY);
        return r;
    }
    if (*uploadSize > 0) {
        watchBodyPiece(conn, true, *uploadSize);
        MHD_Result r = bodyPiece(s, upload, uploadSize);
        watchBodyPiece(conn, false, 0);
        return r;
    }
    // The body is in (or there was none): the answer is not timed here.
    watchAs(conn, WATCH_NONE);
    if (s->answered)
        return MHD_YES;
    s->answered = true;
    if (s->stow != nullptr)
        return (MHD_Result)stow_finish(s->stow, s->rq);
    if (s->bodyTooLarge)
        return (MHD_Result)web_replyError(s->rq, MHD_HTTP_CONTENT_TOO_LARGE,
                                          "Request body too large");
    int routed = route(s);
    webaudit_request(&httpd.audit, s->rq, s->seg, s->body);
    return (MHD_Result)routed;
}

static void requestDone(void *, MHD_Connection *conn, void **ptr, MHD_RequestTerminationCode)
{
    // A kept-alive connection now waits for the next request's headers.
    watchAs(conn, WATCH_HEADERS);
    requeststate *s = static_cast<requeststate *>(*ptr);
    if (s == nullptr)
        return;
    if (s->stow != nullptr)
        stow_free(s->stow);
    metrics_observe(
        METRICS_HTTP_DURATION, metrics_routeOf(s->rq.method, s->rq.path),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - s->started).count());
    delete s;
    *ptr = nullptr;
}

MHD_Daemon *httpd_start()
{
    const weboptions &o = web_options;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)o.port);
    if (inet_pton(AF_INET, o.address, &addr.sin_addr) != 1) {
        logprintf(LOGLEVEL_FATAL, o.logfp, "Bad listen address %s\n", o.address);
        return nullptr;
    }
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
    bool tls = o.cert_file != nullptr && o.key_file != nullptr;
    if (tls) {
        if (!web_readFile(o.cert_file, &httpd.certText) ||
            !web_readFile(o.key_file, &httpd.keyText) || httpd.certText.empty() ||
            httpd.keyText.empty()) {
            logprintf(LOGLEVEL_FATAL, o.logfp, "Cannot read certificate %s or key %s\n",
                      o.cert_file, o.key_file);
            return nullptr;
        }
        flags |= MHD_USE_TLS;
    }
    // TLS 1.0 and 1.1 are refused (HTTPD_TLS_PRIORITIES).
    struct MHD_OptionItem tlsOptions[] = {
        {MHD_OPTION_HTTPS_MEM_KEY, 0, (void *)httpd.keyText.c_str()},
        {MHD_OPTION_HTTPS_MEM_CERT, 0, (void *)httpd.certText.c_str()},
        {MHD_OPTION_HTTPS_PRIORITIES, 0, (void *)HTTPD_TLS_PRIORITIES},
        {MHD_OPTION_END, 0, nullptr},
    };
    struct MHD_OptionItem noOptions[] = {{MHD_OPTION_END, 0, nullptr}};
    MHD_Daemon *d = MHD_start_daemon(
        flags, (uint16_t)o.port, nullptr, nullptr, accessHandler, nullptr, MHD_OPTION_SOCK_ADDR,
        (struct sockaddr *)&addr, MHD_OPTION_NOTIFY_COMPLETED, requestDone, nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, notifyConnection, nullptr, MHD_OPTION_CONNECTION_LIMIT,
        (unsigned)o.threads_max, MHD_OPTION_PER_IP_CONNECTION_LIMIT, (unsigned)o.per_address_max,
        MHD_OPTION_CONNECTION_TIMEOUT, 120u, MHD_OPTION_ARRAY, tls ? tlsOptions : noOptions,
        MHD_OPTION_END);
    if (d != nullptr) {
        httpd.watchStop = false;
        httpd.watchThread = std::thread(watchConnections, o);
    }
    if (d == nullptr)
        logprintf(LOGLEVEL_FATAL, o.logfp, "Cannot listen on %s port %d\n", o.address, o.port);
    return d;
}

void httpd_stop(MHD_Daemon *d)
{
    MHD_stop_daemon(d);
    {
        std::lock_guard<std::mutex> l(httpd.watchLock);
        httpd.watchStop = true;
    }
    httpd.watchWake.notify_all();
    if (httpd.watchThread.joinable())
        httpd.watchThread.join();
}
