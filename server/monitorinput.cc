// Handling of one monitor channel datagram: CONFIG ADD_AET and STORAGE
// DISCOVER_AET add peers to the AE title map; everything else is skipped.
//
// The channel is unauthenticated and anyone on the segment can send to it,
// so a datagram is checked whole before any of it is used: only a frame of
// printable ASCII words separated by single blanks is looked at, and every
// field that ends up in the map must fit the map file's field limits.
#include "server/monitorinput.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "server/handlers.h"

// Words of a frame: host, pid, keyword, sub-keyword and its parameters.
enum { MAX_WORDS = 8 };

struct frame {
    char text[MONITORINPUT_MAX_FRAME + 1];  // the datagram, blanks replaced by NULs
    char whole[MONITORINPUT_MAX_FRAME + 1]; // the datagram as received
    const char *word[MAX_WORDS];            // the first words
    int nwords;                             // words found (at most MAX_WORDS)
    const char *rest[MAX_WORDS];            // rest[i]: text from word i to the end
};

// Copies the datagram and splits it at blanks. 0 when it is a well-formed
// frame: 1..1023 bytes of printable ASCII, at most one newline and only at
// the end, no empty word (no leading, trailing or double blank).
static int split_frame(const char *data, size_t len, frame *f)
{
    if (data == nullptr || len == 0 || len > MONITORINPUT_MAX_FRAME)
        return -1;
    if (data[len - 1] == '\n')
        len--;
    if (len == 0)
        return -1;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)data[i];
        if (c < 0x20 || c > 0x7e)
            return -1;
    }
    memcpy(f->text, data, len);
    f->text[len] = '\0';

    // The second copy keeps the blanks, so that rest[i] reads to the end.
    memcpy(f->whole, f->text, len + 1);

    f->nwords = 0;
    char *p = f->text;
    for (;;) {
        if (*p == ' ' || *p == '\0')
            return -1; // empty word
        if (f->nwords < MAX_WORDS) {
            f->word[f->nwords] = p;
            f->rest[f->nwords] = f->whole + (p - f->text);
            f->nwords++;
        }
        char *blank = strchr(p, ' ');
        if (blank == nullptr)
            break;
        *blank = '\0';
        p = blank + 1;
    }
    return 0;
}

// Non-zero when s is 1..maxdigits decimal digits.
static int all_digits(const char *s, size_t maxdigits)
{
    size_t n = strlen(s);
    if (n == 0 || n > maxdigits)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9')
            return 0;
    return 1;
}

// Non-zero when aet can be an AE title: 1..16 characters, no backslash (the
// frame check already rules out blanks and control characters).
static int valid_aet(const char *aet)
{
    size_t n = strlen(aet);
    return n > 0 && n <= MONITORINPUT_MAX_AET && strchr(aet, '\\') == nullptr;
}

// Non-zero when a text fits one field of the map file.
static int fits_field(const char *s)
{
    size_t n = strlen(s);
    return n > 0 && n < AETITLEMAP_FIELDSIZE;
}

// Whether text is a word that a datagram must never teach, as AE title or
// as name: the name of the server's own entry ("Local", from which it takes
// its AE title at its next start), its own AE title, the titles that select
// a store mode or deletion, and titles the site gave rights to in the
// access policy. Compared without case, so that no near-twin is learnt.
static int reserved(const monitorinput_context *ctx, const char *text)
{
    static const char *const special[] = {MONITORINPUT_LOCAL_NAME, HANDLERS_AET_DELETE,
                                          HANDLERS_AET_PRESERVE, HANDLERS_AET_OVERWRITE};
    for (const char *w : special)
        if (strcasecmp(text, w) == 0)
            return 1;
    if (ctx->own_aet != nullptr && strcasecmp(text, ctx->own_aet) == 0)
        return 1;
    if (ctx->policy != nullptr)
        for (const AccessRule *r = ctx->policy->rules; r != nullptr; r = r->next)
            if (strcmp(r->aetitle, "*") != 0 && strcasecmp(text, r->aetitle) == 0)
                return 1;
    return 0;
}

// Adds a peer named after the sending host, marked as learnt, unless
// learning is off, its AE title or its name is known or reserved, or the
// map is full; saves the map when it is held open. 0 when added. Entries
// already in the map (the site's own among them) are never touched.
static int add_peer(const monitorinput_context *ctx, const char *host, const char *aet,
                    const char *address, int flags)
{
    if (!ctx->learn || reserved(ctx, host) || reserved(ctx, aet))
        return -1;
    if (AETitleMap_FindByAET(ctx->map, aet) != nullptr)
        return -1;
    if (AETitleMap_FindByNum(ctx->map, MONITORINPUT_MAX_ENTRIES - 1) != nullptr)
        return -1;
    // A name already in the map is refused here.
    if (AETitleMap_Add(ctx->map, host, aet, address, flags, AETITLEMAP_REMARK_LEARNT) != 0)
        return -1;
    if (ctx->map_fd != -1)
        AETitleMap_Save_fd(ctx->map, ctx->map_fd);
    return 0;
}

// "CONFIG ADD_AET aet address flags...": the flags run to the end.
static int handle_config(const monitorinput_context *ctx, const frame *f)
{
    if (f->nwords < 7 || strcmp(f->word[3], "ADD_AET") != 0)
        return MONITORINPUT_IGNORED;
    const char *host = f->word[0];
    const char *aet = f->word[4];
    const char *address = f->word[5];
    const char *flags = f->rest[6];
    if (!fits_field(host) || !valid_aet(aet) || !fits_field(address))
        return MONITORINPUT_IGNORED;
    // A configuration tool may ask for fewer flags than a learnt peer gets,
    // never for more.
    int granted = AETitleMap_charstoflags(flags) & ctx->learn_flags;
    if (add_peer(ctx, host, aet, address, granted) != 0)
        return MONITORINPUT_IGNORED;
    logprintf(LOGLEVEL_NOTICE, ctx->logfp, "Added new Velto AET %s at %s.\n", aet, address);
    return MONITORINPUT_ADDED;
}

// "STORAGE DISCOVER_AET aet port": the peer listens at the datagram's
// source address.
static int handle_discover(const monitorinput_context *ctx, const frame *f,
                           const struct sockaddr_in *sin)
{
    if (f->nwords != 6 || strcmp(f->word[3], MONITORMSG_DISCOVER_AET) != 0)
        return MONITORINPUT_IGNORED;
    const char *host = f->word[0];
    const char *aet = f->word[4];
    if (!fits_field(host) || !valid_aet(aet) || !all_digits(f->word[5], 5))
        return MONITORINPUT_IGNORED;
    long port = strtol(f->word[5], nullptr, 10);
    if (port < 1 || port > 65535)
        return MONITORINPUT_IGNORED;
    uint32_t a = ntohl(sin->sin_addr.s_addr);
    char address[32];
    snprintf(address, sizeof(address), "%u.%u.%u.%u:%ld", (unsigned)(a >> 24) & 0xff,
             (unsigned)(a >> 16) & 0xff, (unsigned)(a >> 8) & 0xff, (unsigned)a & 0xff, port);
    if (add_peer(ctx, host, aet, address, ctx->learn_flags) != 0)
        return MONITORINPUT_IGNORED;
    logprintf(LOGLEVEL_NOTICE, ctx->logfp, "Discovered new Velto AET %s at %s.\n", aet, address);
    return MONITORINPUT_DISCOVERED;
}

int monitorinput_handle(const monitorinput_context *ctx, const char *data, size_t len,
                        const struct sockaddr *src, socklen_t srclen)
{
    // The channel is IPv4 multicast; anything else is not from it.
    if (src == nullptr || srclen < (socklen_t)sizeof(struct sockaddr_in) ||
        src->sa_family != AF_INET)
        return MONITORINPUT_IGNORED;
    struct sockaddr_in sin;
    memcpy(&sin, src, sizeof(sin));

    frame f;
    if (split_frame(data, len, &f) != 0 || f.nwords < 4)
        return MONITORINPUT_IGNORED;
    if (!all_digits(f.word[1], 10))
        return MONITORINPUT_IGNORED;

    // Our own announcements come back to us through the loop-back.
    if (strtol(f.word[1], nullptr, 10) == ctx->own_pid && ctx->own_host != nullptr &&
        strcmp(f.word[0], ctx->own_host) == 0)
        return MONITORINPUT_IGNORED;

    if (strcmp(f.word[2], "CONFIG") == 0)
        return handle_config(ctx, &f);
    if (strcmp(f.word[2], MONITORMSG_KEYWORD) == 0)
        return handle_discover(ctx, &f, &sin);
    return MONITORINPUT_IGNORED;
}
