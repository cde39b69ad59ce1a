// WADO-RS and WADO-URI: stored instances as multipart/related
// application/dicom (the stored files' bytes, or re-encoded in Explicit VR
// Little Endian when the client asks for it), metadata as DICOM JSON,
// frames as uncompressed pixel data, and rendered JPEG or PNG images and
// thumbnails with the window settings of the image.
//
// A study is sent as it is read: the response is produced piece by piece
// from one file at a time, so its size is bounded by nothing but the store.
// Frames are decoded one at a time as the client takes them; an image's
// claimed size is checked against the bytes its file holds before any
// buffer is made for it.
#include <fcntl.h>
#include <microhttpd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/config/osconfig.h"

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcwcache.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dcmtk/dcmimgle/dcmimage.h"

// The plugins need the image class declared first.
#include "dcmtk/dcmimage/dipipng.h"
#include "dcmtk/dcmimage/diregist.h"
#include "dcmtk/dcmjpeg/dipijpeg.h"

#include "codec/j2kcodec.h"
#include "core/archive.h"
#include "runtime/fullio.h"
#include "web/metrics.h"
#include "web/multipart.h"
#include "web/webserver.h"
#include "web/webtier.h"

// Boundary of every multipart answer; it cannot occur in a DICOM file's
// bytes at a line start by accident with any useful likelihood.
#define WADO_BOUNDARY "velto-e7b1c2d94f3a5068"
// Longest side of a thumbnail in pixels.
enum { THUMBNAIL_SIZE = 128 };

// Encodes the file in xfer into out: true when done.
static bool encodeFile(DcmFileFormat *ff, E_TransferSyntax xfer, std::string *out)
{
    char buffer[65536];
    DcmOutputBufferStream stream(buffer, sizeof buffer);
    DcmWriteCache cache;
    OFCondition cond;
    ff->transferInit();
    do {
        cond = ff->write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_withoutPadding,
                         0, 0, 0, EWM_updateMeta);
        if (cond.bad() && cond != EC_StreamNotifyClient)
            break;
        bool last = cond.good();
        do {
            void *piece = nullptr;
            offile_off_t length = 0;
            if (last)
                stream.flush();
            stream.flushBuffer(piece, length);
            out->append((const char *)piece, (size_t)length);
        } while (last && !stream.isFlushed());
    } while (cond == EC_StreamNotifyClient);
    ff->transferEnd();
    return cond.good();
}

// What the client asked for in its Accept header: the transfer syntax of
// application/dicom parts ("" for the stored one), and whether it accepts
// application/dicom at all.
struct acceptedDicom {
    bool ok = true;
    std::string transferSyntax;
};

static acceptedDicom parseAccept(const char *accept)
{
    acceptedDicom a;
    if (accept == nullptr)
        return a;
    std::string all(accept);
    // One media range after the other (a comma separates them).
    size_t i = 0;
    a.ok = false;
    while (i <= all.size()) {
        size_t j = all.find(',', i);
        if (j == std::string::npos)
            j = all.size();
        std::string range = all.substr(i, j - i);
        std::string type = multipart_mediaType(range.c_str());
        std::string inner = multipart_parameter(range.c_str(), "type");
        if (type == "*/*" || type == "multipart/*" || type == "application/dicom" ||
            (type == "multipart/related" && (inner.empty() || inner == "application/dicom"))) {
            std::string ts = multipart_parameter(range.c_str(), "transfer-syntax");
            a.ok = true;
            a.transferSyntax = ts == "*" ? "" : ts;
            return a;
        }
        i = j + 1;
    }
    return a;
}

// A multipart response being produced: the files still to send, the one
// being read, and the bytes of the current part header or trailer.
struct partstream {
    std::vector<std::string> paths;
    size_t next = 0;
    int fd = -1;
    std::string pending; // part header, a re-encoded file, or the closing delimiter
    size_t pendingPos = 0;
    bool closed = false;
    E_TransferSyntax xfer = EXS_Unknown; // EXS_Unknown: the stored bytes
    std::string xferUid;
    // An HTJ2K syntax asked for (the toolkit knows none): only images
    // stored in it, as their stored bytes.
    std::string onlyStored;
};

// Starts the next part: its header, and either the open file or its
// re-encoded bytes behind the header. False when no file is left.
static bool startNextPart(partstream *ps)
{
    while (ps->next < ps->paths.size()) {
        const std::string &stored = ps->paths[ps->next++];
        std::string head = "--" WADO_BOUNDARY "\r\nContent-Type: application/dicom";
        // The stored bytes of a file in its place are read at once; only
        // one not there is looked for in the tier.
        if (ps->xfer == EXS_Unknown)
            ps->fd = open(stored.c_str(), O_RDONLY | O_CLOEXEC);
        // An image in the object tier is read from its copy in the cache
        // (an open descriptor outlives the copy's eviction).
        // (The file in its place was verified by webtier_ready.)
        tier_file held;
        int found = ps->fd < 0 ? archivetier_open(&web_archive, stored.c_str(), &held)
                               : ARCHIVETIER_READABLE;
        if (found == ARCHIVETIER_DAMAGED)
            metrics_add(METRICS_WEB_DAMAGED);
        if (found != ARCHIVETIER_READABLE)
            continue;
        const std::string &path = held.path;
        if (ps->xfer == EXS_Unknown) {
            if (ps->fd < 0)
                ps->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (ps->fd < 0)
                continue; // deleted since the list was made
            if (!ps->onlyStored.empty()) {
                unsigned char meta[65536];
                ssize_t n = pread(ps->fd, meta, sizeof meta, 0);
                std::string cls, syntax;
                size_t start = 0;
                if (n <= 0 || archive_parseMeta(meta, (size_t)n, &cls, &syntax, &start) != 1 ||
                    syntax != ps->onlyStored) {
                    // Not in the syntax asked for, and no codec makes it.
                    close(ps->fd);
                    ps->fd = -1;
                    continue;
                }
                head += "; transfer-syntax=" + ps->onlyStored;
            }
            ps->pending = head + "\r\n\r\n";
        } else {
            DcmFileFormat ff;
            std::string bytes;
            if (ff.loadFile(path.c_str()).bad())
                continue;
            // An HTJ2K file is decoded like JPEG 2000 (codec/j2kcodec.h)
            // on the way to an uncompressed syntax only.
            if (DcmXfer(ps->xfer).isNotEncapsulated())
                codec_adopt(&ff);
            DcmDataset *ds = ff.getDataset();
            if (ds->getOriginalXfer() != ps->xfer) {
                // An image no codec can bring into the syntax asked for is
                // left out rather than sent in a syntax the client refused.
                if (ds->chooseRepresentation(ps->xfer, nullptr).bad() ||
                    !ds->canWriteXfer(ps->xfer))
                    continue;
            }
            if (!encodeFile(&ff, ps->xfer, &bytes))
                continue;
            ps->pending = head + "; transfer-syntax=" + ps->xferUid + "\r\n\r\n" + bytes + "\r\n";
        }
        ps->pendingPos = 0;
        metrics_add(METRICS_WEB_SENT);
        return true;
    }
    return false;
}

static ssize_t readParts(void *cls, uint64_t, char *buf, size_t max)
{
    partstream *ps = static_cast<partstream *>(cls);
    size_t filled = 0;
    while (filled < max) {
        if (ps->pendingPos < ps->pending.size()) {
            size_t n = std::min(max - filled, ps->pending.size() - ps->pendingPos);
            memcpy(buf + filled, ps->pending.data() + ps->pendingPos, n);
            ps->pendingPos += n;
            filled += n;
            continue;
        }
        if (ps->fd >= 0) {
            ssize_t n = read(ps->fd, buf + filled, max - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                filled += (size_t)n;
                continue;
            }
            // The end of the file (or a read error: the part is cut short
            // and the client sees a malformed part rather than a wrong one).
            close(ps->fd);
            ps->fd = -1;
            ps->pending = "\r\n";
            ps->pendingPos = 0;
            continue;
        }
        if (startNextPart(ps))
            continue;
        if (!ps->closed) {
            ps->closed = true;
            ps->pending = "--" WADO_BOUNDARY "--\r\n";
            ps->pendingPos = 0;
            continue;
        }
        break;
    }
    if (filled == 0)
        return MHD_CONTENT_READER_END_OF_STREAM;
    return (ssize_t)filled;
}

static void freeParts(void *cls)
{
    partstream *ps = static_cast<partstream *>(cls);
    if (ps->fd >= 0)
        close(ps->fd);
    delete ps;
}

// The instances a path names (study, series or one instance): 0, or the
// queued answer's result after a 404 / 500 in *result.
static bool findInstances(const webrequest &rq, const std::vector<std::string> &seg,
                          std::vector<webinstance> *list, int *result)
{
    const char *study = seg.size() >= 2 ? seg[1].c_str() : nullptr;
    const char *series = seg.size() >= 4 && seg[2] == "series" ? seg[3].c_str() : nullptr;
    const char *instance = seg.size() >= 6 && seg[4] == "instances" ? seg[5].c_str() : nullptr;
    if (study == nullptr || web_listInstances(study, series, instance, list) != 0) {
        *result = web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
        return false;
    }
    if (list->empty()) {
        *result = web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
        return false;
    }
    return true;
}

static int sendInstances(const webrequest &rq, const std::vector<webinstance> &list)
{
    acceptedDicom a = parseAccept(rq.header("Accept"));
    if (!a.ok)
        return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Only application/dicom is offered");
    // Images in the object tier are fetched before the answer starts, so
    // that a tier that is down fails the request instead of leaving parts out.
    partstream *ps = new partstream;
    int ready = webtier_ready(list, &ps->paths);
    if (ready != 0) {
        delete ps;
        return web_replyError(rq, ready, webtier_reason(ready));
    }
    if (codec_isHtj2k(a.transferSyntax.c_str())) {
        ps->onlyStored = a.transferSyntax;
    } else if (!a.transferSyntax.empty()) {
        DcmXfer x(a.transferSyntax.c_str());
        if (x.getXfer() == EXS_Unknown) {
            delete ps;
            return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Unknown transfer syntax");
        }
        ps->xfer = x.getXfer();
        ps->xferUid = a.transferSyntax;
    }
    MHD_Response *r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 256 * 1024, readParts, ps, freeParts);
    if (r == nullptr) {
        delete ps;
        return MHD_NO;
    }
    MHD_add_response_header(
        r, MHD_HTTP_HEADER_CONTENT_TYPE,
        "multipart/related; type=\"application/dicom\"; boundary=" WADO_BOUNDARY);
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}

// The metadata of instances being sent: one instance's JSON is made at a
// time, as the client takes the answer. Made whole, a study of 3,000
// instances was 41.5 MB of text (and 100 MB at its peak) per request.
struct metastream {
    std::vector<webinstance> list;
    std::string root; // the retrieve URLs' root
    size_t next = 0;  // index in list of the next instance
    bool opened = false, closed = false;
    bool first = true; // no instance written yet
};

// The next piece of the metadata array into out: "[", then each instance
// that can be read as its JSON object (with the comma before it but for
// the first), then "]". False after that. An instance that cannot be read
// (deleted since the list was made) is left out, as it was when the answer
// was made whole.
static bool nextMetadata(metastream *ms, std::string *out)
{
    if (!ms->opened) {
        ms->opened = true;
        *out = "[";
        return true;
    }
    while (ms->next < ms->list.size()) {
        const webinstance &i = ms->list[ms->next++];
        DcmFileFormat ff;
        // Values longer than 4 KiB (the pixel data) stay in the file.
        tier_file held;
        if (webtier_openHead(i, &held) != 0 ||
            ff.loadFile(held.path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad())
            continue;
        DcmDataset *ds = ff.getDataset();
        // DICOM JSON is UTF-8 whatever the file's character set.
        if (ds->tagExists(DCM_SpecificCharacterSet))
            ds->convertToUTF8();
        if (!ms->first)
            *out += ",";
        ms->first = false;
        web_appendJson(ds,
                       ms->root + "/studies/" + i.study + "/series/" + i.series + "/instances/" +
                           i.instance,
                       out);
        return true;
    }
    if (ms->closed)
        return false;
    ms->closed = true;
    *out = "]";
    return true;
}

// The instances' metadata as a DICOM JSON array, produced as the client
// takes it (web_pieceResponse: nothing is read for a HEAD request).
static int sendMetadata(const webrequest &rq, const std::vector<webinstance> &list)
{
    // The metadata is the heads of the instances, read as they are: their
    // bytes are verified by the reads that send them.
    int ready = webtier_readyHeads(list);
    if (ready != 0)
        return web_replyError(rq, ready, webtier_reason(ready));
    std::shared_ptr<metastream> ms(new metastream);
    ms->list = list;
    ms->root = web_rootUrl(rq);
    MHD_Response *r =
        web_pieceResponse(rq, [ms](std::string *out) { return nextMetadata(ms.get(), out); });
    if (r == nullptr)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/dicom+json");
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}

// Frame numbers "1,3,5": true when all are positive numbers, written in
// digits only, and none is named twice. A repeat is refused: each frame
// named sends a whole decoded frame, so "1,1,1,..." in a URL of a few kB
// would make one small image answer gigabytes; with distinct numbers the
// answer is at most the image's own frames.
static bool parseFrameList(const std::string &text, std::vector<unsigned long> *frames)
{
    std::set<unsigned long> named;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find(',', i);
        if (j == std::string::npos)
            j = text.size();
        std::string one = text.substr(i, j - i);
        // strtoul alone would take a sign ("-1" wraps) or leading blanks.
        if (one.empty() || one.size() > 10 || strspn(one.c_str(), "0123456789") != one.size())
            return false;
        unsigned long n = strtoul(one.c_str(), nullptr, 10);
        if (n == 0 || !named.insert(n).second)
            return false;
        frames->push_back(n);
        i = j + 1;
    }
    return !frames->empty();
}

// Frames decoded from compressed pixel data are at most this many times
// the size of the file that holds them, and never larger than
// WADO_MAX_FRAME: a small file that claims a huge image is refused before
// anything is allocated for it.
enum { WADO_MAX_RATIO = 1000 };
static const uint64_t WADO_MAX_FRAME = 1ULL << 30;

// The uncompressed size of a frame of the pixel data of ds (the file at
// path), checked against the bytes present: frame number last (from 1)
// must lie within uncompressed pixel data, and a compressed frame be within
// the bounds above. False when there is no such frame.
static bool framePresent(DcmDataset *ds, DcmElement *pixel, const std::string &path,
                         unsigned long last, Uint32 *frameSize)
{
    long count = 1;
    ds->findAndGetLongInt(DCM_NumberOfFrames, count);
    if (pixel->getUncompressedFrameSize(ds, *frameSize).bad() || *frameSize == 0 || last == 0 ||
        last > (unsigned long)(count > 0 ? count : 1) || *frameSize > WADO_MAX_FRAME)
        return false;
    if (!DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return (uint64_t)*frameSize * last <= pixel->getLength();
    struct stat st;
    return stat(path.c_str(), &st) == 0 &&
           (uint64_t)*frameSize <= (uint64_t)st.st_size * WADO_MAX_RATIO;
}

// What comes before each frame, and after the last.
#define FRAME_PART_HEAD                                                                            \
    "--" WADO_BOUNDARY "\r\nContent-Type: application/octet-stream; "                              \
    "transfer-syntax=1.2.840.10008.1.2.1\r\n\r\n"
#define FRAME_CLOSE "--" WADO_BOUNDARY "--\r\n"

// The frames of one instance being sent: one frame is decoded at a time,
// into a buffer of one frame's size.
struct framestream {
    tier_file held; // the file the frames are read from, when in the tier's cache
    DcmFileFormat ff;
    DcmElement *pixel = nullptr;
    std::vector<unsigned long> frames;
    size_t next = 0; // index in frames of the next to decode
    std::vector<char> buffer;
    Uint32 frameSize = 0;
    std::string pending; // the part's header, frame and CRLF; or the closing delimiter
    size_t pendingPos = 0;
    bool closed = false;
};

// Decodes the next frame and appends it to out as a whole part: false when
// none is left or it cannot be decoded.
static bool appendFrame(framestream *fs, std::string *out)
{
    if (fs->next >= fs->frames.size())
        return false;
    Uint32 start = 0;
    OFString model;
    unsigned long f = fs->frames[fs->next++];
    if (fs->pixel
            ->getUncompressedFrame(fs->ff.getDataset(), (Uint32)(f - 1), start, fs->buffer.data(),
                                   (Uint32)fs->buffer.size(), model)
            .bad())
        return false;
    *out += FRAME_PART_HEAD;
    out->append(fs->buffer.data(), fs->frameSize);
    *out += "\r\n";
    return true;
}

// Decodes the next frame into fs->pending as a whole part: false when none
// is left or it cannot be decoded.
static bool nextFrame(framestream *fs)
{
    fs->pending.clear();
    fs->pendingPos = 0;
    return appendFrame(fs, &fs->pending);
}

static ssize_t readFrames(void *cls, uint64_t, char *buf, size_t max)
{
    framestream *fs = static_cast<framestream *>(cls);
    size_t filled = 0;
    while (filled < max) {
        if (fs->pendingPos < fs->pending.size()) {
            size_t n = std::min(max - filled, fs->pending.size() - fs->pendingPos);
            memcpy(buf + filled, fs->pending.data() + fs->pendingPos, n);
            fs->pendingPos += n;
            filled += n;
            continue;
        }
        if (fs->closed)
            break;
        // A frame that cannot be decoded after the answer began ends the
        // answer short of its length: the client sees it cut.
        if (fs->next < fs->frames.size()) {
            if (!nextFrame(fs)) {
                fs->closed = true;
                fs->pending.clear();
                if (filled == 0)
                    return MHD_CONTENT_READER_END_WITH_ERROR;
            }
            continue;
        }
        fs->closed = true;
        fs->pending = FRAME_CLOSE;
        fs->pendingPos = 0;
    }
    if (filled == 0)
        return MHD_CONTENT_READER_END_OF_STREAM;
    return (ssize_t)filled;
}

static void freeFrames(void *cls)
{
    delete static_cast<framestream *>(cls);
}

// The frames of one instance, uncompressed, as multipart/related
// application/octet-stream, produced one frame at a time as the client
// takes them.
static int sendFrames(const webrequest &rq, const webinstance &inst, const std::string &frameList)
{
    std::unique_ptr<framestream> fs(new framestream);
    if (!parseFrameList(frameList, &fs->frames))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "Bad frame list");
    // An image in the object tier: its copy in the cache, held (with the
    // stream) until the last frame has been read from it.
    int tier = webtier_open(inst, &fs->held);
    if (tier == MHD_HTTP_SERVICE_UNAVAILABLE || tier == MHD_HTTP_INTERNAL_SERVER_ERROR)
        return web_replyError(rq, tier, webtier_reason(tier));
    std::string path = fs->held.path;
    if (tier != 0 || fs->ff.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad())
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    // Frames are always uncompressed: an HTJ2K file is decoded like JPEG 2000.
    codec_adopt(&fs->ff);
    DcmDataset *ds = fs->ff.getDataset();
    if (ds->findAndGetElement(DCM_PixelData, fs->pixel).bad() || fs->pixel == nullptr)
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "No pixel data");
    unsigned long last = 0;
    for (unsigned long f : fs->frames)
        last = std::max(last, f);
    if (!framePresent(ds, fs->pixel, path, last, &fs->frameSize))
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "No such frame");
    fs->buffer.resize((size_t)fs->frameSize + 1);
    // The answer's length is known: each frame is frameSize bytes.
    uint64_t total =
        fs->frames.size() * (sizeof FRAME_PART_HEAD - 1 + (uint64_t)fs->frameSize + 2) +
        sizeof FRAME_CLOSE - 1;
    // An answer no larger than the library's buffer would be is made
    // whole and sent with its header in one piece.
    const size_t block = 256 * 1024;
    if (total <= block) {
        std::string body;
        body.reserve((size_t)total);
        while (fs->next < fs->frames.size()) {
            if (!appendFrame(fs.get(), &body))
                return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Cannot decode frame");
        }
        body += FRAME_CLOSE;
        return web_reply(rq, MHD_HTTP_OK,
                         "multipart/related; type=\"application/octet-stream\"; "
                         "boundary=" WADO_BOUNDARY,
                         body);
    }
    // The first frame is decoded before the answer, so that an image that
    // cannot be decoded gets an error status.
    if (!nextFrame(fs.get()))
        return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Cannot decode frame");
    MHD_Response *r =
        MHD_create_response_from_callback(total, block, readFrames, fs.get(), freeFrames);
    if (r == nullptr)
        return MHD_NO;
    fs.release(); // the response owns it now
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE,
                            "multipart/related; type=\"application/octet-stream\"; "
                            "boundary=" WADO_BOUNDARY);
    return web_replyResponse(rq, MHD_HTTP_OK, r);
}

// How an image is rendered: the frame (from 0), the largest size (0: as
// stored), an explicit window (width 0: the image's own), PNG or JPEG.
struct renderspec {
    unsigned long frame = 0;
    unsigned long maxWidth = 0, maxHeight = 0;
    double center = 0, width = 0;
    bool png = false;
    int quality = 90;
};

// Renders the instance's frame into out (JPEG or PNG): true when done.
static bool renderImage(const std::string &path, const renderspec &rs, std::string *out)
{
    DcmFileFormat ff;
    if (ff.loadFile(path.c_str()).bad())
        return false;
    codec_adopt(&ff); // rendered from decoded pixels, HTJ2K as JPEG 2000
    DcmDataset *ds = ff.getDataset();
    // The image's size is believed only as far as its bytes bear it out.
    DcmElement *pixel = nullptr;
    Uint32 frameSize = 0;
    if (ds->findAndGetElement(DCM_PixelData, pixel).bad() || pixel == nullptr ||
        !framePresent(ds, pixel, path, rs.frame + 1, &frameSize))
        return false;
    DicomImage image(&ff, ds->getOriginalXfer(), CIF_UsePartialAccessToPixelData, rs.frame, 1);
    if (image.getStatus() != EIS_Normal)
        return false;
    if (image.isMonochrome()) {
        if (rs.width > 0)
            image.setWindow(rs.center, rs.width);
        else if (image.getWindowCount() > 0)
            image.setWindow(0);
        else
            image.setMinMaxWindow();
    }
    std::unique_ptr<DicomImage> scaled;
    DicomImage *img = &image;
    unsigned long w = image.getWidth(), h = image.getHeight();
    if ((rs.maxWidth != 0 && w > rs.maxWidth) || (rs.maxHeight != 0 && h > rs.maxHeight)) {
        double fx = rs.maxWidth != 0 ? (double)rs.maxWidth / w : 1e9;
        double fy = rs.maxHeight != 0 ? (double)rs.maxHeight / h : 1e9;
        double f = fx < fy ? fx : fy;
        unsigned long nw = (unsigned long)(w * f), nh = (unsigned long)(h * f);
        scaled.reset(image.createScaledImage(nw > 0 ? nw : 1, nh > 0 ? nh : 1, 1, 0));
        if (!scaled)
            return false;
        img = scaled.get();
    }
    char *mem = nullptr;
    size_t memSize = 0;
    FILE *f = open_memstream(&mem, &memSize);
    if (f == nullptr)
        return false;
    int ok;
    if (rs.png) {
        DiPNGPlugin plugin;
        plugin.setInterlaceType(E_pngInterlaceNone);
        plugin.setMetainfoType(E_pngNoMetainfo);
        ok = img->writePluginFormat(&plugin, f, 0);
    } else {
        DiJPEGPlugin plugin;
        plugin.setQuality((unsigned)rs.quality);
        plugin.setSampling(ESS_444);
        ok = img->writePluginFormat(&plugin, f, 0);
    }
    fclose(f);
    if (ok)
        out->assign(mem, memSize);
    free(mem);
    return ok != 0 && !out->empty();
}

// PNG when the Accept header (or the WADO-URI contentType) names image/png
// before any image/jpeg.
static bool wantsPng(const char *accept)
{
    if (accept == nullptr)
        return false;
    const char *png = strstr(accept, "image/png");
    const char *jpeg = strstr(accept, "image/jpeg");
    return png != nullptr && (jpeg == nullptr || png < jpeg);
}

static int sendRendered(const webrequest &rq, const webinstance &inst, renderspec rs)
{
    std::string image;
    tier_file held;
    int tier = webtier_open(inst, &held);
    if (tier != 0)
        return web_replyError(rq, tier, webtier_reason(tier));
    if (!renderImage(held.path, rs, &image))
        return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Cannot render this instance");
    return web_reply(rq, MHD_HTTP_OK, rs.png ? "image/png" : "image/jpeg", image);
}

// The rendering arguments of WADO-RS: window=center,width[,function],
// viewport=width,height, quality=1..100.
static void renderArgs(const webrequest &rq, renderspec *rs)
{
    const char *v;
    if ((v = rq.arg("window")) != nullptr) {
        double c = 0, w = 0;
        if (sscanf(v, "%lf,%lf", &c, &w) == 2 && w > 0) {
            rs->center = c;
            rs->width = w;
        }
    }
    if ((v = rq.arg("viewport")) != nullptr) {
        unsigned long w = 0, h = 0;
        if (sscanf(v, "%lu,%lu", &w, &h) >= 1) {
            rs->maxWidth = w;
            rs->maxHeight = h;
        }
    }
    if ((v = rq.arg("quality")) != nullptr) {
        int q = atoi(v);
        if (q >= 1 && q <= 100)
            rs->quality = q;
    }
    rs->png = wantsPng(rq.header("Accept"));
}

// True for a text that names one instance, series or study: a UID (which
// holds no list, "\\", and no wildcard, which the index's matching would
// expand, and no name of dots).
static bool singleUid(const char *uid)
{
    return uid != nullptr && archive_uidProblem(uid) == nullptr;
}

int wado_retrieve(const webrequest &rq, const std::vector<std::string> &seg)
{
    // studies/S[/series/R[/instances/I]] followed by what is asked for.
    size_t depth = 2;
    if (seg.size() >= 4 && seg[2] == "series")
        depth = 4;
    if (depth == 4 && seg.size() >= 6 && seg[4] == "instances")
        depth = 6;
    std::vector<std::string> rest(seg.begin() + (long)std::min(depth, seg.size()), seg.end());
    for (size_t i = 1; i < depth && i < seg.size(); i += 2)
        if (!singleUid(seg[i].c_str()))
            return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "A path names one UID per level");
    std::vector<webinstance> list;
    int result = MHD_NO;
    if (seg.size() < depth || !findInstances(rq, seg, &list, &result))
        return seg.size() < depth ? web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found") : result;

    if (rest.empty())
        return sendInstances(rq, list);
    if (rest.size() == 1 && rest[0] == "metadata")
        return sendMetadata(rq, list);
    renderspec rs;
    renderArgs(rq, &rs);
    if (rest.size() == 1 && (rest[0] == "rendered" || rest[0] == "thumbnail")) {
        // A study or series is shown by an image from the middle of its
        // first series.
        size_t pick = 0;
        while (pick + 1 < list.size() && list[pick + 1].series == list[0].series)
            pick++;
        if (rest[0] == "thumbnail") {
            if (rs.maxWidth == 0)
                rs.maxWidth = rs.maxHeight = THUMBNAIL_SIZE;
            rs.quality = 80;
        }
        return sendRendered(rq, list[pick / 2], rs);
    }
    if (depth == 6 && rest.size() >= 2 && rest[0] == "frames") {
        if (rest.size() == 2)
            return sendFrames(rq, list[0], rest[1]);
        std::vector<unsigned long> frames;
        if (rest.size() == 3 && (rest[2] == "rendered" || rest[2] == "thumbnail") &&
            parseFrameList(rest[1], &frames) && frames.size() == 1) {
            rs.frame = frames[0] - 1;
            if (rest[2] == "thumbnail" && rs.maxWidth == 0)
                rs.maxWidth = rs.maxHeight = THUMBNAIL_SIZE;
            return sendRendered(rq, list[0], rs);
        }
    }
    if (depth == 6 && rest.size() == 2 && rest[0] == "bulkdata" &&
        strcasecmp(rest[1].c_str(), "7FE00010") == 0) {
        DcmFileFormat ff;
        tier_file held;
        int tier = webtier_open(list[0], &held);
        if (tier == MHD_HTTP_SERVICE_UNAVAILABLE || tier == MHD_HTTP_INTERNAL_SERVER_ERROR)
            return web_replyError(rq, tier, webtier_reason(tier));
        if (tier != 0 || ff.loadFile(held.path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad())
            return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
        long count = 1;
        ff.getDataset()->findAndGetLongInt(DCM_NumberOfFrames, count);
        std::string all = "1";
        for (long f = 2; f <= count; f++)
            all += "," + std::to_string(f);
        return sendFrames(rq, list[0], all);
    }
    return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
}

int wado_uri(const webrequest &rq)
{
    const char *type = rq.arg("requestType");
    const char *study = rq.arg("studyUID");
    const char *series = rq.arg("seriesUID");
    const char *object = rq.arg("objectUID");
    if (type == nullptr || strcmp(type, "WADO") != 0 || study == nullptr || series == nullptr ||
        object == nullptr)
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST,
                              "requestType=WADO, studyUID, seriesUID "
                              "and objectUID are required");
    if (!singleUid(study) || !singleUid(series) || !singleUid(object))
        return web_replyError(rq, MHD_HTTP_BAD_REQUEST, "One UID per level");
    std::vector<webinstance> list;
    if (web_listInstances(study, series, object, &list) != 0 || list.empty())
        return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
    const char *contentType = rq.arg("contentType");
    if (contentType != nullptr && strcmp(contentType, "application/dicom") == 0) {
        const char *ts = rq.arg("transferSyntax");
        tier_file held;
        int tier = webtier_open(list[0], &held);
        if (tier != 0)
            return web_replyError(rq, tier, webtier_reason(tier));
        const std::string &path = held.path;
        if (ts != nullptr && ts[0] != '\0') {
            DcmFileFormat ff;
            DcmXfer x(ts);
            std::string bytes;
            if (x.getXfer() == EXS_Unknown || ff.loadFile(path.c_str()).bad())
                return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Cannot send that syntax");
            if (x.isNotEncapsulated())
                codec_adopt(&ff); // HTJ2K decoded like JPEG 2000
            DcmDataset *ds = ff.getDataset();
            if (ds->getOriginalXfer() != x.getXfer() &&
                (ds->chooseRepresentation(x.getXfer(), nullptr).bad() ||
                 !ds->canWriteXfer(x.getXfer())))
                return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Cannot send that syntax");
            if (!encodeFile(&ff, x.getXfer(), &bytes))
                return web_replyError(rq, MHD_HTTP_INTERNAL_SERVER_ERROR, "Cannot encode");
            metrics_add(METRICS_WEB_SENT);
            return web_reply(rq, MHD_HTTP_OK, "application/dicom", bytes);
        }
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0)
                close(fd);
            return web_replyError(rq, MHD_HTTP_NOT_FOUND, "Not found");
        }
        // The library closes fd with the response.
        MHD_Response *r = MHD_create_response_from_fd((uint64_t)st.st_size, fd);
        if (r == nullptr) {
            close(fd);
            return MHD_NO;
        }
        metrics_add(METRICS_WEB_SENT);
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/dicom");
        return web_replyResponse(rq, MHD_HTTP_OK, r);
    }
    // The default of WADO-URI is a JPEG image.
    renderspec rs;
    if (contentType != nullptr && strcmp(contentType, "image/png") == 0)
        rs.png = true;
    else if (contentType != nullptr && strcmp(contentType, "image/jpeg") != 0)
        return web_replyError(rq, MHD_HTTP_NOT_ACCEPTABLE, "Unsupported contentType");
    const char *v;
    if ((v = rq.arg("frameNumber")) != nullptr && atol(v) > 0)
        rs.frame = (unsigned long)atol(v) - 1;
    if ((v = rq.arg("columns")) != nullptr)
        rs.maxWidth = strtoul(v, nullptr, 10);
    if ((v = rq.arg("rows")) != nullptr)
        rs.maxHeight = strtoul(v, nullptr, 10);
    if ((v = rq.arg("windowWidth")) != nullptr && rq.arg("windowCenter") != nullptr) {
        rs.width = atof(v);
        rs.center = atof(rq.arg("windowCenter"));
    }
    if ((v = rq.arg("imageQuality")) != nullptr && atoi(v) >= 1 && atoi(v) <= 100)
        rs.quality = atoi(v);
    return sendRendered(rq, list[0], rs);
}
