// libFuzzer target of storeweb's streaming multipart reader.
//
// Input: byte 0 picks the piece size (1 to 64 bytes, or the whole body at
// once), byte 1 the boundary's length (1 to 16 characters of "b0undary..."),
// the rest is the body. The reader must hand on no more bytes than the body
// holds, in parts that begin before they end, must hold back no more than a
// delimiter's length of a part's data (plus the header limits), and once it
// stops must take nothing more.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "web/multipart.h"

namespace
{

struct seen {
    size_t begun = 0, ended = 0, bytes = 0;
    bool inPart = false;
};

int onBegin(void *cls, const std::string &headers)
{
    seen *s = static_cast<seen *>(cls);
    if (s->inPart || headers.size() > 65536)
        abort();
    s->inPart = true;
    s->begun++;
    return 0;
}

int onData(void *cls, const char *, size_t len)
{
    seen *s = static_cast<seen *>(cls);
    if (!s->inPart || len == 0)
        abort();
    s->bytes += len;
    return 0;
}

int onEnd(void *cls)
{
    seen *s = static_cast<seen *>(cls);
    if (!s->inPart)
        abort();
    s->inPart = false;
    s->ended++;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t step = data[0] == 0xff ? size : (size_t)(data[0] % 64) + 1;
    std::string boundary = std::string("b0undary-velto-x").substr(0, (data[1] % 16) + 1);
    const char *body = (const char *)data + 2;
    size_t len = size - 2;
    seen s;
    multipart_reader r;
    multipart_init(&r, boundary, multipart_sink{onBegin, onData, onEnd, &s});
    int result = 0;
    size_t fed = 0;
    for (; fed < len && result == 0; fed += step) {
        size_t n = step < len - fed ? step : len - fed;
        result = multipart_feed(&r, body + fed, n);
        // Held back: within a part's body no more than a delimiter; in
        // headers or the line after a boundary, no more than their limits.
        if (r.pending.size() > 65536 + step + r.delimiter.size())
            abort();
    }
    if (s.bytes > len || s.ended > s.begun || s.begun > len)
        abort();
    if (result != 0 && multipart_feed(&r, "x", 1) != -1)
        abort();
    if (multipart_complete(&r) && s.inPart)
        abort();
    return 0;
}
