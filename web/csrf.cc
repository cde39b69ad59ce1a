// Cross-site request forgery protection of the pages: the daemon's secret,
// the users' tokens (HMAC-SHA256 of the user name under the secret) and the
// check of state-changing requests (see web/csrf.h for the rules).
#include "web/csrf.h"

#include <errno.h>
#include <microhttpd.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string.h>
#include <sys/random.h>

#include "runtime/logprintf.h"
#include "web/frontdoor.h"
#include "web/metrics.h"
#include "web/webserver.h"

// Written once by csrf_init before the daemon's threads start, read-only
// afterwards. A restart draws a new secret, so pages loaded before it must
// be loaded again (their tokens no longer match).
static unsigned char secret[32];

int csrf_init()
{
    size_t got = 0;
    while (got < sizeof secret) {
        ssize_t n = getrandom(secret + got, sizeof secret - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            logprintf(LOGLEVEL_FATAL, web_options.logfp,
                      "No random bytes for the form tokens: %s\n", strerror(errno));
            return -1;
        }
        got += (size_t)n;
    }
    return 0;
}

std::string csrf_token(const std::string &user)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    // The prefix keeps this MAC from ever standing for another use of the secret.
    std::string text = "velto-csrf:" + user;
    HMAC(EVP_sha256(), secret, sizeof secret, (const unsigned char *)text.data(), text.size(), mac,
         &len);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += hex[mac[i] >> 4];
        out += hex[mac[i] & 15];
    }
    return out;
}

static bool refuse(const webrequest &rq, const char *why)
{
    metrics_add(METRICS_FAIL_CSRF);
    logprintf(LOGLEVEL_WARNING, web_options.logfp, "Refused %s %s as a forged request: %s\n",
              rq.method.c_str(), web_escapeForLog(rq.path).c_str(), why);
    return false;
}

std::string csrf_hiddenField(const webrequest &rq)
{
    return "<input type=\"hidden\" name=\"" CSRF_FIELD "\" value=\"" + csrf_token(rq.user) + "\">";
}

bool csrf_ok(const webrequest &rq, const std::string &body)
{
    if (!web_sameOrigin(rq))
        return refuse(rq, "sent from another origin");
    if (!frontdoor_formContentType(rq.header(MHD_HTTP_HEADER_CONTENT_TYPE)))
        return true;
    std::string given;
    const char *h = rq.header(CSRF_HEADER);
    if (h != nullptr)
        given = h;
    else
        given = web_formField(body, CSRF_FIELD);
    std::string expected = csrf_token(rq.user);
    if (given.size() != expected.size() ||
        CRYPTO_memcmp(given.data(), expected.data(), expected.size()) != 0)
        return refuse(rq, given.empty() ? "no form token" : "wrong form token");
    return true;
}
