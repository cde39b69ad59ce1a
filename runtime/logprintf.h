// Levelled logging to a caller's stdio stream: every line is prefixed with
// the local date and time and the process id, and written only if its level
// bit is enabled in the process-wide mask.
#ifndef VELTO_RUNTIME_LOGPRINTF_H
#define VELTO_RUNTIME_LOGPRINTF_H

#include <stddef.h>
#include <stdio.h>

#include <string>

// Level bits. A message carries exactly one of them.
enum {
    LOGLEVEL_FATAL = 1,    // fatal start-up failures
    LOGLEVEL_PRIVS = 2,    // the server could not drop privileges
    LOGLEVEL_SEVERE = 4,   // studywatch privilege drop, fork failures
    LOGLEVEL_ERROR = 8,    // errors
    LOGLEVEL_WARNING = 16, // warnings
    LOGLEVEL_NOTICE = 32,  // start-up and association notices
    LOGLEVEL_INFO = 64,    // information
    LOGLEVEL_DEBUG = 128,  // debugging (one -D)
    LOGLEVEL_TRACE = 256,  // detailed tracing (-D -D)
    LOGLEVEL_TRACE2 = 512  // detailed tracing, above every selectable mask
};

// Initial mask: levels 1 to 32.
#define LOGPRINTF_DEFAULT_MASK 63u

// Writes "YYYY-MM-DD HH:MM:SS [pid]:" and then the formatted message (no
// newline added) to stream, then flushes it. Every control character of
// the message but a final newline is written as "\xNN" (two hex digits),
// so that no text from a peer can break a line or forge another. Returns the number of characters
// written, or 0 when stream is null or level & mask is 0.
int logprintf(unsigned level, FILE *stream, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Enables every level bit up to and including the highest bit of level
// (2 * level - 1 for a single bit); level 0 disables all logging.
void logprintf_setmaxlevel(unsigned level);

// Returns the current mask.
unsigned logprintf_getmask(void);

// Text from a peer or a database as plain ASCII for a log line: its first
// max bytes, each control byte and each byte of 0x80 or more as "\xNN" (a
// final newline left out). For texts whose encoding is not known to be
// the log's (logprintf itself keeps bytes of 0x80 or more).
std::string logprintf_ascii(const char *text, size_t max = (size_t)-1);

#endif
