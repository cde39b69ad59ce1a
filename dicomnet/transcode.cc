// The conversion of an Implicit VR Little Endian or Explicit VR Big Endian
// data set into Explicit VR Little Endian as it comes (dicomnet/transcode.h):
// a loop over the input's headers with an explicit stack of open items and
// sequences, each element written again with the VR the toolkit gives it,
// each value copied through (its numbers turned round, from big endian).
#include "dicomnet/transcode.h"

#include <ctype.h>
#include <string.h>

#include "dcmtk/dcmdata/dctag.h"
#include "dcmtk/dcmdata/dcvr.h"

enum {
    BUFFER_STEP = 1 << 16, // converted bytes handed on at a time
    HELD_CHUNK = 1 << 20,  // held bytes are kept in chunks of this size (never copied to grow)
    CAPTURE_MAX = 256      // of a value kept (private creators, Pixel Representation)
};
enum {
    CAPTURE_DROP = -1,
    CAPTURE_NONE = 0,
    CAPTURE_CREATOR = 1,
    CAPTURE_PIXEL_REP = 2,
    CAPTURE_WAVE_BITS = 3
};

static const uint32_t UNDEFINED_LENGTH = 0xFFFFFFFFu;

static unsigned u16(const unsigned char *p, bool big = false)
{
    return big ? (unsigned)p[0] << 8 | p[1] : (unsigned)p[1] << 8 | p[0];
}

static uint32_t u32(const unsigned char *p, bool big = false)
{
    return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
               : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

static void put16(unsigned char *p, unsigned v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)(v >> 8);
}

static void put32(unsigned char *p, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        p[k] = (unsigned char)(v >> (8 * k));
}

static void handOn(transcode *t, const unsigned char *bytes, size_t n, bool last)
{
    if (t->result != TRANSCODE_MORE)
        return;
    int r = elementwalk_feed(&t->out, bytes, n);
    if (r == ELEMENTWALK_MORE && last)
        r = elementwalk_finish(&t->out);
    // What this conversion writes always holds together; the walk of it
    // failing means an input it does not follow.
    if (r != ELEMENTWALK_MORE) {
        t->result = TRANSCODE_FOREIGN;
        return;
    }
    t->sink(t->sinkData, bytes, n, last);
}

static void flushBuffer(transcode *t, bool last)
{
    handOn(t, (const unsigned char *)t->buffer.data(), t->buffer.size(), last);
    t->buffer.clear();
}

// Appends converted bytes: held while a group length waits for its group's
// end, else gathered and handed on.
static void emit(transcode *t, const void *bytes, size_t n)
{
    const char *b = (const char *)bytes;
    if (t->patches.empty()) {
        t->buffer.append(b, n);
        if (t->buffer.size() >= BUFFER_STEP)
            flushBuffer(t, false);
        return;
    }
    while (n > 0) {
        if (t->held.empty() || t->held.back().size() == HELD_CHUNK) {
            t->held.emplace_back();
            t->held.back().reserve(HELD_CHUNK);
        }
        std::string &chunk = t->held.back();
        size_t take = HELD_CHUNK - chunk.size() < n ? HELD_CHUNK - chunk.size() : n;
        chunk.append(b, take);
        t->heldSize += take;
        b += take;
        n -= take;
    }
}

// Ends the group of the last group length written: its value is the length
// of what followed it, and with no other waiting the held bytes go on.
static void closePatch(transcode *t)
{
    transcode_patch p = t->patches.back();
    t->patches.pop_back();
    uint32_t length = (uint32_t)(t->heldSize - p.from);
    for (int k = 0; k < 4; k++) {
        uint64_t at = p.at + (uint64_t)k;
        t->held[(size_t)(at / HELD_CHUNK)][(size_t)(at % HELD_CHUNK)] = (char)(length >> (8 * k));
    }
    if (!t->patches.empty())
        return;
    flushBuffer(t, false);
    while (!t->held.empty()) {
        handOn(t, (const unsigned char *)t->held.front().data(), t->held.front().size(), false);
        t->held.pop_front();
    }
    t->heldSize = 0;
}

// Ends the groups waiting in the item on top, or those of another group
// than group (group 0x10000: all).
static void closePatches(transcode *t, unsigned group)
{
    size_t frame = t->stack.size() - 1;
    while (!t->patches.empty() && t->patches.back().frame == frame &&
           t->patches.back().group != group)
        closePatch(t);
}

static void emitHeader(transcode *t, unsigned group, unsigned element, const char *vr,
                       uint32_t length)
{
    unsigned char h[12];
    put16(h, group);
    put16(h + 2, element);
    if (vr == nullptr) {
        put32(h + 4, length);
        emit(t, h, 8);
        return;
    }
    h[4] = (unsigned char)vr[0];
    h[5] = (unsigned char)vr[1];
    if (elementwalk_longVr(vr)) {
        put16(h + 6, 0);
        put32(h + 8, length);
        emit(t, h, 12);
    } else {
        put16(h + 6, length);
        emit(t, h, 8);
    }
}

// The private creator of (group, element) in the item on top, or null.
static const char *creatorOf(const transcode *t, unsigned group, unsigned element)
{
    uint32_t key = (uint32_t)group << 8 | (element >> 8);
    for (const auto &c : t->stack.back().creators) {
        if (c.first == key)
            return c.second.c_str();
    }
    return nullptr;
}

// Where the dictionary allows US or SS, the toolkit takes SS when the Pixel
// Representation of the same item is 1: for these (not the retired ones).
static bool pixelValueTag(unsigned group, unsigned element)
{
    static const uint32_t tags[] = {0x00280106, 0x00280107, 0x00280108, 0x00280109,
                                    0x00280120, 0x00280121, 0x00283002, 0x00409211,
                                    0x00409216, 0x00603004, 0x00603006};
    uint32_t tag = (uint32_t)group << 16 | element;
    for (uint32_t x : tags) {
        if (x == tag)
            return true;
    }
    return false;
}

static bool signedPixels(const transcode *t)
{
    const transcode_frame &f = t->stack.back();
    return f.pixelRepSeen && f.pixelRep1;
}

// The VR the toolkit writes for (group, element) read in implicit VR: its
// dictionary's (by the private creator for a private one), made writable.
static DcmEVR vrOf(const transcode *t, unsigned group, unsigned element)
{
    DcmTag tag((Uint16)group, (Uint16)element);
    if ((group & 1) != 0 && element >= 0x1000) {
        const char *creator = creatorOf(t, group, element);
        if (creator != nullptr) {
            tag.setPrivateCreator(creator);
            tag.lookupVRinDictionary();
        }
    }
    DcmEVR evr = tag.getEVR();
    if (evr == EVR_xs && pixelValueTag(group, element))
        return signedPixels(t) ? EVR_SS : EVR_US;
    // Waveform data of either VR are bytes when the item's Waveform Bits
    // Allocated says 8, else words; pixel, overlay and lookup table data
    // are words; other data of either VR (waveform data with no bits said
    // too) bytes.
    uint32_t key = (uint32_t)group << 16 | element;
    if (evr == EVR_ox && t->stack.back().waveBits >= 0 &&
        (key == 0x54001010 || key == 0x5400100A || key == 0x54000110 || key == 0x54000112))
        return t->stack.back().waveBits == 8 ? EVR_OB : EVR_OW;
    bool overlay = (group & 0xFF01) == 0x6000 && element == 0x3000;
    if (evr == EVR_px || evr == EVR_lt || (evr == EVR_ox && overlay))
        return EVR_OW;
    return evr;
}

static void pushFrame(transcode *t, bool sequence, bool defined, uint64_t end, bool implicitVr,
                      bool bigEndian)
{
    // The walk before bounds the nesting and the lengths, but not within
    // an element it passes over that a private creator makes a sequence
    // here: one deeper than the walk allows, or longer than what holds it,
    // is not followed.
    const transcode_frame *outer = t->stack.empty() ? nullptr : &t->stack.back();
    if (t->stack.size() > 2 * ELEMENTWALK_MAX_DEPTH + 1 ||
        (outer != nullptr && outer->defined && defined && end > outer->end)) {
        t->result = TRANSCODE_FOREIGN;
        return;
    }
    transcode_frame f;
    f.sequence = sequence;
    f.defined = defined;
    f.end = end;
    f.pixelRep1 = false;
    f.pixelRepSeen = false;
    f.waveBits = -1;
    f.implicitVr = implicitVr;
    f.bigEndian = bigEndian;
    t->stack.push_back(f);
}

static void endItem(transcode *t)
{
    closePatches(t, 0x10000);
    emitHeader(t, 0xFFFE, 0xE00D, nullptr, 0);
    t->stack.pop_back();
}

static void endSequence(transcode *t)
{
    emitHeader(t, 0xFFFE, 0xE0DD, nullptr, 0);
    t->stack.pop_back();
}

// A header within a sequence: an item begins, or the sequence ends.
static void itemHeader(transcode *t, unsigned group, unsigned element, uint32_t length)
{
    if (group == 0xFFFE && element == 0xE0DD && !t->stack.back().defined) {
        endSequence(t);
        return;
    }
    if (group != 0xFFFE || element != 0xE000) {
        t->result = TRANSCODE_FOREIGN;
        return;
    }
    emitHeader(t, 0xFFFE, 0xE000, nullptr, UNDEFINED_LENGTH);
    const transcode_frame &f = t->stack.back();
    pushFrame(t, false, length != UNDEFINED_LENGTH, t->pos + length, f.implicitVr, f.bigEndian);
}

static void endValue(transcode *t);

// Text VRs: the toolkit writes their values corrected.
static bool textVr(const char *vr)
{
    static const char *const texts[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT",
                                        "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"};
    return elementwalk_vrIn(vr, texts, sizeof texts / sizeof *texts);
}

// A text value as the toolkit writes it (read with a NUL after an odd
// one): a UID without white space anywhere and without trailing NULs,
// other texts without trailing spaces; then padded to even length again,
// a UID with a NUL, other texts with a space.
static void correctText(const char *vr, std::string *v)
{
    bool uid = strcmp(vr, "UI") == 0;
    if (uid) {
        std::string kept;
        for (char c : *v) {
            if (!isspace((unsigned char)c))
                kept += c;
        }
        v->swap(kept);
    }
    while (!v->empty() && (uid ? v->back() == '\0' : v->back() == ' '))
        v->pop_back();
    if (v->size() % 2 != 0)
        v->push_back(uid ? '\0' : ' ');
}

// A value's bytes: gathered when it is a text (written when whole), else
// written.
static void emitValue(transcode *t, const void *bytes, size_t n)
{
    if (t->text)
        t->textValue.append((const char *)bytes, n);
    else
        emit(t, bytes, n);
}

// Bytes of a value in big endian swapped as one number: by its VR.
static size_t swapUnit(const char *vr)
{
    static const char *const words[] = {"AT", "OW", "SS", "US"};
    static const char *const longs[] = {"FL", "OF", "OL", "SL", "UL"};
    static const char *const quads[] = {"FD", "OD", "OV", "SV", "UV"};
    if (elementwalk_vrIn(vr, words, sizeof words / sizeof *words))
        return 2;
    if (elementwalk_vrIn(vr, longs, sizeof longs / sizeof *longs))
        return 4;
    if (elementwalk_vrIn(vr, quads, sizeof quads / sizeof *quads))
        return 8;
    return 1;
}

// A header within an item or the data set: vr the explicit one (null in
// implicit VR).
static void elementHeader(transcode *t, unsigned group, unsigned element, const char *inVr,
                          uint32_t length)
{
    if (group == 0xFFFE) {
        if (element == 0xE00D && t->stack.size() > 1 && !t->stack.back().defined && length == 0)
            endItem(t);
        else
            t->result = TRANSCODE_FOREIGN;
        return;
    }
    closePatches(t, group);
    const transcode_frame &f = t->stack.back();
    DcmEVR evr = inVr == nullptr ? vrOf(t, group, element) : DcmVR(inVr).getEVR();
    if (length == UNDEFINED_LENGTH || evr == EVR_SQ) {
        // Of undefined length the toolkit reads a sequence, or an element
        // its dictionary does not know as one (UN), and refuses any other
        // (pixel data, which Implicit VR does not encapsulate, included; in
        // big endian it is encapsulated, which is stored as it came).
        if (evr != EVR_SQ && evr != EVR_UNKNOWN && evr != EVR_UN) {
            t->result = TRANSCODE_FOREIGN;
            return;
        }
        // An UN of undefined length holds Implicit VR Little Endian.
        bool un = evr != EVR_SQ && inVr != nullptr;
        emitHeader(t, group, element, "SQ", UNDEFINED_LENGTH);
        pushFrame(t, true, length != UNDEFINED_LENGTH, t->pos + length, un || f.implicitVr,
                  !un && f.bigEndian);
        return;
    }
    if (group == 0xFFFC && element == 0xFFFC) {
        // Data set trailing padding: the toolkit writes the image without.
        t->copy = length;
        t->swap = 1;
        t->padOdd = false;
        t->captureKind = CAPTURE_DROP;
        if (length == 0)
            endValue(t);
        return;
    }
    if (element == 0x0000) {
        // A group length: written once its group has ended.
        if (length != 4) {
            t->result = TRANSCODE_FOREIGN;
            return;
        }
        transcode_patch p;
        p.at = t->heldSize + 8;
        p.from = t->heldSize + 12;
        p.frame = t->stack.size() - 1;
        p.group = group;
        t->patches.push_back(p);
        emitHeader(t, group, element, "UL", 4);
        static const unsigned char zero[4] = {0, 0, 0, 0};
        emit(t, zero, 4);
        t->copy = 4;
        t->padOdd = false;
        t->captureKind = CAPTURE_DROP; // the old value is not copied
        return;
    }
    char vr[3];
    DcmVR v(DcmVR(evr).getValidEVR());
    const char *name = inVr != nullptr ? inVr : v.getVRName();
    vr[0] = name[0];
    vr[1] = name[1];
    vr[2] = '\0';
    t->swap = f.bigEndian ? swapUnit(vr) : 1;
    t->unitLen = 0;
    if (length % t->swap != 0) {
        t->result = TRANSCODE_FOREIGN; // numbers cut short: not followed
        return;
    }
    t->padOdd = false;
    t->text = textVr(vr);
    if (t->text) {
        // Written once whole: the toolkit writes it corrected (textValue).
        t->textValue.clear();
        t->textGroup = group;
        t->textElement = element;
        memcpy(t->textVr, vr, 3);
    }
    uint32_t written = length;
    if (length % 2 != 0 && strcmp(vr, "OW") != 0) {
        // The toolkit reads an odd value with a NUL after it, and writes it
        // so, whatever its VR but OW (written as it came).
        t->padOdd = true;
        t->pad = 0;
        written++;
    }
    // A value too long for a 2-byte length is written as UN.
    if (!elementwalk_longVr(vr) && written > 0xFFFF)
        strcpy(vr, "UN");
    if (!t->text)
        emitHeader(t, group, element, vr, written);
    t->copy = length;
    t->captureKind = CAPTURE_NONE;
    t->captured.clear();
    if ((group & 1) != 0 && element >= 0x0010 && element <= 0x00FF) {
        t->captureKind = CAPTURE_CREATOR;
        t->captureKey = (uint32_t)group << 8 | element;
    } else if (group == 0x0028 && element == 0x0103) {
        t->captureKind = CAPTURE_PIXEL_REP;
    } else if (group == 0x5400 && element == 0x1004) {
        t->captureKind = CAPTURE_WAVE_BITS;
    }
    if (length == 0)
        endValue(t);
}

// The value just copied has ended.
static void endValue(transcode *t)
{
    if (t->padOdd)
        emitValue(t, &t->pad, 1);
    t->padOdd = false;
    if (t->text) {
        t->text = false;
        std::string &v = t->textValue;
        correctText(t->textVr, &v);
        char vr[3];
        memcpy(vr, t->textVr, 3);
        if (!elementwalk_longVr(vr) && v.size() > 0xFFFF)
            strcpy(vr, "UN");
        emitHeader(t, t->textGroup, t->textElement, vr, (uint32_t)v.size());
        emit(t, v.data(), v.size());
        std::string().swap(v);
    }
    transcode_frame &f = t->stack.back();
    if (t->captureKind == CAPTURE_CREATOR) {
        std::string s = t->captured;
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
            s.pop_back();
        bool found = false;
        for (auto &c : f.creators) {
            if (c.first == t->captureKey) {
                c.second = s;
                found = true;
            }
        }
        if (!found)
            f.creators.push_back(std::make_pair(t->captureKey, s));
    } else if (t->captureKind == CAPTURE_PIXEL_REP && t->captured.size() >= 2) {
        f.pixelRepSeen = true;
        f.pixelRep1 = u16((const unsigned char *)t->captured.data()) == 1;
    } else if (t->captureKind == CAPTURE_WAVE_BITS && t->captured.size() >= 2) {
        f.waveBits = (int)u16((const unsigned char *)t->captured.data());
    }
    t->captureKind = CAPTURE_NONE;
}

void transcode_init(transcode *t, bool bigEndian, transcode_sink sink, void *sinkData)
{
    t->sink = sink;
    t->sinkData = sinkData;
    elementwalk_init(&t->out, false, false);
    t->pos = 0;
    t->stack.clear();
    pushFrame(t, false, false, UINT64_MAX, !bigEndian, bigEndian);
    t->headLen = 0;
    t->copy = 0;
    t->padOdd = false;
    t->pad = 0;
    t->swap = 1;
    t->unitLen = 0;
    t->text = false;
    t->captured.clear();
    t->captureKind = CAPTURE_NONE;
    t->captureKey = 0;
    t->buffer.clear();
    t->buffer.reserve(BUFFER_STEP + 16);
    t->held.clear();
    t->heldSize = 0;
    t->patches.clear();
    t->result = TRANSCODE_MORE;
}

// Bytes of the header that the frame on top expects, given those in head:
// 8, or 12 for an explicit VR with a 4-byte length.
static size_t headNeeded(const transcode *t)
{
    const transcode_frame &f = t->stack.back();
    if (f.sequence || f.implicitVr || t->headLen < 6 || u16(t->head, f.bigEndian) == 0xFFFE)
        return 8;
    char vr[3] = {(char)t->head[4], (char)t->head[5], '\0'};
    return elementwalk_longVr(vr) ? 12 : 8;
}

int transcode_feed(transcode *t, const unsigned char *bytes, size_t n, bool last)
{
    while (t->result == TRANSCODE_MORE) {
        if (t->copy > 0) {
            if (n == 0)
                break;
            size_t take = t->copy < n ? (size_t)t->copy : n;
            if (t->captureKind > 0 && t->captured.size() < CAPTURE_MAX)
                t->captured.append((const char *)bytes, take < CAPTURE_MAX - t->captured.size()
                                                            ? take
                                                            : CAPTURE_MAX - t->captured.size());
            if (t->captureKind == CAPTURE_DROP) {
            } else if (t->swap == 1) {
                emitValue(t, bytes, take);
            } else {
                // Each number reversed, whole (it may come in two pieces).
                for (size_t k = 0; k < take; k++) {
                    t->unit[t->unitLen++] = bytes[k];
                    if (t->unitLen < t->swap)
                        continue;
                    unsigned char r[8];
                    for (size_t j = 0; j < t->swap; j++)
                        r[j] = t->unit[t->swap - 1 - j];
                    emit(t, r, t->swap);
                    t->unitLen = 0;
                }
            }
            t->pos += take;
            t->copy -= take;
            bytes += take;
            n -= take;
            if (t->copy == 0)
                endValue(t);
            continue;
        }
        const transcode_frame &f = t->stack.back();
        if (t->headLen == 0 && f.defined && t->pos == f.end) {
            if (f.sequence)
                endSequence(t);
            else
                endItem(t);
            continue;
        }
        if (n == 0)
            break;
        size_t need = headNeeded(t);
        size_t take = need - t->headLen < n ? need - t->headLen : n;
        memcpy(t->head + t->headLen, bytes, take);
        t->headLen += take;
        t->pos += take;
        bytes += take;
        n -= take;
        if (t->headLen < headNeeded(t))
            continue;
        need = t->headLen;
        t->headLen = 0;
        bool big = f.bigEndian;
        unsigned group = u16(t->head, big), element = u16(t->head + 2, big);
        if (f.sequence) {
            itemHeader(t, group, element, u32(t->head + 4, big));
        } else if (f.implicitVr || group == 0xFFFE) {
            elementHeader(t, group, element, nullptr, u32(t->head + 4, big));
        } else {
            char vr[3] = {(char)t->head[4], (char)t->head[5], '\0'};
            uint32_t length = need == 12 ? u32(t->head + 8, big) : u16(t->head + 6, big);
            elementHeader(t, group, element, vr, length);
        }
    }
    if (t->result != TRANSCODE_MORE || !last)
        return t->result;
    if (t->stack.size() != 1 || t->headLen != 0 || t->copy != 0) {
        t->result = TRANSCODE_FOREIGN;
        return t->result;
    }
    closePatches(t, 0x10000);
    flushBuffer(t, true);
    return t->result;
}
