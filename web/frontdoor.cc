// The checks of a request's Host header, framing and body media type
// before any service sees it (see web/frontdoor.h).
#include "web/frontdoor.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "web/multipart.h"

// The canonical text of an address literal (IPv6 without brackets), or
// false when text is none. An IPv4-mapped IPv6 address is the IPv4 address
// it maps: the connection's own address may come in either form.
static bool canonicalAddress(const std::string &text, std::string *out)
{
    char buf[INET6_ADDRSTRLEN];
    struct in_addr a4;
    struct in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        *out = inet_ntop(AF_INET, &a4, buf, sizeof buf);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        memcpy(&a4, &a6.s6_addr[12], 4);
        *out = inet_ntop(AF_INET, &a4, buf, sizeof buf);
    } else {
        *out = inet_ntop(AF_INET6, &a6, buf, sizeof buf);
    }
    return true;
}

// A host name as the DNS has them (letters, digits, '-', '_', dots; no
// empty label but for one final dot), lower-cased without the final dot.
static bool canonicalHostName(const std::string &name, std::string *out)
{
    std::string n = name;
    if (!n.empty() && n.back() == '.')
        n.pop_back();
    if (n.empty() || n.size() > 253 || n[0] == '.' || n.find("..") != std::string::npos)
        return false;
    for (char &c : n) {
        if (!isalnum((unsigned char)c) && c != '-' && c != '_' && c != '.')
            return false;
        c = (char)tolower((unsigned char)c);
    }
    *out = n;
    return true;
}

bool frontdoor_canonicalName(const std::string &name, std::string *out)
{
    std::string n = name;
    if (n.size() > 2 && n.front() == '[' && n.back() == ']')
        n = n.substr(1, n.size() - 2);
    return canonicalAddress(n, out) || canonicalHostName(n, out);
}

bool frontdoor_parseHost(const char *value, std::string *host)
{
    if (value == nullptr)
        return false;
    std::string v(value);
    std::string name, port;
    if (!v.empty() && v[0] == '[') {
        // An IPv6 literal is bracketed, the port after the bracket.
        size_t close = v.find(']');
        if (close == std::string::npos || (close + 1 < v.size() && v[close + 1] != ':'))
            return false;
        name = v.substr(1, close - 1);
        if (close + 1 < v.size())
            port = v.substr(close + 2);
        struct in6_addr a6;
        if (inet_pton(AF_INET6, name.c_str(), &a6) != 1)
            return false;
    } else {
        // Without brackets a colon starts the port: a second one is an
        // IPv6 literal without brackets, which the Host header has not.
        size_t colon = v.find(':');
        name = v.substr(0, colon);
        if (colon != std::string::npos) {
            port = v.substr(colon + 1);
            if (port.find(':') != std::string::npos)
                return false;
        }
    }
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        (!port.empty() && strtoul(port.c_str(), nullptr, 10) > 65535))
        return false;
    return canonicalAddress(name, host) || canonicalHostName(name, host);
}

bool frontdoor_hostServed(const std::string &host, const std::string &localAddress,
                          const std::vector<std::string> &names)
{
    if (host == "localhost" || (!localAddress.empty() && host == localAddress))
        return true;
    struct in_addr a4;
    if (host == "::1" && inet_pton(AF_INET, localAddress.c_str(), &a4) == 1 &&
        (ntohl(a4.s_addr) >> 24) == 127)
        return true;
    for (const std::string &n : names)
        if (host == n)
            return true;
    return false;
}

const char *frontdoor_framingError(const frontdoor_framing &f)
{
    if (f.contentLengths.size() > 1)
        return "more than one Content-Length";
    if (!f.contentLengths.empty() &&
        (f.contentLengths[0].empty() ||
         f.contentLengths[0].find_first_not_of("0123456789") != std::string::npos))
        return "a Content-Length that is not a number";
    if (!f.transferEncodings.empty() && !f.contentLengths.empty())
        return "Content-Length beside Transfer-Encoding";
    // Only "chunked" is read; any other coding, or a list, could be read
    // otherwise by a proxy in front.
    if (f.transferEncodings.size() > 1 ||
        (f.transferEncodings.size() == 1 && strcasecmp(f.transferEncodings[0].c_str(), "chunked")))
        return "a Transfer-Encoding other than chunked";
    if (f.hosts.size() > 1)
        return "more than one Host";
    if (f.hosts.empty() && strcasecmp(f.version.c_str(), "HTTP/1.0") != 0)
        return "no Host";
    return nullptr;
}

// A token of a media type (RFC 9110): visible characters but delimiters.
static bool mediaToken(const std::string &s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!isalnum((unsigned char)c) && strchr("!#$%&'*+-.^_`|~", c) == nullptr)
            return false;
    return true;
}

bool frontdoor_formContentType(const char *value)
{
    if (value == nullptr)
        return true;
    std::string type = multipart_mediaType(value);
    size_t slash = type.find('/');
    if (slash == std::string::npos || !mediaToken(type.substr(0, slash)) ||
        !mediaToken(type.substr(slash + 1)))
        return true;
    return type == "application/x-www-form-urlencoded" || type == "multipart/form-data" ||
           type == "text/plain";
}

bool frontdoor_forwardedFor(const std::vector<std::string> &values, std::string *address)
{
    if (values.empty())
        return false;
    const std::string &last = values.back();
    size_t comma = last.rfind(',');
    std::string entry = comma == std::string::npos ? last : last.substr(comma + 1);
    size_t b = entry.find_first_not_of(" \t"), e = entry.find_last_not_of(" \t");
    if (b == std::string::npos)
        return false;
    return canonicalAddress(entry.substr(b, e - b + 1), address);
}
