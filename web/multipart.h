// Streaming reader of a multipart body (RFC 2046): the body is fed in pieces
// as they arrive, and each part's headers and bytes are handed on at once,
// so no more of the body than one boundary's length is ever held.
#ifndef VELTO_WEB_MULTIPART_H
#define VELTO_WEB_MULTIPART_H

#include <stddef.h>

#include <string>

// What the reader hands to its user. Each function returns 0 to go on, or
// non-zero to stop the reader (multipart_feed then returns -1).
struct multipart_sink {
    // A part starts; headers holds its header lines, CRLF-separated.
    int (*partBegin)(void *cls, const std::string &headers);
    // The next len bytes of the part's body.
    int (*partData)(void *cls, const char *data, size_t len);
    // The part's body is complete.
    int (*partEnd)(void *cls);
    void *cls;
};

// The reader's state; fill it with multipart_init.
struct multipart_reader {
    std::string delimiter; // "\r\n--" boundary
    std::string pending;   // bytes not yet handed on (less than a delimiter's length in a body)
    int state;             // where in the body the reader is (multipart.cc)
    multipart_sink sink;
};

// Starts a reader for the boundary (without the leading "--").
void multipart_init(multipart_reader *r, const std::string &boundary, const multipart_sink &sink);

// Feeds the next len bytes of the body: 0 fine, -1 stopped by the sink or
// malformed (the reader then takes nothing more).
int multipart_feed(multipart_reader *r, const char *data, size_t len);

// 1 when the closing delimiter has been read, else 0 (a truncated body).
int multipart_complete(const multipart_reader *r);

// The value of parameter name in a header value such as
// `multipart/related; type="application/dicom"; boundary=XYZ` (quotes
// removed, name compared without case); empty when absent.
std::string multipart_parameter(const char *headerValue, const char *name);

// The media type of a header value (before any ";"), lower-cased and trimmed.
std::string multipart_mediaType(const char *headerValue);

#endif
