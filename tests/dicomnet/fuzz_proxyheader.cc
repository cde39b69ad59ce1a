// libFuzzer target of the PROXY protocol v2 parser: any bytes, parsed whole
// and in every prefix. A result must be consistent: a header's length
// within the bytes given, more asked for only beyond them, addresses only
// for a PROXY command, and a prefix of a complete header asks for more.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "dicomnet/proxyheader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    proxyheader h;
    size_t need = 0;
    const char *why = nullptr;
    proxyheader_result r = proxyheader_parse(data, size, &h, &need, &why);
    if (why == nullptr)
        abort();
    if (r == PROXYHEADER_MORE && need <= size)
        abort();
    if ((r == PROXYHEADER_PROXY || r == PROXYHEADER_LOCAL) &&
        (h.length < PROXYHEADER_FIXED || h.length > size ||
         h.length > PROXYHEADER_FIXED + PROXYHEADER_MAX_BODY))
        abort();
    if (r == PROXYHEADER_LOCAL && h.source[0] != '\0')
        abort();
    if (r == PROXYHEADER_PROXY && (strlen(h.source) == 0 || strlen(h.destination) == 0))
        abort();
    if (r == PROXYHEADER_PROXY || r == PROXYHEADER_LOCAL) {
        for (size_t n = 0; n < h.length; n++) {
            proxyheader p;
            if (proxyheader_parse(data, n, &p, &need, &why) != PROXYHEADER_MORE || need <= n)
                abort();
        }
    }
    return 0;
}
