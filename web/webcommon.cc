// What the services share: answers, the monitor announcement, log
// escaping, the enumeration of stored instances through the store's query
// entry point, DICOM JSON output, and the readers of flat JSON objects and
// urlencoded forms that the pages' requests send.
#include <ctype.h>
#include <microhttpd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcjson.h"

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/archivetier.h"
#include "dicomnet/dicomnet.h"
#include "web/multipart.h"
#include "web/webserver.h"

const char *webrequest::header(const char *name) const
{
    return MHD_lookup_connection_value(conn, MHD_HEADER_KIND, name);
}

const char *webrequest::arg(const char *name) const
{
    for (const auto &a : args)
        if (a.first == name)
            return a.second.c_str();
    return nullptr;
}

int web_replyResponse(const webrequest &rq, unsigned status, MHD_Response *response)
{
    if (response == nullptr)
        return MHD_NO;
    int r = MHD_queue_response(rq.conn, status, response);
    MHD_destroy_response(response);
    rq.status = status;
    return r;
}

int web_reply(const webrequest &rq, unsigned status, const char *contentType,
              const std::string &body)
{
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), (void *)body.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    return web_replyResponse(rq, status, r);
}

int web_replyError(const webrequest &rq, unsigned status, const char *text)
{
    return web_reply(rq, status, "text/plain; charset=utf-8", std::string(text) + "\n");
}

// The state of a web_pieceResponse: the piece being sent and where.
struct piecestream {
    webpieces next;
    bool ended = false;
    std::string piece;
    size_t at = 0;
};

static ssize_t readPieces(void *cls, uint64_t, char *buf, size_t max)
{
    piecestream *ps = static_cast<piecestream *>(cls);
    size_t filled = 0;
    while (filled < max) {
        if (ps->at < ps->piece.size()) {
            size_t n = std::min(max - filled, ps->piece.size() - ps->at);
            memcpy(buf + filled, ps->piece.data() + ps->at, n);
            ps->at += n;
            filled += n;
            continue;
        }
        if (ps->ended)
            break;
        ps->piece.clear();
        ps->at = 0;
        ps->ended = !ps->next(&ps->piece);
        if (ps->ended)
            ps->piece.clear();
    }
    if (filled == 0)
        return MHD_CONTENT_READER_END_OF_STREAM;
    return (ssize_t)filled;
}

static void freePieces(void *cls)
{
    delete static_cast<piecestream *>(cls);
}

MHD_Response *web_pieceResponse(const webrequest &rq, webpieces next)
{
    piecestream *ps = new piecestream;
    ps->next = std::move(next);
    // A HEAD answer has no body: nothing is made for it, whether the
    // library would ask for bytes or not.
    ps->ended = rq.method == "HEAD";
    MHD_Response *r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, readPieces, ps, freePieces);
    if (r == nullptr)
        delete ps;
    return r;
}

bool web_readFile(const std::string &path, std::string *out)
{
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    // A read error part way is damage, not the end of the file.
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

std::string web_escapeHtml(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string web_escapeForLog(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < 200; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

int web_listInstances(const char *study, const char *series, const char *instance,
                      std::vector<webinstance> *out)
{
    // One instance named by all three UIDs is its file, if it exists: no
    // need to read the series' whole image index to find it.
    if (series != nullptr && instance != nullptr && archive_uidProblem(study) == nullptr &&
        archive_uidProblem(series) == nullptr && archive_uidProblem(instance) == nullptr) {
        // A rejected image is none (core/rejection.h), as the walk below finds.
        if (archive_rejected(&web_archive, study, instance))
            return 0;
        webinstance i{study, series, instance};
        std::string path = web_instancePath(i);
        i.seen = access(path.c_str(), R_OK) == 0;
        if (i.seen || access((path + TIER_STUB_SUFFIX).c_str(), R_OK) == 0) {
            out->push_back(i);
            return 0;
        }
    }
    DcmDataset query;
    dicomnet_Key_Add(&query, 0x0008, 0x0052, "IMAGE");
    dicomnet_Key_Add(&query, 0x0020, 0x000D, study);
    if (series != nullptr)
        dicomnet_Key_Add(&query, 0x0020, 0x000E, series);
    if (instance != nullptr)
        dicomnet_Key_Add(&query, 0x0008, 0x0018, instance);
    int r;
    // A walk of the index only reads it: shared with other searches.
    archive_shared hold(&web_archive);
    // The level given forces the three UIDs into every match.
    archive_query walk(&web_archive, &query, "IMAGE");
    for (;;) {
        DcmDataset *match = nullptr;
        r = walk.next(&match);
        if (r == 0) {
            const char *s = dicomnet_getTagString(match, DCM_StudyInstanceUID);
            const char *e = dicomnet_getTagString(match, DCM_SeriesInstanceUID);
            const char *i = dicomnet_getTagString(match, DCM_SOPInstanceUID);
            out->push_back(webinstance{s ? s : "", e ? e : "", i ? i : ""});
        }
        delete match;
        if (r != 0)
            break;
    }
    return r < 0 ? -1 : 0;
}

void web_refreshStudies()
{
    {
        archive_shared hold(&web_archive);
        if (!archive_stale(&web_archive))
            return;
    }
    // Another thread may have reloaded in between: archive_refresh then
    // finds the table current.
    archive_exclusive hold(&web_archive);
    archive_refresh(&web_archive);
}

std::string web_instancePath(const webinstance &i)
{
    // The path depends only on the base directory, set at start-up.
    return archive_imagePath(&web_archive, i.study.c_str(), i.series.c_str(), i.instance.c_str());
}

// Compact DICOM JSON that gives Pixel Data as a BulkDataURI below base.
class bulkJsonFormat : public DcmJsonFormatCompact
{
public:
    explicit bulkJsonFormat(const std::string &base) : DcmJsonFormatCompact(OFFalse), base(base) {}
    OFBool asBulkDataURI(const DcmTagKey &tag, OFString &uri) override
    {
        if (base.empty() || tag != DCM_PixelData)
            return OFFalse;
        uri = (base + "/bulkdata/7FE00010").c_str();
        return OFTrue;
    }

private:
    std::string base;
};

void web_appendJson(DcmDataset *ds, const std::string &bulkBase, std::string *out)
{
    bulkJsonFormat format(bulkBase);
    std::ostringstream os;
    // The toolkit writes the data set's members; the object's braces are
    // the caller's.
    os << "{";
    ds->writeJson(os, format);
    os << "}";
    *out += os.str();
}

std::string web_rootUrl(const webrequest &rq)
{
    const char *host = rq.header("Host");
    std::string url = web_options.cert_file != nullptr ? "https://" : "http://";
    if (host != nullptr && host[0] != '\0' && strpbrk(host, "\"<> \\") == nullptr) {
        url += host;
    } else {
        char buf[64];
        snprintf(buf, sizeof buf, "%s:%d", web_options.address, web_options.port);
        url += buf;
    }
    return url + WEB_DICOMWEB_ROOT;
}

static std::string percentDecode(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) &&
                   isxdigit((unsigned char)s[i + 2])) {
            out += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

void web_parseForm(const std::string &body, std::vector<std::pair<std::string, std::string>> *out)
{
    size_t i = 0;
    while (i <= body.size()) {
        size_t amp = body.find('&', i);
        if (amp == std::string::npos)
            amp = body.size();
        std::string pair = body.substr(i, amp - i);
        size_t eq = pair.find('=');
        if (!pair.empty())
            out->emplace_back(percentDecode(pair.substr(0, eq)),
                              eq == std::string::npos ? "" : percentDecode(pair.substr(eq + 1)));
        i = amp + 1;
    }
}

std::string web_formField(const std::string &body, const char *name)
{
    std::vector<std::pair<std::string, std::string>> fields;
    web_parseForm(body, &fields);
    for (const auto &f : fields)
        if (f.first == name)
            return f.second;
    return "";
}

// A form may be posted by any page the browser shows, with the user's
// credentials: one that names another origin than this server is refused.
bool web_sameOrigin(const webrequest &rq)
{
    const char *origin = rq.header("Origin");
    const char *host = rq.header(MHD_HTTP_HEADER_HOST);
    if (origin == nullptr || strcmp(origin, "null") == 0)
        return origin == nullptr;
    const char *sep = strstr(origin, "://");
    return host != nullptr && sep != nullptr && strcmp(sep + 3, host) == 0;
}

// --- request bodies: flat JSON objects and urlencoded forms ---

static void appendUtf8(std::string *out, unsigned cp)
{
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

static void skipBlanks(const std::string &s, size_t *i)
{
    while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\t' || s[*i] == '\r' || s[*i] == '\n'))
        (*i)++;
}

static bool hex4(const std::string &s, size_t i, unsigned *v)
{
    if (i + 4 > s.size())
        return false;
    *v = 0;
    for (size_t k = i; k < i + 4; k++) {
        char c = s[k];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            return false;
        *v = *v * 16 + (unsigned)d;
    }
    return true;
}

// A JSON string starting at s[*i] (the quote); false when malformed.
static bool jsonString(const std::string &s, size_t *i, std::string *out)
{
    if (*i >= s.size() || s[*i] != '"')
        return false;
    for (size_t k = *i + 1; k < s.size(); k++) {
        unsigned char c = (unsigned char)s[k];
        if (c == '"') {
            *i = k + 1;
            return true;
        }
        if (c < 0x20)
            return false;
        if (c != '\\') {
            *out += (char)c;
            continue;
        }
        if (++k >= s.size())
            return false;
        unsigned cp;
        switch (s[k]) {
        case '"':
        case '\\':
        case '/':
            *out += s[k];
            break;
        case 'b':
            *out += '\b';
            break;
        case 'f':
            *out += '\f';
            break;
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        case 't':
            *out += '\t';
            break;
        case 'u':
            if (!hex4(s, k + 1, &cp))
                return false;
            k += 4;
            // A surrogate pair stands for one code point beyond the BMP.
            if (cp >= 0xD800 && cp < 0xDC00) {
                unsigned lo;
                if (k + 2 >= s.size() || s[k + 1] != '\\' || s[k + 2] != 'u' ||
                    !hex4(s, k + 3, &lo) || lo < 0xDC00 || lo >= 0xE000)
                    return false;
                k += 6;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else if (cp >= 0xDC00 && cp < 0xE000) {
                return false;
            }
            appendUtf8(out, cp);
            break;
        default:
            return false;
        }
    }
    return false;
}

bool web_parseJsonObject(const std::string &s, webfields *fields, std::string *error)
{
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    *error = "a JSON object of strings expected";
    // Every key seen, null ones too: JSON leaves a repeated key's meaning
    // open (many readers keep the last), so a repeat is refused rather
    // than one of its values dropped silently.
    std::set<std::string> seen;
    size_t i = 0;
    skipBlanks(s, &i);
    if (i >= s.size() || s[i++] != '{')
        return false;
    skipBlanks(s, &i);
    if (i < s.size() && s[i] == '}') {
        i++;
    } else {
        for (;;) {
            std::string key, value;
            skipBlanks(s, &i);
            if (!jsonString(s, &i, &key))
                return false;
            if (!seen.insert(key).second) {
                *error = "key given twice: " + web_escapeForLog(key);
                return false;
            }
            skipBlanks(s, &i);
            if (i >= s.size() || s[i++] != ':')
                return false;
            skipBlanks(s, &i);
            if (s.compare(i, 4, "null") == 0)
                i += 4;
            else if (jsonString(s, &i, &value))
                fields->emplace_back(key, value);
            else
                return false;
            skipBlanks(s, &i);
            if (i < s.size() && s[i] == ',') {
                i++;
                continue;
            }
            if (i < s.size() && s[i] == '}') {
                i++;
                break;
            }
            return false;
        }
    }
    skipBlanks(s, &i);
    return i == s.size();
}

std::string web_jsonQuote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::vector<std::string> web_splitPath(const std::string &path)
{
    std::vector<std::string> seg;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            seg.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return seg;
}

unsigned web_bodyFields(const webrequest &rq, const std::string &body, webfields *fields)
{
    // The type decides how the body is read: the forged-request check let
    // it pass by that type (web/csrf.h), so a body of another shape under
    // it is refused, never read as a form.
    std::string type = multipart_mediaType(rq.header(MHD_HTTP_HEADER_CONTENT_TYPE));
    if (type == "application/x-www-form-urlencoded") {
        web_parseForm(body, fields);
        return 0;
    }
    if (type != "application/json")
        return MHD_HTTP_UNSUPPORTED_MEDIA_TYPE;
    return web_parseJsonObject(body, fields) ? 0 : MHD_HTTP_BAD_REQUEST;
}

const char *web_archiveTitle()
{
    if (web_options.aetitle != nullptr)
        return web_options.aetitle;
    // Read once: the map's "Local" entry is the archive's own, which a
    // running site does not rename (storeserver reads it once too).
    static const std::string title = [] {
        AETitleMap map;
        AETitleMap_LoadSite(&map, nullptr);
        AETitleMapEntry *local = AETitleMap_FindByName(&map, "Local");
        std::string t = local != nullptr ? local->aetitle : WEB_DEFAULT_ARCHIVE_AETITLE;
        AETitleMap_Destroy(&map);
        return t;
    }();
    return title.c_str();
}
