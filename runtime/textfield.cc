// Quoting of configuration text fields, reading one field from a line, and
// the SQL array literal of texts.
#include "runtime/textfield.h"

#include <ctype.h>
#include <libintl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/vrstring.h"

// Whether c must be written as an escape inside double quotes, and its
// escaped length; 1 when it stands as itself.
static size_t textfield_escaped_len(unsigned char c)
{
    switch (c) {
    case '\r':
    case '\t':
    case '\n':
    case '"':
    case '\\':
    case '\'':
        return 2;
    }
    return (c < 32 || c >= 128) ? 4 : 1;
}

// Whether the text cannot stand unquoted. A single quote counts too: the
// reader would take it for the start of a single-quoted piece.
static bool textfield_needs_quotes(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (*p == '\r' || *p == '\t' || *p == '\n' || *p == '"' || *p == '\\' || *p == '\'' ||
            isspace(*p))
            return true;
    }
    return false;
}

int parse_string_makeescaped(const char *text, char **result, int force)
{
    *result = nullptr;
    if (!force && text[0] != '\0' && !textfield_needs_quotes(text)) {
        *result = strdup(text);
        return *result != nullptr ? 0 : 1;
    }

    size_t len = 2;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        len += textfield_escaped_len(*p);
    char *buf = (char *)malloc(len + 1);
    if (buf == nullptr)
        return 1;

    char *q = buf;
    *q++ = '"';
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        switch (*p) {
        case '\r':
            *q++ = '\\';
            *q++ = 'r';
            break;
        case '\t':
            *q++ = '\\';
            *q++ = 't';
            break;
        case '\n':
            *q++ = '\\';
            *q++ = 'n';
            break;
        case '"':
        case '\\':
        case '\'':
            *q++ = '\\';
            *q++ = (char)*p;
            break;
        default:
            if (*p < 32 || *p >= 128) {
                q += snprintf(q, 5, "\\x%02x", *p);
            } else {
                *q++ = (char)*p;
            }
        }
    }
    *q++ = '"';
    *q = '\0';
    if ((size_t)(q - buf) != len)
        fprintf(stderr, "AIEE:parse_string_makeescaped() lengthcheck: %d %d.\n", (int)len,
                (int)(q - buf));
    *result = buf;
    return 0;
}

static int textfield_hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the escape at p (which points at the backslash). Stores the byte
// in *byte (-1 when the escape yields nothing) and returns the number of
// characters it spans.
static size_t textfield_decode_escape(const char *p, int *byte)
{
    *byte = -1;
    switch (p[1]) {
    case '\0':
        return 1;
    case 'n':
        *byte = '\n';
        return 2;
    case 'r':
        *byte = '\r';
        return 2;
    case 't':
        *byte = '\t';
        return 2;
    case '"':
    case '\'':
    case '\\':
        *byte = (unsigned char)p[1];
        return 2;
    case 'x': {
        size_t n = 2;
        int value = -1;
        for (int i = 0; i < 2 && textfield_hexval(p[n]) >= 0; i++, n++)
            value = (value < 0 ? 0 : value * 16) + textfield_hexval(p[n]);
        *byte = value;
        return n;
    }
    }
    if (p[1] >= '0' && p[1] <= '7') {
        size_t n = 1;
        int value = 0;
        for (int i = 0; i < 3 && p[n] >= '0' && p[n] <= '7'; i++, n++)
            value = value * 8 + (p[n] - '0');
        *byte = value & 0xFF;
        return n;
    }
    // Any other character: the backslash is dropped and the character is
    // read as usual.
    return 1;
}

int parse_getstring(const char **cursor, char *out, size_t outsize, int translate)
{
    if (cursor == nullptr || *cursor == nullptr)
        return 1;
    const char *p = *cursor;
    while (*p && isspace((unsigned char)*p))
        p++;
    *cursor = p;
    if (*p == '\0')
        return 1;
    if (outsize == 0)
        return -1;

    enum { kUnquoted, kSingle, kDouble } state = kUnquoted;
    bool do_translate = false;
    bool cut = false;
    size_t n = 0;

    if (translate && p[0] == '"' && p[1] == '\\' && p[2] == 'i') {
        do_translate = true;
        state = kDouble;
        p += 3;
    }

    while (*p) {
        char c = *p;
        int byte = (unsigned char)c;
        size_t span = 1;
        if (state == kUnquoted) {
            if (c == '"' || c == '\'') {
                state = c == '"' ? kDouble : kSingle;
                p++;
                continue;
            }
            if (isspace((unsigned char)c))
                break;
        } else if (state == kSingle) {
            if (c == '\'') {
                state = kUnquoted;
                p++;
                continue;
            }
        } else {
            if (c == '"') {
                state = kUnquoted;
                p++;
                continue;
            }
            if (c == '\\')
                span = textfield_decode_escape(p, &byte);
        }
        // An escape may yield nothing; a NUL byte cannot be held in a string.
        if (byte <= 0) {
            p += span;
            continue;
        }
        if (n + 1 >= outsize) {
            cut = true;
            break;
        }
        out[n++] = (char)byte;
        p += span;
    }
    out[n] = '\0';
    *cursor = p;
    if (cut)
        return -1;

    if (do_translate) {
        const char *translated = dcgettext(nullptr, out, LC_MESSAGES);
        // dcgettext returns its argument when there is no translation.
        if (translated != nullptr && translated != out &&
            vr_strncpy(out, translated, outsize) == nullptr)
            return -1;
    }
    return 0;
}

std::string textfield_sqlArray(const std::vector<std::string> &values)
{
    std::string out = "{";
    for (size_t i = 0; i < values.size(); i++) {
        out += i ? ",\"" : "\"";
        for (char c : values[i]) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}
