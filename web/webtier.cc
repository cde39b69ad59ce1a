// The web's reads of instances in the object tier (web/webtier.h).
#include "web/webtier.h"

#include <microhttpd.h>
#include <unistd.h>

int webtier_open(const webinstance &i, tier_file *held)
{
    int r = archivetier_open(web_instancePath(i).c_str(), held);
    if (r == ARCHIVETIER_READABLE)
        return 0;
    return r == ARCHIVETIER_MISSING ? MHD_HTTP_NOT_FOUND : MHD_HTTP_SERVICE_UNAVAILABLE;
}

int webtier_ready(const std::vector<webinstance> &list)
{
    for (const webinstance &i : list) {
        std::string path = web_instancePath(i);
        if (access(path.c_str(), F_OK) == 0)
            continue;
        tier_file held;
        if (webtier_open(i, &held) == MHD_HTTP_SERVICE_UNAVAILABLE)
            return MHD_HTTP_SERVICE_UNAVAILABLE;
    }
    return 0;
}
