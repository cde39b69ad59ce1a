// Levelled logging with the "date time [pid]:" line prefix and the
// process-wide level mask.
#include "runtime/logprintf.h"

#include <stdarg.h>
#include <time.h>
#include <unistd.h>

#include "runtime/process.h"

// Set once during start-up, before any worker is forked.
static unsigned logprintf_mask = LOGPRINTF_DEFAULT_MASK;

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
    n = vfprintf(stream, format, ap);
    va_end(ap);
    if (n > 0)
        total += n;

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
