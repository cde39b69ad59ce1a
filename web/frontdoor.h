// The checks every request passes before any service sees it, as pure
// functions of the header texts (web/httpd.cc applies them): the Host
// header names this daemon (a defence against DNS rebinding), the message's
// framing is unambiguous (against request smuggling through a proxy), and
// the media type of a body, for the forged-request check (web/csrf.h).
#ifndef VELTO_WEB_FRONTDOOR_H
#define VELTO_WEB_FRONTDOOR_H

#include <string>
#include <vector>

// The host of a Host header value ("name", "name:port", "1.2.3.4:port",
// "[v6]:port") in the form frontdoor_hostServed compares: a name lower-cased
// with one trailing dot dropped, an address literal as its canonical text
// (IPv6 without brackets; an IPv4-mapped IPv6 address as IPv4). False for
// a value that is none of these (empty, bad port, characters no host name
// has, an IPv6 literal without brackets).
bool frontdoor_parseHost(const char *value, std::string *host);

// The same canonical form of a name or address the daemon is reached by
// (the -n option's values, which may also be bare IPv6 literals): false
// when it is none.
bool frontdoor_canonicalName(const std::string &name, std::string *out);

// True when host (as frontdoor_parseHost gives it) names this daemon:
// "localhost", the address the connection reached (localAddress, canonical;
// "" when unknown), the IPv6 loopback when that address is a loopback one,
// or one of names (canonical). A page of another site whose name was made
// to resolve to this machine sends its own name, which is none of these.
bool frontdoor_hostServed(const std::string &host, const std::string &localAddress,
                          const std::vector<std::string> &names);

// The header fields that decide where a request ends, as they came (every
// field of those names, in order).
struct frontdoor_framing {
    std::string version; // "HTTP/1.1", "HTTP/1.0"
    std::vector<std::string> hosts, contentLengths, transferEncodings;
};

// Null when the request's framing and Host are unambiguous, else the
// reason for a 400: more than one Content-Length, one that is not digits,
// Content-Length beside Transfer-Encoding, a Transfer-Encoding other than
// exactly "chunked", HTTP/1.1 without Host, or more than one Host.
const char *frontdoor_framingError(const frontdoor_framing &f);

// The client a trusted proxy names in X-Forwarded-For: values are every
// field of that name, in order; the proxy appends its own field (or its
// address to the last one), so only the last address of the last field
// is the proxy's word, and whatever the client wrote before is not. True
// with the address in canonical form (as frontdoor_parseHost gives one) in
// *address; false when there is no field or the last entry is no numeric
// address.
bool frontdoor_forwardedFor(const std::vector<std::string> &values, std::string *address);

// True for a Content-Type value whose body an HTML form, or a request
// another site's page may send without a CORS preflight, can carry:
// none, application/x-www-form-urlencoded, multipart/form-data, text/plain
// (judged by the media type alone, without case and parameters), and any
// value that is no well-formed media type.
bool frontdoor_formContentType(const char *value);

#endif
