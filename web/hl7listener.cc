// storeweb's HL7 listener (web/hl7listener.h): one thread polls the
// listening socket and every connection; each whole MLLP frame is parsed,
// its ADT event read, acted on by the caller's function and acknowledged,
// one message at a time, in the order they come.
#include "web/hl7listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "hl7/mllp.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "runtime/textfield.h"

enum {
    READ_PIECE = 65536,     // bytes read from a connection at once
    POLL_MS = 1000,         // the thread looks at idle connections this often
    OUTPUT_LIMIT = 1 << 16, // ACK bytes a connection may owe before its reads stop
};

struct connection {
    int fd = -1;
    std::string peer; // its address, for logs
    std::string in;   // bytes read, not yet a whole frame
    std::string out;  // ACK bytes not yet sent
    time_t last = 0;  // when it last sent or took bytes
};

struct hl7listener {
    hl7listener_settings settings;
    hl7listener_apply apply;
    FILE *log = nullptr;
    int listenFd = -1;
    int stopFd = -1; // an eventfd written by stop
    std::thread thread;
    std::vector<connection> connections;
    unsigned long sent = 0; // ACKs made, for their control IDs
};

// An address or network: "10.0.0.7", "10.0.0.0/24", "::1", "fd00::/8".
static bool parseNetwork(const std::string &text, hl7listener_settings::network *n)
{
    std::string addr = text;
    int prefix = -1;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        addr = text.substr(0, slash);
        char *end = nullptr;
        long p = strtol(text.c_str() + slash + 1, &end, 10);
        if (end == text.c_str() + slash + 1 || *end != '\0' || p < 0 || p > 128)
            return false;
        prefix = (int)p;
    }
    memset(n->addr, 0, sizeof n->addr);
    if (inet_pton(AF_INET, addr.c_str(), n->addr) == 1)
        n->family = AF_INET;
    else if (inet_pton(AF_INET6, addr.c_str(), n->addr) == 1)
        n->family = AF_INET6;
    else
        return false;
    int bits = n->family == AF_INET ? 32 : 128;
    if (prefix > bits)
        return false;
    n->prefix = prefix < 0 ? bits : prefix;
    return true;
}

int hl7listener_load(const char *path, hl7listener_settings *settings, std::string *error)
{
    *settings = hl7listener_settings();
    char found[INSTALLPATH_SIZE];
    if (path == nullptr) {
        path = getfilepath(CONFIG_SEARCHPATH, HL7LISTENER_FILENAME, R_OK, found, sizeof found);
        if (path == nullptr)
            return 0;
    }
    sitefile_error err;
    FILE *f = sitefile_open(path, nullptr, &err);
    if (f == nullptr) {
        *error = std::string(path) + ": " + err.reason;
        return -1;
    }
    std::string why;
    int badLine = 0;
    int r = sitefile_readStream(
        f, sitefile_options(),
        [&](const sitefile_line &line) {
            char *end = nullptr;
            if (line.key == "port") {
                long p = strtol(line.value.c_str(), &end, 10);
                if (end == line.value.c_str() || *end != '\0' || p <= 0 || p > 65535)
                    why = "not a port";
                else
                    settings->port = (int)p;
            } else if (line.key == "bind") {
                hl7listener_settings::network n;
                if (!parseNetwork(line.value, &n) || line.value.find('/') != std::string::npos)
                    why = "not an address";
                else
                    settings->bind = line.value;
            } else if (line.key == "allow") {
                hl7listener_settings::network n;
                if (!parseNetwork(line.value, &n))
                    why = "not an address or network";
                else
                    settings->allow.push_back(n);
            } else if (line.key == "max-message") {
                unsigned long long m = strtoull(line.value.c_str(), &end, 10);
                if (end == line.value.c_str() || *end != '\0' || m < 1024 || m > (64u << 20))
                    why = "not a size from 1024 to 67108864";
                else
                    settings->maxMessage = (size_t)m;
            } else {
                why = "unknown setting \"" + line.key + "\"";
            }
            badLine = line.number;
            return why.empty();
        },
        &err);
    fclose(f);
    if (r != 0) {
        *error = std::string(path) + ": " + err.reason;
        return -1;
    }
    if (!why.empty()) {
        *error = std::string(path) + " line " + std::to_string(badLine) + ": " + why;
        return -1;
    }
    if (settings->port == 0) {
        *error = std::string(path) + ": no port";
        return -1;
    }
    return 1;
}

static bool allowed(const hl7listener_settings &s, const struct sockaddr_storage &peer)
{
    unsigned char addr[16] = {0};
    int family;
    if (peer.ss_family == AF_INET) {
        memcpy(addr, &((const sockaddr_in *)&peer)->sin_addr, 4);
        family = AF_INET;
    } else {
        const unsigned char *a6 = ((const sockaddr_in6 *)&peer)->sin6_addr.s6_addr;
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (memcmp(a6, mapped, 12) == 0) {
            memcpy(addr, a6 + 12, 4);
            family = AF_INET;
        } else {
            memcpy(addr, a6, 16);
            family = AF_INET6;
        }
    }
    if (s.allow.empty()) {
        static const unsigned char loop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return family == AF_INET ? addr[0] == 127 : memcmp(addr, loop6, 16) == 0;
    }
    for (const auto &n : s.allow) {
        if (n.family != family)
            continue;
        int full = n.prefix / 8, rest = n.prefix % 8;
        if (memcmp(addr, n.addr, (size_t)full) != 0)
            continue;
        if (rest != 0 && ((addr[full] ^ n.addr[full]) & (0xFF << (8 - rest))) != 0)
            continue;
        return true;
    }
    return false;
}

static std::string addressText(const struct sockaddr_storage &peer)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &((const sockaddr_in *)&peer)->sin_addr, text, sizeof text);
    else
        inet_ntop(AF_INET6, &((const sockaddr_in6 *)&peer)->sin6_addr, text, sizeof text);
    return text;
}

// text as a log may show it: quoted, control characters escaped.
static std::string forLog(const std::string &text)
{
    char *q = nullptr;
    if (parse_string_makeescaped(text.c_str(), &q, 0) != 0 || q == nullptr)
        return "?";
    std::string out = q;
    free(q);
    return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

static std::string now(time_t t)
{
    struct tm tm;
    localtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

// Reads, acts on and answers one message of connection c.
static void handleMessage(hl7listener *l, connection *c, const std::string &bytes)
{
    hl7_message m;
    std::string error;
    std::string controlId =
        "VELTO" + std::to_string(time(nullptr)) + "." + std::to_string(++l->sent);
    std::string stamp = now(time(nullptr));
    if (hl7_parse(bytes.data(), bytes.size(), &m, &error) != 0) {
        logprintf(LOGLEVEL_WARNING, l->log, "HL7 from %s: refused: %s\n", c->peer.c_str(),
                  error.c_str());
        c->out += mllp_frame(
            hl7_ack(nullptr, HL7_ACK_REJECT, HL7_ERR_SEGMENT_SEQUENCE, error, controlId, stamp));
        return;
    }
    const hl7_message::segment *msh = &m.segments[0];
    std::string sender, control;
    hl7_text(m, hl7_raw(m, msh, 3, 0, 1), &sender, &error);
    hl7_text(m, hl7_raw(m, msh, 10, 0, 0), &control, &error);
    std::string peer = c->peer + " " + forLog(sender);
    hl7_adt adt;
    hl7_refusal why;
    int r = hl7_readAdt(m, &adt, &why);
    if (r == 0)
        r = l->apply(adt, peer, &why);
    if (r != 0) {
        logprintf(LOGLEVEL_WARNING, l->log, "HL7 %s %s from %s: %s %d: %s\n",
                  forLog(adt.event).c_str(), forLog(control).c_str(), peer.c_str(), why.ack,
                  why.code, forLog(why.text).c_str());
        c->out += mllp_frame(hl7_ack(&m, why.ack, why.code, why.text, controlId, stamp));
        return;
    }
    logprintf(LOGLEVEL_NOTICE, l->log, "HL7 %s %s from %s: patient %s: done\n", adt.event.c_str(),
              forLog(control).c_str(), peer.c_str(), forLog(adt.patientId).c_str());
    c->out += mllp_frame(hl7_ack(&m, HL7_ACK_ACCEPT, 0, "", controlId, stamp));
}

static void closeConnection(connection *c)
{
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
}

static void acceptOne(hl7listener *l)
{
    struct sockaddr_storage peer;
    socklen_t len = sizeof peer;
    int fd = accept4(l->listenFd, (struct sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::string addr = addressText(peer);
    if (!allowed(l->settings, peer)) {
        logprintf(LOGLEVEL_WARNING, l->log, "HL7 connection from %s refused: not allowed by %s\n",
                  addr.c_str(), HL7LISTENER_FILENAME);
        close(fd);
        return;
    }
    if ((int)l->connections.size() >= l->settings.maxConnections) {
        logprintf(LOGLEVEL_WARNING, l->log, "HL7 connection from %s refused: %d open already\n",
                  addr.c_str(), l->settings.maxConnections);
        close(fd);
        return;
    }
    connection c;
    c.fd = fd;
    c.peer = addr;
    c.last = time(nullptr);
    l->connections.push_back(std::move(c));
}

// Reads what connection c sent and handles each whole frame. false: the
// connection is to end.
static bool readFrom(hl7listener *l, connection *c)
{
    char buf[READ_PIECE];
    ssize_t n = read(c->fd, buf, sizeof buf);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    c->last = time(nullptr);
    c->in.append(buf, (size_t)n);
    std::string message;
    int r;
    // Frames are taken while the ACKs owed stay small: a sender that sends
    // without reading its answers is read no further until it does.
    while (c->out.size() < OUTPUT_LIMIT &&
           (r = mllp_take(&c->in, &message, l->settings.maxMessage)) == 1)
        handleMessage(l, c, message);
    if (r < 0) {
        logprintf(LOGLEVEL_WARNING, l->log,
                  "HL7 connection from %s ended: not MLLP, or a message beyond %zu bytes\n",
                  c->peer.c_str(), l->settings.maxMessage);
        return false;
    }
    return true;
}

static bool writeTo(connection *c)
{
    ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    c->out.erase(0, (size_t)n);
    c->last = time(nullptr);
    return true;
}

static void run(hl7listener *l)
{
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({l->stopFd, POLLIN, 0});
        fds.push_back({l->listenFd, POLLIN, 0});
        for (const auto &c : l->connections) {
            short events = 0;
            // No reading while ACKs are owed beyond the limit (see readFrom).
            if (c.out.size() < OUTPUT_LIMIT)
                events |= POLLIN;
            if (!c.out.empty())
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        int r = poll(fds.data(), fds.size(), POLL_MS);
        if (r < 0 && errno != EINTR) {
            logprintf(LOGLEVEL_ERROR, l->log, "HL7 listener: poll: %s\n", strerror(errno));
            return;
        }
        if (fds[0].revents != 0)
            return;
        time_t t = time(nullptr);
        for (size_t i = 0; i < l->connections.size(); i++) {
            connection &c = l->connections[i];
            short ev = fds[i + 2].revents;
            bool keep = true;
            if (ev & (POLLERR | POLLNVAL))
                keep = false;
            if (keep && (ev & POLLOUT))
                keep = writeTo(&c);
            if (keep && (ev & (POLLIN | POLLHUP)))
                keep = readFrom(l, &c);
            // What the reads just answered goes out at once.
            if (keep && !c.out.empty())
                keep = writeTo(&c);
            if (keep && t - c.last > l->settings.idleSeconds)
                keep = false;
            if (!keep)
                closeConnection(&c);
        }
        l->connections.erase(std::remove_if(l->connections.begin(), l->connections.end(),
                                            [](const connection &c) { return c.fd < 0; }),
                             l->connections.end());
        if (fds[1].revents & POLLIN)
            acceptOne(l);
    }
}

hl7listener *hl7listener_start(const hl7listener_settings &settings, hl7listener_apply apply,
                               FILE *log, std::string *error)
{
    hl7listener_settings::network bind;
    if (!parseNetwork(settings.bind, &bind)) {
        *error = "not an address: " + settings.bind;
        return nullptr;
    }
    struct sockaddr_storage sa;
    memset(&sa, 0, sizeof sa);
    socklen_t len;
    if (bind.family == AF_INET) {
        sockaddr_in *a = (sockaddr_in *)&sa;
        a->sin_family = AF_INET;
        a->sin_port = htons((uint16_t)settings.port);
        memcpy(&a->sin_addr, bind.addr, 4);
        len = sizeof *a;
    } else {
        sockaddr_in6 *a = (sockaddr_in6 *)&sa;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons((uint16_t)settings.port);
        memcpy(&a->sin6_addr, bind.addr, 16);
        len = sizeof *a;
    }
    int fd = socket(bind.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, (struct sockaddr *)&sa, len) != 0 || listen(fd, 16) != 0) {
        *error = "cannot listen on " + settings.bind + " port " + std::to_string(settings.port) +
                 ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        logprintf(LOGLEVEL_ERROR, log, "HL7 listener: %s\n", error->c_str());
        return nullptr;
    }
    hl7listener *l = new hl7listener;
    l->settings = settings;
    l->apply = std::move(apply);
    l->log = log;
    l->listenFd = fd;
    l->stopFd = eventfd(0, EFD_CLOEXEC);
    if (l->stopFd < 0) {
        *error = std::string("eventfd: ") + strerror(errno);
        close(fd);
        delete l;
        return nullptr;
    }
    l->thread = std::thread(run, l);
    logprintf(LOGLEVEL_NOTICE, log, "HL7 listener on %s port %d\n", settings.bind.c_str(),
              settings.port);
    return l;
}

void hl7listener_stop(hl7listener *l)
{
    if (l == nullptr)
        return;
    uint64_t one = 1;
    if (write(l->stopFd, &one, sizeof one) != (ssize_t)sizeof one)
        abort(); // an eventfd takes a write unless it overflows: never here
    l->thread.join();
    for (auto &c : l->connections)
        closeConnection(&c);
    close(l->listenFd);
    close(l->stopFd);
    delete l;
}
