// Attribute matching of one query key against one stored value: compiling
// a key (universal, empty-value, single value, UID list, range) and testing
// a value against it.
#include "index/keymatch.h"

#include <string.h>

#include "index/casefold.h"
#include "index/uidtree.h"

// Lengths of the normalised digit strings: YYYYMMDD, HHMMSSFFFFFF and
// YYYYMMDDHHMMSSFFFFFF.
static size_t digitLength(int kind)
{
    switch (kind) {
    case KEYMATCH_DATE:
        return 8;
    case KEYMATCH_TIME:
        return 12;
    default:
        return 20;
    }
}

static size_t trimmedLength(const char *value, size_t len)
{
    while (len > 0 && (value[len - 1] == ' ' || value[len - 1] == '\0'))
        len--;
    return len;
}

static std::string trimmed(const char *value, size_t len)
{
    size_t start = 0;
    while (start < len && value[start] == ' ')
        start++;
    return std::string(value + start, trimmedLength(value + start, len - start));
}

// Splits text at every backslash.
static std::vector<std::string> splitValues(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string keymatch_digits(int kind, const char *value, size_t len, char pad)
{
    std::string d;
    size_t want = digitLength(kind);
    for (size_t i = 0; i < len && d.size() < want; i++) {
        char c = value[i];
        if (c >= '0' && c <= '9') {
            d.push_back(c);
        } else if (c == '+' || (c == '-' && kind == KEYMATCH_DATETIME)) {
            break; // a time zone offset: compared in local terms
        } else if (c == '.' && kind != KEYMATCH_DATE) {
            // The fraction starts after the seconds: pad what is missing
            // before it so that the fraction lands in its place.
            size_t secondsEnd = kind == KEYMATCH_TIME ? 6 : 14;
            while (d.size() < secondsEnd)
                d.push_back('0');
        }
        // Any other character (the "." of old dates, ":" of old times, a
        // space) separates and is dropped.
    }
    if (d.empty())
        return d;
    while (d.size() < want)
        d.push_back(pad);
    return d;
}

// Finds the hyphen that separates a range, or npos. In a date-time a
// hyphen may also start a time zone offset (four digits after a value of
// more than four digits): such a hyphen is skipped.
static size_t rangeHyphen(int kind, const std::string &v)
{
    size_t at = 0;
    for (;;) {
        size_t h = v.find('-', at);
        if (h == std::string::npos || kind != KEYMATCH_DATETIME)
            return h;
        size_t digitsBefore = 0;
        for (size_t i = h; i > 0 && v[i - 1] >= '0' && v[i - 1] <= '9'; i--)
            digitsBefore++;
        size_t digitsAfter = 0;
        for (size_t i = h + 1; i < v.size() && v[i] >= '0' && v[i] <= '9'; i++)
            digitsAfter++;
        bool zone = digitsBefore > 4 && digitsAfter == 4 && (h + 5 == v.size() || v[h + 5] == '-');
        if (!zone)
            return h;
        at = h + 1;
    }
}

// One date, time or date-time value (not a range) as the standard lays
// it out: a date of eight digits (also YYYY.MM.DD), a time of 2, 4 or 6
// digits with an optional fraction of up to 6 (also HH:MM:SS), a date-time
// of 4 to 14 digits in pairs after the year, a fraction after 14, and an
// optional &HHMM or -HHMM offset.
static bool wellFormedValue(int kind, const std::string &v)
{
    std::string digits, fraction;
    bool inFraction = false;
    size_t i = 0;
    for (; i < v.size(); i++) {
        char c = v[i];
        if (c >= '0' && c <= '9')
            (inFraction ? fraction : digits).push_back(c);
        else if (c == '.' && kind != KEYMATCH_DATE && !inFraction &&
                 digits.size() == (kind == KEYMATCH_TIME ? 6u : 14u))
            inFraction = true;
        else if (c == '.' && kind == KEYMATCH_DATE && (i == 4 || i == 7))
            continue;
        else if (c == ':' && kind == KEYMATCH_TIME && (i == 2 || i == 5))
            continue;
        else if ((c == '+' || c == '-') && kind == KEYMATCH_DATETIME)
            break;
        else
            return false;
    }
    if (i < v.size()) {
        // A date-time's offset: a sign and four digits, nothing after.
        std::string zone = v.substr(i + 1);
        if (zone.size() != 4 || zone.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    if (inFraction && (fraction.empty() || fraction.size() > 6))
        return false;
    size_t n = digits.size();
    auto number = [&digits](size_t at) { return (digits[at] - '0') * 10 + (digits[at + 1] - '0'); };
    size_t timeAt;
    if (kind == KEYMATCH_DATE) {
        if (n != 8)
            return false;
        timeAt = n;
    } else if (kind == KEYMATCH_TIME) {
        if (n != 2 && n != 4 && n != 6)
            return false;
        timeAt = 0;
    } else {
        if (n < 4 || n > 14 || n % 2 != 0)
            return false;
        timeAt = 8;
    }
    if (kind != KEYMATCH_TIME && n >= 6 && (number(4) < 1 || number(4) > 12))
        return false;
    if (kind != KEYMATCH_TIME && n >= 8 && (number(6) < 1 || number(6) > 31))
        return false;
    // Hours, minutes, seconds (60 is a leap second).
    static const int top[] = {23, 59, 60};
    for (size_t f = 0; f < 3 && timeAt + 2 * f + 2 <= n; f++)
        if (number(timeAt + 2 * f) > top[f])
            return false;
    return true;
}

bool keymatch_wellFormed(int kind, const char *value)
{
    std::string v = value ? trimmed(value, strlen(value)) : std::string();
    if (v.empty() || v == "*" || v == "\"\"")
        return true;
    if (kind == KEYMATCH_UID) {
        for (const std::string &one : splitValues(v)) {
            std::string u = trimmed(one.data(), one.size());
            if (uidtree_uidProblem(u.c_str()) != nullptr)
                return false;
        }
        return true;
    }
    if (kind != KEYMATCH_DATE && kind != KEYMATCH_TIME && kind != KEYMATCH_DATETIME)
        return true;
    size_t h = rangeHyphen(kind, v);
    if (h == std::string::npos)
        return wellFormedValue(kind, v);
    std::string lo = v.substr(0, h), hi = v.substr(h + 1);
    // "-" alone bounds nothing: not a range.
    return !(lo.empty() && hi.empty()) && (lo.empty() || wellFormedValue(kind, lo)) &&
           (hi.empty() || wellFormedValue(kind, hi));
}

static void compileRange(keymatch_key *k, const std::string &v)
{
    size_t h = rangeHyphen(k->kind, v);
    if (h == std::string::npos) {
        k->lo = keymatch_digits(k->kind, v.data(), v.size(), '0');
        k->hi = keymatch_digits(k->kind, v.data(), v.size(), '9');
    } else {
        k->lo = keymatch_digits(k->kind, v.data(), h, '0');
        k->hi = keymatch_digits(k->kind, v.data() + h + 1, v.size() - h - 1, '9');
    }
}

bool keymatch_compile(keymatch_key *k, int kind, const char *value)
{
    *k = keymatch_key();
    k->kind = kind;
    std::string v = value ? trimmed(value, strlen(value)) : std::string();
    if (v.empty() || v == "*")
        return true;
    k->universal = false;
    if (v == "\"\"") {
        k->emptyOnly = true;
        return false;
    }
    switch (kind) {
    case KEYMATCH_UID:
    case KEYMATCH_CODES:
        for (const std::string &one : splitValues(v))
            k->list.push_back(trimmed(one.data(), one.size()));
        break;
    case KEYMATCH_DATE:
    case KEYMATCH_TIME:
    case KEYMATCH_DATETIME:
        compileRange(k, v);
        if (k->lo.empty() && k->hi.empty())
            k->universal = true; // "-" alone, or no digits at all
        break;
    case KEYMATCH_PN:
        // Empty trailing components are padding: DOE^JOHN^^ is DOE^JOHN.
        while (v.size() > 1 && v.back() == '^')
            v.pop_back();
        k->pattern = v;
        break;
    default:
        k->pattern = v;
        break;
    }
    return k->universal;
}

bool keymatch_compileDateTime(keymatch_key *k, const char *date, const char *time)
{
    keymatch_key d, t;
    keymatch_compile(&d, KEYMATCH_DATE, date);
    keymatch_compile(&t, KEYMATCH_TIME, time);
    *k = keymatch_key();
    k->kind = KEYMATCH_DATETIME;
    if (d.universal && t.universal)
        return true;
    k->universal = false;
    // An open time end is the start (lower) or end (upper) of the day.
    std::string tlo = t.universal || t.lo.empty() ? std::string(12, '0') : t.lo;
    std::string thi = t.universal || t.hi.empty() ? std::string(12, '9') : t.hi;
    if (!d.universal && !d.emptyOnly) {
        if (!d.lo.empty())
            k->lo = d.lo + tlo;
        if (!d.hi.empty())
            k->hi = d.hi + thi;
    } else {
        // No date condition: the time bounds alone hold on every day, so the
        // combined form adds nothing; keep the plain time range.
        k->kind = KEYMATCH_TIME;
        k->lo = t.lo;
        k->hi = t.hi;
    }
    return false;
}

// ---------------------------------------------------------------------------

// Length of the character that starts at s (at most n bytes): a whole UTF-8
// sequence, else one byte.
static size_t charLength(const char *s, size_t n)
{
    unsigned char c = (unsigned char)s[0];
    size_t len = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 1;
    if (len > n)
        return 1;
    for (size_t i = 1; i < len; i++) {
        if (((unsigned char)s[i] & 0xC0) != 0x80)
            return 1;
    }
    return len;
}

// The character at s (n > 0 bytes left) and its length in bytes: the code
// point of a well-formed UTF-8 sequence, else the byte alone, as a number
// past every code point (so that it equals only the same stray byte).
static uint32_t charAt(const char *s, size_t n, size_t *len)
{
    unsigned char c = (unsigned char)s[0];
    *len = 1;
    if (c < 0x80)
        return c;
    size_t l = charLength(s, n);
    if (l == 1)
        return 0x110000u + c;
    uint32_t cp = c & (0x7Fu >> l);
    for (size_t i = 1; i < l; i++)
        cp = (cp << 6) | ((unsigned char)s[i] & 0x3Fu);
    // An overlong sequence is no spelling of its character.
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[l])
        return 0x110000u + c;
    *len = l;
    return cp;
}

// Whether the characters at a and b are the same, without regard to case
// with noCase (index/casefold.h); *alen and *blen get their lengths.
static bool sameChar(const char *a, size_t an, const char *b, size_t bn, bool noCase, size_t *alen,
                     size_t *blen)
{
    *alen = *blen = 1;
    if (!noCase)
        return *a == *b;
    // ASCII, the common case, without decoding.
    if ((unsigned char)*a < 0x80 && (unsigned char)*b < 0x80)
        return casefold_char((unsigned char)*a) == casefold_char((unsigned char)*b);
    uint32_t x = charAt(a, an, alen), y = charAt(b, bn, blen);
    return x == y || casefold_char(x) == casefold_char(y);
}

size_t keymatch_asciiFoldSpan(const char *key, size_t len)
{
    size_t at = 0, l;
    while (at < len) {
        uint32_t c = charAt(key + at, len - at, &l);
        // A stray byte is compared as itself.
        if (c >= 0x80 && c < 0x110000u && !casefold_caseless(c))
            break;
        at += l;
    }
    return at;
}

bool keymatch_wildcard(const char *value, size_t vlen, const char *pattern, size_t plen,
                       bool noCase)
{
    // Iterative match with one back-track point: the last "*" seen and the
    // value position it has swallowed up to. Linear in practice, never
    // exponential.
    size_t v = 0, p = 0, vl, pl;
    size_t starP = (size_t)-1, starV = 0;
    while (v < vlen) {
        if (p < plen && pattern[p] == '*') {
            starP = ++p;
            starV = v;
        } else if (p < plen && pattern[p] == '?') {
            v += charLength(value + v, vlen - v);
            p++;
        } else if (p < plen &&
                   sameChar(value + v, vlen - v, pattern + p, plen - p, noCase, &vl, &pl)) {
            v += vl;
            p += pl;
        } else if (starP != (size_t)-1) {
            starV += charLength(value + starV, vlen - starV);
            v = starV;
            p = starP;
        } else {
            return false;
        }
    }
    while (p < plen && pattern[p] == '*')
        p++;
    return p == plen;
}

// A person name without its empty trailing components (DOE^JOHN^^ is
// DOE^JOHN): the length of what is left.
static size_t nameLength(const char *v, size_t len)
{
    while (len > 0 && v[len - 1] == '^')
        len--;
    return len;
}

static bool matchPersonName(const keymatch_key &k, const char *v, size_t len)
{
    const std::string &p = k.pattern;
    if (keymatch_wildcard(v, nameLength(v, len), p.data(), p.size(), true))
        return true;
    // A key without component groups may name the person in any one of the
    // stored groups (alphabetic, ideographic, phonetic).
    const char *eq = (const char *)memchr(v, '=', len);
    if (p.find('=') != std::string::npos || eq == nullptr)
        return false;
    const char *end = v + len;
    for (const char *g = v; g <= end;) {
        const char *ge = (const char *)memchr(g, '=', (size_t)(end - g));
        if (ge == nullptr)
            ge = end;
        size_t glen = nameLength(g, (size_t)(ge - g));
        if (glen > 0 && keymatch_wildcard(g, glen, p.data(), p.size(), true))
            return true;
        g = ge + 1;
    }
    return false;
}

// Calls f(value, length) for each backslash-separated value of v (without
// padding) until it returns true; true when one did.
template <typename F> static bool anyValue(const char *v, size_t len, F f)
{
    const char *end = v + len;
    for (const char *s = v; s <= end;) {
        const char *e = (const char *)memchr(s, '\\', (size_t)(end - s));
        if (e == nullptr)
            e = end;
        const char *b = s;
        while (b < e && *b == ' ')
            b++;
        if (f(b, trimmedLength(b, (size_t)(e - b))))
            return true;
        s = e + 1;
    }
    return false;
}

bool keymatch_matches(const keymatch_key &k, const char *value, size_t len)
{
    if (k.universal)
        return true;
    // Called for every candidate record: no copies, no allocation.
    if (!value)
        len = 0;
    while (len > 0 && *value == ' ') {
        value++;
        len--;
    }
    len = trimmedLength(value, len);
    if (k.emptyOnly)
        return len == 0;
    // A value that is not there matches no key but the universal one.
    if (len == 0)
        return false;
    switch (k.kind) {
    case KEYMATCH_UID:
        for (const std::string &uid : k.list) {
            if (uid.size() == len && memcmp(uid.data(), value, len) == 0)
                return true;
        }
        return false;
    case KEYMATCH_CODES:
        return anyValue(value, len, [&k](const char *c, size_t n) {
            for (const std::string &want : k.list) {
                if (keymatch_wildcard(c, n, want.data(), want.size(), false))
                    return true;
            }
            return false;
        });
    case KEYMATCH_DATE:
    case KEYMATCH_TIME:
    case KEYMATCH_DATETIME: {
        std::string d = keymatch_digits(k.kind, value, len, '0');
        if (d.empty())
            return false;
        return (k.lo.empty() || d >= k.lo) && (k.hi.empty() || d <= k.hi);
    }
    case KEYMATCH_PN:
        return matchPersonName(k, value, len);
    default: {
        const std::string &p = k.pattern;
        if (keymatch_wildcard(value, len, p.data(), p.size(), false))
            return true;
        // A multi-valued text matches when one of its values does.
        if (memchr(value, '\\', len) == nullptr || p.find('\\') != std::string::npos)
            return false;
        return anyValue(value, len, [&p](const char *c, size_t n) {
            return keymatch_wildcard(c, n, p.data(), p.size(), false);
        });
    }
    }
}
