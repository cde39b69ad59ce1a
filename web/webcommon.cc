// What the services share: answers, the monitor announcement, log
// escaping, the enumeration of stored instances through the store's query
// entry point, and DICOM JSON output.
#include <microhttpd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcjson.h"

#include "core/archive.h"
#include "core/archivetier.h"
#include "dicomnet/dicomnet.h"
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

// True for a UID that can name a file: 1 to 64 digits and dots.
static bool plainUid(const char *uid)
{
    size_t n = strlen(uid);
    return n > 0 && n <= ARCHIVE_UID_MAX && strspn(uid, "0123456789.") == n;
}

int web_listInstances(const char *study, const char *series, const char *instance,
                      std::vector<webinstance> *out)
{
    // One instance named by all three UIDs is its file, if it exists: no
    // need to read the series' whole image index to find it.
    if (series != nullptr && instance != nullptr && plainUid(study) && plainUid(series) &&
        plainUid(instance)) {
        webinstance i{study, series, instance};
        std::string path = web_instancePath(i);
        i.seen = access(path.c_str(), R_OK) == 0;
        if (i.seen || access((path + TIER_STUB_SUFFIX).c_str(), R_OK) == 0) {
            out->push_back(i);
            return 0;
        }
    }
    DcmDataset query;
    DCMTK_Key_Add(&query, 0x0008, 0x0052, "IMAGE");
    DCMTK_Key_Add(&query, 0x0020, 0x000D, study);
    if (series != nullptr)
        DCMTK_Key_Add(&query, 0x0020, 0x000E, series);
    if (instance != nullptr)
        DCMTK_Key_Add(&query, 0x0008, 0x0018, instance);
    int r;
    std::lock_guard<std::mutex> hold(web_storeLock);
    // The level given forces the three UIDs into every match.
    archive_query walk(&web_archive, &query, "IMAGE");
    for (;;) {
        DcmDataset *match = nullptr;
        r = walk.next(&match);
        if (r == 0) {
            const char *s = DCMTK_getTagString(match, DCM_StudyInstanceUID);
            const char *e = DCMTK_getTagString(match, DCM_SeriesInstanceUID);
            const char *i = DCMTK_getTagString(match, DCM_SOPInstanceUID);
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
