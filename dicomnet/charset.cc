// Specific character set conversion: one attribute value from the
// encodings that a dataset's Specific Character Set names (with ISO 2022
// escape sequences between segments) into a target encoding, via iconv.
#include "dicomnet/dicomnet.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

struct scs_term {
    const char *term;
    const char *encoding;
};

// Defined terms of a single-valued set (and of the first value of a
// multi-valued one); exact, case-sensitive, first match wins.
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
    {"ISO_IR 13", "SJIS"},
    {"ISO_IR 166", "ISO-IR-166"},
    {"ISO_IR 192", "UTF-8"},
    {"GB18030", "GB18030"},
};

// Code extension terms, consulted for the first value of a multi-valued set.
static const scs_term extension_terms[] = {
    {"ISO 2022 IR 6", "ASCII"},        {"ISO 2022 IR 100", "ISO-8859-1"},
    {"ISO 2022 IR 101", "ISO-8859-2"}, {"ISO 2022 IR 109", "ISO-8859-3"},
    {"ISO 2022 IR 110", "ISO-8859-4"}, {"ISO 2022 IR 144", "ISO-8859-5"},
    {"ISO 2022 IR 127", "ISO-8859-6"}, {"ISO 2022 IR 126", "ISO-8859-7"},
    {"ISO 2022 IR 138", "ISO-8859-8"}, {"ISO 2022 IR 148", "ISO-8859-9"},
    {"ISO 2022 IR 13", "SJIS"},        {"ISO 2022 IR 166", "ISO-IR-166"},
    {"ISO 2022 IR 87", "SJIS"},        {"ISO 2022 IR 159", "SJIS"},
    {"ISO 2022 IR 149", "EUC-KR"},
};

struct scs_escape {
    const char *sequence; // the bytes after ESC
    const char *encoding;
    int backup; // bytes of the sequence handed on with the text
};

// The stateful ISO-2022-JP converters need their designating sequence in
// the input, hence the back-up counts of 3 and 4.
static const scs_escape escape_table[] = {
    {"(B", "ASCII", 0},      {"-A", "ISO-8859-1", 0},  {"-B", "ISO-8859-2", 0},
    {"-C", "ISO-8859-3", 0}, {"-D", "ISO-8859-4", 0},  {"-L", "ISO-8859-5", 0},
    {"-G", "ISO-8859-6", 0}, {"-F", "ISO-8859-7", 0},  {"-H", "ISO-8859-8", 0},
    {"-M", "ISO-8859-9", 0}, {")I", "SJIS", 0},        {"(J", "SJIS", 0},
    {"-T", "ISO-IR-166", 0}, {"$B", "ISO-2022-JP", 3}, {"$(D", "ISO-2022-JP2", 4},
    {"$)C", "EUC-KR", 0},
};

enum { SCS_RESULT_SIZE = 2048, SCS_TERM_SIZE = 64 };
static const char ESC = 0x1b;

// Shared result; at most SCS_RESULT_SIZE - 1 bytes are produced, so the
// last byte stays NUL.
static char scs_result[SCS_RESULT_SIZE];

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

static const char *lookup_term(const scs_term *table, size_t n, const char *term)
{
    for (size_t i = 0; i < n; i++)
        if (strcmp(table[i].term, term) == 0)
            return table[i].encoding;
    return nullptr;
}

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

// iconv_open, also under the platform's spelling of a table name (glibc
// knows "ISO-2022-JP-2", not "ISO-2022-JP2").
static iconv_t open_converter(const char *target, const char *source)
{
    iconv_t cd = iconv_open(target, source);
    if (cd == (iconv_t)-1 && strcmp(source, "ISO-2022-JP2") == 0)
        cd = iconv_open(target, "ISO-2022-JP-2");
    return cd;
}

static const char *convert_single(const char *text, const char *term, const char *target)
{
    const char *encoding = lookup_term(single_terms, COUNT_OF(single_terms), term);
    if (encoding == nullptr)
        encoding = "ISO-8859-1";
    iconv_t cd = open_converter(target, encoding);
    if (cd == (iconv_t)-1)
        return nullptr;
    char *in = const_cast<char *>(text);
    size_t inleft = strlen(text) + 1;
    char *out = scs_result;
    size_t outleft = SCS_RESULT_SIZE - 1;
    // A stop on invalid input or a full buffer leaves the converted prefix.
    iconv(cd, &in, &inleft, &out, &outleft);
    iconv_close(cd);
    *out = '\0';
    return scs_result;
}

// Converts [start, end) from encoding, appending at *used. 0 when the
// whole segment went in, -1 without converter, -2 when it stopped early.
static int convert_segment(const char *start, const char *end, const char *encoding,
                           const char *target, size_t *used)
{
    iconv_t cd = open_converter(target, encoding);
    if (cd == (iconv_t)-1)
        return -1;
    char *in = const_cast<char *>(start);
    size_t inleft = (size_t)(end - start);
    char *out = scs_result + *used;
    size_t outleft = SCS_RESULT_SIZE - 1 - *used;
    size_t rc = iconv(cd, &in, &inleft, &out, &outleft);
    if (rc != (size_t)-1)
        rc = iconv(cd, nullptr, nullptr, &out, &outleft);
    iconv_close(cd);
    *used = (size_t)(out - scs_result);
    return (rc == (size_t)-1 || inleft != 0) ? -2 : 0;
}

static const scs_escape *find_escape(const char *at)
{
    for (size_t i = 0; i < COUNT_OF(escape_table); i++) {
        size_t n = strlen(escape_table[i].sequence);
        // strncmp stops at the text's NUL, so a cut sequence never matches.
        if (strncmp(at + 1, escape_table[i].sequence, n) == 0)
            return &escape_table[i];
    }
    return nullptr;
}

static int ends_segment(char c, int personName, const char *encoding)
{
    if (c == '\r' || c == '\n' || c == '\f' || c == '\\' || c == ESC || c == '\0')
        return 1;
    // "=" and "^" are bytes of two-byte characters in JIS X 0208 text.
    return personName && (c == '=' || c == '^') && strncmp(encoding, "ISO-2022-JP", 11) != 0;
}

static const char *convert_multi(const char *text, const char *scs, int personName,
                                 const char *target)
{
    char first[SCS_TERM_SIZE];
    copy_term(first, scs);
    const char *initial = lookup_term(single_terms, COUNT_OF(single_terms), first);
    if (initial == nullptr)
        initial = lookup_term(extension_terms, COUNT_OF(extension_terms), first);
    if (initial == nullptr)
        initial = "ISO-8859-1";
    const char *current = initial;
    size_t used = 0;
    const char *segment = text;
    const char *p = text;
    for (;;) {
        if (!ends_segment(*p, personName, current)) {
            p++;
            continue;
        }
        int rc = convert_segment(segment, p, current, target, &used);
        if (rc == -1)
            return DCMTK_SCS_FAIL;
        if (rc != 0)
            return DCMTK_SCS_INCOMPLETE;
        if (*p == ESC) {
            const scs_escape *esc = find_escape(p);
            if (esc == nullptr)
                return DCMTK_SCS_UNKNOWN_ESC;
            size_t length = 1 + strlen(esc->sequence);
            current = esc->encoding;
            segment = p + length - esc->backup;
            p += length;
            continue;
        }
        if (*p == '\0') {
            scs_result[used] = '\0';
            return scs_result;
        }
        if (used >= SCS_RESULT_SIZE - 1)
            return DCMTK_SCS_INCOMPLETE;
        scs_result[used++] = *p;
        current = initial;
        p++;
        segment = p;
    }
}

const char *DCMTK_convertSCS(const char *text, const char *specificCharacterSet, int personName,
                             const char *targetEncoding)
{
    if (text == nullptr || targetEncoding == nullptr)
        return nullptr;
    if (specificCharacterSet == nullptr)
        specificCharacterSet = "";
    if (strchr(specificCharacterSet, '\\') == nullptr) {
        char term[SCS_TERM_SIZE];
        copy_term(term, specificCharacterSet);
        return convert_single(text, term, targetEncoding);
    }
    return convert_multi(text, specificCharacterSet, personName, targetEncoding);
}
