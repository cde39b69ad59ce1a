// The audit trail (core/audit.h): the site's AuditLog file, the messages'
// XML, the spool every process appends to, and its sender to the collector.
//
// The spool directory holds:
//   spool        records appended under an flock of the file, each
//                "\x1eAUD xxxxxxxx " (the length in hex) + message + "\n",
//                flushed before audit_emit returns;
//   spool.1      the previous generation, all of it sent (kept for the pages);
//   cursor       "INODE OFFSET": how far the spool is sent (durable);
//   sender.lock  held (flock) by the one process that sends;
//   dropped      how many events a full spool refused.
#include "core/audit.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"

#define AUDIT_FILE "AuditLog"
// A record's head: a marker a torn record cannot fake in the middle of a
// message (the XML holds no control characters), then the length.
static const char RECORD_MARK[] = "\x1e"
                                  "AUD ";
enum { RECORD_HEAD = 5 + 8 + 1 };
// A spool all sent and larger than this becomes spool.1.
enum { ROTATE_BYTES = 1 << 20 };

struct audit_sink {
    std::string prog;
    FILE *log = nullptr;
    std::string host; // this host's name
    // The collector.
    std::string proto;                     // "udp", "tcp" or "tls"
    std::string caFile, certFile, keyFile; // tls: the trust anchors, our certificate
    std::string collectorHost;
    std::string collectorPort;
    // The spool.
    std::string dir;
    uint64_t maxBytes = 64ull << 20; // the unsent part's bound
    int retryMs = 10000;             // between two tries of a collector that is down
    int pollMs = 500;                // between two looks at the spool
    std::string sourceId;            // AuditSourceID (default: the host name)
    std::string siteId;              // AuditEnterpriseSiteID ("" none)
    // Wakes this process's sender at once after its own appends.
    std::mutex mu;
    std::condition_variable cv;
    uint64_t appended = 0;
};

static void logLine(const audit_sink *s, unsigned level, const char *fmt, const std::string &a,
                    const std::string &b = std::string())
{
    if (s->log != nullptr)
        logprintf(level, s->log, fmt, a.c_str(), b.c_str());
}

// A file or directory made by a process that runs as root (a tool, a
// server before it drops its privileges) gets the owner of the directory
// above it, so that the servers that run as the store's user can append.
static void ownLikeParent(const std::string &path)
{
    if (geteuid() != 0)
        return;
    struct stat d;
    if (stat(durable_parent(path).c_str(), &d) == 0 && chown(path.c_str(), d.st_uid, d.st_gid) != 0)
        return; // the store's user cannot append then: told at its first append
}

// --- the site file ---

// "10s", "250ms", "2m", or a bare number of seconds: milliseconds, or -1.
static int parseDuration(const std::string &v)
{
    char *end = nullptr;
    errno = 0;
    unsigned long n = strtoul(v.c_str(), &end, 10);
    if (end == v.c_str() || errno != 0 || n > 86400000ul)
        return -1;
    std::string unit(end);
    unsigned long ms = unit == "ms"                ? n
                       : unit == "" || unit == "s" ? n * 1000
                       : unit == "m"               ? n * 60000
                                                   : 0;
    if (ms == 0 || ms > 86400000ul)
        return -1;
    return (int)ms;
}

// "64M", "1G", "100000": bytes, or 0.
static uint64_t parseBytes(const std::string &v)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(v.c_str(), &end, 10);
    if (end == v.c_str() || errno != 0)
        return 0;
    std::string unit(end);
    uint64_t mult = unit == ""    ? 1
                    : unit == "K" ? 1ull << 10
                    : unit == "M" ? 1ull << 20
                    : unit == "G" ? 1ull << 30
                                  : 0;
    if (mult == 0 || n > (1ull << 50) / mult)
        return 0;
    return n * mult;
}

static bool splitHostPort(const std::string &v, std::string *host, std::string *port)
{
    size_t colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == v.size())
        return false;
    *host = v.substr(0, colon);
    if (host->size() > 2 && (*host)[0] == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    *port = v.substr(colon + 1);
    char *end = nullptr;
    unsigned long p = strtoul(port->c_str(), &end, 10);
    return *end == '\0' && p > 0 && p < 65536;
}

int audit_open(const char *path, const char *storeBase, const char *prog, FILE *log,
               audit_sink **out, std::string *why)
{
    *out = nullptr;
    char found[PATH_MAX];
    if (path == nullptr) {
        path = getfilepath(CONFIG_SEARCHPATH, AUDIT_FILE, GETFILEPATH_ENTRY, found, sizeof found);
        if (path == nullptr)
            return 0;
    }
    audit_sink *s = new audit_sink;
    s->prog = prog;
    s->log = log;
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        strcpy(host, "localhost");
    s->host = host;
    s->sourceId = host;
    s->dir = std::string(storeBase) + "/audit";
    std::string problem;
    sitefile_error err;
    sitefile_options options;
    int r = sitefile_read(
        path, options,
        [&](const sitefile_line &l) {
            const std::string &k = l.key, &v = l.value;
            if (k == "udp" || k == "tcp" || k == "tls") {
                if (!splitHostPort(v, &s->collectorHost, &s->collectorPort))
                    problem = "not HOST:PORT";
                s->proto = k;
            } else if (k == "ca" || k == "cert" || k == "key") {
                if (v.empty() || v[0] != '/')
                    problem = "not an absolute file name";
                (k == "ca" ? s->caFile : k == "cert" ? s->certFile : s->keyFile) = v;
            } else if (k == "spool") {
                if (v.empty() || v[0] != '/')
                    problem = "not an absolute directory";
                s->dir = v;
            } else if (k == "spool-max") {
                s->maxBytes = parseBytes(v);
                if (s->maxBytes < 4096)
                    problem = "not a size of at least 4K";
            } else if (k == "retry" || k == "poll") {
                int ms = parseDuration(v);
                if (ms < 0)
                    problem = "not a duration (10s, 200ms)";
                (k == "retry" ? s->retryMs : s->pollMs) = ms;
            } else if (k == "source") {
                if (!sitefile_isOneWord(v))
                    problem = "not one word";
                s->sourceId = v;
            } else if (k == "site") {
                s->siteId = v;
            } else {
                problem = "unknown setting";
            }
            if (!problem.empty())
                problem = "line " + std::to_string(l.number) + ": " + k + ": " + problem;
            return problem.empty();
        },
        &err);
    if (r != 0)
        problem = err.reason;
    else if (problem.empty() && s->proto.empty())
        problem = "no collector (udp, tcp or tls HOST:PORT)";
    else if (problem.empty() && s->proto == "tls" && s->caFile.empty())
        problem = "tls needs ca FILE (the collector's trust anchors)";
    else if (problem.empty() && s->certFile.empty() != s->keyFile.empty())
        problem = "cert and key go together";
    if (!problem.empty()) {
        *why = std::string(path) + ": " + problem;
        delete s;
        return -1;
    }
    *out = s;
    return 0;
}

void audit_close(audit_sink *sink)
{
    delete sink;
}

audit_participant audit_self(const audit_sink *sink, int role)
{
    audit_participant p;
    if (sink == nullptr)
        return p; // auditing off: nothing will be sent
    p.userId = sink->prog;
    p.altUserId = std::to_string((long)getpid());
    p.address = sink->host;
    p.role = role;
    return p;
}

// --- the message ---

// Text made fit for an XML attribute or element: the five markup
// characters as entities, and what is no valid UTF-8 or no XML character
// (control characters: peers send anything) as '?'.
// A value longer than this is cut (a peer's text, a request's field): a
// message stays well within a datagram.
enum { TEXT_MAX = 1024, QUERY_MAX = 32 * 1024 };

static void xmlText(std::string *out, const std::string &in)
{
    const unsigned char *p = (const unsigned char *)in.data();
    const unsigned char *end = p + std::min(in.size(), (size_t)TEXT_MAX);
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            if (c == '&')
                *out += "&amp;";
            else if (c == '<')
                *out += "&lt;";
            else if (c == '>')
                *out += "&gt;";
            else if (c == '"')
                *out += "&quot;";
            else if (c == '\'')
                *out += "&apos;";
            else if (c < 0x20 || c == 0x7f)
                *out += '?';
            else
                *out += (char)c;
            p++;
            continue;
        }
        int n = c >= 0xf0 && c < 0xf5 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
        bool ok = n > 0 && c < 0xf5 && end - p >= n;
        for (int i = 1; ok && i < n; i++)
            ok = (p[i] & 0xc0) == 0x80;
        if (ok && n == 3) {
            unsigned cp = ((c & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f);
            ok = cp >= 0x800 && (cp < 0xd800 || cp > 0xdfff) && cp != 0xfffe && cp != 0xffff;
        } else if (ok && n == 4) {
            unsigned cp = ((c & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6);
            ok = cp >= 0x10000 && cp <= 0x10ffff;
        }
        if (!ok) {
            *out += '?';
            p++;
            continue;
        }
        out->append((const char *)p, n);
        p += n;
    }
}

static void attr(std::string *out, const char *name, const std::string &value)
{
    *out += ' ';
    *out += name;
    *out += "=\"";
    xmlText(out, value);
    *out += '"';
}

static void coded(std::string *out, const char *element, const char *code, const char *system,
                  const char *text)
{
    *out += '<';
    *out += element;
    attr(out, "csd-code", code);
    attr(out, "codeSystemName", system);
    attr(out, "originalText", text);
    *out += "/>";
}

static std::string base64(const std::string &in)
{
    static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v =
            (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += tab[(v >> 6) & 63];
        out += tab[v & 63];
    }
    if (i < in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        if (i + 1 < in.size())
            v |= (unsigned char)in[i + 1] << 8;
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += i + 1 < in.size() ? tab[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The current time as an XML date-time in UTC with milliseconds.
static std::string nowUtc()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    gmtime_r(&tv.tv_sec, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (int)(tv.tv_usec / 1000));
    return buf;
}

struct eventCodes {
    const char *id, *text, *type, *typeText;
};

static eventCodes codesOf(audit_kind k)
{
    switch (k) {
    case AUDIT_APP_START:
        return {"110100", "Application Activity", "110120", "Application Start"};
    case AUDIT_APP_STOP:
        return {"110100", "Application Activity", "110121", "Application Stop"};
    case AUDIT_LOGIN:
        return {"110114", "User Authentication", "110122", "Login"};
    case AUDIT_QUERY:
        return {"110112", "Query", nullptr, nullptr};
    case AUDIT_BEGIN_TRANSFER:
        return {"110102", "Begin Transferring DICOM Instances", nullptr, nullptr};
    case AUDIT_TRANSFERRED:
        return {"110104", "DICOM Instances Transferred", nullptr, nullptr};
    case AUDIT_ACCESSED:
        return {"110103", "DICOM Instances Accessed", nullptr, nullptr};
    case AUDIT_DELETED:
        return {"110105", "DICOM Study Deleted", nullptr, nullptr};
    case AUDIT_PATIENT_RECORD:
        return {"110110", "Patient Record", nullptr, nullptr};
    case AUDIT_PROCEDURE_RECORD:
        return {"110111", "Procedure Record", nullptr, nullptr};
    case AUDIT_LOG_USED:
        return {"110101", "Audit Log Used", nullptr, nullptr};
    }
    abort();
}

static const char *roleText(int role)
{
    switch (role) {
    case AUDIT_ROLE_APPLICATION:
        return "Application";
    case AUDIT_ROLE_LAUNCHER:
        return "Application Launcher";
    case AUDIT_ROLE_DESTINATION:
        return "Destination Role ID";
    case AUDIT_ROLE_SOURCE:
        return "Source Role ID";
    }
    return nullptr;
}

// Whether text is a dotted IPv4 or an IPv6 address (else a host name).
static bool isAddress(const std::string &text)
{
    unsigned char buf[16];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

std::string audit_xml(const audit_sink *sink, const audit_event &ev)
{
    eventCodes c = codesOf(ev.kind);
    std::string x = "<AuditMessage><EventIdentification";
    attr(&x, "EventActionCode", std::string(1, ev.action));
    attr(&x, "EventDateTime", nowUtc());
    attr(&x, "EventOutcomeIndicator", std::to_string(ev.outcome));
    x += '>';
    coded(&x, "EventID", c.id, "DCM", c.text);
    if (c.type != nullptr)
        coded(&x, "EventTypeCode", c.type, "DCM", c.typeText);
    if (!ev.outcomeText.empty()) {
        x += "<EventOutcomeDescription>";
        xmlText(&x, ev.outcomeText);
        x += "</EventOutcomeDescription>";
    }
    x += "</EventIdentification>";
    for (const audit_participant &p : ev.participants) {
        x += "<ActiveParticipant";
        // An empty user ID is no valid one: a peer without a title.
        attr(&x, "UserID", p.userId.empty() ? std::string("unknown") : p.userId);
        if (!p.altUserId.empty())
            attr(&x, "AlternativeUserID", p.altUserId);
        if (!p.userName.empty())
            attr(&x, "UserName", p.userName);
        attr(&x, "UserIsRequestor", p.requestor ? "true" : "false");
        if (!p.address.empty()) {
            attr(&x, "NetworkAccessPointID", p.address);
            attr(&x, "NetworkAccessPointTypeCode", isAddress(p.address) ? "2" : "1");
        }
        const char *role = roleText(p.role);
        if (role != nullptr) {
            x += '>';
            coded(&x, "RoleIDCode", std::to_string(p.role).c_str(), "DCM", role);
            x += "</ActiveParticipant>";
        } else {
            x += "/>";
        }
    }
    x += "<AuditSourceIdentification";
    if (!sink->siteId.empty())
        attr(&x, "AuditEnterpriseSiteID", sink->siteId);
    attr(&x, "AuditSourceID", sink->sourceId);
    x += '>';
    coded(&x, "AuditSourceTypeCode", "4", "DCM", "Application Server Process");
    x += "</AuditSourceIdentification>";
    for (const audit_object &o : ev.objects) {
        x += "<ParticipantObjectIdentification";
        attr(&x, "ParticipantObjectID", o.id.empty() ? std::string("unknown") : o.id);
        switch (o.kind) {
        case audit_object::STUDY:
            attr(&x, "ParticipantObjectTypeCode", "2");
            attr(&x, "ParticipantObjectTypeCodeRole", "3");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "110180", "DCM", "Study Instance UID");
            for (const auto &cl : o.classes) {
                x += "<SOPClass";
                attr(&x, "UID", cl.first);
                attr(&x, "NumberOfInstances", std::to_string(cl.second));
                x += "/>";
            }
            break;
        case audit_object::PATIENT:
            attr(&x, "ParticipantObjectTypeCode", "1");
            attr(&x, "ParticipantObjectTypeCodeRole", "1");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "2", "RFC-3881", "Patient Number");
            if (!o.name.empty()) {
                x += "<ParticipantObjectName>";
                xmlText(&x, o.name);
                x += "</ParticipantObjectName>";
            }
            break;
        case audit_object::QUERY:
            attr(&x, "ParticipantObjectTypeCode", "2");
            attr(&x, "ParticipantObjectTypeCodeRole", "3");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "110181", "DCM", "SOP Class UID");
            // A query of a hostile size is cut: the standard's identifier
            // limits allow a megabyte.
            x += "<ParticipantObjectQuery>" + base64(o.query.substr(0, QUERY_MAX)) +
                 "</ParticipantObjectQuery>";
            if (!o.querySyntax.empty()) {
                x += "<ParticipantObjectDetail";
                attr(&x, "type", "TransferSyntax");
                attr(&x, "value", base64(o.querySyntax));
                x += "/>";
            }
            break;
        case audit_object::ENTRY:
            attr(&x, "ParticipantObjectTypeCode", "2");
            attr(&x, "ParticipantObjectTypeCodeRole", "18");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "12", "RFC-3881", "URI");
            if (!o.name.empty()) {
                x += "<ParticipantObjectName>";
                xmlText(&x, o.name);
                x += "</ParticipantObjectName>";
            }
            break;
        case audit_object::LOG:
            attr(&x, "ParticipantObjectTypeCode", "2");
            attr(&x, "ParticipantObjectTypeCodeRole", "13");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "12", "RFC-3881", "URI");
            break;
        case audit_object::USER:
            attr(&x, "ParticipantObjectTypeCode", "1");
            attr(&x, "ParticipantObjectTypeCodeRole", "11");
            x += '>';
            coded(&x, "ParticipantObjectIDTypeCode", "11", "RFC-3881", "User Identifier");
            break;
        }
        x += "</ParticipantObjectIdentification>";
    }
    x += "</AuditMessage>";
    return x;
}

// The RFC 5424 message: facility authpriv (10), severity notice (5), the
// XML as UTF-8 after its byte order mark.
static std::string syslogMessage(const audit_sink *s, const std::string &xml)
{
    std::string app = s->prog.substr(0, 48), host = s->host.substr(0, 255);
    for (char &ch : app)
        if (ch <= ' ' || ch > '~')
            ch = '_';
    for (char &ch : host)
        if (ch <= ' ' || ch > '~')
            ch = '_';
    return "<85>1 " + nowUtc() + " " + host + " " + app + " " + std::to_string((long)getpid()) +
           " DICOM+RFC3881 - \xEF\xBB\xBF" + xml;
}

// --- the spool ---

static std::string spoolPath(const audit_sink *s)
{
    return s->dir + "/spool";
}

// The sent offset of the spool whose inode is ino (0: another spool).
static uint64_t readCursor(const audit_sink *s, ino_t ino)
{
    FILE *f = fopen((s->dir + "/cursor").c_str(), "re");
    if (f == nullptr)
        return 0;
    unsigned long long i = 0, off = 0;
    int n = fscanf(f, "%llu %llu", &i, &off);
    fclose(f);
    return n == 2 && (ino_t)i == ino ? off : 0;
}

static int writeCursor(const audit_sink *s, ino_t ino, uint64_t off)
{
    durable_file f;
    std::string text = std::to_string((unsigned long long)ino) + " " + std::to_string(off) + "\n";
    if (f.create(s->dir + "/cursor", 0640) != 0 || f.write(text.data(), text.size()) != 0)
        return -1;
    ownLikeParent(f.tempPath());
    return f.commit();
}

// Opens the spool and takes its lock, the file at its name (a rotation
// between the open and the lock renamed the one opened). -1: failed.
static int openLocked(const audit_sink *s, int lockOp)
{
    for (int tries = 0; tries < 8; tries++) {
        int fd = open(spoolPath(s).c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        // The spool directory is made at the first event (a fresh store's
        // base directory comes with the server's start).
        if (fd < 0 && errno == ENOENT && mkdir(s->dir.c_str(), 0750) == 0) {
            ownLikeParent(s->dir);
            fd = open(spoolPath(s).c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        }
        if (fd < 0)
            return -1;
        ownLikeParent(spoolPath(s));
        struct stat a, b;
        if (flock(fd, lockOp) == 0 && fstat(fd, &a) == 0 && stat(spoolPath(s).c_str(), &b) == 0 &&
            a.st_ino == b.st_ino)
            return fd;
        close(fd);
    }
    return -1;
}

static void countDropped(audit_sink *s)
{
    uint64_t n = audit_dropped(s) + 1;
    durable_file f;
    std::string text = std::to_string(n) + "\n";
    if (f.create(s->dir + "/dropped", 0640) == 0 && f.write(text.data(), text.size()) == 0) {
        ownLikeParent(f.tempPath());
        f.commit();
    }
    if (s->log != nullptr)
        logprintf(LOGLEVEL_ERROR, s->log, "Audit spool %s full: an event dropped (%llu so far).\n",
                  s->dir.c_str(), (unsigned long long)n);
}

uint64_t audit_dropped(const audit_sink *s)
{
    FILE *f = fopen((s->dir + "/dropped").c_str(), "re");
    if (f == nullptr)
        return 0;
    unsigned long long n = 0;
    if (fscanf(f, "%llu", &n) != 1)
        n = 0;
    fclose(f);
    return n;
}

void audit_emit(audit_sink *sink, const audit_event &ev)
{
    if (sink == nullptr)
        return;
    std::string msg = syslogMessage(sink, audit_xml(sink, ev));
    // A message has some kilobytes: its length always fits 8 hex digits.
    char head[32];
    snprintf(head, sizeof head, "%s%08zx ", RECORD_MARK, msg.size() & 0xffffffffu);
    std::string rec = std::string(head) + msg + "\n";
    int fd = openLocked(sink, LOCK_EX);
    if (fd < 0) {
        logLine(sink, LOGLEVEL_ERROR, "Audit spool %s: %s: the event is lost.\n", sink->dir,
                strerror(errno));
        return;
    }
    struct stat st;
    // The bound is on what is not sent yet: the cursor is read only when
    // the file is large enough to matter.
    if (fstat(fd, &st) == 0 && (uint64_t)st.st_size + rec.size() > sink->maxBytes &&
        (uint64_t)st.st_size + rec.size() - readCursor(sink, st.st_ino) > sink->maxBytes) {
        close(fd);
        countDropped(sink);
        return;
    }
    // One write with O_APPEND under the lock: records never interleave. A
    // crash in it leaves a torn record, which the reader passes over.
    if (fullio_write(fd, rec.data(), rec.size()) != (ssize_t)rec.size() || fdatasync(fd) != 0)
        logLine(sink, LOGLEVEL_ERROR, "Audit spool %s: %s: an event may be lost.\n", sink->dir,
                strerror(errno));
    close(fd);
    std::lock_guard<std::mutex> g(sink->mu);
    sink->appended++;
    sink->cv.notify_all();
}

void audit_studies::add(const std::string &studyUid, const std::string &sopClass,
                        const std::string &patientId, const std::string &patientName)
{
    study &st = studies[studyUid];
    st.classes[sopClass]++;
    if (st.patientId.empty())
        st.patientId = patientId;
    if (st.patientName.empty())
        st.patientName = patientName;
}

void audit_emitStudies(audit_sink *sink, audit_kind kind, char action, int outcome,
                       const std::vector<audit_participant> &participants, audit_studies *set)
{
    for (const auto &st : set->studies) {
        if (sink == nullptr)
            break;
        audit_event ev;
        ev.kind = kind;
        ev.action = action;
        ev.outcome = outcome;
        ev.participants = participants;
        audit_object o;
        o.kind = audit_object::STUDY;
        o.id = st.first;
        for (const auto &cl : st.second.classes)
            if (!cl.first.empty())
                o.classes[cl.first] = cl.second;
        ev.objects.push_back(o);
        if (!st.second.patientId.empty() || !st.second.patientName.empty()) {
            audit_object p;
            p.kind = audit_object::PATIENT;
            p.id = st.second.patientId;
            p.name = st.second.patientName;
            ev.objects.push_back(p);
        }
        audit_emit(sink, ev);
    }
    set->studies.clear();
}

void audit_change(audit_sink *sink, bool patient, char action, const audit_participant &by,
                  const std::string &study, const std::string &patientId,
                  const std::string &patientName, int outcome, const std::string &text)
{
    if (sink == nullptr)
        return;
    audit_event ev;
    ev.kind = patient ? AUDIT_PATIENT_RECORD : AUDIT_ACCESSED;
    ev.action = action;
    ev.outcome = outcome;
    ev.outcomeText = text;
    ev.participants = {by, audit_self(sink)};
    ev.participants[0].requestor = true;
    if (!study.empty()) {
        audit_object o;
        o.kind = audit_object::STUDY;
        o.id = study;
        ev.objects.push_back(o);
    }
    audit_object p;
    p.kind = audit_object::PATIENT;
    p.id = patientId;
    p.name = patientName;
    ev.objects.push_back(p);
    audit_emit(sink, ev);
}

void audit_application(audit_sink *sink, bool start)
{
    if (sink == nullptr)
        return;
    audit_event ev;
    ev.kind = start ? AUDIT_APP_START : AUDIT_APP_STOP;
    ev.participants.push_back(audit_self(sink));
    // Who started it: the user the process runs as for.
    audit_participant launcher;
    struct passwd pw, *found = nullptr;
    char buf[1024];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        launcher.userId = found->pw_name;
    else
        launcher.userId = std::to_string((long)getuid());
    launcher.requestor = true;
    launcher.role = AUDIT_ROLE_LAUNCHER;
    ev.participants.push_back(launcher);
    audit_emit(sink, ev);
}

// Reads the whole records of fd from off up to size: each message with
// its end offset. A damaged head skips to the next mark. atEnd: size is
// the file's end, read under its lock (appends are whole records), so a
// record cut short there is one a crash tore, passed over like a damaged
// one; else it is one that goes on beyond size.
static void readRecords(int fd, uint64_t off, uint64_t size,
                        std::vector<std::pair<std::string, uint64_t>> *out, size_t maxCount,
                        bool atEnd)
{
    if (size <= off)
        return;
    std::string buf;
    buf.resize(size - off);
    if (fullio_pread(fd, &buf[0], buf.size(), off) != (ssize_t)buf.size())
        return;
    size_t p = 0;
    while (p + RECORD_HEAD <= buf.size() && out->size() < maxCount) {
        if (buf.compare(p, 5, RECORD_MARK) != 0) {
            size_t next = buf.find(RECORD_MARK, p + 1);
            if (next == std::string::npos)
                return;
            p = next;
            continue;
        }
        char *end = nullptr;
        std::string hex = buf.substr(p + 5, 8);
        unsigned long len = strtoul(hex.c_str(), &end, 16);
        bool good = end == hex.c_str() + 8 && buf[p + 13] == ' ';
        bool cut = good && p + RECORD_HEAD + len + 1 > buf.size();
        if (cut && !atEnd)
            return; // the rest is read with the next piece
        if (!good || cut || buf[p + RECORD_HEAD + len] != '\n') {
            size_t next = buf.find(RECORD_MARK, p + 1);
            if (next == std::string::npos)
                return;
            p = next;
            continue;
        }
        out->emplace_back(buf.substr(p + RECORD_HEAD, len), off + p + RECORD_HEAD + len + 1);
        p += RECORD_HEAD + len + 1;
    }
}

// --- the sender ---

struct connection {
    int fd = -1;
    SSL_CTX *tlsCtx = nullptr; // tls: the context and the session on fd
    SSL *tls = nullptr;
    bool down = false; // the collector was found down (logged once)
    std::string why;   // why the last try failed
};

static void hangUp(connection *c)
{
    if (c->tls != nullptr)
        SSL_free(c->tls);
    if (c->tlsCtx != nullptr)
        SSL_CTX_free(c->tlsCtx);
    c->tls = nullptr;
    c->tlsCtx = nullptr;
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
}

// The TLS session over the connected c->fd (RFC 5425): the collector's
// certificate verified against the site's trust anchors and its name (or
// address), ours given when the site names one. False: hung up, c->why set.
static bool startTls(audit_sink *s, connection *c)
{
    c->tlsCtx = SSL_CTX_new(TLS_client_method());
    bool ok = c->tlsCtx != nullptr &&
              SSL_CTX_set_min_proto_version(c->tlsCtx, TLS1_2_VERSION) == 1 &&
              SSL_CTX_load_verify_locations(c->tlsCtx, s->caFile.c_str(), nullptr) == 1;
    if (ok && !s->certFile.empty())
        ok = SSL_CTX_use_certificate_chain_file(c->tlsCtx, s->certFile.c_str()) == 1 &&
             SSL_CTX_use_PrivateKey_file(c->tlsCtx, s->keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
    if (!ok) {
        c->why = "the tls files cannot be used";
        ERR_clear_error();
        hangUp(c);
        return false;
    }
    SSL_CTX_set_verify(c->tlsCtx, SSL_VERIFY_PEER, nullptr);
    c->tls = SSL_new(c->tlsCtx);
    X509_VERIFY_PARAM *param = c->tls != nullptr ? SSL_get0_param(c->tls) : nullptr;
    ok = param != nullptr && SSL_set_fd(c->tls, c->fd) == 1;
    if (ok && isAddress(s->collectorHost))
        ok = X509_VERIFY_PARAM_set1_ip_asc(param, s->collectorHost.c_str()) == 1;
    else if (ok)
        ok = SSL_set_tlsext_host_name(c->tls, s->collectorHost.c_str()) == 1 &&
             X509_VERIFY_PARAM_set1_host(param, s->collectorHost.c_str(), 0) == 1;
    // The socket's timeouts bound the handshake.
    if (ok && SSL_connect(c->tls) != 1) {
        long v = SSL_get_verify_result(c->tls);
        c->why = v != X509_V_OK ? std::string("certificate: ") + X509_verify_cert_error_string(v)
                                : "tls handshake failed";
        ok = false;
    }
    ERR_clear_error();
    if (!ok)
        hangUp(c);
    return ok;
}

static bool connectCollector(audit_sink *s, connection *c)
{
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = s->proto == "udp" ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (getaddrinfo(s->collectorHost.c_str(), s->collectorPort.c_str(), &hints, &res) != 0)
        return false;
    int fd = -1;
    for (struct addrinfo *a = res; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        // A connect (or a handshake) that hangs holds up only the sender:
        // bounded by the socket's timeouts.
        struct timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    c->fd = fd;
    if (fd < 0) {
        c->why = "cannot connect";
        return false;
    }
    c->why.clear();
    return s->proto != "tls" || startTls(s, c);
}

// Whether the stream's peer has closed it (rsyslog stopped): its end read.
// Over TLS only the socket's state is looked at: what the collector sends
// (a session ticket) belongs to the session and is not read here.
static bool peerClosed(int fd, bool tls = false)
{
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR))
        return true;
    if (tls)
        return false;
    char b[256];
    ssize_t n = recv(fd, b, sizeof b, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

static bool sendOne(audit_sink *s, connection *c, const std::string &msg)
{
    if (c->fd >= 0 && s->proto != "udp" && peerClosed(c->fd, c->tls != nullptr))
        hangUp(c);
    if (c->fd < 0 && !connectCollector(s, c))
        return false;
    if (s->proto == "udp") {
        if (send(c->fd, msg.data(), msg.size(), MSG_NOSIGNAL) != (ssize_t)msg.size()) {
            // A message no datagram can hold would hold up the rest for
            // good: it is passed over, and said so.
            if (errno == EMSGSIZE) {
                logLine(s, LOGLEVEL_ERROR,
                        "Audit message of %s bytes too large for UDP: not sent.\n",
                        std::to_string(msg.size()));
                return true;
            }
            hangUp(c);
            return false;
        }
        return true;
    }
    // Octet counting: the message may hold newlines of its own.
    std::string framed = std::to_string(msg.size()) + " " + msg;
    size_t done = 0;
    while (done < framed.size()) {
        ssize_t n = c->tls != nullptr
                        ? SSL_write(c->tls, framed.data() + done, (int)(framed.size() - done))
                        : send(c->fd, framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            ERR_clear_error();
            hangUp(c);
            return false;
        }
        done += n;
    }
    return true;
}

// For TCP: waits (at most ms) until the collector's host has acknowledged
// every byte sent, so that a cursor advanced after it does not count
// bytes a dying connection lost. False: not acknowledged (resend).
static bool acknowledged(audit_sink *s, connection *c, int ms)
{
    if (s->proto == "udp" || c->fd < 0)
        return c->fd >= 0 || s->proto == "udp";
    for (int waited = 0;; waited += 2) {
        int pending = 0;
        if (ioctl(c->fd, SIOCOUTQ, &pending) != 0)
            return false;
        if (pending == 0)
            return true;
        if (waited >= ms || peerClosed(c->fd, c->tls != nullptr))
            return false;
        usleep(2000);
    }
}

// One pass: sends from the cursor to the spool's end. 1 all sent, 0 the
// collector failed (what was sent before stays sent), -1 the spool failed.
static int sendPass(audit_sink *s, connection *c,
                    const std::chrono::steady_clock::time_point *deadline)
{
    int fd = openLocked(s, LOCK_SH);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    flock(fd, LOCK_UN); // appends go on while this pass sends what is there
    uint64_t cursor = readCursor(s, st.st_ino);
    int result = 1;
    while (cursor < (uint64_t)st.st_size) {
        std::vector<std::pair<std::string, uint64_t>> recs;
        // At most a few megabytes at a time: a long outage's backlog is
        // never read whole.
        uint64_t upTo = std::min((uint64_t)st.st_size, cursor + (4u << 20));
        readRecords(fd, cursor, upTo, &recs, 256, upTo == (uint64_t)st.st_size);
        if (recs.empty())
            break; // a record not whole yet
        uint64_t sent = cursor;
        for (const auto &r : recs) {
            if (!sendOne(s, c, r.first)) {
                result = 0;
                break;
            }
            sent = r.second;
        }
        if (sent != cursor && !acknowledged(s, c, 5000)) {
            hangUp(c);
            result = 0;
            sent = cursor; // resent at the next pass: twice rather than never
        }
        if (sent != cursor) {
            if (writeCursor(s, st.st_ino, sent) != 0) {
                logLine(s, LOGLEVEL_ERROR, "Audit spool %s: cannot write its cursor: %s\n", s->dir,
                        strerror(errno));
                result = -1;
                break;
            }
            cursor = sent;
            if (c->down) {
                c->down = false;
                logLine(s, LOGLEVEL_NOTICE, "Audit collector %s reached again.\n",
                        s->collectorHost + ":" + s->collectorPort);
            }
        }
        if (result != 1)
            break;
        if (deadline != nullptr && std::chrono::steady_clock::now() > *deadline) {
            result = 0;
            break;
        }
    }
    if (result == 0 && !c->down) {
        c->down = true;
        logLine(s, LOGLEVEL_WARNING,
                "Audit collector %s unreachable (%s): the spool keeps the events.\n",
                s->collectorHost + ":" + s->collectorPort,
                c->why.empty() ? std::string("sending failed") : c->why);
    }
    // All sent and large: the next generation starts, this one kept for the
    // pages as spool.1. Under the spool's lock, so that no append falls
    // between the test and the rename.
    if (result == 1 && cursor == (uint64_t)st.st_size && st.st_size > ROTATE_BYTES &&
        flock(fd, LOCK_EX) == 0) {
        struct stat now;
        if (fstat(fd, &now) == 0 && now.st_size == st.st_size &&
            durable_rename(spoolPath(s).c_str(), (spoolPath(s) + ".1").c_str()) == 0)
            writeCursor(s, 0, 0);
    }
    close(fd);
    return result;
}

// Holds the sender lock (non-blocking): false when another process sends.
static bool takeSenderLock(audit_sink *s, int *lockFd)
{
    if (*lockFd >= 0)
        return true;
    int fd = open((s->dir + "/sender.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    ownLikeParent(s->dir + "/sender.lock");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    *lockFd = fd;
    return true;
}

void audit_runSender(audit_sink *s, const std::atomic<bool> *stop, int lastPassMs)
{
    connection c;
    int lockFd = -1;
    while (!stop->load()) {
        int wait = s->pollMs;
        if (takeSenderLock(s, &lockFd) && sendPass(s, &c, nullptr) != 1)
            wait = s->retryMs;
        // In slices: a forked sender's stop comes from a signal handler,
        // which cannot wake the condition variable.
        std::unique_lock<std::mutex> g(s->mu);
        uint64_t seen = s->appended;
        for (int waited = 0; waited < wait && !stop->load(); waited += 100)
            if (s->cv.wait_for(g, std::chrono::milliseconds(std::min(100, wait - waited)),
                               [&] { return stop->load() || (s->appended != seen && !c.down); }))
                break;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lastPassMs);
    if (takeSenderLock(s, &lockFd)) {
        while (sendPass(s, &c, &deadline) == 0 && std::chrono::steady_clock::now() < deadline)
            usleep(50000);
    }
    hangUp(&c);
    if (lockFd >= 0)
        close(lockFd);
}

int audit_sendPending(audit_sink *s, int ms)
{
    if (s == nullptr)
        return 0;
    connection c;
    int lockFd = -1;
    int r = 1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // Another process that sends takes these too.
    if (takeSenderLock(s, &lockFd))
        r = sendPass(s, &c, &deadline) == 1 ? 0 : 1;
    hangUp(&c);
    if (lockFd >= 0)
        close(lockFd);
    return r;
}

static std::atomic<bool> *forkedStop()
{
    // The stop flag of a forked sender: a child's own, set by its handler.
    static std::atomic<bool> flag(false);
    return &flag;
}

static void onTerm(int)
{
    forkedStop()->store(true);
}

pid_t audit_forkSender(audit_sink *sink, int closeFd)
{
    if (sink == nullptr)
        return -1;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        logLine(sink, LOGLEVEL_ERROR, "Cannot fork the audit sender: %s%s\n", strerror(errno));
        return -1;
    }
    if (pid > 0)
        return pid;
    // The sender dies with its parent; what it had not sent stays spooled.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    if (closeFd >= 0)
        close(closeFd);
    signal(SIGALRM, SIG_DFL);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    audit_runSender(sink, forkedStop());
    _exit(0);
}

// --- the pages ---

static std::string attrOf(const std::string &xml, const char *name, size_t from = 0)
{
    std::string key = std::string(" ") + name + "=\"";
    size_t p = xml.find(key, from);
    if (p == std::string::npos)
        return "";
    p += key.size();
    size_t e = xml.find('"', p);
    return e == std::string::npos ? "" : xml.substr(p, e - p);
}

std::vector<audit_record> audit_read(const audit_sink *s, const std::string &study,
                                     const std::string &user, size_t max)
{
    std::vector<audit_record> out;
    for (const char *suffix : {"", ".1"}) {
        int fd = open((spoolPath(s) + suffix).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        std::vector<std::pair<std::string, uint64_t>> recs;
        if (fstat(fd, &st) == 0)
            // The newest few megabytes: a page never reads a long
            // outage's backlog whole (a head cut in the middle of a record
            // is passed over to the next mark).
            readRecords(fd, st.st_size > (8 << 20) ? st.st_size - (8 << 20) : 0, st.st_size, &recs,
                        (size_t)-1, true);
        close(fd);
        for (auto it = recs.rbegin(); it != recs.rend() && out.size() < max; ++it) {
            size_t bom = it->first.find("\xEF\xBB\xBF");
            if (bom == std::string::npos)
                continue;
            audit_record r;
            r.xml = it->first.substr(bom + 3);
            size_t req = r.xml.find("UserIsRequestor=\"true\"");
            size_t apStart = req == std::string::npos ? std::string::npos
                                                      : r.xml.rfind("<ActiveParticipant", req);
            if (apStart != std::string::npos) {
                r.who = attrOf(r.xml, "UserID", apStart);
                size_t apEnd = r.xml.find('>', apStart);
                std::string where = attrOf(r.xml, "NetworkAccessPointID", apStart);
                if (r.xml.find(" NetworkAccessPointID=\"", apStart) < apEnd)
                    r.where = where;
            }
            if (!user.empty() && r.who != user)
                continue;
            size_t p = 0;
            bool named = study.empty();
            while ((p = r.xml.find("<ParticipantObjectIdentification ", p)) != std::string::npos) {
                std::string id = attrOf(r.xml, "ParticipantObjectID", p);
                if (id == study)
                    named = true;
                r.objects += (r.objects.empty() ? "" : "; ") + id;
                p++;
            }
            if (!named)
                continue;
            r.time = attrOf(r.xml, "EventDateTime");
            r.action = attrOf(r.xml, "EventActionCode");
            r.outcome = attrOf(r.xml, "EventOutcomeIndicator");
            size_t ev = r.xml.find("<EventID ");
            r.event = ev == std::string::npos ? "" : attrOf(r.xml, "originalText", ev);
            out.push_back(r);
        }
    }
    return out;
}
