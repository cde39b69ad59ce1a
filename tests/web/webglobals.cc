// The process-wide objects of storeweb (web/main.cc defines them in the
// program) for test programs that link the services' parts without it.
#include "core/archive.h"
#include "web/webserver.h"

static weboptions testOptions()
{
    weboptions o{};
    o.address = WEB_DEFAULT_ADDRESS;
    o.port = WEB_DEFAULT_PORT;
    o.max_upload = WEB_DEFAULT_MAX_UPLOAD;
    o.max_part = WEB_DEFAULT_MAX_PART;
    o.max_parts = WEB_DEFAULT_MAX_PARTS;
    o.logfp = stderr;
    return o;
}

weboptions web_options = testOptions();
archive_context web_archive;
int web_monitorSock = -1;
