// Specific character set conversion: one attribute value from the
// character sets that a dataset's Specific Character Set names into a
// target encoding. Single-valued sets are decoded whole (iconv); with code
// extensions the value is decoded as ISO 2022 text: escape sequences
// designate the G0 (bytes below 0x80) and G1 (bytes from 0x80) sets, and
// the initial designations of the first value come back at every value and
// line delimiter (and at "^" and "=" in person names). What cannot be
// decoded is kept as best as can be: a byte as the ISO 8859-1 character of
// that value, an unknown escape sequence as its own characters; the
// conversion is then marked lossy for the caller to log.
#include "dicomnet/dicomnet.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <string>

enum { SCS_RESULT_SIZE = 2048, SCS_TERM_SIZE = 64 };
static const char ESC = 0x1b;

// The result, one per thread: the web server's searches convert values side
// by side. At most SCS_RESULT_SIZE - 1 bytes are produced, so the last byte
// stays NUL.
static thread_local char scs_result[SCS_RESULT_SIZE];
// Non-zero when the thread's last conversion had to fall back somewhere.
static thread_local int scs_lossy;

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

// The graphic character sets of ISO 2022 text and how their bytes decode.
enum scs_set {
    SET_NONE,       // nothing designated
    SET_ASCII,      // G0: ISO 646 (IR 6), also JIS X 0201 romaji (IR 14)
    SET_KATAKANA,   // G1: JIS X 0201 katakana (IR 13)
    SET_SINGLE,     // G1: a 96-character set decoded by iconv (ISO 8859-x, TIS 620)
    SET_JISX0208,   // G0: two bytes 0x21-0x7E (IR 87)
    SET_JISX0212,   // G0: two bytes 0x21-0x7E (IR 159)
    SET_TWO_BYTE_G1 // G1: two bytes 0xA1-0xFE decoded by iconv (IR 149 KS X 1001, IR 58 GB 2312)
};

struct scs_designation {
    int set;
    const char *encoding; // iconv name for SET_SINGLE and SET_TWO_BYTE_G1
};

// Defined terms of a single-valued set: decoded whole by iconv.
struct scs_term {
    const char *term;
    const char *encoding;
};
static const scs_term single_terms[] = {
    {"", "ASCII"},
    {"ISO_IR 6", "ASCII"},
    {"ISO_IR 100", "ISO-8859-1"},
    {"ISO_IR 101", "ISO-8859-2"},
    {"ISO_IR 109", "ISO-8859-3"},
    {"ISO_IR 110", "ISO-8859-4"},
    {"ISO_IR 144", "ISO-8859-5"},
    {"ISO_IR 127", "ISO-8859-6"},
    {"ISO_IR 126", "ISO-8859-7"},
    {"ISO_IR 138", "ISO-8859-8"},
    {"ISO_IR 148", "ISO-8859-9"},
    {"ISO_IR 203", "ISO-8859-15"},
    {"ISO_IR 13", "SJIS"},
    {"ISO_IR 166", "TIS-620"},
    {"ISO_IR 192", "UTF-8"},
    {"GB18030", "GB18030"},
    {"GBK", "GBK"},
};

// Terms with code extensions (and single-valued terms used as the first
// value of a multi-valued set): what they designate initially.
struct scs_extension {
    const char *term;
    scs_designation g0, g1;
};
static const scs_extension extension_terms[] = {
    {"", {SET_ASCII, nullptr}, {SET_NONE, nullptr}},
    {"ISO 2022 IR 6", {SET_ASCII, nullptr}, {SET_NONE, nullptr}},
    {"ISO 2022 IR 100", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-1"}},
    {"ISO 2022 IR 101", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-2"}},
    {"ISO 2022 IR 109", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-3"}},
    {"ISO 2022 IR 110", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-4"}},
    {"ISO 2022 IR 144", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-5"}},
    {"ISO 2022 IR 127", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-6"}},
    {"ISO 2022 IR 126", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-7"}},
    {"ISO 2022 IR 138", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-8"}},
    {"ISO 2022 IR 148", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-9"}},
    {"ISO 2022 IR 203", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-15"}},
    {"ISO 2022 IR 13", {SET_ASCII, nullptr}, {SET_KATAKANA, nullptr}},
    {"ISO 2022 IR 166", {SET_ASCII, nullptr}, {SET_SINGLE, "TIS-620"}},
    {"ISO 2022 IR 87", {SET_JISX0208, nullptr}, {SET_NONE, nullptr}},
    {"ISO 2022 IR 159", {SET_JISX0212, nullptr}, {SET_NONE, nullptr}},
    {"ISO 2022 IR 149", {SET_ASCII, nullptr}, {SET_TWO_BYTE_G1, "EUC-KR"}},
    {"ISO 2022 IR 58", {SET_ASCII, nullptr}, {SET_TWO_BYTE_G1, "GB2312"}},
    {"ISO_IR 6", {SET_ASCII, nullptr}, {SET_NONE, nullptr}},
    {"ISO_IR 100", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-1"}},
    {"ISO_IR 101", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-2"}},
    {"ISO_IR 109", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-3"}},
    {"ISO_IR 110", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-4"}},
    {"ISO_IR 144", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-5"}},
    {"ISO_IR 127", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-6"}},
    {"ISO_IR 126", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-7"}},
    {"ISO_IR 138", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-8"}},
    {"ISO_IR 148", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-9"}},
    {"ISO_IR 203", {SET_ASCII, nullptr}, {SET_SINGLE, "ISO-8859-15"}},
    {"ISO_IR 13", {SET_ASCII, nullptr}, {SET_KATAKANA, nullptr}},
    {"ISO_IR 166", {SET_ASCII, nullptr}, {SET_SINGLE, "TIS-620"}},
};

// Escape sequences (the bytes after ESC) and what they designate, as G0
// (set below SET_KATAKANA or a G0 two-byte set) or G1.
struct scs_escape {
    const char *sequence;
    int g1; // 1: designates G1, 0: G0
    scs_designation set;
};
static const scs_escape escape_table[] = {
    {"(B", 0, {SET_ASCII, nullptr}},         {"(J", 0, {SET_ASCII, nullptr}},
    {")I", 1, {SET_KATAKANA, nullptr}},      {"-A", 1, {SET_SINGLE, "ISO-8859-1"}},
    {"-B", 1, {SET_SINGLE, "ISO-8859-2"}},   {"-C", 1, {SET_SINGLE, "ISO-8859-3"}},
    {"-D", 1, {SET_SINGLE, "ISO-8859-4"}},   {"-L", 1, {SET_SINGLE, "ISO-8859-5"}},
    {"-G", 1, {SET_SINGLE, "ISO-8859-6"}},   {"-F", 1, {SET_SINGLE, "ISO-8859-7"}},
    {"-H", 1, {SET_SINGLE, "ISO-8859-8"}},   {"-M", 1, {SET_SINGLE, "ISO-8859-9"}},
    {"-b", 1, {SET_SINGLE, "ISO-8859-15"}},  {"-T", 1, {SET_SINGLE, "TIS-620"}},
    {"$B", 0, {SET_JISX0208, nullptr}},      {"$@", 0, {SET_JISX0208, nullptr}},
    {"$(D", 0, {SET_JISX0212, nullptr}},     {"$)C", 1, {SET_TWO_BYTE_G1, "EUC-KR"}},
    {"$)A", 1, {SET_TWO_BYTE_G1, "GB2312"}},
};

// Copies value into buf (size SCS_TERM_SIZE), cut at the first "\" and
// without leading and trailing spaces, which are padding in a CS value.
static void copy_term(char *buf, const char *value)
{
    while (*value == ' ')
        value++;
    size_t n = 0;
    while (n < SCS_TERM_SIZE - 1 && value[n] != '\0' && value[n] != '\\') {
        buf[n] = value[n];
        n++;
    }
    while (n > 0 && buf[n - 1] == ' ')
        n--;
    buf[n] = '\0';
}

// Appends the UTF-8 form of code point cp.
static void put_utf8(std::string &out, unsigned cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

// The fallback for bytes that do not decode: each byte as the ISO 8859-1
// character of its value, so nothing of the value is lost.
static void put_raw(std::string &out, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
        put_utf8(out, (unsigned char)bytes[i]);
    scs_lossy = 1;
}

// Decodes n bytes from encoding into UTF-8 appended to out; a byte that
// does not decode is kept by put_raw and decoding goes on after it.
static void decode_iconv(std::string &out, const char *encoding, const char *bytes, size_t n)
{
    iconv_t cd = iconv_open("UTF-8", encoding);
    if (cd == (iconv_t)-1) {
        put_raw(out, bytes, n);
        return;
    }
    char buf[1024];
    char *in = const_cast<char *>(bytes);
    size_t inleft = n;
    while (inleft > 0) {
        char *o = buf;
        size_t oleft = sizeof(buf);
        size_t rc = iconv(cd, &in, &inleft, &o, &oleft);
        out.append(buf, (size_t)(o - buf));
        if (rc == (size_t)-1 && errno != E2BIG) {
            // EILSEQ or EINVAL (a cut character): keep one byte, go on.
            put_raw(out, in, 1);
            in++;
            inleft--;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char *o = buf;
    size_t oleft = sizeof(buf);
    iconv(cd, nullptr, nullptr, &o, &oleft);
    out.append(buf, (size_t)(o - buf));
    iconv_close(cd);
}

// Decodes a single-valued set's text whole.
static void decode_single(std::string &out, const char *text, const char *term)
{
    const char *encoding = nullptr;
    for (const scs_term &t : single_terms) {
        if (strcmp(t.term, term) == 0)
            encoding = t.encoding;
    }
    if (encoding == nullptr) {
        // A term this system does not know: the bytes as ISO 8859-1.
        scs_lossy = 1;
        encoding = "ISO-8859-1";
    }
    decode_iconv(out, encoding, text, strlen(text));
}

static const scs_extension *find_extension(const char *term)
{
    for (const scs_extension &e : extension_terms) {
        if (strcmp(e.term, term) == 0)
            return &e;
    }
    return nullptr;
}

// The escape sequence at p (p[0] is ESC), or null. *length receives the
// length of the sequence as ISO 2022 frames it (ESC, intermediate bytes
// 0x20-0x2F, one final byte 0x30-0x7E), known or not.
static const scs_escape *find_escape(const char *p, size_t *length)
{
    size_t n = 1;
    while (p[n] >= 0x20 && p[n] <= 0x2F)
        n++;
    if (p[n] >= 0x30 && p[n] <= 0x7E)
        n++;
    *length = n;
    for (const scs_escape &e : escape_table) {
        if (strlen(e.sequence) == n - 1 && strncmp(p + 1, e.sequence, n - 1) == 0)
            return &e;
    }
    return nullptr;
}

static bool is_delimiter(char c, int personName)
{
    return c == '\r' || c == '\n' || c == '\f' || c == '\t' || c == '\\' ||
           (personName && (c == '^' || c == '='));
}

// Decodes ISO 2022 text with the initial designations of the first value.
static void decode_iso2022(std::string &out, const char *text, const char *scs, int personName)
{
    char first[SCS_TERM_SIZE];
    copy_term(first, scs);
    const scs_extension *initial = find_extension(first);
    if (initial == nullptr) {
        // Unknown first value: ASCII with ISO 8859-1 above, losing nothing.
        scs_lossy = 1;
        initial = find_extension("ISO 2022 IR 100");
    }
    scs_designation g0 = initial->g0, g1 = initial->g1;
    const char *p = text;
    while (*p != '\0') {
        unsigned char c = (unsigned char)*p;
        if (c == (unsigned char)ESC) {
            size_t length;
            const scs_escape *e = find_escape(p, &length);
            if (e == nullptr) {
                put_raw(out, p, length);
            } else if (e->g1) {
                g1 = e->set;
            } else {
                g0 = e->set;
            }
            p += length;
            continue;
        }
        if (c < 0x80) {
            bool twoByte = g0.set == SET_JISX0208 || g0.set == SET_JISX0212;
            if (twoByte && c >= 0x21 && c <= 0x7E && p[1] >= 0x21 && p[1] <= 0x7E) {
                // JIS X 0208/0212 in G0 through EUC-JP, where they sit
                // with the high bit set. "^", "=" and "\" may be bytes of
                // such a character: they are no delimiters here.
                char euc[3];
                size_t n = 0;
                if (g0.set == SET_JISX0212)
                    euc[n++] = (char)0x8F;
                euc[n++] = (char)(c | 0x80);
                euc[n++] = (char)((unsigned char)p[1] | 0x80);
                decode_iconv(out, "EUC-JP", euc, n);
                p += 2;
                continue;
            }
            if (twoByte && c >= 0x21 && c <= 0x7E) {
                put_raw(out, p, 1); // half a character
                p++;
                continue;
            }
            out += (char)c;
            p++;
            if (is_delimiter((char)c, personName)) {
                g0 = initial->g0;
                g1 = initial->g1;
            }
            continue;
        }
        switch (g1.set) {
        case SET_KATAKANA:
            if (c >= 0xA1 && c <= 0xDF)
                put_utf8(out, 0xFF61 + (c - 0xA1));
            else
                put_raw(out, p, 1);
            p++;
            break;
        case SET_SINGLE:
            decode_iconv(out, g1.encoding, p, 1);
            p++;
            break;
        case SET_TWO_BYTE_G1:
            if ((unsigned char)p[1] >= 0xA1) {
                decode_iconv(out, g1.encoding, p, 2);
                p += 2;
            } else {
                put_raw(out, p, 1);
                p++;
            }
            break;
        default:
            put_raw(out, p, 1);
            p++;
            break;
        }
    }
}

// Copies the UTF-8 text s into the result buffer, cut at a whole character
// so that at most SCS_RESULT_SIZE - 1 bytes are used.
static const char *result_utf8(const std::string &s)
{
    size_t n = s.size();
    if (n > SCS_RESULT_SIZE - 1) {
        n = SCS_RESULT_SIZE - 1;
        while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80)
            n--;
    }
    memcpy(scs_result, s.data(), n);
    scs_result[n] = '\0';
    return scs_result;
}

// Converts the UTF-8 text s into target in the result buffer; null when
// the platform has no converter to target.
static const char *result_in(const std::string &s, const char *target)
{
    if (strcmp(target, "UTF-8") == 0 || strcmp(target, "utf-8") == 0)
        return result_utf8(s);
    iconv_t cd = iconv_open(target, "UTF-8");
    if (cd == (iconv_t)-1)
        return nullptr;
    char *in = const_cast<char *>(s.data());
    size_t inleft = s.size();
    char *out = scs_result;
    size_t outleft = SCS_RESULT_SIZE - 1;
    // A character the target lacks, or a full buffer, ends the text there.
    if (iconv(cd, &in, &inleft, &out, &outleft) == (size_t)-1 && errno == EILSEQ)
        scs_lossy = 1;
    iconv_close(cd);
    *out = '\0';
    return scs_result;
}

const char *dicomnet_convertSCS(const char *text, const char *specificCharacterSet, int personName,
                                const char *targetEncoding)
{
    scs_lossy = 0;
    if (text == nullptr || targetEncoding == nullptr)
        return nullptr;
    if (specificCharacterSet == nullptr)
        specificCharacterSet = "";
    std::string out;
    char term[SCS_TERM_SIZE];
    copy_term(term, specificCharacterSet);
    // The multi-byte sets without code extensions allow no others: a second
    // value beside them is ignored.
    bool whole =
        strcmp(term, "ISO_IR 192") == 0 || strcmp(term, "GB18030") == 0 || strcmp(term, "GBK") == 0;
    if (whole || strchr(specificCharacterSet, '\\') == nullptr) {
        // A lone code extension term (ISO 2022 IR 100, ...) still means
        // ISO 2022 text.
        if (strncmp(term, "ISO 2022 ", 9) == 0 && find_extension(term) != nullptr)
            decode_iso2022(out, text, term, personName);
        else
            decode_single(out, text, term);
    } else {
        decode_iso2022(out, text, specificCharacterSet, personName);
    }
    return result_in(out, targetEncoding);
}

int dicomnet_convertSCS_lossy(void)
{
    return scs_lossy;
}
