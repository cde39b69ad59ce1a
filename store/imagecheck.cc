// The walk of a stored image file's elements (store/imagecheck.h): the
// meta header by the index layer's reader, then the data set element by
// element, into sequences and items, in the encoding of its transfer
// syntax; values are skipped by their lengths, and only the two UIDs wanted
// are read.
#include "store/imagecheck.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "index/retrievelist.h"
#include "runtime/fullio.h"

enum {
    WINDOW = 65536,    // bytes read at a time
    FIRST_READ = 4096, // bytes read first: the meta header and the first elements
    UID_READ = 256,    // at most this much of a UID value is read
};
static const uint32_t UNDEFINED_LENGTH = 0xFFFFFFFFu;

// The file and the window of it last read: element headers are small and
// mostly close together, so most are served from memory.
struct walk {
    int fd;
    off_t size;
    std::vector<unsigned char> buf;
    off_t start;  // file offset of buf[0]
    size_t len;   // bytes of buf read
    bool failed;  // a read failed (errno set)
    bool foreign; // bytes where a VR belongs that are none
    // The limits: the deepest level (a sequence adds one, its item
    // another) and the items left to accept (negative: any number).
    int maxLevel;
    long itemsLeft;
    size_t want; // bytes the next read asks for (at most the window)
};

// How the elements being walked are encoded.
struct encoding {
    bool implicitVr;
    bool bigEndian;
};

// The n bytes (n <= WINDOW) at off, or null when they are not all within
// the file (or a read fails: w->failed). Valid until the next call.
static const unsigned char *bytesAt(walk *w, off_t off, size_t n)
{
    if (off < 0 || (off_t)n > w->size - off)
        return nullptr;
    if (off >= w->start && off - w->start + (off_t)n <= (off_t)w->len)
        return w->buf.data() + (off - w->start);
    // A small file, or the head of a large one, is mostly walked in one
    // small read; after that the window is read whole.
    size_t ask = n > w->want ? n : w->want;
    w->want = w->buf.size();
    ssize_t got = fullio_pread(w->fd, w->buf.data(), ask, off);
    w->start = off;
    w->len = got > 0 ? (size_t)got : 0;
    if (got < 0)
        w->failed = true;
    // Fewer bytes than the size said: the file was cut meanwhile.
    return w->len >= n ? w->buf.data() : nullptr;
}

static unsigned u16(const unsigned char *p, const encoding &enc)
{
    return enc.bigEndian ? (unsigned)p[0] << 8 | p[1] : (unsigned)p[1] << 8 | p[0];
}

static uint32_t u32(const unsigned char *p, const encoding &enc)
{
    return enc.bigEndian ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
                         : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

// Explicit VRs whose length takes 4 bytes (after 2 reserved ones).
static bool longVr(const char *vr)
{
    static const char *const longs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                        "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char *l : longs) {
        if (vr[0] == l[0] && vr[1] == l[1])
            return true;
    }
    return false;
}

static bool walkDataset(walk *w, const encoding &enc, off_t *pos, off_t end, bool delimited,
                        int depth, std::string *sopClass, std::string *instance);

// Walks the items of a sequence from *pos: up to end (defined length), or
// up to and past its sequence delimitation item (delimited, within end).
// The items of encapsulated pixel data (fragments) are skipped whole.
static bool walkSequence(walk *w, const encoding &enc, off_t *pos, off_t end, bool delimited,
                         bool fragments, int depth)
{
    if (depth > w->maxLevel)
        return false;
    for (;;) {
        if (*pos == end && !delimited)
            return true;
        const unsigned char *h = end - *pos >= 8 ? bytesAt(w, *pos, 8) : nullptr;
        if (h == nullptr || u16(h, enc) != 0xFFFE)
            return false;
        unsigned element = u16(h + 2, enc);
        uint32_t length = u32(h + 4, enc);
        *pos += 8;
        if (element == 0xE0DD)
            return delimited && length == 0;
        if (element != 0xE000)
            return false;
        if (!fragments && w->itemsLeft >= 0 && w->itemsLeft-- == 0)
            return false;
        if (length == UNDEFINED_LENGTH) {
            if (fragments || !walkDataset(w, enc, pos, end, true, depth + 1, nullptr, nullptr))
                return false;
            continue;
        }
        if ((off_t)length > end - *pos)
            return false;
        off_t itemEnd = *pos + length;
        if (!fragments && !walkDataset(w, enc, pos, itemEnd, false, depth + 1, nullptr, nullptr))
            return false;
        *pos = itemEnd;
    }
}

// Keeps the value at off (length bytes) in *out, trailing spaces and NULs
// cut.
static bool readUid(walk *w, off_t off, uint32_t length, std::string *out)
{
    size_t n = length < (uint32_t)UID_READ ? length : (size_t)UID_READ;
    const unsigned char *v = n > 0 ? bytesAt(w, off, n) : (const unsigned char *)"";
    if (v == nullptr)
        return false;
    while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\0'))
        n--;
    out->assign((const char *)v, n);
    return true;
}

// Walks the elements of a data set from *pos: up to end, or, when
// delimited, up to and past its item delimitation item (within end).
// sopClass and instance (the file's own data set only, else null) receive
// the two UIDs. false: damaged, a read failed (w->failed) or an element
// is not walked here (w->foreign).
static bool walkDataset(walk *w, const encoding &enc, off_t *pos, off_t end, bool delimited,
                        int depth, std::string *sopClass, std::string *instance)
{
    if (depth > w->maxLevel)
        return false;
    for (;;) {
        if (*pos == end)
            return !delimited;
        const unsigned char *h = end - *pos >= 8 ? bytesAt(w, *pos, 8) : nullptr;
        if (h == nullptr)
            return false;
        unsigned group = u16(h, enc);
        unsigned element = u16(h + 2, enc);
        if (group == 0xFFFE) {
            // Only an item delimitation item ends a data set, and only one
            // of an item of undefined length.
            if (!delimited || element != 0xE00D || u32(h + 4, enc) != 0)
                return false;
            *pos += 8;
            return true;
        }
        char vr[3] = "";
        uint32_t length;
        off_t valueAt;
        if (enc.implicitVr) {
            length = u32(h + 4, enc);
            valueAt = *pos + 8;
        } else {
            vr[0] = (char)h[4];
            vr[1] = (char)h[5];
            // Bytes that are no VR: damage, or an encoding of a writer
            // other than this server's, which the toolkit may still read.
            if (vr[0] < 'A' || vr[0] > 'Z' || vr[1] < 'A' || vr[1] > 'Z') {
                w->foreign = true;
                return false;
            }
            if (longVr(vr)) {
                h = end - *pos >= 12 ? bytesAt(w, *pos, 12) : nullptr;
                if (h == nullptr)
                    return false;
                length = u32(h + 8, enc);
                valueAt = *pos + 12;
            } else {
                length = u16(h + 6, enc);
                valueAt = *pos + 8;
            }
        }
        bool sequence = enc.implicitVr || strcmp(vr, "SQ") == 0;
        if (length == UNDEFINED_LENGTH) {
            // A sequence; an unknown element of undefined length holds one
            // in implicit VR little endian; OB or OW of undefined length is
            // encapsulated pixel data.
            bool unknown = strcmp(vr, "UN") == 0;
            bool pixels = strcmp(vr, "OB") == 0 || strcmp(vr, "OW") == 0;
            if (!sequence && !unknown && !pixels)
                return false;
            encoding inner = unknown ? encoding{true, false} : enc;
            *pos = valueAt;
            if (!walkSequence(w, inner, pos, end, true, pixels, depth + 1))
                return false;
            continue;
        }
        if ((off_t)length > end - valueAt)
            return false;
        // A sequence of defined length is walked too when its VR says so
        // (in implicit VR only the data dictionary would).
        if (!enc.implicitVr && sequence) {
            *pos = valueAt;
            if (!walkSequence(w, enc, pos, valueAt + length, false, false, depth + 1))
                return false;
        } else if (sopClass != nullptr && group == 0x0008 &&
                   (element == 0x0016 || element == 0x0018)) {
            if (!readUid(w, valueAt, length, element == 0x0016 ? sopClass : instance))
                return false;
        }
        *pos = valueAt + length;
    }
}

// A walk of the file open at fd, size bytes, within limits.
static walk startWalk(int fd, off_t size, const imagecheck_limits &limits)
{
    walk w;
    w.fd = fd;
    w.size = size;
    w.buf.resize(WINDOW);
    w.start = 0;
    w.len = 0;
    w.failed = false;
    w.foreign = false;
    // The data set is level 0, a sequence in it level 1, its items level
    // 2, and so on.
    w.maxLevel = 2 * limits.maxDepth;
    w.itemsLeft = limits.maxItems > 0 ? limits.maxItems : -1;
    w.want = FIRST_READ;
    return w;
}

// Walks the data set from pos to the file's end in the encoding of xfer.
static int walkFrom(walk *w, off_t pos, const std::string &xfer, std::string *sopClass,
                    std::string *instance)
{
    encoding enc = {xfer == "1.2.840.10008.1.2", xfer == "1.2.840.10008.1.2.2"};
    if (walkDataset(w, enc, &pos, w->size, false, 0, sopClass, instance))
        return IMAGECHECK_WHOLE;
    if (w->failed)
        return IMAGECHECK_UNREAD;
    return w->foreign ? IMAGECHECK_FOREIGN : IMAGECHECK_DAMAGED;
}

int imagecheck_walk(int fd, std::string *sopClass, std::string *instance)
{
    return imagecheck_walkWithin(fd, imagecheck_limits{IMAGECHECK_DEFAULT_DEPTH, 0}, sopClass,
                                 instance);
}

int imagecheck_walkWithin(int fd, const imagecheck_limits &limits, std::string *sopClass,
                          std::string *instance)
{
    sopClass->clear();
    instance->clear();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IMAGECHECK_UNREAD;
    walk w = startWalk(fd, st.st_size, limits);
    std::string metaClass, xfer;
    size_t datasetStart = 0;
    int parsed = 0;
    // The meta header from the first read, else (a longer header) from a
    // whole window.
    for (int attempt = 0; attempt < 2 && (parsed != 1 || datasetStart == 0); attempt++) {
        w.len = 0; // read afresh
        if (bytesAt(&w, 0, 1) == nullptr)
            return w.failed ? IMAGECHECK_UNREAD : IMAGECHECK_DAMAGED;
        parsed = retrievelist_parseMeta(w.buf.data(), w.len, &metaClass, &xfer, &datasetStart);
        if ((off_t)w.len == w.size)
            break; // the whole file was read: no more to try
    }
    if (parsed != 1)
        return IMAGECHECK_FOREIGN;
    if (datasetStart == 0)
        // Nothing after the header, or a header longer than the window.
        return (off_t)w.len == w.size ? IMAGECHECK_DAMAGED : IMAGECHECK_FOREIGN;
    if (xfer == "1.2.840.10008.1.2.1.99")
        return IMAGECHECK_FOREIGN;
    return walkFrom(&w, (off_t)datasetStart, xfer, sopClass, instance);
}

int imagecheck_walkDataset(int fd, off_t start, const std::string &xfer,
                           const imagecheck_limits &limits, std::string *sopClass,
                           std::string *instance)
{
    sopClass->clear();
    instance->clear();
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IMAGECHECK_UNREAD;
    if (xfer == "1.2.840.10008.1.2.1.99")
        return IMAGECHECK_FOREIGN;
    walk w = startWalk(fd, st.st_size, limits);
    return walkFrom(&w, start, xfer, sopClass, instance);
}
