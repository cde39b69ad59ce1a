// The site's access policy: its file of rules, and the checks every service
// handler makes before it does anything for a peer.
#include "access/accesspolicy.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "runtime/textfield.h"

static const struct {
    const char *name;
    unsigned bit;
} kOperations[] = {
    {"echo", ACCESS_ECHO},     {"store", ACCESS_STORE},       {"find", ACCESS_FIND},
    {"move", ACCESS_MOVE},     {"get", ACCESS_GET},           {"delete", ACCESS_DELETE},
    {"commit", ACCESS_COMMIT}, {"worklist", ACCESS_WORKLIST}, {"modify", ACCESS_MODIFY},
    {"all", ACCESS_ALL},
};

// A numeric address in the form rules compare: IPv4 in the first 4 bytes.
struct address {
    int family; // AF_INET, AF_INET6, or 0 when not an address
    unsigned char bytes[16];
};

static void free_rule(AccessRule *r)
{
    free(r->aetitle);
    free(r->host);
    free(r);
}

void AccessPolicy_Init(AccessPolicy *policy)
{
    policy->active = 0;
    policy->learntDestinations = 0;
    policy->rules = nullptr;
    policy->path[0] = '\0';
}

void AccessPolicy_Destroy(AccessPolicy *policy)
{
    AccessRule *r = policy->rules;
    while (r != nullptr) {
        AccessRule *next = r->next;
        free_rule(r);
        r = next;
    }
    AccessPolicy_Init(policy);
}

// Parses a numeric IPv4 or IPv6 address; an IPv4-mapped IPv6 address
// becomes IPv4. 0 when text is no numeric address.
static int parse_address(const char *text, address *out)
{
    memset(out, 0, sizeof(*out));
    if (inet_pton(AF_INET, text, out->bytes) == 1) {
        out->family = AF_INET;
        return 1;
    }
    if (inet_pton(AF_INET6, text, out->bytes) != 1)
        return 0;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(out->bytes, mapped, sizeof(mapped)) == 0) {
        memmove(out->bytes, out->bytes + 12, 4);
        memset(out->bytes + 4, 0, 12);
        out->family = AF_INET;
    } else {
        out->family = AF_INET6;
    }
    return 1;
}

// Whether the first prefix bits of a and b agree (same family required).
static bool prefix_matches(const address &a, const unsigned char *b, int family, int prefix)
{
    if (a.family != family)
        return false;
    int whole = prefix / 8, rest = prefix % 8;
    if (memcmp(a.bytes, b, (size_t)whole) != 0)
        return false;
    if (rest == 0)
        return true;
    unsigned char mask = (unsigned char)(0xFF << (8 - rest));
    return (a.bytes[whole] & mask) == (b[whole] & mask);
}

// Whether host (a numeric address or a name to resolve) stands for peer.
static bool host_is(const char *host, const address &peer)
{
    address a;
    if (parse_address(host, &a))
        return prefix_matches(peer, a.bytes, a.family, a.family == AF_INET ? 32 : 128);

    struct addrinfo hints, *list = nullptr;
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0)
        return false;
    bool found = false;
    for (struct addrinfo *ai = list; ai != nullptr && !found; ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN];
        const void *raw = ai->ai_family == AF_INET
                              ? (const void *)&((struct sockaddr_in *)ai->ai_addr)->sin_addr
                              : (const void *)&((struct sockaddr_in6 *)ai->ai_addr)->sin6_addr;
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) &&
            inet_ntop(ai->ai_family, raw, text, sizeof(text)) != nullptr && parse_address(text, &a))
            found = prefix_matches(peer, a.bytes, a.family, a.family == AF_INET ? 32 : 128);
    }
    freeaddrinfo(list);
    return found;
}

// Whether the host of the site's map entry of callingAET stands for peer.
// The entry's address is "host:port", or "[v6-address]:port". Learnt
// entries are passed over: anyone who can send to the monitor channel can
// make one, with any title and address.
static bool map_host_is(AETitleMap *map, const char *callingAET, const address &peer)
{
    AETitleMapEntry *e = AETitleMap_FindSiteByAET(map, callingAET);
    if (e == nullptr || e->address == nullptr)
        return false;
    char host[AETITLEMAP_FIELDSIZE];
    const char *start = e->address, *end = strrchr(e->address, ':');
    if (start[0] == '[') {
        start++;
        end = strchr(start, ']');
    }
    if (end == nullptr || end == start || (size_t)(end - start) >= sizeof(host))
        return false;
    memcpy(host, start, (size_t)(end - start));
    host[end - start] = '\0';
    return host_is(host, peer);
}

static bool rule_matches(const AccessRule *r, AETitleMap *map, const char *callingAET,
                         const address &peer)
{
    if (strcmp(r->aetitle, "*") != 0 && strcmp(r->aetitle, callingAET) != 0)
        return false;
    switch (r->from) {
    case ACCESS_FROM_ANY:
        return true;
    case ACCESS_FROM_MAP:
        return peer.family != 0 && map_host_is(map, callingAET, peer);
    case ACCESS_FROM_NET:
        return prefix_matches(peer, r->net, r->family, r->prefix);
    case ACCESS_FROM_HOST:
        return peer.family != 0 && host_is(r->host, peer);
    }
    return false;
}

unsigned AccessPolicy_Operations(const AccessPolicy *policy, AETitleMap *map,
                                 const char *callingAET, const char *peerAddress)
{
    if (!policy->active)
        return ACCESS_ALL;
    address peer;
    if (peerAddress == nullptr || !parse_address(peerAddress, &peer))
        memset(&peer, 0, sizeof(peer));
    if (callingAET == nullptr)
        callingAET = "";
    unsigned granted = 0;
    for (const AccessRule *r = policy->rules; r != nullptr; r = r->next) {
        // A rule that adds nothing new needs no address test (which may
        // have to resolve a host name).
        if ((r->operations & ~granted) != 0 && rule_matches(r, map, callingAET, peer))
            granted |= r->operations;
    }
    return granted;
}

const char *AccessPolicy_OperationName(unsigned operation)
{
    for (const auto &op : kOperations) {
        if (op.bit == operation)
            return op.name;
    }
    return "?";
}

// Logs a refusal with the peer's text escaped (quoted when it holds
// blanks or control characters).
static void log_refusal(FILE *log, const char *format, const char *peerText, const char *more)
{
    char *escaped = nullptr;
    if (log == nullptr)
        return;
    if (parse_string_makeescaped(peerText != nullptr ? peerText : "", &escaped, 0) != 0)
        escaped = nullptr;
    logprintf(LOGLEVEL_WARNING, log, format, escaped != nullptr ? escaped : "(unprintable)", more);
    free(escaped);
}

// Logs that the peer may not do what (the peer's address is numeric text
// that this program made, never the peer's own).
static void log_peer_refusal(FILE *log, const char *callingAET, const char *peerAddress,
                             const char *what)
{
    char more[128];
    snprintf(more, sizeof(more), "%s may not %s",
             peerAddress != nullptr && peerAddress[0] != '\0' ? peerAddress : "(unknown address)",
             what);
    log_refusal(log, "Access refused: %s from %s.\n", callingAET, more);
}

int AccessPolicy_Check(const AccessPolicy *policy, AETitleMap *map, const char *callingAET,
                       const char *peerAddress, unsigned operation, FILE *log)
{
    if ((AccessPolicy_Operations(policy, map, callingAET, peerAddress) & operation) == operation)
        return 1;
    log_peer_refusal(log, callingAET, peerAddress, AccessPolicy_OperationName(operation));
    return 0;
}

int AccessPolicy_CheckAssociation(const AccessPolicy *policy, AETitleMap *map,
                                  const char *callingAET, const char *peerAddress, FILE *log)
{
    if (AccessPolicy_Operations(policy, map, callingAET, peerAddress) != 0)
        return 1;
    log_peer_refusal(log, callingAET, peerAddress, "associate");
    return 0;
}

int AccessPolicy_CheckDestination(const AccessPolicy *policy, AETitleMap *map,
                                  const char *moveDestination, FILE *log)
{
    if (!policy->active)
        return 1;
    AETitleMapEntry *e =
        moveDestination != nullptr ? AETitleMap_FindByAET(map, moveDestination) : nullptr;
    const char *why = nullptr;
    if (e == nullptr)
        why = "is not in the AE title map";
    else if ((e->flags & AETITLEMAP_FLAG_M) == 0)
        why = "has no move flag (M)";
    else if (AETitleMap_IsLearnt(e) && !policy->learntDestinations)
        why = "was learnt from the monitor channel";
    if (why == nullptr)
        return 1;
    log_refusal(log, "Access refused: move destination %s %s.\n", moveDestination, why);
    return 0;
}

// Parses the "from" field of a rule into r. 0, or -1 with error filled.
static int parse_from(const char *text, AccessRule *r, char *error, size_t errorSize)
{
    if (strcmp(text, "any") == 0 || strcmp(text, "*") == 0) {
        r->from = ACCESS_FROM_ANY;
        return 0;
    }
    if (strcmp(text, "map") == 0) {
        r->from = ACCESS_FROM_MAP;
        return 0;
    }
    char addr[INET6_ADDRSTRLEN + 8];
    const char *slash = strchr(text, '/');
    size_t len = slash != nullptr ? (size_t)(slash - text) : strlen(text);
    if (len < sizeof(addr)) {
        memcpy(addr, text, len);
        addr[len] = '\0';
        address a;
        if (parse_address(addr, &a)) {
            int max = a.family == AF_INET ? 32 : 128;
            int prefix = max;
            if (slash != nullptr) {
                char *end = nullptr;
                errno = 0;
                long p = strtol(slash + 1, &end, 10);
                if (slash[1] == '\0' || *end != '\0' || errno != 0 || p < 0 || p > max) {
                    snprintf(error, errorSize, "bad prefix length in \"%s\"", text);
                    return -1;
                }
                prefix = (int)p;
            }
            r->from = ACCESS_FROM_NET;
            r->family = a.family;
            r->prefix = prefix;
            memcpy(r->net, a.bytes, sizeof(r->net));
            return 0;
        }
    }
    // Otherwise a host name: letters, digits, '-' and '.'.
    for (const char *p = text; *p; p++) {
        if (!isalnum((unsigned char)*p) && *p != '-' && *p != '.') {
            snprintf(error, errorSize, "\"%s\" is no address, network or host name", text);
            return -1;
        }
    }
    r->from = ACCESS_FROM_HOST;
    r->host = strdup(text);
    return r->host != nullptr ? 0 : -1;
}

// Adds the operations named in word (comma-separated) to *ops. 0, or -1
// with error filled.
static int parse_operations(char *word, unsigned *ops, char *error, size_t errorSize)
{
    char *save = nullptr;
    for (char *name = strtok_r(word, ",", &save); name != nullptr;
         name = strtok_r(nullptr, ",", &save)) {
        unsigned bit = 0;
        for (const auto &op : kOperations) {
            if (strcasecmp(op.name, name) == 0)
                bit = op.bit;
        }
        if (bit == 0) {
            snprintf(error, errorSize, "unknown operation \"%s\"", name);
            return -1;
        }
        *ops |= bit;
    }
    return 0;
}

// Parses one line (comment already cut off) into a new rule. 1 for a blank
// line or a setting (applied to policy), 0 with *out set, -1 with error
// filled.
static int parse_line(const sitefile_line &line, AccessPolicy *policy, AccessRule **out,
                      char *error, size_t errorSize)
{
    const char *title = line.key.c_str();
    int number = line.number;
    std::string rest = line.value;
    char *save = nullptr;
    char *from = strtok_r(&rest[0], " \t\r\n", &save);
    char *word = strtok_r(nullptr, " \t\r\n", &save);
    if (strcmp(title, ACCESSPOLICY_LEARNT_DESTINATIONS) == 0) {
        if (from == nullptr || word != nullptr ||
            (strcmp(from, "yes") != 0 && strcmp(from, "no") != 0)) {
            snprintf(error, errorSize, ACCESSPOLICY_LEARNT_DESTINATIONS " takes yes or no");
            return -1;
        }
        policy->learntDestinations = strcmp(from, "yes") == 0;
        return 1;
    }
    if (from == nullptr || word == nullptr) {
        snprintf(error, errorSize, "a rule needs a title, an address and operations");
        return -1;
    }
    if (strlen(title) > 16) {
        snprintf(error, errorSize, "AE title longer than 16 characters");
        return -1;
    }
    AccessRule *r = (AccessRule *)calloc(1, sizeof(AccessRule));
    if (r == nullptr || (r->aetitle = strdup(title)) == nullptr) {
        free(r);
        snprintf(error, errorSize, "out of memory");
        return -1;
    }
    r->line = number;
    int result = parse_from(from, r, error, errorSize);
    for (; result == 0 && word != nullptr; word = strtok_r(nullptr, " \t\r\n", &save))
        result = parse_operations(word, &r->operations, error, errorSize);
    if (result != 0) {
        free_rule(r);
        return -1;
    }
    *out = r;
    return 0;
}

int AccessPolicy_Load(AccessPolicy *policy, const char *path, char *error, size_t errorSize)
{
    char found[sizeof(policy->path)];
    char message[256] = "";
    int result = 0;
    AccessRule *rules = nullptr, **tail = &rules;

    AccessPolicy_Destroy(policy);
    if (path == nullptr) {
        // The existence test, not R_OK: a policy file that exists but
        // cannot be read must not leave the archive open.
        path = getfilepath(CONFIG_SEARCHPATH, ACCESSPOLICY_FILENAME, 0, found, sizeof(found));
        if (path == nullptr)
            return 1;
    }
    snprintf(policy->path, sizeof(policy->path), "%s", path);
    policy->active = 1;
    sitefile_error err;
    int read = sitefile_read(
        path, sitefile_options(),
        [&](const sitefile_line &line) {
            AccessRule *r = nullptr;
            char why[200] = "";
            int parsed = parse_line(line, policy, &r, why, sizeof(why));
            if (parsed < 0) {
                snprintf(message, sizeof(message), "line %d: %s", line.number, why);
                result = -1;
            } else if (parsed == 0) {
                *tail = r;
                tail = &r->next;
            }
            return parsed >= 0;
        },
        &err);
    if (read != 0 && err.status == SITEFILE_TOO_LONG)
        snprintf(message, sizeof(message), "line %d: %s", err.line, err.reason.c_str());
    else if (read != 0 && err.status == SITEFILE_READ_ERROR)
        snprintf(message, sizeof(message), "%s", err.reason.c_str());
    else if (read != 0)
        snprintf(message, sizeof(message), "cannot read: %s", err.reason.c_str());
    if (read != 0)
        result = -1;
    if (result == 0) {
        policy->rules = rules;
    } else {
        // Refuse everything rather than run with half a policy.
        for (AccessRule *r = rules, *next; r != nullptr; r = next) {
            next = r->next;
            free_rule(r);
        }
        policy->learntDestinations = 0;
        if (error != nullptr && errorSize > 0)
            snprintf(error, errorSize, "%s", message);
    }
    return result;
}
