// The network layer's debug trace: channel 11 ("DICOM"), severities 0x80
// ("Debug", failures) and 0x100 ("Junk", notes), written only while a sink
// is open; and the switch that silences the toolkit's own console logging.
#include "dicomnet/dicomnet.h"

#include <stdarg.h>
#include <unistd.h>

#include "dcmtk/oflog/oflog.h"
#include "runtime/process.h"

// Set at start-up (before workers fork or threads start), read afterwards.
static struct {
    FILE *sink = nullptr;
    unsigned mask = 0;
} trace;

void dicomnet_trace_open(FILE *sink, unsigned mask)
{
    trace.sink = sink;
    trace.mask = sink ? mask : 0;
}

void dicomnet_trace_close(void)
{
    trace.sink = nullptr;
    trace.mask = 0;
}

int dicomnet_trace_enabled(unsigned severity)
{
    return trace.sink != nullptr && (trace.mask & severity) != 0;
}

void dicomnet_trace(unsigned severity, const char *fmt, ...)
{
    if (!dicomnet_trace_enabled(severity))
        return;
    // Workers share the sink after fork; the pid tells their lines apart.
    fprintf(trace.sink, "%s(%d) %s [%ld]: ", DICOMNET_TRACE_NAME, DICOMNET_TRACE_CHANNEL,
            (severity & DICOMNET_TRACE_DEBUG) ? "Debug" : "Junk", (long)process_pid());
    va_list ap;
    va_start(ap, fmt);
    vfprintf(trace.sink, fmt, ap);
    va_end(ap);
    fflush(trace.sink);
}

void dicomnet_quiet_toolkit_log(void)
{
    // oflog writes warnings and errors of dcmnet/dcmdata to the console by
    // default; the server reports failures itself, from the conditions.
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
}
