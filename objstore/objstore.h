// A small client of an object store over the S3 protocol (path-style
// requests, AWS Signature Version 4 by libcurl): put a file streamed from a
// descriptor, get an object streamed into one (whole, or a byte range),
// head, delete, and a paged listing. Every request has bounded connect and
// stall times. Nothing is thrown; each call returns an OBJSTORE_* result and
// writes a one-line reason into the caller's buffer when it fails.
#ifndef VELTO_OBJSTORE_OBJSTORE_H
#define VELTO_OBJSTORE_OBJSTORE_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Where and how to reach the store.
struct objstore_config {
    std::string endpoint;  // "http://host:port" or "https://host", no trailing "/"
    std::string bucket;    // the bucket every key lives in
    std::string region;    // signing region, e.g. "default" or "eu-west-1"
    std::string accessKey; // credentials
    std::string secretKey;
    bool verifyTls = true;    // verify the gateway's certificate and host name
    std::string caFile;       // PEM CA certificates (empty: the system's)
    long connectTimeout = 10; // seconds to connect
    long stallTimeout = 30;   // seconds without a byte moving before a request fails
    int listPage = 1000;      // objects per page of a listing (1..1000)
};

// Results.
enum {
    OBJSTORE_OK = 0,
    OBJSTORE_NOT_FOUND = 1, // the gateway answered 404
    OBJSTORE_FAILED = 2,    // any other answer, a network failure or a local I/O error
};

// What HEAD tells of an object.
struct objstore_info {
    uint64_t size = 0;
    std::string sha256;  // the object's x-amz-meta-sha256 (lower-case hex), empty when none
    std::string archive; // the object's x-amz-meta-archive (the owning archive's id), or empty
};

// One object of a listing.
struct objstore_entry {
    std::string key;
    uint64_t size = 0;
};

// Initialises libcurl once per process; call before any thread starts a
// request (the calls below do it too, for single-threaded programs).
void objstore_global_init();

// The SHA-256 of the file at fd from offset 0 to its end as 64 lower-case
// hex digits, and its size: 0, or -1 (errno set) when it cannot be read.
int objstore_sha256_fd(int fd, std::string *hex, uint64_t *size);

// Uploads size bytes of fd (from offset 0, read in pieces) as key, with the
// body's SHA-256 (hex) signed as x-amz-content-sha256, so that the gateway
// refuses a body that does not match it, and kept as x-amz-meta-sha256.
// archive, when given, is kept as x-amz-meta-archive (the owner's id).
int objstore_put(const objstore_config &cfg, const std::string &key, int fd, uint64_t size,
                 const std::string &sha256, char *why, size_t whySize,
                 const std::string &archive = std::string());

// Writes the object's bytes (all, or length bytes from offset when length
// is non-zero) to fd at its current offset, as they arrive; *written counts
// them. OBJSTORE_FAILED after a partial write leaves what was written.
int objstore_get(const objstore_config &cfg, const std::string &key, int fd, uint64_t offset,
                 uint64_t length, uint64_t *written, char *why, size_t whySize);

int objstore_head(const objstore_config &cfg, const std::string &key, objstore_info *head,
                  char *why, size_t whySize);

// Deleting an object that is not there is success (as S3 answers it).
int objstore_delete(const objstore_config &cfg, const std::string &key, char *why, size_t whySize);

// Appends every object whose key starts with prefix to *out, one page of at
// most cfg.listPage after the other (ListObjectsV2 with continuation tokens).
int objstore_list(const objstore_config &cfg, const std::string &prefix,
                  std::vector<objstore_entry> *out, char *why, size_t whySize);
// The same listing handed to each(entry) page by page, without keeping it:
// each returns false to stop (OBJSTORE_OK all the same).
int objstore_listEach(const objstore_config &cfg, const std::string &prefix,
                      const std::function<bool(const objstore_entry &)> &each, char *why,
                      size_t whySize);

#endif
