// The web's reads of instances in the object tier (web/webtier.h).
#include "web/webtier.h"

#include <dirent.h>
#include <microhttpd.h>
#include <string.h>
#include <unistd.h>

#include "runtime/logprintf.h"
#include "web/metrics.h"

// Opens i (verified unless headOnly); an HTTP status as webtier_open's.
static int openInstance(const webinstance &i, tier_file *held, bool headOnly)
{
    int r = archivetier_open(&web_archive, web_instancePath(i).c_str(), held, headOnly);
    if (r == ARCHIVETIER_READABLE)
        return 0;
    if (r == ARCHIVETIER_DAMAGED) {
        metrics_add(METRICS_WEB_DAMAGED);
        return MHD_HTTP_INTERNAL_SERVER_ERROR;
    }
    return r == ARCHIVETIER_MISSING ? MHD_HTTP_NOT_FOUND : MHD_HTTP_SERVICE_UNAVAILABLE;
}

int webtier_open(const webinstance &i, tier_file *held)
{
    return openInstance(i, held, false);
}

int webtier_openHead(const webinstance &i, tier_file *held)
{
    return openInstance(i, held, true);
}

// Whether the directory dir holds a stub, the mark of an image moved to
// the tier (one that cannot be read counts as holding one).
static bool holdsStubs(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return true;
    const size_t n = sizeof TIER_STUB_SUFFIX - 1;
    bool found = false;
    while (!found) {
        const struct dirent *e = readdir(d);
        if (e == nullptr)
            break;
        size_t len = strlen(e->d_name);
        found = len > n && memcmp(e->d_name + len - n, TIER_STUB_SUFFIX, n) == 0;
    }
    closedir(d);
    return found;
}

// Lists longer than this have each series' directory read once for stubs
// rather than each image looked for.
enum { WEBTIER_SCAN_FROM = 3 };

int webtier_readyHeads(const std::vector<webinstance> &list)
{
    std::string dir;
    bool stubs = true;
    for (const webinstance &i : list) {
        std::string path = web_instancePath(i);
        if (i.seen)
            continue;
        // Images of a series share a directory: one without stubs holds no
        // image of the tier. One moved out after this look is fetched when
        // it is read, as one moved between an image's look and its read.
        if (list.size() >= WEBTIER_SCAN_FROM) {
            std::string d = path.substr(0, path.rfind('/'));
            if (d != dir) {
                dir = d;
                stubs = holdsStubs(dir);
            }
        }
        if (!stubs || access(path.c_str(), F_OK) == 0)
            continue;
        tier_file held;
        if (webtier_openHead(i, &held) == MHD_HTTP_SERVICE_UNAVAILABLE)
            return MHD_HTTP_SERVICE_UNAVAILABLE;
    }
    return 0;
}

int webtier_ready(const std::vector<webinstance> &list, std::vector<std::string> *paths)
{
    for (const webinstance &i : list) {
        if (paths != nullptr)
            paths->push_back(web_instancePath(i));
        // Every instance is verified before the answer starts: one found
        // damaged, or gone from under its index record, fails the request
        // rather than being left out of an answer that says 200.
        tier_file held;
        int r = webtier_open(i, &held);
        if (r == MHD_HTTP_NOT_FOUND) {
            logprintf(LOGLEVEL_ERROR, web_options.logfp, "%s is indexed but not stored.\n",
                      web_instancePath(i).c_str());
            return MHD_HTTP_INTERNAL_SERVER_ERROR;
        }
        if (r != 0)
            return r;
    }
    return 0;
}

const char *webtier_reason(int status)
{
    switch (status) {
    case MHD_HTTP_NOT_FOUND:
        return "Not found";
    case MHD_HTTP_SERVICE_UNAVAILABLE:
        return "The object tier cannot be reached";
    default:
        return "An instance asked for is damaged or missing in the store";
    }
}
