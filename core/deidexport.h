// The ways a de-identified copy of stored images leaves (core/deidentify.h
// makes it): one stored image read and de-identified, a whole study (or
// series) copied into the archive as a new study through ingest (so the
// index, checksums, forwarding rules and announcements follow as for any
// image received), and the ZIP that the command line and the web write,
// one entry at a time so memory stays bounded by one image.
#ifndef VELTO_CORE_DEIDEXPORT_H
#define VELTO_CORE_DEIDEXPORT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "core/deidentify.h"

struct archive_context;

// Reads the stored image file at path (its copy from the object tier when
// it moved there) and de-identifies it into *ff: DEIDENTIFY_DONE,
// DEIDENTIFY_REFUSED (burned in and refused), or -1 when it cannot be read
// (logged to log when not null).
int deidexport_readImage(const archive_context *ctx, const std::string &path,
                         const deidentify_key &key, const deidentify_options &options,
                         DcmFileFormat *ff, deidentify_result *result, FILE *log);

// What a study's export did.
struct deidexport_summary {
    size_t images = 0;   // de-identified and written (or ingested)
    size_t burnedIn = 0; // of them, whose pixel data may hold identifying text
    size_t refused = 0;  // left out: burned in, with refuseBurnedIn
    size_t failed = 0;   // unreadable, or refused by the store
    std::string pseudonymName, pseudonymId, study; // of the last image written
};

// Copies the images of study (series: only that one; "" the whole study)
// de-identified into the archive of ctx through archive_ingest (flushed at
// the end), each a new image of the new study. The caller serialises it
// with every other use of the store (a web server: archive_exclusive).
// 0, or -1 when the study's images cannot be selected (the index cannot be
// read) or none are stored.
int deidexport_toArchive(const archive_context *ctx, const deidentify_key &key,
                         const deidentify_options &options, const std::string &study,
                         const std::string &series, deidexport_summary *summary, FILE *log);

// A ZIP made one entry at a time: entry() gives the bytes that go before
// an entry's data (its size and CRC known, as a de-identified image is
// whole in memory), finish() the central directory and its end records
// (ZIP64 ones where offsets or the count need them). Entries are stored,
// not compressed; names are UTF-8.
class deidexport_zip
{
public:
    deidexport_zip();
    std::string entry(const std::string &name, const std::string &data);
    std::string finish();

private:
    struct item {
        std::string name;
        uint32_t crc, size;
        uint64_t offset;
    };
    std::vector<item> items_;
    uint64_t written_ = 0;
    unsigned dosTime_ = 0, dosDate_ = 0;
};

// The name of a de-identified image in a ZIP: STUDY/SERIES/INSTANCE.dcm by
// its new UIDs.
std::string deidexport_entryName(const deidentify_result &r);

// Writes the images of study (series) de-identified as a ZIP to path
// (through a temporary name, flushed and renamed into place). The caller
// serialises the selection with the store's writers. 0, or -1 (logged).
int deidexport_toZip(const archive_context *ctx, const deidentify_key &key,
                     const deidentify_options &options, const std::string &study,
                     const std::string &series, const char *path, deidexport_summary *summary,
                     FILE *log);

// A de-identified image in a temporary file for a sender that sends from
// a file (the forwarder): DIR/deid-PID.tmp, locked (flock, shared) while it
// lives so that a sweep of dead writers' temporary files leaves it alone,
// removed when it goes.
class deidexport_tempfile
{
public:
    deidexport_tempfile() = default;
    ~deidexport_tempfile();
    deidexport_tempfile(const deidexport_tempfile &) = delete;
    deidexport_tempfile &operator=(const deidexport_tempfile &) = delete;
    // Writes bytes into it: 0, or -1 with errno set.
    int write(const std::string &dir, const std::string &bytes);
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

#endif
