// Lossless compression of quiet studies (storeindex compress, the server's
// housekeeping, the tier's mover before it moves a study): each image of a
// study quiet for the set time that is stored uncompressed is rewritten in
// place in JPEG-LS lossless or HTJ2K lossless, its SOP Instance UID and
// every attribute kept (but an RGB image's Photometric Interpretation in
// HTJ2K: YBR_RCT, the reversible colour transform's), after its compressed
// form was decoded and compared with the original pixels bit for bit.
// Configured by the site file "Compression" along the configuration search
// path:
//
//     syntax jpeg-ls-lossless   # the toolkit's JPEG-LS (the default), or
//                               # htj2k-lossless: OpenJPH's HTJ2K, reversible
//                               # 5/3 wavelet, one fragment per frame behind a
//                               # basic offset table, 1.2.840.10008.1.2.4.201
//     quiet 2d                  # studies not changed for this long (required)
//     modality CT MR            # only images of these modalities (default: every)
//     max-image 256M            # larger image files are skipped (the toolkit
//                               # encodes JPEG-LS whole, in memory; HTJ2K is
//                               # made a frame at a time)
//     before-tier yes           # the tier's mover compresses a study before it moves it
//     every 1h                  # the server runs a pass this often (default: never)
//
// What is never rewritten: an image whose syntax is not one of the three
// uncompressed ones (every lossy syntax, JPEG-LS, JPEG 2000, HTJ2K, RLE and
// JPEG lossless, deflate), one without pixel data or with pixels the
// encoder does not take (other than 8 or 16 bits allocated, 1 or 3
// samples; for HTJ2K also colour planes stored apart, a High Bit not Bits
// Stored - 1, a sample beyond Bits Stored), one in the object tier (a stub
// or head beside it), one whose file does not match its checksum line, one
// larger than max-image, one whose compressed form is not smaller.
//
// The steps for one image, under its study's lock (store/studylock.h), and
// what a crash at each leaves (N = image_I.dcm, T = image_I.dcm.compressing,
// L = the image's last line in CHECKSUMS):
//   1. N is hashed and must match L.          crash: nothing changed
//   2. T is written, its mtime set to N's,    crash: T partial or whole, N
//      and flushed.                           whole and matching L
//   3. T is decoded frame by frame and        crash: as 2
//      compared with N's pixels.
//   4. "I SIZE SHA" of T appended to          crash: L torn (ignored: the old
//      CHECKSUMS and flushed.                 line holds) or L new, T whole
//                                             and matching it, N old
//   5. T renamed over N, directory flushed.   crash: N is the old file or T's
// A T left behind is finished by the next pass over its study (before
// anything else is done to the image): removed when N matches L, renamed
// over N when T matches L (the state after 4). `storeindex check` reports
// such a T as a warning, not a finding: the image is whole (N) in the
// meantime. The index keeps nothing of the syntax (queries read it from
// the file's meta header), so no index record changes.
#ifndef VELTO_STORE_STORECOMPRESS_H
#define VELTO_STORE_STORECOMPRESS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct storetree_study;
struct studylock_file;

#define COMPRESS_CONFIG_FILENAME "Compression"
// Suffix of an image's compressed form before it replaces the image.
#define COMPRESS_NEW_SUFFIX ".compressing"
// The values of the file's "syntax".
#define COMPRESS_JPEGLS "jpeg-ls-lossless"
#define COMPRESS_HTJ2K "htj2k-lossless"

// The site's settings.
struct compress_config {
    std::string syntax = COMPRESS_JPEGLS;
    long quietSeconds = -1;              // studies quiet this long (required in the file)
    std::vector<std::string> modalities; // empty: every modality
    uint64_t maxImageBytes = 256ull << 20;
    bool beforeTier = false; // the tier's mover compresses a study first
    long everySeconds = -1;  // the server's pass interval (-1: the server runs none)
};

// Reads the settings at path: 0, or -1 with a reason in why.
int compress_loadFile(const char *path, compress_config *cfg, char *why, size_t whySize);

// Looks for "Compression" along the configuration search path: 0 none
// (*cfg left as it is), 1 loaded, -1 unusable (reason in why).
int compress_setup(compress_config *cfg, char *why, size_t whySize);

// What a pass did.
struct compress_totals {
    size_t studies = 0;    // studies looked at (quiet, or named)
    size_t compressed = 0; // images replaced by their compressed form
    size_t skipped = 0;    // images left as they are by the rules above
    size_t failed = 0;     // images whose compression or comparison failed (logged)
    size_t finished = 0;   // compressions cut short that the pass finished
    uint64_t bytesBefore = 0, bytesAfter = 0; // of the images compressed
    double encodeSeconds = 0;                 // reading, encoding, writing, comparing
};

// storecompress_run's result when another compressor or the tier's mover
// runs on the store.
#define STORECOMPRESS_BUSY (-2)

// Compresses the study's images (one at a time, each under the study's
// lock taken through locks); dryRun: only counts what would be looked at.
// One line per study to out ("compressed STUDY IMAGES BEFORE AFTER").
// Errors of single images are logged to log and counted, never the end of
// the pass. The number of images that failed.
int storecompress_study(const storetree_study &study, const std::string &uidDir,
                        const compress_config &cfg, studylock_file *locks, int dryRun, FILE *out,
                        FILE *log, compress_totals *totals);

// One pass over the store at base: the studies named (each whatever its
// age), or with none every study quiet for cfg.quietSeconds. Holds the tier
// mover's lock for the pass (STORETIER_LOCK_FILE; a dry run takes none),
// so that no image moves to the tier while it is rewritten. The number of
// images that failed, -1 when base cannot be read, STORECOMPRESS_BUSY.
int storecompress_run(const char *base, const compress_config &cfg,
                      const std::vector<std::string> &studies, studylock_file *locks, int dryRun,
                      FILE *out, FILE *log, compress_totals *totals);

#endif
