// The streaming multipart reader and the parsing of Content-Type values.
#include "web/multipart.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>

// Where the reader is: before the first boundary (the preamble), in the
// line after a boundary, in a part's headers, in a part's body, past the
// closing boundary, or stopped.
enum { MP_PREAMBLE, MP_AFTER_BOUNDARY, MP_HEADERS, MP_BODY, MP_DONE, MP_FAILED };

void multipart_init(multipart_reader *r, const std::string &boundary, const multipart_sink &sink)
{
    r->delimiter = "\r\n--" + boundary;
    r->pending.clear();
    // The first boundary may start the body without a CRLF before it; a
    // CRLF put in front lets one search find it either way.
    r->pending = "\r\n";
    r->state = MP_PREAMBLE;
    r->sink = sink;
}

// Works through r->pending as far as it can: 0, or -1 when stopped.
static int advance(multipart_reader *r)
{
    std::string &p = r->pending;
    const std::string &d = r->delimiter;
    for (;;) {
        switch (r->state) {
        case MP_PREAMBLE: {
            size_t at = p.find(d);
            if (at == std::string::npos) {
                // Keep only what may be the start of a delimiter.
                if (p.size() >= d.size())
                    p.erase(0, p.size() - (d.size() - 1));
                return 0;
            }
            p.erase(0, at + d.size());
            r->state = MP_AFTER_BOUNDARY;
            break;
        }
        case MP_AFTER_BOUNDARY: {
            if (p.size() < 2)
                return 0;
            if (p.compare(0, 2, "--") == 0) {
                r->state = MP_DONE;
                p.clear();
                return 0;
            }
            // Transport padding (blanks) may follow the boundary.
            size_t eol = p.find("\r\n");
            if (eol == std::string::npos)
                return p.size() > 1024 ? (r->state = MP_FAILED, -1) : 0;
            p.erase(0, eol + 2);
            r->state = MP_HEADERS;
            break;
        }
        case MP_HEADERS: {
            size_t end;
            std::string headers;
            if (p.compare(0, 2, "\r\n") == 0) {
                end = 2; // a part without headers
            } else {
                size_t at = p.find("\r\n\r\n");
                if (at == std::string::npos)
                    return p.size() > 65536 ? (r->state = MP_FAILED, -1) : 0;
                headers = p.substr(0, at);
                end = at + 4;
            }
            p.erase(0, end);
            if (r->sink.partBegin(r->sink.cls, headers) != 0) {
                r->state = MP_FAILED;
                return -1;
            }
            r->state = MP_BODY;
            break;
        }
        case MP_BODY: {
            size_t at = p.find(d);
            size_t give = at != std::string::npos ? at
                          : p.size() >= d.size()  ? p.size() - (d.size() - 1)
                                                  : 0;
            if (give > 0 && r->sink.partData(r->sink.cls, p.data(), give) != 0) {
                r->state = MP_FAILED;
                return -1;
            }
            if (at == std::string::npos) {
                p.erase(0, give);
                return 0;
            }
            p.erase(0, at + d.size());
            if (r->sink.partEnd(r->sink.cls) != 0) {
                r->state = MP_FAILED;
                return -1;
            }
            r->state = MP_AFTER_BOUNDARY;
            break;
        }
        case MP_DONE:
            p.clear(); // the epilogue is ignored
            return 0;
        default:
            return -1;
        }
    }
}

int multipart_feed(multipart_reader *r, const char *data, size_t len)
{
    if (r->state == MP_FAILED)
        return -1;
    if (r->state == MP_DONE)
        return 0;
    r->pending.append(data, len);
    return advance(r);
}

int multipart_complete(const multipart_reader *r)
{
    return r->state == MP_DONE;
}

static std::string trimmed(const std::string &s)
{
    size_t a = 0, b = s.size();
    while (a < b && isspace((unsigned char)s[a]))
        a++;
    while (b > a && isspace((unsigned char)s[b - 1]))
        b--;
    return s.substr(a, b - a);
}

std::string multipart_mediaType(const char *headerValue)
{
    if (headerValue == nullptr)
        return "";
    std::string v(headerValue);
    std::string t = trimmed(v.substr(0, v.find(';')));
    for (char &c : t)
        c = (char)tolower((unsigned char)c);
    return t;
}

std::string multipart_parameter(const char *headerValue, const char *name)
{
    if (headerValue == nullptr)
        return "";
    const char *s = strchr(headerValue, ';');
    size_t nameLen = strlen(name);
    while (s != nullptr) {
        s++;
        while (*s == ' ' || *s == '\t')
            s++;
        const char *eq = strchr(s, '=');
        if (eq == nullptr)
            return "";
        std::string key = trimmed(std::string(s, eq - s));
        const char *v = eq + 1;
        std::string value;
        if (*v == '"') {
            v++;
            while (*v != '\0' && *v != '"') {
                if (*v == '\\' && v[1] != '\0')
                    v++;
                value += *v++;
            }
            s = strchr(v, ';');
        } else {
            const char *end = strchr(v, ';');
            value = trimmed(end ? std::string(v, end - v) : std::string(v));
            s = end;
        }
        if (key.size() == nameLen && strncasecmp(key.c_str(), name, nameLen) == 0)
            return value;
    }
    return "";
}
