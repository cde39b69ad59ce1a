// The web's reads of instances in the object tier (web/webtier.h).
#include "web/webtier.h"

#include <dirent.h>
#include <microhttpd.h>
#include <string.h>
#include <unistd.h>

int webtier_open(const webinstance &i, tier_file *held)
{
    if (i.seen) {
        held->path = web_instancePath(i);
        return 0;
    }
    int r = archivetier_open(&web_archive, web_instancePath(i).c_str(), held);
    if (r == ARCHIVETIER_READABLE)
        return 0;
    return r == ARCHIVETIER_MISSING ? MHD_HTTP_NOT_FOUND : MHD_HTTP_SERVICE_UNAVAILABLE;
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

int webtier_ready(const std::vector<webinstance> &list, std::vector<std::string> *paths)
{
    std::string dir;
    bool stubs = true;
    for (const webinstance &i : list) {
        std::string path = web_instancePath(i);
        if (paths != nullptr)
            paths->push_back(path);
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
        if (webtier_open(i, &held) == MHD_HTTP_SERVICE_UNAVAILABLE)
            return MHD_HTTP_SERVICE_UNAVAILABLE;
    }
    return 0;
}
