// The pages for people: the study list at "/" (one row per study with its
// patient, date, modalities, number of images, a thumbnail, a link into the
// viewer and a download link) and the viewer's files below /viewer/, whose
// start page and configuration are adapted to this server.
#include <fcntl.h>
#include <limits.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"

#include "core/archive.h"
#include "dicomnet/dicomnet.h"
#include "runtime/installpath.h"
#include "web/webserver.h"

// Most studies listed on the page.
enum { PAGE_MAX_STUDIES = 1000 };

static std::string html(const char *text)
{
    std::string name = text ? text : "";
    for (char &c : name)
        if (c == '^')
            c = ' '; // name components
    return web_escapeHtml(name);
}

// YYYYMMDD as YYYY-MM-DD; anything else as it is.
static std::string date(const char *d)
{
    if (d == nullptr || strlen(d) != 8)
        return html(d);
    return std::string(d, 4) + "-" + std::string(d + 4, 2) + "-" + std::string(d + 6, 2);
}

int pages_studyList(const webrequest &rq)
{
    DcmDataset q;
    DCMTK_Key_Add(&q, 0x0008, 0x0052, "STUDY");
    const DcmTagKey keys[] = {DCM_StudyInstanceUID, DCM_PatientName,      DCM_PatientID,
                              DCM_StudyDate,        DCM_StudyTime,        DCM_StudyDescription,
                              DCM_AccessionNumber,  DCM_ModalitiesInStudy};
    for (const DcmTagKey &k : keys)
        q.insertEmptyElement(DcmTag(k));
    std::vector<std::unique_ptr<DcmDataset>> studies;
    int r = 0;
    {
        std::lock_guard<std::mutex> hold(web_storeLock);
        web_refreshStudies();
        archive_query walk(&web_archive, &q);
        for (;;) {
            DcmDataset *m = nullptr;
            r = walk.next(&m);
            if (r != 0) {
                delete m;
                break;
            }
            studies.emplace_back(m);
            // The page shows no more: the rest is not walked.
            if (studies.size() >= PAGE_MAX_STUDIES) {
                walk.end();
                break;
            }
        }
    }
    // An index that cannot be read is an error, not an empty list.
    if (r < 0)
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Index unreadable");
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Studies</title>\n"
        "<style>body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
        "td,th{border-bottom:1px solid #ccc;padding:4px 8px;text-align:left}"
        "img{width:64px;height:64px;object-fit:contain;background:#000}</style>\n"
        "</head><body>\n<h1>Studies</h1>\n<table id=\"studies\">\n<tr><th></th><th>Patient</th>"
        "<th>Patient ID</th><th>Date</th><th>Modalities</th><th>Description</th>"
        "<th>Images</th><th></th><th></th></tr>\n";
    for (auto &s : studies) {
        DcmDataset *d = s.get();
        const char *uid = DCMTK_getTagString(d, DCM_StudyInstanceUID);
        if (uid == nullptr)
            continue;
        std::vector<webinstance> list;
        web_listInstances(uid, nullptr, nullptr, &list);
        std::string u = html(uid);
        std::string study = WEB_DICOMWEB_ROOT "/studies/" + u;
        page += "<tr class=\"study\" data-uid=\"" + u +
                "\"><td><img loading=\"lazy\" alt=\"\" src=\"" + study + "/thumbnail\"></td><td>" +
                html(DCMTK_getTagString(d, DCM_PatientName)) + "</td><td>" +
                html(DCMTK_getTagString(d, DCM_PatientID)) + "</td><td>" +
                date(DCMTK_getTagString(d, DCM_StudyDate)) + "</td><td>" +
                html(DCMTK_getTagString(d, DCM_ModalitiesInStudy)) + "</td><td>" +
                html(DCMTK_getTagString(d, DCM_StudyDescription)) + "</td><td>" +
                std::to_string(list.size()) +
                "</td><td><a class=\"view\" href=\"/viewer/viewer?StudyInstanceUIDs=" + u +
                "\">View</a></td><td><a class=\"download\" download=\"" + u +
                ".multipart\" href=\"" + study + "\">Download</a></td></tr>\n";
    }
    page += "</table>\n<p>" + std::to_string(studies.size()) + " studies. DICOMweb: <code>" +
            html(web_rootUrl(rq).c_str()) + "</code></p>\n</body></html>\n";
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

// The viewer's directory: -V, else share/velto/viewer of the installation.
static std::string viewerDir()
{
    if (web_options.viewer_dir != nullptr)
        return web_options.viewer_dir;
    return std::string(prog_path) + "/share/velto/viewer";
}

static const char *mediaTypeOf(const std::string &path)
{
    static const struct {
        const char *ext, *type;
    } types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "application/javascript"},
        {".css", "text/css"},
        {".json", "application/json"},
        {".wasm", "application/wasm"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".woff2", "font/woff2"},
        {".woff", "font/woff"},
        {".ttf", "font/ttf"},
        {".map", "application/json"},
        {".txt", "text/plain"},
    };
    for (const auto &t : types) {
        size_t n = strlen(t.ext);
        if (path.size() > n && path.compare(path.size() - n, n, t.ext) == 0)
            return t.type;
    }
    return "application/octet-stream";
}

static void replaceAll(std::string *s, const std::string &from, const std::string &to)
{
    size_t at = 0;
    while ((at = s->find(from, at)) != std::string::npos) {
        s->replace(at, from.size(), to);
        at += to.size();
    }
}

// The viewer's start page, built to be served from "/": its own
// references are moved below /viewer/.
static int viewerIndex(const webrequest &rq)
{
    std::string page;
    if (!web_readFile(viewerDir() + "/index.html", &page))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "The viewer is not installed");
    replaceAll(&page, "window.PUBLIC_URL=\"/\"", "window.PUBLIC_URL=\"/viewer/\"");
    replaceAll(&page, "href=\"/", "href=\"/viewer/");
    replaceAll(&page, "src=\"/", "src=\"/viewer/");
    return web_reply(rq, MHD_HTTP_OK, "text/html; charset=utf-8", page);
}

// The viewer's configuration: this server's DICOMweb services as its only
// data source.
static int viewerConfig(const webrequest &rq)
{
    static const char config[] =
        "window.config = {\n"
        "  routerBasename: '/viewer',\n"
        "  extensions: [],\n"
        "  modes: [],\n"
        "  showStudyList: true,\n"
        "  showWarningMessageForCrossOrigin: false,\n"
        "  showCPUFallbackMessage: false,\n"
        "  defaultDataSourceName: 'velto',\n"
        "  dataSources: [{\n"
        "    namespace: '@ohif/extension-default.dataSourcesModule.dicomweb',\n"
        "    sourceName: 'velto',\n"
        "    configuration: {\n"
        "      friendlyName: 'Velto image archive',\n"
        "      name: 'velto',\n"
        "      wadoUriRoot: window.location.origin + '/wado',\n"
        "      qidoRoot: window.location.origin + '" WEB_DICOMWEB_ROOT "',\n"
        "      wadoRoot: window.location.origin + '" WEB_DICOMWEB_ROOT "',\n"
        "      qidoSupportsIncludeField: false,\n"
        "      imageRendering: 'wadors',\n"
        "      thumbnailRendering: 'wadors',\n"
        "      enableStudyLazyLoad: true,\n"
        "      supportsFuzzyMatching: false,\n"
        "      supportsWildcard: true,\n"
        "      staticWado: false,\n"
        "      singlepart: false,\n"
        "      bulkDataURI: { enabled: true },\n"
        "      omitQuotationForMultipartRequest: true,\n"
        "    },\n"
        "  }],\n"
        "};\n";
    return web_reply(rq, MHD_HTTP_OK, "application/javascript", config);
}

// The viewer's scripts load their other parts from the path the viewer was
// built for ("/"), and its style sheets name their fonts below it; served
// below /viewer/, they must name that instead. Each such file is read once:
// the adapted text is kept, or null when the file names no such path and is
// served from its file. Kept by real path: at most one entry per file of
// the viewer's directory.
static const struct {
    const char *suffix, *built, *served;
} builtPaths[] = {
    {".js", "__webpack_require__.p = \"/\";", "__webpack_require__.p = \"/viewer/\";"},
    {".css", "url(/", "url(/viewer/"},
};
static std::mutex adaptedLock;
static std::map<std::string, std::shared_ptr<const std::string>> adaptedFiles;

static std::shared_ptr<const std::string> adaptedFile(const std::string &path)
{
    {
        std::lock_guard<std::mutex> hold(adaptedLock);
        auto it = adaptedFiles.find(path);
        if (it != adaptedFiles.end())
            return it->second;
    }
    std::shared_ptr<const std::string> adapted;
    for (const auto &b : builtPaths) {
        size_t n = strlen(b.suffix);
        std::string text;
        if (path.size() <= n || path.compare(path.size() - n, n, b.suffix) != 0 ||
            !web_readFile(path, &text) || text.find(b.built) == std::string::npos)
            continue;
        replaceAll(&text, b.built, b.served);
        adapted = std::make_shared<const std::string>(std::move(text));
    }
    std::lock_guard<std::mutex> hold(adaptedLock);
    adaptedFiles[path] = adapted;
    return adapted;
}

// The path below the viewer's directory in one spelling: empty and "."
// segments dropped. False for a ".." segment or a hidden file.
static bool normalisedPath(const std::string &in, std::string *out)
{
    out->clear();
    size_t i = 0;
    while (i <= in.size()) {
        size_t j = in.find('/', i);
        if (j == std::string::npos)
            j = in.size();
        std::string part = in.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".")
            continue;
        if (part[0] == '.')
            return false;
        if (!out->empty())
            *out += '/';
        *out += part;
    }
    return true;
}

int pages_viewer(const webrequest &rq)
{
    std::string rel;
    // Nothing outside the viewer's directory: no ".." segment, no hidden file.
    if (!normalisedPath(rq.path.size() > 8 ? rq.path.substr(8) : "", &rel))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    if (rel.empty() || rel == "index.html")
        return viewerIndex(rq);
    if (rel == "app-config.js")
        return viewerConfig(rq);
    // The file by its real path, which must lie in the directory: a link
    // out of it is not followed, and the adapted files are kept once each
    // however a request spells their path.
    char real[PATH_MAX], dirReal[PATH_MAX];
    std::string path;
    if (realpath(viewerDir().c_str(), dirReal) != nullptr &&
        realpath((viewerDir() + "/" + rel).c_str(), real) != nullptr &&
        strncmp(real, dirReal, strlen(dirReal)) == 0 && real[strlen(dirReal)] == '/')
        path = real;
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        // The viewer's own routes (viewer?StudyInstanceUIDs=...) are pages
        // of its start page.
        if (strchr(rel.c_str(), '.') == nullptr)
            return viewerIndex(rq);
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    }
    std::shared_ptr<const std::string> adapted = adaptedFile(path);
    if (adapted) {
        close(fd);
        return web_reply(rq, MHD_HTTP_OK, mediaTypeOf(path), *adapted);
    }
    // The library closes fd with the response.
    MHD_Response *r = MHD_create_response_from_fd((uint64_t)st.st_size, fd);
    if (r == nullptr) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, mediaTypeOf(path));
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=3600");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}
