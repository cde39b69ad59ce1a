// The streaming walk of a data set's element encoding (dicomnet/elementwalk.h):
// a loop over an explicit stack of open data sets (the data set itself and
// its items) and sequences, each bounded by the offset its length gives or
// by the bound of the one that holds it.
#include "dicomnet/elementwalk.h"

#include <string.h>

enum { UID_READ = 256 }; // at most this much of a UID value is kept
static const uint32_t UNDEFINED_LENGTH = 0xFFFFFFFFu;
static const uint64_t NO_LIMIT = UINT64_MAX;

static unsigned u16(const unsigned char *p, bool big)
{
    return big ? (unsigned)p[0] << 8 | p[1] : (unsigned)p[1] << 8 | p[0];
}

static uint32_t u32(const unsigned char *p, bool big)
{
    return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
               : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

bool elementwalk_vrIn(const char *vr, const char *const list[], size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (vr[0] == list[i][0] && vr[1] == list[i][1])
            return true;
    }
    return false;
}

bool elementwalk_longVr(const char *vr)
{
    static const char *const longs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                        "SV", "UC", "UN", "UR", "UT", "UV"};
    return elementwalk_vrIn(vr, longs, sizeof longs / sizeof *longs);
}

static bool knownVr(const char *vr)
{
    static const char *const known[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD",
                                        "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                        "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                        "UI", "UL", "UN", "UR", "US", "UT", "UV"};
    return elementwalk_vrIn(vr, known, sizeof known / sizeof *known);
}

void elementwalk_init(elementwalk *w, bool implicitVr, bool bigEndian, uint64_t end)
{
    w->maxLength = 0;
    w->maxDepth = ELEMENTWALK_MAX_DEPTH;
    w->maxItems = 0;
    w->maxElements = 0;
    w->strictVr = false;
    w->isSequence = nullptr;
    w->pos = 0;
    w->stack.assign(
        1, elementwalk_frame{end, end != NO_LIMIT, false, false, implicitVr, bigEndian, 0});
    w->depth = 0;
    w->items = 0;
    w->elementCount = 0;
    w->headLen = 0;
    w->skip = 0;
    w->capture = nullptr;
    w->result = ELEMENTWALK_MORE;
    w->sopClass.clear();
    w->instance.clear();
    w->bulkStart = NO_LIMIT;
    w->recordElements = false;
    w->elements.clear();
    w->elementsCut = false;
}

static int fail(elementwalk *w, int result)
{
    w->result = result;
    return result;
}

// Opens a sequence at the current offset.
static int openSequence(elementwalk *w, const elementwalk_frame &in, uint64_t limit, bool defined,
                        bool fragments, bool implicitVr, bool bigEndian)
{
    if (w->depth >= w->maxDepth)
        return fail(w, ELEMENTWALK_TOO_DEEP);
    w->depth++;
    w->stack.push_back(elementwalk_frame{defined ? limit : in.limit, defined, true, fragments,
                                         implicitVr, bigEndian, 0});
    return ELEMENTWALK_MORE;
}

// A value of length bytes starts here within f: beyond a limit?
static int checkLength(elementwalk *w, const elementwalk_frame &f, uint32_t length)
{
    if (w->maxLength != 0 && w->pos + length > w->maxLength)
        return fail(w, ELEMENTWALK_TOO_LONG);
    if (f.limit != NO_LIMIT && w->pos + length > f.limit)
        return fail(w, ELEMENTWALK_DAMAGED);
    return ELEMENTWALK_MORE;
}

// An item header (8 bytes in head) within the sequence on top.
static int itemHeader(elementwalk *w)
{
    elementwalk_frame f = w->stack.back();
    unsigned group = u16(w->head, f.bigEndian), element = u16(w->head + 2, f.bigEndian);
    uint32_t length = u32(w->head + 4, f.bigEndian);
    if (group != 0xFFFE)
        return fail(w, ELEMENTWALK_DAMAGED);
    if (element == 0xE0DD) {
        if (f.defined || length != 0)
            return fail(w, ELEMENTWALK_DAMAGED);
        w->stack.pop_back();
        w->depth--;
        return ELEMENTWALK_MORE;
    }
    if (element != 0xE000)
        return fail(w, ELEMENTWALK_DAMAGED);
    // Each item costs a parser that keeps them some memory: a data set of
    // millions of empty ones is refused as one nested too deep is.
    if (!f.fragments && ++w->items > w->maxItems && w->maxItems != 0)
        return fail(w, ELEMENTWALK_TOO_MANY);
    if (length == UNDEFINED_LENGTH) {
        if (f.fragments)
            return fail(w, ELEMENTWALK_DAMAGED);
        w->stack.push_back(
            elementwalk_frame{f.limit, false, false, false, f.implicitVr, f.bigEndian, 0});
        return ELEMENTWALK_MORE;
    }
    if (checkLength(w, f, length) != ELEMENTWALK_MORE)
        return w->result;
    if (f.fragments)
        w->skip = length;
    else
        w->stack.push_back(
            elementwalk_frame{w->pos + length, true, false, false, f.implicitVr, f.bigEndian, 0});
    return ELEMENTWALK_MORE;
}

// An element header (8 or 12 bytes in head) within the data set on top.
static int elementHeader(elementwalk *w)
{
    elementwalk_frame f = w->stack.back();
    const unsigned char *h = w->head;
    unsigned group = u16(h, f.bigEndian), element = u16(h + 2, f.bigEndian);
    if (group == 0xFFFE) {
        // Only an item delimitation item ends a data set, and only one of
        // an item of undefined length.
        if (w->stack.size() == 1 || f.defined || element != 0xE00D || u32(h + 4, f.bigEndian) != 0)
            return fail(w, ELEMENTWALK_DAMAGED);
        w->stack.pop_back();
        return ELEMENTWALK_MORE;
    }
    uint32_t tag = (uint32_t)group << 16 | element;
    // Each element, however short its encoding, costs a parser some hundred
    // bytes: millions of empty ones are refused as millions of items are.
    if (++w->elementCount > w->maxElements && w->maxElements != 0)
        return fail(w, ELEMENTWALK_TOO_MANY_ELEMENTS);
    if (w->strictVr && tag <= f.lastTag)
        return fail(w, ELEMENTWALK_DISORDERED);
    w->stack.back().lastTag = tag;
    if (w->stack.size() == 1 && group >= 0x7FE0 && w->bulkStart == NO_LIMIT)
        w->bulkStart = w->pos - w->headLen;
    if (w->recordElements && w->stack.size() == 1 && w->bulkStart == NO_LIMIT) {
        if (w->elements.size() < ELEMENTWALK_MAX_ELEMENTS)
            w->elements.push_back(elementwalk_element{tag, w->pos - w->headLen, w->items});
        else
            w->elementsCut = true;
    }
    char vr[3] = "";
    uint32_t length;
    if (f.implicitVr) {
        length = u32(h + 4, f.bigEndian);
    } else {
        vr[0] = (char)h[4];
        vr[1] = (char)h[5];
        length = w->headLen == 12 ? u32(h + 8, f.bigEndian) : u16(h + 6, f.bigEndian);
    }
    bool sequence = f.implicitVr || strcmp(vr, "SQ") == 0;
    if (length == UNDEFINED_LENGTH) {
        // A sequence; an unknown element of undefined length holds one in
        // implicit VR little endian; OB or OW of undefined length is
        // encapsulated pixel data.
        bool unknown = strcmp(vr, "UN") == 0;
        bool pixels = strcmp(vr, "OB") == 0 || strcmp(vr, "OW") == 0;
        if (!sequence && !unknown && !pixels)
            return fail(w, ELEMENTWALK_DAMAGED);
        return openSequence(w, f, 0, false, pixels, unknown || f.implicitVr,
                            unknown ? false : f.bigEndian);
    }
    if (checkLength(w, f, length) != ELEMENTWALK_MORE)
        return w->result;
    // A sequence of defined length is walked too when its VR says so (in
    // implicit VR only a dictionary does).
    if (f.implicitVr && w->isSequence != nullptr)
        sequence = w->isSequence(group, element);
    if (sequence && (!f.implicitVr || w->isSequence != nullptr))
        return openSequence(w, f, w->pos + length, true, false, f.implicitVr, f.bigEndian);
    w->skip = length;
    if (w->stack.size() == 1 && group == 0x0008 && (element == 0x0016 || element == 0x0018)) {
        w->capture = element == 0x0016 ? &w->sopClass : &w->instance;
        w->capture->clear();
    }
    return ELEMENTWALK_MORE;
}

// Bytes of the header that the frame on top expects, given those in head.
static size_t headNeeded(const elementwalk *w)
{
    const elementwalk_frame &f = w->stack.back();
    if (f.sequence || f.implicitVr || w->headLen < 6)
        return 8;
    if (u16(w->head, f.bigEndian) == 0xFFFE)
        return 8;
    char vr[3] = {(char)w->head[4], (char)w->head[5], '\0'};
    return elementwalk_longVr(vr) ? 12 : 8;
}

// Ends a captured UID: trailing spaces and NULs cut.
static void endCapture(elementwalk *w)
{
    std::string *s = w->capture;
    while (!s->empty() && (s->back() == ' ' || s->back() == '\0'))
        s->pop_back();
    w->capture = nullptr;
}

int elementwalk_feed(elementwalk *w, const unsigned char *bytes, size_t n)
{
    while (w->result == ELEMENTWALK_MORE) {
        elementwalk_frame &f = w->stack.back();
        if (w->skip > 0) {
            if (n == 0)
                return ELEMENTWALK_MORE;
            size_t take = w->skip < n ? (size_t)w->skip : n;
            if (w->capture != nullptr && w->capture->size() < UID_READ)
                w->capture->append((const char *)bytes, take < UID_READ - w->capture->size()
                                                            ? take
                                                            : UID_READ - w->capture->size());
            w->pos += take;
            w->skip -= take;
            bytes += take;
            n -= take;
            if (w->skip == 0 && w->capture != nullptr)
                endCapture(w);
            continue;
        }
        if (w->headLen == 0 && f.defined && w->pos == f.limit) {
            // The frame is complete; the data set itself ends only with
            // its data.
            if (w->stack.size() == 1)
                return n == 0 ? ELEMENTWALK_MORE : fail(w, ELEMENTWALK_DAMAGED);
            if (f.sequence)
                w->depth--;
            w->stack.pop_back();
            continue;
        }
        if (n == 0)
            return ELEMENTWALK_MORE;
        if (w->headLen == 0 && w->maxLength != 0 && w->pos >= w->maxLength)
            return fail(w, ELEMENTWALK_TOO_LONG);
        size_t need = headNeeded(w);
        if (f.limit != NO_LIMIT && w->pos + (need - w->headLen) > f.limit)
            return fail(w, ELEMENTWALK_DAMAGED);
        size_t take = need - w->headLen < n ? need - w->headLen : n;
        memcpy(w->head + w->headLen, bytes, take);
        w->headLen += take;
        w->pos += take;
        bytes += take;
        n -= take;
        if (w->headLen < need)
            continue;
        if (!f.sequence && !f.implicitVr && need == 8 && w->headLen >= 6 &&
            u16(w->head, f.bigEndian) != 0xFFFE) {
            char vr[3] = {(char)w->head[4], (char)w->head[5], '\0'};
            // Bytes that are no VR: damage, or an encoding of a writer
            // other than this server's, which the toolkit may still read.
            if (vr[0] < 'A' || vr[0] > 'Z' || vr[1] < 'A' || vr[1] > 'Z' ||
                (w->strictVr && !knownVr(vr)))
                return fail(w, ELEMENTWALK_FOREIGN);
        }
        if (headNeeded(w) > w->headLen)
            continue;
        if (f.sequence)
            itemHeader(w);
        else
            elementHeader(w);
        w->headLen = 0;
    }
    return w->result;
}

uint64_t elementwalk_skippable(const elementwalk *w)
{
    return w->result == ELEMENTWALK_MORE && w->capture == nullptr ? w->skip : 0;
}

void elementwalk_pass(elementwalk *w, uint64_t n)
{
    if (n > elementwalk_skippable(w))
        n = elementwalk_skippable(w);
    w->skip -= n;
    w->pos += n;
}

int elementwalk_finish(elementwalk *w)
{
    if (w->result != ELEMENTWALK_MORE)
        return w->result;
    // Closes what ends exactly here.
    elementwalk_feed(w, nullptr, 0);
    const elementwalk_frame &top = w->stack.front();
    if (w->result == ELEMENTWALK_MORE && (w->stack.size() != 1 || w->headLen != 0 || w->skip != 0 ||
                                          (top.defined && w->pos != top.limit)))
        w->result = ELEMENTWALK_DAMAGED;
    return w->result;
}
