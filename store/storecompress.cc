// Lossless compression of quiet studies (store/storecompress.h): the site
// file, the choice of studies, and the rewriting of one image with its
// decode-compare and its crash-safe replacement.
#include "store/storecompress.h"

#include "dcmtk/config/osconfig.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcmetinf.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmdata/dcwcache.h"
#include "dcmtk/dcmjpls/djdecode.h"
#include "dcmtk/dcmjpls/djencode.h"
#include "dcmtk/dcmjpls/djrparam.h"

#include "codec/htj2kenc.h"
#include "codec/j2kcodec.h"
#include "index/retrievelist.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"
#include "store/checksums.h"
#include "store/storetier.h"
#include "store/storetree.h"
#include "store/studylock.h"
#include "store/tier.h"

int compress_loadFile(const char *path, compress_config *cfg, char *why, size_t whySize)
{
    compress_config c;
    sitefile_options options;
    bool bad = false, quietSeen = false;
    sitefile_error err;
    int read = sitefile_read(
        path, options,
        [&](const sitefile_line &line) {
            const std::string &k = line.key, &v = line.value;
            bool one = sitefile_isOneWord(v);
            bool ok = false;
            if (k == "syntax" && one) {
                // JPEG-LS by the toolkit, HTJ2K by OpenJPH (codec/htj2kenc.h).
                ok = v == COMPRESS_JPEGLS || v == COMPRESS_HTJ2K;
                c.syntax = v;
            } else if (k == "quiet" && one) {
                ok = quietSeen = (c.quietSeconds = tier_parseDuration(v)) >= 0;
            } else if (k == "modality" && !v.empty()) {
                ok = true;
                for (size_t at = 0; at < v.size();) {
                    size_t end = v.find_first_of(" \t", at);
                    std::string m = v.substr(at, end == std::string::npos ? end : end - at);
                    if (!m.empty())
                        c.modalities.push_back(m);
                    ok = ok && m.size() <= 16;
                    at = end == std::string::npos ? v.size() : end + 1;
                }
            } else if (k == "max-image" && one) {
                ok = (c.maxImageBytes = tier_parseSize(v)) > 0;
            } else if (k == "before-tier" && one) {
                ok = v == "yes" || v == "no";
                c.beforeTier = v == "yes";
            } else if (k == "every" && one) {
                ok = (c.everySeconds = tier_parseDuration(v)) > 0;
            }
            if (!ok) {
                snprintf(why, whySize, "%s line %d: bad setting \"%.63s\"", path, line.number,
                         k.c_str());
                bad = true;
            }
            return ok;
        },
        &err);
    if (read != 0) {
        snprintf(why, whySize, "cannot read %s: %s", path, err.reason.c_str());
        return -1;
    }
    if (bad)
        return -1;
    if (!quietSeen) {
        snprintf(why, whySize, "%s: no \"quiet\" setting", path);
        return -1;
    }
    *cfg = c;
    return 0;
}

int compress_setup(compress_config *cfg, char *why, size_t whySize)
{
    char found[INSTALLPATH_SIZE];
    if (getfilepath(CONFIG_SEARCHPATH, COMPRESS_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr)
        return 0;
    return compress_loadFile(found, cfg, why, whySize) == 0 ? 1 : -1;
}

// The toolkit's JPEG-LS codecs: registered once in the process (the
// toolkit's own registry ignores a second registration). Lossless never
// makes a new SOP Instance UID (EJLSUC_never), whatever the toolkit's
// default may become. The raw encoder: it takes the stored bits as they
// are, where the "cooked" one renders the image through the toolkit's
// image classes first (which refuse colour images without dcmimage).
static void registerCodecs()
{
    DJLSDecoderRegistration::registerCodecs();
    DJLSEncoderRegistration::registerCodecs(0, 0, 0, 0, OFFalse, 0, OFTrue, EJLSUC_never);
    codec_registerJ2k(); // the HTJ2K form is decoded by OpenJPEG for the comparison
}

// Image results.
enum { IMAGE_DONE = 0, IMAGE_SKIPPED = 1, IMAGE_FAILED = -1 };

// The syntaxes that are rewritten: the three uncompressed ones. Every other
// (lossy, lossless already, deflate, ones unknown) stays as it is.
static bool uncompressed(const std::string &xfer)
{
    return xfer == UID_LittleEndianImplicitTransferSyntax ||
           xfer == UID_LittleEndianExplicitTransferSyntax ||
           xfer == UID_BigEndianExplicitTransferSyntax;
}

static bool sameRecord(const checksums_record &a, const checksums_record &b)
{
    return a.size == b.size && a.sha256 == b.sha256;
}

// Finishes a compression of the image at path cut short (its T present),
// under the study's lock: T removed when the image matches its checksum
// line, renamed over it when T does (the line of step 4 was written). 1
// finished (renamed), 0 removed or nothing there, -1 left (logged: neither
// matches; both stay for a person to look at).
static int finishLeftover(const std::string &path, FILE *log)
{
    std::string tmp = path + COMPRESS_NEW_SUFFIX;
    if (access(tmp.c_str(), F_OK) != 0)
        return 0;
    checksums_record line, image, made;
    int found = checksums_lookupImage(path, &line);
    if (found < 0) {
        logprintf(LOGLEVEL_ERROR, log, "compress: %s: cannot read its checksum line\n",
                  path.c_str());
        return -1;
    }
    bool imageGood =
        found == 0 && checksums_computePath(path, &image) == 0 && sameRecord(image, line);
    if (imageGood || access(path.c_str(), F_OK) != 0 || (found == 0 && line.sha256 == "-")) {
        // The compressed form never became the image's (or the image is
        // gone): the original stands.
        if (unlink(tmp.c_str()) != 0 || durable_flushParent(tmp.c_str()) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "compress: cannot remove %s: %s\n", tmp.c_str(),
                      strerror(errno));
            return -1;
        }
        return 0;
    }
    if (found == 0 && checksums_computePath(tmp, &made) == 0 && sameRecord(made, line)) {
        if (durable_rename(tmp.c_str(), path.c_str()) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "compress: cannot rename %s: %s\n", tmp.c_str(),
                      strerror(errno));
            return -1;
        }
        logprintf(LOGLEVEL_NOTICE, log, "compress: %s: the compression cut short finished\n",
                  path.c_str());
        return 1;
    }
    logprintf(LOGLEVEL_ERROR, log,
              "compress: %s: neither it nor %s matches its checksum line; both left\n",
              path.c_str(), tmp.c_str());
    return -1;
}

// Writes the file format to fd in pieces as the toolkit encodes it in
// xfer, each through sum: 0, or -1 (errno set; EIO: the toolkit could not
// encode it). metaUid: the syntax the meta header names when not xfer's
// (HTJ2K, which the toolkit does not know: its pixel data is written as
// JPEG 2000's, the same encapsulation).
static int writeFile(DcmFileFormat *ff, E_TransferSyntax xfer, const char *metaUid, int fd,
                     checksums_hasher *sum)
{
    E_FileWriteMode mode = EWM_fileformat;
    if (metaUid != nullptr) {
        // The meta header made as for xfer (the store's elements kept), its
        // syntax then set to metaUid and its group length computed again
        // (a longer UID), and written as it is.
        DcmMetaInfo *meta = ff->getMetaInfo();
        if (ff->validateMetaInfo(xfer, EWM_fileformat).bad() ||
            meta->putAndInsertString(DCM_TransferSyntaxUID, metaUid).bad() ||
            meta->computeGroupLengthAndPadding(EGL_withGL, EPD_noChange, EXS_LittleEndianExplicit,
                                               EET_ExplicitLength)
                .bad()) {
            errno = EIO;
            return -1;
        }
        mode = EWM_dontUpdateMeta;
    }
    enum { PIECE = 256 * 1024 };
    std::unique_ptr<char[]> buf(new char[PIECE]);
    DcmWriteCache cache;
    DcmOutputBufferStream out(buf.get(), PIECE);
    OFCondition cond;
    bool written = true;
    ff->transferInit();
    do {
        // EWM_fileformat: the meta header's elements kept (the store's
        // implementation UID among them), its transfer syntax made the new one.
        cond = ff->write(out, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_withoutPadding, 0,
                         0, 0, mode);
        if (cond.bad() && cond != EC_StreamNotifyClient)
            break;
        bool last = cond.good();
        do {
            void *piece = nullptr;
            offile_off_t length = 0;
            if (last)
                out.flush();
            out.flushBuffer(piece, length);
            if (length > 0 && fullio_write(fd, piece, (size_t)length) != (ssize_t)length)
                written = false;
            else if (length > 0)
                sum->add(piece, (size_t)length);
        } while (written && last && !out.isFlushed());
    } while (written && cond == EC_StreamNotifyClient);
    ff->transferEnd();
    if (written && cond.bad())
        errno = EIO;
    return written && cond.good() ? 0 : -1;
}

static DcmPixelData *pixelData(DcmDataset *ds)
{
    DcmElement *e = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, e).bad() || e == nullptr ||
        e->ident() != EVR_PixelData)
        return nullptr;
    return static_cast<DcmPixelData *>(e);
}

// Gives back the memory of the fragments a frame's decoding loaded (they
// are read again from the file when needed): the comparison holds one
// frame of each form, whatever the number of frames.
static void dropFragments(DcmPixelData *px)
{
    DcmPixelSequence *seq = nullptr;
    E_TransferSyntax xfer = EXS_Unknown;
    const DcmRepresentationParameter *param = nullptr;
    px->getOriginalRepresentationKey(xfer, param);
    if (px->getEncapsulatedRepresentation(xfer, param, seq).bad() || seq == nullptr)
        return;
    for (unsigned long i = 0; i < seq->card(); i++) {
        DcmPixelItem *item = nullptr;
        if (seq->getItem(item, i).good() && item != nullptr)
            item->compact();
    }
}

// Step 3: the compressed file at tmp decoded frame by frame and compared
// with the original's pixels (read a frame at a time from its file): 0
// equal, -1 not (why). Values longer than 4 KB are read from the files
// when they are needed, so neither image is in memory whole.
static int compareFrames(const std::string &path, const std::string &tmp, std::string *why)
{
    DcmFileFormat a, b;
    if (a.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad() ||
        b.loadFile(tmp.c_str(), EXS_Unknown, EGL_noChange, 4096).bad()) {
        *why = "cannot read the compressed form back";
        return -1;
    }
    // An HTJ2K form reads as Explicit VR Little Endian with encapsulated
    // pixel data: re-keyed for the decoder (it is only read here).
    codec_adopt(&b);
    DcmDataset *da = a.getDataset(), *db = b.getDataset();
    OFString ua, ub;
    if (da->findAndGetOFString(DCM_SOPInstanceUID, ua).bad() ||
        db->findAndGetOFString(DCM_SOPInstanceUID, ub).bad() || ua != ub) {
        *why = "the compressed form has another SOP Instance UID";
        return -1;
    }
    DcmPixelData *pa = pixelData(da), *pb = pixelData(db);
    Uint32 sizeA = 0, sizeB = 0;
    if (pa == nullptr || pb == nullptr || pa->getUncompressedFrameSize(da, sizeA).bad() ||
        pb->getUncompressedFrameSize(db, sizeB).bad() || sizeA != sizeB || sizeA == 0) {
        *why = "the frame sizes differ";
        return -1;
    }
    Sint32 frames = 1;
    if (da->findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1)
        frames = 1;
    // The toolkit wants an even buffer; the comparison covers the frame's
    // own bytes.
    Uint32 bufSize = sizeA + (sizeA & 1);
    std::vector<unsigned char> fa(bufSize), fb(bufSize);
    DcmFileCache ca, cb;
    Uint32 fragA = 0, fragB = 0;
    for (Sint32 f = 0; f < frames; f++) {
        OFString cmA, cmB;
        OFCondition c =
            pa->getUncompressedFrame(da, (Uint32)f, fragA, fa.data(), bufSize, cmA, &ca);
        if (c.bad()) {
            *why = std::string("cannot read frame ") + std::to_string(f + 1) +
                   " of the original: " + c.text();
            return -1;
        }
        c = pb->getUncompressedFrame(db, (Uint32)f, fragB, fb.data(), bufSize, cmB, &cb);
        if (c.bad()) {
            *why = std::string("cannot decode frame ") + std::to_string(f + 1) + ": " + c.text();
            return -1;
        }
        if (memcmp(fa.data(), fb.data(), sizeA) != 0) {
            *why = std::string("frame ") + std::to_string(f + 1) + " decodes to other pixels";
            return -1;
        }
        pa->compact();
        dropFragments(pb);
    }
    return 0;
}

// Whether the image's file is one the rules leave as it is: the reason, or
// null.
static const char *leftAlone(const std::string &path, const compress_config &cfg,
                             const struct stat &st)
{
    struct stat other;
    if (stat((path + TIER_STUB_SUFFIX).c_str(), &other) == 0 ||
        stat((path + TIER_HEAD_SUFFIX).c_str(), &other) == 0)
        return "in the object tier";
    if ((uint64_t)st.st_size > cfg.maxImageBytes)
        return "larger than max-image";
    std::string cls, xfer;
    if (retrievelist_fileClass(path.c_str(), &cls, &xfer) != 0)
        return "its meta header cannot be read";
    if (!uncompressed(xfer))
        return "compressed already (or a syntax left as it is)";
    return nullptr;
}

// The image's pixel data of ds made HTJ2K lossless, frame by frame (one
// fragment each behind a basic offset table), under the toolkit's JPEG 2000
// lossless key (the same encapsulation; the file's meta header names
// HTJ2K). An RGB image is encoded with the reversible colour transform and
// called YBR_RCT, as a JPEG 2000 image so encoded must be: the transform
// saves a tenth to a fifth of a colour image's bytes, and decoders undo it
// to RGB. Other colour models (YBR_FULL, ...) are encoded component by
// component as they are. IMAGE_DONE, IMAGE_SKIPPED or IMAGE_FAILED (why).
static int encodeHtj2k(DcmDataset *ds, std::string *why)
{
    DcmPixelData *px = pixelData(ds);
    Uint16 rows = 0, columns = 0, samples = 0, bits = 0, stored = 0, high = 0, sign = 0, planar = 0;
    OFString photometric;
    Sint32 frames = 1;
    if (px == nullptr || ds->findAndGetUint16(DCM_Rows, rows).bad() ||
        ds->findAndGetUint16(DCM_Columns, columns).bad() ||
        ds->findAndGetUint16(DCM_SamplesPerPixel, samples).bad() ||
        ds->findAndGetUint16(DCM_BitsAllocated, bits).bad() ||
        ds->findAndGetUint16(DCM_BitsStored, stored).bad() ||
        ds->findAndGetUint16(DCM_HighBit, high).bad() ||
        ds->findAndGetUint16(DCM_PixelRepresentation, sign).bad() ||
        ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric).bad()) {
        *why = "the image lacks attributes the HTJ2K encoder needs";
        return IMAGE_SKIPPED;
    }
    if (ds->findAndGetUint16(DCM_PlanarConfiguration, planar).bad())
        planar = 0;
    if (ds->findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1)
        frames = 1;
    // The decoder gives back interleaved samples and words whose bits above
    // Bits Stored are the sign's: other layouts are left as they are.
    if ((samples == 3 && planar != 0) || stored == 0 || stored > bits || high + 1 != stored) {
        *why = "colour planes stored apart or High Bit not Bits Stored - 1";
        return IMAGE_SKIPPED;
    }
    codec_frameinfo f;
    f.rows = rows;
    f.columns = columns;
    f.samples = samples;
    f.bitsAllocated = bits;
    f.bitsStored = stored;
    f.isSigned = sign == 1;
    f.colourTransform = samples == 3 && photometric == "RGB";
    Uint32 frameSize = 0;
    if (px->getUncompressedFrameSize(ds, frameSize).bad() || frameSize == 0 ||
        frameSize != (Uint32)rows * columns * samples * (bits / 8)) {
        *why = "the frame size is not its attributes'";
        return IMAGE_SKIPPED;
    }
    std::vector<unsigned char> frame(frameSize + (frameSize & 1));
    std::vector<unsigned char> code;
    std::unique_ptr<DcmPixelSequence> seq(new DcmPixelSequence(DCM_PixelSequenceTag));
    DcmPixelItem *table = new DcmPixelItem(DCM_PixelItemTag);
    seq->insert(table);
    DcmOffsetList offsets;
    Uint32 fragment = 0;
    for (Sint32 i = 0; i < frames; i++) {
        OFString model;
        OFCondition c = px->getUncompressedFrame(ds, (Uint32)i, fragment, frame.data(),
                                                 (Uint32)frame.size(), model);
        if (c.bad()) {
            *why = std::string("cannot read frame ") + std::to_string(i + 1) + ": " + c.text();
            return IMAGE_FAILED;
        }
        std::string reason;
        if (codec_encodeHtj2k(frame.data(), frameSize, f, &code, &reason) != 0) {
            *why = "frame " + std::to_string(i + 1) + ": " + reason;
            return reason == "a sample is beyond Bits Stored" ? IMAGE_SKIPPED : IMAGE_FAILED;
        }
        // storeCompressedFrame pads an odd codestream to an even length.
        c = seq->storeCompressedFrame(offsets, code.data(), (Uint32)code.size(), 0);
        if (c.bad()) {
            *why = std::string("cannot keep frame ") + std::to_string(i + 1) + ": " + c.text();
            return IMAGE_FAILED;
        }
    }
    if (table->createOffsetTable(offsets).bad()) {
        *why = "cannot make the offset table";
        return IMAGE_FAILED;
    }
    // The uncompressed form is given up for the HTJ2K one: the data set is
    // written from it alone.
    px->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq.release());
    if (f.colourTransform &&
        ds->putAndInsertString(DCM_PhotometricInterpretation, "YBR_RCT").bad()) {
        *why = "cannot set the colour model";
        return IMAGE_FAILED;
    }
    if (!ds->canWriteXfer(EXS_JPEG2000LosslessOnly)) {
        *why = "no HTJ2K form";
        return IMAGE_FAILED;
    }
    return IMAGE_DONE;
}

// The steps of store/storecompress.h for one image, under its study's
// lock. IMAGE_DONE (before and after: the file's sizes), IMAGE_SKIPPED or
// IMAGE_FAILED (why).
static int compressImage(const std::string &path, const compress_config &cfg, uint64_t *before,
                         uint64_t *after, std::string *why)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *why = "gone";
        return IMAGE_SKIPPED;
    }
    if (const char *reason = leftAlone(path, cfg, st)) {
        *why = reason;
        return IMAGE_SKIPPED;
    }
    // 1. The file must be the one recorded: damage is never compressed.
    checksums_record line, old;
    int found = checksums_lookupImage(path, &line);
    if (found != 0 || checksums_computePath(path, &old) != 0 || !sameRecord(old, line)) {
        *why = found != 0 ? "no checksum line" : "it does not match its checksum line";
        return IMAGE_FAILED;
    }
    std::string tmp = path + COMPRESS_NEW_SUFFIX;
    checksums_record made;
    {
        DcmFileFormat ff;
        if (ff.loadFile(path.c_str()).bad()) {
            *why = "cannot be read";
            return IMAGE_FAILED;
        }
        DcmDataset *ds = ff.getDataset();
        Uint16 bits = 0, samples = 0;
        if (pixelData(ds) == nullptr || ds->findAndGetUint16(DCM_BitsAllocated, bits).bad() ||
            ds->findAndGetUint16(DCM_SamplesPerPixel, samples).bad() || (bits != 8 && bits != 16) ||
            (samples != 1 && samples != 3)) {
            *why = "no pixel data the encoder takes";
            return IMAGE_SKIPPED;
        }
        if (!cfg.modalities.empty()) {
            OFString modality;
            ds->findAndGetOFString(DCM_Modality, modality);
            if (std::find(cfg.modalities.begin(), cfg.modalities.end(),
                          std::string(modality.c_str())) == cfg.modalities.end()) {
                *why = "another modality";
                return IMAGE_SKIPPED;
            }
        }
        bool htj2k = cfg.syntax == COMPRESS_HTJ2K;
        E_TransferSyntax xfer = htj2k ? EXS_JPEG2000LosslessOnly : EXS_JPEGLSLossless;
        if (htj2k) {
            int r = encodeHtj2k(ds, why);
            if (r != IMAGE_DONE)
                return r;
        } else {
            DJLSRepresentationParameter lossless(0, OFTrue);
            OFCondition c = ds->chooseRepresentation(EXS_JPEGLSLossless, &lossless);
            if (c.bad() || !ds->canWriteXfer(EXS_JPEGLSLossless)) {
                *why = std::string("the encoder refused it: ") +
                       (c.bad() ? c.text() : "no JPEG-LS form");
                return IMAGE_FAILED;
            }
        }
        // 2. T, with the original's mode and modification time (the study
        // stays as quiet as it was for the tier's mover), flushed with its
        // time (fsync: fdatasync may leave the time unwritten).
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      st.st_mode & 07777);
        if (fd < 0) {
            *why = std::string("cannot create ") + tmp + ": " + strerror(errno);
            return IMAGE_FAILED;
        }
        durable_fd held(fd);
        checksums_hasher sum;
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (writeFile(&ff, xfer, htj2k ? CODEC_HTJ2K_LOSSLESS : nullptr, fd, &sum) != 0 ||
            futimens(fd, times) != 0 || fsync(fd) != 0 || held.close() != 0) {
            *why = std::string("cannot write ") + tmp + ": " + strerror(errno);
            unlink(tmp.c_str());
            return IMAGE_FAILED;
        }
        made = sum.finish();
    }
    if (made.size >= old.size) {
        unlink(tmp.c_str());
        *why = "its compressed form is not smaller";
        return IMAGE_SKIPPED;
    }
    // 3. Decoded and compared, a frame at a time.
    if (compareFrames(path, tmp, why) != 0) {
        unlink(tmp.c_str());
        return IMAGE_FAILED;
    }
    // 4. The new line, flushed: from here on T is the image's form.
    std::string seriesDir, instance;
    if (!checksums_splitImagePath(path, &seriesDir, &instance) ||
        checksums_append(seriesDir, instance, made, nullptr, true) != 0) {
        *why = std::string("cannot append its checksum line: ") + strerror(errno);
        // A line that may have reached the file is finished by the next pass.
        return IMAGE_FAILED;
    }
    // 5. In place.
    if (durable_rename(tmp.c_str(), path.c_str()) != 0) {
        *why = std::string("cannot rename ") + tmp + ": " + strerror(errno) +
               " (the next pass finishes it)";
        return IMAGE_FAILED;
    }
    *before = old.size;
    *after = made.size;
    return IMAGE_DONE;
}

static double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int storecompress_study(const storetree_study &study, const std::string &uidDir,
                        const compress_config &cfg, studylock_file *locks, int dryRun, FILE *out,
                        FILE *log, compress_totals *totals)
{
    registerCodecs();
    totals->studies++;
    size_t images = 0, failedBefore = totals->failed;
    uint64_t before = 0, after = 0;
    for (const storetree_series &series : study.series) {
        for (const std::string &image : series.images) {
            std::string path = series.dir + "/image_" + image + ".dcm";
            if (dryRun) {
                images++;
                continue;
            }
            // One image at a time under the lock: a store into the study
            // waits for one image's rewriting at most.
            studylock lock;
            if (studylock_acquire(locks, &lock, uidDir.c_str(), study.uid.c_str(), log) != 0) {
                logprintf(LOGLEVEL_ERROR, log, "compress: cannot lock study %s: %s\n",
                          study.uid.c_str(), strerror(errno));
                totals->failed++;
                return (int)(totals->failed - failedBefore);
            }
            int left = finishLeftover(path, log);
            if (left > 0)
                totals->finished++;
            if (left < 0) {
                totals->failed++;
                continue;
            }
            uint64_t b = 0, a = 0;
            std::string why;
            double start = now();
            int r = compressImage(path, cfg, &b, &a, &why);
            totals->encodeSeconds += now() - start;
            studylock_release(&lock);
            if (r == IMAGE_DONE) {
                images++;
                before += b;
                after += a;
                totals->compressed++;
                totals->bytesBefore += b;
                totals->bytesAfter += a;
            } else if (r == IMAGE_SKIPPED) {
                totals->skipped++;
                logprintf(LOGLEVEL_INFO, log, "compress: %s left as it is: %s\n", path.c_str(),
                          why.c_str());
            } else {
                totals->failed++;
                logprintf(LOGLEVEL_ERROR, log, "compress: %s not compressed: %s\n", path.c_str(),
                          why.c_str());
            }
        }
    }
    if (out != nullptr) {
        if (dryRun)
            fprintf(out, "would compress %s %zu\n", study.uid.c_str(), images);
        else
            fprintf(out, "compressed %s %zu %llu %llu\n", study.uid.c_str(), images,
                    (unsigned long long)before, (unsigned long long)after);
        fflush(out);
    }
    return (int)(totals->failed - failedBefore);
}

int storecompress_run(const char *base, const compress_config &cfg,
                      const std::vector<std::string> &studies, studylock_file *locks, int dryRun,
                      FILE *out, FILE *log, compress_totals *totals)
{
    int lockFd = -1;
    if (!dryRun && (lockFd = storetier_lock(base)) < 0)
        return lockFd == -2 ? STORECOMPRESS_BUSY : -1;
    durable_fd held(lockFd);
    storetree tree;
    if (storetree_scan(base, &tree) != 0)
        return -1;
    std::set<std::string> named(studies.begin(), studies.end());
    time_t t = time(nullptr);
    int failed = 0;
    for (const storetree_study &study : tree.studies) {
        if (!named.empty() ? named.count(study.uid) == 0
                           : t - storetier_lastChange(study) < cfg.quietSeconds)
            continue;
        failed += storecompress_study(study, tree.uidDir, cfg, locks, dryRun, out, log, totals);
    }
    return failed;
}
