// The S3 client: one libcurl easy handle per request, signed by libcurl's
// own AWS Signature Version 4 (CURLOPT_AWS_SIGV4). A request body comes
// from a descriptor through the read callback and an answer body goes to
// a descriptor through the write callback, so no object is ever held whole
// in memory. Only the listing's XML answer is kept, one page at a time.
#include "objstore/objstore.h"

#include <ctype.h>
#include <curl/curl.h>
#include <errno.h>
#include <openssl/evp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "runtime/fullio.h"

void objstore_global_init()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

static void setWhy(char *why, size_t whySize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
static void setWhy(char *why, size_t whySize, const char *format, ...)
{
    if (why == nullptr || whySize == 0)
        return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(why, whySize, format, ap);
    va_end(ap);
}

static std::string hexOf(const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

int objstore_sha256_fd(int fd, std::string *hex, uint64_t *size)
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        errno = ENOMEM;
        return -1;
    }
    static const size_t CHUNK = 256 * 1024;
    std::vector<unsigned char> buf(CHUNK);
    uint64_t total = 0;
    int result = 0;
    for (off_t off = 0;;) {
        ssize_t n = fullio_pread(fd, buf.data(), CHUNK, off);
        if (n < 0) {
            result = -1;
            break;
        }
        if (n == 0)
            break;
        EVP_DigestUpdate(ctx, buf.data(), (size_t)n);
        off += n;
        total += (uint64_t)n;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (result == 0 && EVP_DigestFinal_ex(ctx, md, &mdLen) == 1) {
        *hex = hexOf(md, mdLen);
        *size = total;
    } else if (result == 0) {
        errno = EIO;
        result = -1;
    }
    EVP_MD_CTX_free(ctx);
    return result;
}

// Keys are written into the path with every byte outside the unreserved
// set and "/" percent-encoded, as SigV4's canonical URI expects them.
static std::string encodeKey(const std::string &key, bool keepSlash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out += (char)c;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// One request's state, shared with the callbacks.
struct request {
    int inFd = -1;      // body source (PUT)
    off_t inOffset = 0; // next byte of inFd to send
    int outFd = -1;     // answer destination (GET), or -1: kept in text
    uint64_t outBytes = 0;
    bool outFailed = false;
    std::string text; // answer body when outFd is -1 (bounded below)
    objstore_info *head = nullptr;
    long status = 0;
};

static size_t readBody(char *buffer, size_t size, size_t n, void *user)
{
    request *r = (request *)user;
    ssize_t got = fullio_pread(r->inFd, buffer, size * n, r->inOffset);
    if (got < 0)
        return CURL_READFUNC_ABORT;
    r->inOffset += got;
    return (size_t)got;
}

// The answer body: written to the descriptor only when the answer is a
// success (an error's XML must not end up in the caller's file).
static size_t writeBody(char *data, size_t size, size_t n, void *user)
{
    request *r = (request *)user;
    size_t len = size * n;
    if (r->outFd >= 0 && r->status >= 200 && r->status < 300) {
        if (fullio_write(r->outFd, data, len) != (ssize_t)len) {
            r->outFailed = true;
            return 0;
        }
        r->outBytes += len;
        return len;
    }
    // Error answers and listings are small; a runaway answer is cut off.
    if (r->text.size() + len > 16 * 1024 * 1024)
        return 0;
    r->text.append(data, len);
    return len;
}

static bool startsWithNoCase(const char *line, size_t len, const char *prefix)
{
    size_t p = strlen(prefix);
    return len >= p && strncasecmp(line, prefix, p) == 0;
}

static std::string headerValue(const char *line, size_t len, size_t skip)
{
    std::string v(line + skip, len - skip);
    while (!v.empty() && (v.back() == '\r' || v.back() == '\n' || v.back() == ' '))
        v.pop_back();
    size_t b = v.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : v.substr(b);
}

// The status line (to know where the body goes) and, for HEAD, the size and
// the checksum the object carries.
static size_t readHeader(char *line, size_t size, size_t n, void *user)
{
    request *r = (request *)user;
    size_t len = size * n;
    if (startsWithNoCase(line, len, "HTTP/")) {
        const char *sp = (const char *)memchr(line, ' ', len);
        r->status = sp != nullptr ? strtol(sp + 1, nullptr, 10) : 0;
    } else if (r->head != nullptr && startsWithNoCase(line, len, "content-length:")) {
        r->head->size = strtoull(headerValue(line, len, 15).c_str(), nullptr, 10);
    } else if (r->head != nullptr && startsWithNoCase(line, len, "x-amz-meta-sha256:")) {
        r->head->sha256 = headerValue(line, len, 18);
    } else if (r->head != nullptr && startsWithNoCase(line, len, "x-amz-meta-archive:")) {
        r->head->archive = headerValue(line, len, 19);
    }
    return len;
}

// Runs one request on key (empty: the bucket, with query appended) and
// returns OBJSTORE_*; the status and body stay in *r.
static int perform(const objstore_config &cfg, const char *method, const std::string &key,
                   const std::string &query, request *r, curl_slist *headers, uint64_t uploadSize,
                   const char *range, char *why, size_t whySize)
{
    objstore_global_init();
    CURL *c = curl_easy_init();
    if (c == nullptr) {
        setWhy(why, whySize, "cannot start a request");
        return OBJSTORE_FAILED;
    }
    std::string url = cfg.endpoint + "/" + encodeKey(cfg.bucket, false);
    if (!key.empty())
        url += "/" + encodeKey(key, true);
    if (!query.empty())
        url += "?" + query;
    std::string sigv4 = "aws:amz:" + cfg.region + ":s3";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, cfg.accessKey.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, cfg.secretKey.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, cfg.connectTimeout);
    // A request may take as long as its object needs, but never stalls
    // longer than stallTimeout.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, cfg.stallTimeout);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, cfg.verifyTls ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, cfg.verifyTls ? 2L : 0L);
    if (!cfg.caFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, cfg.caFile.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, readHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, r);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, r);
    if (strcmp(method, "PUT") == 0) {
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, r);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, (curl_off_t)uploadSize);
    } else if (strcmp(method, "HEAD") == 0) {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (strcmp(method, "GET") != 0) {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
    }
    if (range != nullptr)
        curl_easy_setopt(c, CURLOPT_RANGE, range);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(c);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(c);
    r->status = code;
    if (r->outFailed) {
        setWhy(why, whySize, "cannot write the object locally: %s", strerror(errno));
        return OBJSTORE_FAILED;
    }
    if (rc != CURLE_OK) {
        setWhy(why, whySize, "%s %s: %s", method, key.c_str(), curl_easy_strerror(rc));
        return OBJSTORE_FAILED;
    }
    if (code == 404)
        return OBJSTORE_NOT_FOUND;
    if (code < 200 || code >= 300) {
        // The S3 error code, e.g. <Code>XAmzContentSHA256Mismatch</Code>.
        std::string detail;
        size_t a = r->text.find("<Code>"), b = r->text.find("</Code>");
        if (a != std::string::npos && b != std::string::npos && b > a)
            detail = r->text.substr(a + 6, b - a - 6);
        setWhy(why, whySize, "%s %s: HTTP %ld %s", method, key.c_str(), code, detail.c_str());
        return OBJSTORE_FAILED;
    }
    return OBJSTORE_OK;
}

// The x-amz-content-sha256 header: the payload's digest (what libcurl signs
// when the header is given) or the digest of nothing for bodiless requests.
static curl_slist *payloadHeader(curl_slist *list, const std::string &sha256)
{
    static const char empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    std::string h = "x-amz-content-sha256: " + (sha256.empty() ? std::string(empty) : sha256);
    return curl_slist_append(list, h.c_str());
}

int objstore_put(const objstore_config &cfg, const std::string &key, int fd, uint64_t size,
                 const std::string &sha256, char *why, size_t whySize, const std::string &archive)
{
    request r;
    r.inFd = fd;
    curl_slist *h = payloadHeader(nullptr, sha256);
    h = curl_slist_append(h, ("x-amz-meta-sha256: " + sha256).c_str());
    if (!archive.empty())
        h = curl_slist_append(h, ("x-amz-meta-archive: " + archive).c_str());
    // libcurl 7.88 signs an emptied "Expect:" header as if it were sent, so
    // the 100-continue round trip stays (the gateway answers it at once).
    int result = perform(cfg, "PUT", key, "", &r, h, size, nullptr, why, whySize);
    curl_slist_free_all(h);
    return result;
}

int objstore_get(const objstore_config &cfg, const std::string &key, int fd, uint64_t offset,
                 uint64_t length, uint64_t *written, char *why, size_t whySize)
{
    request r;
    r.outFd = fd;
    curl_slist *h = payloadHeader(nullptr, "");
    char range[64];
    if (length != 0)
        snprintf(range, sizeof range, "%llu-%llu", (unsigned long long)offset,
                 (unsigned long long)(offset + length - 1));
    int result =
        perform(cfg, "GET", key, "", &r, h, 0, length != 0 ? range : nullptr, why, whySize);
    curl_slist_free_all(h);
    *written = r.outBytes;
    return result;
}

int objstore_head(const objstore_config &cfg, const std::string &key, objstore_info *head,
                  char *why, size_t whySize)
{
    request r;
    *head = objstore_info();
    r.head = head;
    curl_slist *h = payloadHeader(nullptr, "");
    int result = perform(cfg, "HEAD", key, "", &r, h, 0, nullptr, why, whySize);
    curl_slist_free_all(h);
    return result;
}

int objstore_delete(const objstore_config &cfg, const std::string &key, char *why, size_t whySize)
{
    request r;
    curl_slist *h = payloadHeader(nullptr, "");
    int result = perform(cfg, "DELETE", key, "", &r, h, 0, nullptr, why, whySize);
    curl_slist_free_all(h);
    return result == OBJSTORE_NOT_FOUND ? OBJSTORE_OK : result;
}

// The text of the first <tag>...</tag> at or after *pos, entities decoded
// unless raw (an element holding others); *pos moves past it. False when
// there is none.
static bool xmlField(const std::string &xml, const char *tag, size_t *pos, std::string *value,
                     bool raw = false)
{
    std::string open = std::string("<") + tag + ">", close = std::string("</") + tag + ">";
    size_t a = xml.find(open, *pos);
    if (a == std::string::npos)
        return false;
    a += open.size();
    size_t b = xml.find(close, a);
    if (b == std::string::npos)
        return false;
    *pos = b + close.size();
    value->clear();
    if (raw) {
        value->assign(xml, a, b - a);
        return true;
    }
    for (size_t i = a; i < b; i++) {
        static const struct {
            const char *name;
            char c;
        } entities[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool done = false;
        for (const auto &e : entities) {
            size_t n = strlen(e.name);
            if (xml.compare(i, n, e.name) == 0) {
                *value += e.c;
                i += n - 1;
                done = true;
                break;
            }
        }
        if (!done)
            *value += xml[i];
    }
    return true;
}

// Query parameters are sorted by name, as the signature's canonical query
// wants them (libcurl signs the query as given).
int objstore_list(const objstore_config &cfg, const std::string &prefix,
                  std::vector<objstore_entry> *out, char *why, size_t whySize)
{
    return objstore_listEach(
        cfg, prefix,
        [out](const objstore_entry &e) {
            out->push_back(e);
            return true;
        },
        why, whySize);
}

int objstore_listEach(const objstore_config &cfg, const std::string &prefix,
                      const std::function<bool(const objstore_entry &)> &each, char *why,
                      size_t whySize)
{
    std::string token;
    for (;;) {
        std::string query;
        if (!token.empty())
            query += "continuation-token=" + encodeKey(token, false) + "&";
        query += "list-type=2&max-keys=" + std::to_string(cfg.listPage) +
                 "&prefix=" + encodeKey(prefix, false);
        request r;
        curl_slist *h = payloadHeader(nullptr, "");
        int result = perform(cfg, "GET", "", query, &r, h, 0, nullptr, why, whySize);
        curl_slist_free_all(h);
        if (result != OBJSTORE_OK)
            return result == OBJSTORE_NOT_FOUND ? OBJSTORE_FAILED : result;
        size_t pos = 0;
        std::string contents;
        while (xmlField(r.text, "Contents", &pos, &contents, true)) {
            objstore_entry e;
            size_t p = 0;
            std::string size;
            if (!xmlField(contents, "Key", &p, &e.key))
                continue;
            p = 0;
            if (xmlField(contents, "Size", &p, &size))
                e.size = strtoull(size.c_str(), nullptr, 10);
            if (!each(e))
                return OBJSTORE_OK;
        }
        std::string truncated;
        pos = 0;
        if (!xmlField(r.text, "IsTruncated", &pos, &truncated) || truncated != "true")
            break;
        pos = 0;
        if (!xmlField(r.text, "NextContinuationToken", &pos, &token) || token.empty()) {
            setWhy(why, whySize, "a truncated listing without a continuation token");
            return OBJSTORE_FAILED;
        }
    }
    return OBJSTORE_OK;
}
