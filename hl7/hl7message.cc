// HL7 version 2 messages: parse, the text of a value, the ACK
// (hl7/hl7message.h).
#include "hl7/hl7message.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

// The iconv name of an ISO 8859 part named in MSH-18 ("8859/N"), or null.
static const char *isoName(const std::string &name)
{
    static const struct {
        const char *hl7;
        const char *iconv;
    } parts[] = {{"8859/2", "ISO-8859-2"}, {"8859/3", "ISO-8859-3"}, {"8859/4", "ISO-8859-4"},
                 {"8859/5", "ISO-8859-5"}, {"8859/6", "ISO-8859-6"}, {"8859/7", "ISO-8859-7"},
                 {"8859/8", "ISO-8859-8"}, {"8859/9", "ISO-8859-9"}, {"8859/15", "ISO-8859-15"}};
    for (const auto &p : parts)
        if (name == p.hl7)
            return p.iconv;
    return nullptr;
}

// Splits s at sep into out (one empty piece for an empty s).
static void split(const std::string &s, char sep, std::vector<std::string> *out)
{
    out->clear();
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        out->push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return;
        start = end + 1;
    }
}

int hl7_parse(const char *bytes, size_t n, hl7_message *out, std::string *error)
{
    *out = hl7_message();
    // MSH, the field separator and the four encoding characters at least.
    if (n < 8 || memcmp(bytes, "MSH", 3) != 0) {
        *error = "the message does not begin with an MSH segment";
        return -1;
    }
    out->field = bytes[3];
    out->component = bytes[4];
    out->repetition = bytes[5];
    out->escape = bytes[6];
    out->subcomponent = bytes[7];
    const char seps[5] = {out->field, out->component, out->repetition, out->escape,
                          out->subcomponent};
    for (int i = 0; i < 5; i++) {
        if (seps[i] < 0x21 || seps[i] > 0x7E || (seps[i] >= '0' && seps[i] <= '9') ||
            (seps[i] >= 'A' && seps[i] <= 'Z') || (seps[i] >= 'a' && seps[i] <= 'z')) {
            *error = "the separators of MSH are not printable marks";
            return -1;
        }
        for (int k = 0; k < i; k++)
            if (seps[k] == seps[i]) {
                *error = "two separators of MSH are the same";
                return -1;
            }
    }
    size_t pos = 0;
    while (pos < n) {
        size_t end = pos;
        while (end < n && bytes[end] != '\r' && bytes[end] != '\n')
            end++;
        if (end > pos) {
            if (out->segments.size() >= HL7_MAX_SEGMENTS) {
                *error = "more than " + std::to_string(HL7_MAX_SEGMENTS) + " segments";
                return -1;
            }
            std::string line(bytes + pos, end - pos);
            if (memchr(line.data(), '\0', line.size()) != nullptr) {
                *error = "a NUL byte in segment " + std::to_string(out->segments.size() + 1);
                return -1;
            }
            hl7_message::segment seg;
            split(line, out->field, &seg.fields);
            if (seg.fields.size() > HL7_MAX_FIELDS) {
                *error = "more than " + std::to_string(HL7_MAX_FIELDS) + " fields in a segment";
                return -1;
            }
            const std::string &name = seg.fields[0];
            if (name.size() != 3 || !std::all_of(name.begin(), name.end(), [](char c) {
                    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
                })) {
                *error = "segment " + std::to_string(out->segments.size() + 1) +
                         " has no name of three letters or digits";
                return -1;
            }
            if (out->segments.empty()) {
                // As HL7 counts: MSH-1 is the field separator, MSH-2 the
                // encoding characters (fields[1] as split).
                seg.fields.insert(seg.fields.begin() + 1, std::string(1, out->field));
            } else if (name == "MSH") {
                *error = "a second MSH segment (batches are not taken)";
                return -1;
            }
            out->segments.push_back(std::move(seg));
        }
        pos = end + 1;
    }
    const hl7_message::segment *msh = &out->segments[0];
    if (msh->fields.size() < 3 || msh->fields[2].size() < 4) {
        *error = "MSH-2 does not hold the four encoding characters";
        return -1;
    }
    out->charsetName = hl7_raw(*out, msh, 18, 0, 0);
    const std::string &cs = out->charsetName;
    if (cs.empty() || cs == "ASCII")
        out->charset = HL7_CHARSET_ASCII;
    else if (cs == "UNICODE UTF-8")
        out->charset = HL7_CHARSET_UTF8;
    else if (cs == "8859/1")
        out->charset = HL7_CHARSET_LATIN1;
    else if (isoName(cs) != nullptr)
        out->charset = HL7_CHARSET_OTHER;
    else {
        *error = "the character set \"" + hl7_escape(out, cs) + "\" (MSH-18) is not supported";
        return -1;
    }
    return 0;
}

const hl7_message::segment *hl7_findSegment(const hl7_message &m, const char *name, int nth)
{
    for (const auto &s : m.segments)
        if (s.fields[0] == name && nth-- == 0)
            return &s;
    return nullptr;
}

int hl7_countSegments(const hl7_message &m, const char *name)
{
    int count = 0;
    for (const auto &s : m.segments)
        if (s.fields[0] == name)
            count++;
    return count;
}

// The nth piece of s split at sep, or "".
static std::string piece(const std::string &s, char sep, int nth)
{
    size_t start = 0;
    for (int i = 0; i < nth; i++) {
        start = s.find(sep, start);
        if (start == std::string::npos)
            return std::string();
        start++;
    }
    size_t end = s.find(sep, start);
    return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string hl7_raw(const hl7_message &m, const hl7_message::segment *seg, int field,
                    int repetition, int component, int subcomponent)
{
    if (seg == nullptr || field < 1 || (size_t)field >= seg->fields.size())
        return std::string();
    const std::string &f = seg->fields[field];
    // MSH-1 and MSH-2 are not split: they hold the separators.
    if (seg == &m.segments[0] && field <= 2)
        return repetition == 0 && component <= 1 ? f : std::string();
    std::string rep = piece(f, m.repetition, repetition);
    if (component == 0)
        return rep;
    std::string comp = piece(rep, m.component, component - 1);
    if (subcomponent == 0)
        return comp;
    return piece(comp, m.subcomponent, subcomponent - 1);
}

int hl7_repetitions(const hl7_message &m, const hl7_message::segment *seg, int field)
{
    if (seg == nullptr || field < 1 || (size_t)field >= seg->fields.size() ||
        seg->fields[field].empty())
        return 0;
    const std::string &f = seg->fields[field];
    return 1 + (int)std::count(f.begin(), f.end(), m.repetition);
}

bool hl7_isNull(const std::string &raw)
{
    return raw == "\"\"";
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Whether s is well-formed UTF-8 (no overlong forms, no surrogates).
static bool validUtf8(const std::string &s)
{
    const unsigned char *p = (const unsigned char *)s.data();
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        size_t len;
        unsigned min;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, c &= 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// bytes in the message's character set converted to UTF-8.
static int toUtf8(const hl7_message &m, const std::string &bytes, std::string *utf8,
                  std::string *error)
{
    switch (m.charset) {
    case HL7_CHARSET_ASCII:
        for (unsigned char c : bytes)
            if (c >= 0x80) {
                *error = "a character outside ASCII, and no other character set named in MSH-18";
                return -1;
            }
        *utf8 = bytes;
        return 0;
    case HL7_CHARSET_UTF8:
        if (!validUtf8(bytes)) {
            *error = "bytes that are not UTF-8 in a message that says it is (MSH-18)";
            return -1;
        }
        *utf8 = bytes;
        return 0;
    case HL7_CHARSET_LATIN1:
        utf8->clear();
        for (unsigned char c : bytes) {
            if (c < 0x80) {
                *utf8 += (char)c;
            } else {
                *utf8 += (char)(0xC0 | (c >> 6));
                *utf8 += (char)(0x80 | (c & 0x3F));
            }
        }
        return 0;
    default:
        break;
    }
    iconv_t cd = iconv_open("UTF-8", isoName(m.charsetName));
    if (cd == (iconv_t)-1) {
        *error = "the character set \"" + m.charsetName + "\" cannot be converted here";
        return -1;
    }
    std::string out(bytes.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = bytes.size();
    char *o = &out[0];
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1) {
        *error = "bytes that are not of the character set \"" + m.charsetName + "\"";
        return -1;
    }
    out.resize(out.size() - outLeft);
    *utf8 = out;
    return 0;
}

int hl7_text(const hl7_message &m, const std::string &raw, std::string *utf8, std::string *error)
{
    std::string bytes;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] != m.escape) {
            bytes += raw[i];
            continue;
        }
        size_t end = raw.find(m.escape, i + 1);
        if (end == std::string::npos) {
            *error = "an escape sequence without its end";
            return -1;
        }
        std::string seq = raw.substr(i + 1, end - i - 1);
        i = end;
        if (seq == "F")
            bytes += m.field;
        else if (seq == "S")
            bytes += m.component;
        else if (seq == "T")
            bytes += m.subcomponent;
        else if (seq == "R")
            bytes += m.repetition;
        else if (seq == "E")
            bytes += m.escape;
        else if (!seq.empty() && seq[0] == 'X') {
            if (seq.size() < 3 || seq.size() % 2 != 1) {
                *error = "a hexadecimal escape of an odd number of digits";
                return -1;
            }
            for (size_t k = 1; k < seq.size(); k += 2) {
                int hi = hexDigit(seq[k]), lo = hexDigit(seq[k + 1]);
                if (hi < 0 || lo < 0) {
                    *error = "a hexadecimal escape with a character that is not a digit";
                    return -1;
                }
                if (hi == 0 && lo == 0) {
                    *error = "a hexadecimal escape of a NUL byte";
                    return -1;
                }
                bytes += (char)(hi * 16 + lo);
            }
        } else if (seq == "H" || seq == "N" || (!seq.empty() && seq[0] == '.')) {
            // Highlighting and formatting: no place in the values read here.
        } else {
            *error = "an escape sequence the archive does not know";
            return -1;
        }
    }
    return toUtf8(m, bytes, utf8, error);
}

std::string hl7_escape(const hl7_message *m, const std::string &text)
{
    hl7_message standard;
    if (m == nullptr)
        m = &standard;
    std::string out;
    for (unsigned char c : text) {
        if (c == (unsigned char)m->escape)
            out += std::string(1, m->escape) + "E" + m->escape;
        else if (c == (unsigned char)m->field)
            out += std::string(1, m->escape) + "F" + m->escape;
        else if (c == (unsigned char)m->component)
            out += std::string(1, m->escape) + "S" + m->escape;
        else if (c == (unsigned char)m->subcomponent)
            out += std::string(1, m->escape) + "T" + m->escape;
        else if (c == (unsigned char)m->repetition)
            out += std::string(1, m->escape) + "R" + m->escape;
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "X%02X", c);
            out += std::string(1, m->escape) + hex + m->escape;
        } else
            out += (char)c;
    }
    return out;
}

// A field of m's MSH re-encoded with the standard separators the ACK uses:
// its components joined with '^', each escaped anew.
static std::string reencode(const hl7_message *m, int field)
{
    if (m == nullptr)
        return std::string();
    const hl7_message::segment *msh = &m->segments[0];
    std::string out;
    for (int c = 1; c <= 3; c++) {
        std::string raw = hl7_raw(*m, msh, field, 0, c);
        std::string text, error;
        if (hl7_text(*m, raw, &text, &error) != 0)
            text.clear();
        if (c > 1)
            out += '^';
        out += hl7_escape(nullptr, text);
    }
    while (!out.empty() && out.back() == '^')
        out.pop_back();
    return out;
}

std::string hl7_ack(const hl7_message *m, const char *code, int errorCode, const std::string &text,
                    const std::string &controlId, const std::string &timestamp)
{
    const hl7_message::segment *msh = m != nullptr ? &m->segments[0] : nullptr;
    std::string version = m != nullptr ? hl7_raw(*m, msh, 12, 0, 1) : std::string();
    if (version.empty())
        version = "2.5";
    std::string event = m != nullptr ? hl7_raw(*m, msh, 9, 0, 2) : std::string();
    std::string processing = m != nullptr ? hl7_raw(*m, msh, 11, 0, 1) : std::string();
    if (processing.empty())
        processing = "P";
    std::string answered, error;
    if (m != nullptr && hl7_text(*m, hl7_raw(*m, msh, 10, 0, 0), &answered, &error) != 0)
        answered.clear();
    std::string a = "MSH|^~\\&|" + reencode(m, 5) + "|" + reencode(m, 6) + "|" + reencode(m, 3) +
                    "|" + reencode(m, 4) + "|" + hl7_escape(nullptr, timestamp) + "||ACK";
    if (!event.empty())
        a += "^" + hl7_escape(nullptr, event) + "^ACK";
    a += "|" + hl7_escape(nullptr, controlId) + "|" + hl7_escape(nullptr, processing) + "|" +
         hl7_escape(nullptr, version);
    // The character set named as the message named it: the ACK's own bytes
    // are ASCII, which every set read here begins with.
    if (m != nullptr && !m->charsetName.empty())
        a += "||||||" + hl7_escape(nullptr, m->charsetName);
    a += "\rMSA|" + std::string(code) + "|" + hl7_escape(nullptr, answered).substr(0, 199);
    if (strcmp(code, HL7_ACK_ACCEPT) != 0 || !text.empty())
        a += "|" + hl7_escape(nullptr, text).substr(0, 80);
    a += "\r";
    if (strcmp(code, HL7_ACK_ACCEPT) != 0) {
        // ERR-3, the error code of table 0357; ERR-4, the severity; ERR-8,
        // the text for the user.
        a += "ERR|||" + std::to_string(errorCode) + "^^HL70357|E||||" + hl7_escape(nullptr, text) +
             "\r";
    }
    return a;
}
