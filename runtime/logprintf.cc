// Levelled logging with the "date time [pid]:" line prefix and the
// process-wide level mask.
#include "runtime/logprintf.h"

#include <stdarg.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "runtime/process.h"

// Set once during start-up, before any worker is forked.
static unsigned logprintf_mask = LOGPRINTF_DEFAULT_MASK;

// Writes the len bytes of text, each control character (and DEL) as
// "\\xNN" except a newline that ends the text: texts from peers end up in
// log lines, and a newline or a terminal escape among them would forge
// lines or rewrite the screen of whoever reads the log. Returns the number
// of characters written.
static int write_escaped(FILE *stream, const char *text, size_t len)
{
    int total = 0;
    size_t start = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if ((c >= 0x20 && c != 0x7f) || (c == '\n' && i == len - 1))
            continue;
        total += (int)fwrite(text + start, 1, i - start, stream);
        int n = fprintf(stream, "\\x%02x", c);
        if (n > 0)
            total += n;
        start = i + 1;
    }
    total += (int)fwrite(text + start, 1, len - start, stream);
    return total;
}

int logprintf(unsigned level, FILE *stream, const char *format, ...)
{
    if (stream == nullptr || (level & logprintf_mask) == 0)
        return 0;

    time_t now = time(nullptr);
    struct tm tm_local = {};
    localtime_r(&now, &tm_local);

    // Prefix and body go into the stream's buffer and leave it with one flush,
    // so processes appending to one log file interleave whole messages (as
    // long as a message fits the stdio buffer of a fully buffered stream).
    int total = 0;
    int n = fprintf(stream, "%04d-%02d-%02d %02d:%02d:%02d [%d]:", tm_local.tm_year + 1900,
                    tm_local.tm_mon + 1, tm_local.tm_mday, tm_local.tm_hour, tm_local.tm_min,
                    tm_local.tm_sec, process_pid());
    if (n > 0)
        total += n;

    va_list ap;
    va_start(ap, format);
    char small[1024];
    char *body = small;
    n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n >= (int)sizeof small) {
        body = (char *)malloc((size_t)n + 1);
        if (body != nullptr) {
            va_start(ap, format);
            n = vsnprintf(body, (size_t)n + 1, format, ap);
            va_end(ap);
        } else {
            // Out of memory: the line is logged cut to the small buffer.
            body = small;
            n = (int)sizeof small - 1;
        }
    }
    if (n > 0)
        total += write_escaped(stream, body, (size_t)n);
    if (body != small)
        free(body);
    fflush(stream);
    return total;
}

void logprintf_setmaxlevel(unsigned level)
{
    if (level == 0) {
        logprintf_mask = 0;
        return;
    }
    // Every bit up to the highest one set; for a single bit this is
    // 2 * level - 1, computed without overflowing for bit 31.
    unsigned high = 1u << (31 - __builtin_clz(level));
    logprintf_mask = high | (high - 1);
}

unsigned logprintf_getmask(void)
{
    return logprintf_mask;
}

std::string logprintf_ascii(const char *text, size_t max)
{
    std::string out;
    const unsigned char *p = (const unsigned char *)(text ? text : "");
    for (size_t i = 0; p[i] && i < max; i++) {
        if (p[i] == '\n' && p[i + 1] == '\0')
            break;
        if (p[i] < 0x20 || p[i] >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", p[i]);
            out += buf;
        } else {
            out += (char)p[i];
        }
    }
    return out;
}
