// The web's reads of instances in the object tier (web/webtier.h).
#include "web/webtier.h"

#include <microhttpd.h>

#include "runtime/logprintf.h"
#include "web/metrics.h"

int webtier_open(const webinstance &i, tier_file *held)
{
    int r = archivetier_open(&web_archive, web_instancePath(i).c_str(), held);
    if (r == ARCHIVETIER_READABLE)
        return 0;
    if (r == ARCHIVETIER_DAMAGED) {
        metrics_add(METRICS_WEB_DAMAGED);
        return MHD_HTTP_INTERNAL_SERVER_ERROR;
    }
    return r == ARCHIVETIER_MISSING ? MHD_HTTP_NOT_FOUND : MHD_HTTP_SERVICE_UNAVAILABLE;
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
