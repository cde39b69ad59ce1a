// The archive core's receive (core/receive.h): a C-STORE's data set and a
// STOW-RS part walked as they come, stored as they come or parsed, and
// handed to the ingest; and the check of an uploaded Part 10 file
// (archive_checkUpload, archive_uploadCheck: core/archive.h) that the
// receive of a part is made of.
#include "core/receive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcistrmb.h"
#include "dcmtk/dcmdata/dcxfer.h"

#include "codec/j2kcodec.h"
#include "dicomnet/elementwalk.h"
#include "dicomnet/transcode.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "store/imagecheck.h"
#include "store/localstore.h"

// How deep an upload's sequences may nest, and how many items it may hold,
// for the toolkit to parse it: deeper files are not made by any modality,
// and each item (element) costs the parsed data set a few hundred bytes:
// the same limits as a C-STORE's.
static const imagecheck_limits uploadLimits = {IMAGECHECK_DEFAULT_DEPTH, ELEMENTWALK_MAX_ITEMS,
                                               ELEMENTWALK_MAX_IMAGE_ELEMENTS};

// The data set of a deflated upload, inflated into a file of its own (made
// in dir and unlinked at once) and walked there, as the toolkit would parse
// it; at most maxInflated bytes are inflated (beyond: damaged).
// IMAGECHECK_* of the walk.
static int walkDeflated(int fd, unsigned long long maxInflated, const std::string &dir)
{
    unsigned char head[65536];
    ssize_t n = pread(fd, head, sizeof head, 0);
    std::string cls, xfer;
    size_t start = 0;
    if (n <= 0 || archive_parseMeta(head, (size_t)n, &cls, &xfer, &start) != 1 ||
        xfer != "1.2.840.10008.1.2.1.99" || start == 0)
        return IMAGECHECK_FOREIGN;
    std::string path = dir + "/storeweb-inflated-XXXXXX";
    durable_fd out(mkostemp(&path[0], O_CLOEXEC));
    if (!out.valid())
        return IMAGECHECK_UNREAD;
    unlink(path.c_str());
    z_stream z;
    memset(&z, 0, sizeof z);
    int result = inflateInit2(&z, -MAX_WBITS) == Z_OK ? IMAGECHECK_WHOLE : IMAGECHECK_UNREAD;
    unsigned char in[65536], buf[65536];
    off_t at = (off_t)start;
    uint64_t written = 0;
    int zr = Z_OK;
    while (result == IMAGECHECK_WHOLE && zr != Z_STREAM_END) {
        ssize_t got = pread(fd, in, sizeof in, at);
        if (got <= 0) {
            result = got < 0 ? IMAGECHECK_UNREAD : IMAGECHECK_DAMAGED; // cut short
            break;
        }
        at += got;
        z.next_in = in;
        z.avail_in = (uInt)got;
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            zr = inflate(&z, Z_NO_FLUSH);
            size_t made = sizeof buf - z.avail_out;
            written += made;
            if ((zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR) || written > maxInflated)
                result = IMAGECHECK_DAMAGED;
            else if (fullio_write(out.get(), buf, made) != (ssize_t)made)
                result = IMAGECHECK_UNREAD;
        } while (result == IMAGECHECK_WHOLE && z.avail_out == 0 && zr != Z_STREAM_END);
    }
    inflateEnd(&z);
    std::string sopClass, instance;
    if (result == IMAGECHECK_WHOLE)
        result = imagecheck_walkDataset(out.get(), 0, "1.2.840.10008.1.2.1", uploadLimits,
                                        &sopClass, &instance);
    return result;
}

int archive_checkUpload(int fd, unsigned long long maxInflated, const char *tmpDir)
{
    std::string sopClass, instance;
    int walked = imagecheck_walkWithin(fd, uploadLimits, &sopClass, &instance);
    if (walked == IMAGECHECK_FOREIGN)
        walked = walkDeflated(fd, maxInflated, tmpDir);
    switch (walked) {
    case IMAGECHECK_WHOLE:
        return ARCHIVE_UPLOAD_WHOLE;
    case IMAGECHECK_DAMAGED:
        return ARCHIVE_UPLOAD_DAMAGED;
    case IMAGECHECK_FOREIGN:
        return ARCHIVE_UPLOAD_FOREIGN;
    default:
        return ARCHIVE_UPLOAD_UNREAD;
    }
}

// How the walk of a received image is set up, for both ways in; the walk
// begins at the data set's first byte, in the encoding given.
// - The limits are an image's (uploadLimits), and maxLength (0: none) the
//   most its bytes may take.
// - strict: elements must come in order and of known VRs. A data set the
//   toolkit parses as it comes (a C-STORE's), or one of which only the
//   head is parsed (stored as it comes: an element out of order past the
//   head would be in the file and not in the index), needs it; a file
//   parsed whole from its file does not, as the toolkit reads it whole.
//   The store parses only the head's elements it and the ingest read, so
//   a walk that feeds the store records them.
// - dictionary: Implicit VR elements of defined length that the toolkit's
//   dictionary makes sequences are walked as sequences, as the toolkit,
//   fed in pieces, reads them (a C-STORE's); a file's check walks them as
//   values, as imagecheck_walkWithin does.
static void setUpWalk(elementwalk *w, bool implicitVr, bool bigEndian, uint64_t maxLength,
                      bool strict, bool dictionary)
{
    elementwalk_init(w, implicitVr, bigEndian);
    w->maxLength = maxLength;
    w->maxDepth = uploadLimits.maxDepth;
    w->maxItems = uploadLimits.maxItems;
    w->maxElements = uploadLimits.maxElements;
    w->strictVr = strict;
    w->recordElements = strict;
    if (dictionary)
        w->isSequence = dicomnet_dictionary_sequence;
}

// Whether a C-STORE data set in transferSyntax is converted to Explicit VR
// Little Endian as it comes (dicomnet/transcode.h), and then stored as it
// comes too: Implicit VR Little Endian and Explicit VR Big Endian. A STOW-RS
// part in these is converted alike (archive_uploadCheck).
static bool convertedAsItComes(const char *transferSyntax)
{
    E_TransferSyntax xfer = DcmXfer(transferSyntax).getXfer();
    return xfer == EXS_LittleEndianImplicit || xfer == EXS_BigEndianExplicit;
}

bool archive_receive::storedAsItComes(const char *transferSyntax)
{
    // HTJ2K, unknown to the toolkit, is encoded as JPEG 2000 is.
    if (codec_isHtj2k(transferSyntax))
        return true;
    DcmXfer xfer(transferSyntax);
    return xfer.getStreamCompression() == ESC_none &&
           (xfer.getXfer() == EXS_LittleEndianExplicit || xfer.isEncapsulated());
}

// The bytes of the file's start walked before the data set (as
// imagecheck_walkWithin reads them): a meta header longer than this is
// foreign.
enum { UPLOAD_HEAD_WINDOW = 65536 };

archive_uploadCheck::archive_uploadCheck(const archive_context *ctx)
    : ctx_(ctx), result_(ARCHIVE_UPLOAD_WHOLE), walk_(new elementwalk)
{
    start_.reserve(UPLOAD_HEAD_WINDOW);
}

archive_uploadCheck::~archive_uploadCheck()
{
    // The store's image borrows the walk (or the conversion's): it goes
    // first.
    if (in_ != nullptr)
        archive_endIncoming(ctx_, in_);
    delete conv_;
    delete walk_;
}

int archive_uploadCheck::startWalk(bool whole)
{
    std::string sopClass, xfer;
    size_t datasetStart = 0;
    const unsigned char *head = (const unsigned char *)start_.data();
    route_ = ROUTE_CALLER;
    if (archive_parseMeta(head, start_.size(), &sopClass, &xfer, &datasetStart) != 1)
        return ARCHIVE_UPLOAD_FOREIGN;
    if (datasetStart == 0)
        // Nothing after the header, or a header longer than the window.
        return whole ? ARCHIVE_UPLOAD_DAMAGED : ARCHIVE_UPLOAD_FOREIGN;
    if (xfer == "1.2.840.10008.1.2.1.99")
        return ARCHIVE_UPLOAD_FOREIGN;
    bool converted = ctx_ != nullptr && convertedAsItComes(xfer.c_str());
    bool streamed =
        ctx_ != nullptr && (converted || archive_receive::storedAsItComes(xfer.c_str()));
    bool bigEndian = xfer == "1.2.840.10008.1.2.2";
    // The conversion trusts the walk's delimitation, which follows the
    // dictionary's sequences as a C-STORE's does.
    setUpWalk(walk_, xfer == "1.2.840.10008.1.2", bigEndian, 0, streamed, converted);
    walking_ = true;
    if (converted) {
        conv_ = new transcode;
        transcode_sink toStore = [](void *data, const unsigned char *bytes, size_t n, bool last) {
            archive_uploadCheck *check = static_cast<archive_uploadCheck *>(data);
            archive_feedIncoming(check->ctx_, check->in_, bytes, n, last);
        };
        transcode_init(conv_, bigEndian, toStore, this);
        conv_->out.recordElements = true;
        in_ = archive_beginIncoming(ctx_, UID_LittleEndianExplicitTransferSyntax, &conv_->out);
        route_ = in_ != nullptr ? ROUTE_STORE : ROUTE_CALLER;
    } else if (streamed) {
        in_ = archive_beginIncoming(ctx_, xfer.c_str(), walk_);
        route_ = in_ != nullptr ? ROUTE_STORE : ROUTE_CALLER;
    }
    int r = elementwalk_feed(walk_, head + datasetStart, start_.size() - datasetStart);
    if (r == ELEMENTWALK_MORE && route_ == ROUTE_STORE &&
        !toStore(head + datasetStart, start_.size() - datasetStart, false))
        r = ELEMENTWALK_DAMAGED;
    // The caller writes the held bytes to its file.
    if (route_ == ROUTE_STORE)
        std::string().swap(start_);
    return r == ELEMENTWALK_MORE      ? ARCHIVE_UPLOAD_WHOLE
           : r == ELEMENTWALK_FOREIGN ? ARCHIVE_UPLOAD_FOREIGN
                                      : ARCHIVE_UPLOAD_DAMAGED;
}

bool archive_uploadCheck::toStore(const unsigned char *bytes, size_t n, bool last)
{
    if (n == 0 && !last)
        return true;
    if (conv_ == nullptr) {
        archive_feedIncoming(ctx_, in_, bytes, n, last);
        return true;
    }
    if (transcode_feed(conv_, bytes, n, last) == TRANSCODE_MORE)
        return true;
    logprintf(LOGLEVEL_ERROR, ctx_->store->getLogfile(),
              "STOW-RS part refused: data set that cannot be converted to Explicit VR Little "
              "Endian.\n");
    return false;
}

void archive_uploadCheck::feed(const unsigned char *bytes, size_t n)
{
    if (result_ != ARCHIVE_UPLOAD_WHOLE || n == 0)
        return;
    if (walking_) {
        int r = elementwalk_feed(walk_, bytes, n);
        if (r != ELEMENTWALK_MORE)
            result_ = r == ELEMENTWALK_FOREIGN ? ARCHIVE_UPLOAD_FOREIGN : ARCHIVE_UPLOAD_DAMAGED;
        else if (route_ == ROUTE_STORE && !toStore(bytes, n, false))
            result_ = ARCHIVE_UPLOAD_DAMAGED;
        return;
    }
    start_.append((const char *)bytes, n);
    if (start_.size() >= UPLOAD_HEAD_WINDOW)
        result_ = startWalk(false);
}

int archive_uploadCheck::finish()
{
    if (result_ == ARCHIVE_UPLOAD_WHOLE && !walking_)
        result_ = start_.empty() ? ARCHIVE_UPLOAD_DAMAGED : startWalk(true);
    if (route_ == ROUTE_PENDING)
        route_ = ROUTE_CALLER; // nothing came
    if (result_ != ARCHIVE_UPLOAD_WHOLE)
        return result_;
    int r = elementwalk_finish(walk_);
    result_ = r == ELEMENTWALK_MORE      ? ARCHIVE_UPLOAD_WHOLE
              : r == ELEMENTWALK_FOREIGN ? ARCHIVE_UPLOAD_FOREIGN
                                         : ARCHIVE_UPLOAD_DAMAGED;
    if (result_ == ARCHIVE_UPLOAD_WHOLE && route_ == ROUTE_STORE && !toStore(nullptr, 0, true))
        result_ = ARCHIVE_UPLOAD_DAMAGED;
    return result_;
}

std::string archive_uploadCheck::takeHeld()
{
    std::string held;
    held.swap(start_);
    return held;
}

DcmDataset *archive_uploadCheck::head()
{
    return in_ != nullptr && result_ == ARCHIVE_UPLOAD_WHOLE ? archive_incomingHead(ctx_, in_)
                                                             : nullptr;
}

// Everything one receive holds; which half is used depends on the way in.
struct archive_receive::state {
    const archive_context *ctx;
    uint64_t maxBytes;
    uint64_t total = 0; // bytes taken (a Part 10 file's as they came)
    bool part10;
    bool streamed = false;

    // A C-STORE: the walk of its bytes, and the store's image (streamed
    // and allowed to store) or the data set the toolkit parses as it comes.
    elementwalk walk;
    archive_incoming *in = nullptr;
    // Implicit VR or big endian: the store gets conv's bytes, and conv.out
    // is the walk of them.
    bool converted = false;
    transcode conv;
    // Made only for the data set the toolkit parses as it comes: most
    // receives are streamed and never need them.
    std::unique_ptr<DcmDataset> parsed;
    std::unique_ptr<DcmInputBufferStream> stream;
    E_TransferSyntax xfer = EXS_Unknown;
    bool walkRefused = false;

    // A Part 10 file: its check (which hands the bytes to the store when it
    // is stored as it comes), or its temporary file, parsed once whole.
    std::unique_ptr<archive_uploadCheck> check;
    std::string tmpDir, tmpPath;
    int fd = -1;
    int failed = 0; // ARCHIVE_RECEIVE_* once the part has failed
    bool ended = false;
    int walked = ARCHIVE_UPLOAD_WHOLE;   // the check's result, once ended
    std::unique_ptr<DcmFileFormat> file; // made when the file is parsed (once)
    bool loaded = false;
    OFCondition loadResult;
};

archive_receive::archive_receive(const archive_context *ctx, const char *transferSyntax,
                                 uint64_t maxBytes, bool store)
    : s_(new state)
{
    s_->ctx = ctx;
    s_->maxBytes = maxBytes;
    s_->part10 = false;
    // A deflated data set is handed down inflated: its bytes are Explicit
    // VR Little Endian, and stored so.
    DcmXfer sent(transferSyntax);
    const char *seen = sent.getStreamCompression() == ESC_zlib
                           ? UID_LittleEndianExplicitTransferSyntax
                           : transferSyntax;
    // HTJ2K's data set is encoded as JPEG 2000's (the toolkit knows no
    // HTJ2K): the walk and any parse read it so; the store keeps its UID.
    DcmXfer xfer(codec_isHtj2k(seen) ? UID_JPEG2000TransferSyntax : seen);
    s_->xfer = xfer.getXfer();
    s_->converted = convertedAsItComes(seen);
    s_->streamed = storedAsItComes(seen) || s_->converted;
    setUpWalk(&s_->walk, !xfer.isExplicitVR(), xfer.isBigEndian(), maxBytes, true, true);
    if (s_->converted) {
        // The converted bytes go to the store.
        transcode_sink toStore = [](void *data, const unsigned char *bytes, size_t n, bool last) {
            state *s = static_cast<state *>(data);
            archive_feedIncoming(s->ctx, s->in, bytes, n, last);
        };
        transcode_init(&s_->conv, xfer.isBigEndian(), toStore, s_.get());
        s_->conv.out.recordElements = true;
    }
    if (s_->streamed) {
        // A peer not allowed to store has its bytes dropped as they come,
        // and no file is made for them.
        if (store && s_->converted)
            s_->in =
                archive_beginIncoming(ctx, UID_LittleEndianExplicitTransferSyntax, &s_->conv.out);
        else if (store)
            s_->in = archive_beginIncoming(ctx, seen, &s_->walk);
    } else {
        s_->parsed.reset(new DcmDataset);
        s_->stream.reset(new DcmInputBufferStream);
        s_->parsed->transferInit();
    }
}

archive_receive::archive_receive(const archive_context *ctx, uint64_t maxBytes, const char *tmpDir)
    : s_(new state)
{
    s_->ctx = ctx;
    s_->maxBytes = maxBytes;
    s_->part10 = true;
    s_->tmpDir = tmpDir;
    s_->check.reset(new archive_uploadCheck(ctx));
}

archive_receive::~archive_receive()
{
    // Whatever became of it (stored, refused, the peer gone in the
    // middle): a temporary file not placed is removed. The store's image
    // borrows the walk, which goes after it.
    if (s_->in != nullptr)
        archive_endIncoming(s_->ctx, s_->in);
    s_->check.reset();
    if (s_->fd >= 0) {
        close(s_->fd);
        unlink(s_->tmpPath.c_str());
    }
}

bool archive_receive::streamed() const
{
    if (s_->part10)
        return s_->check->route() == archive_uploadCheck::ROUTE_STORE;
    return s_->streamed;
}

uint64_t archive_receive::maxBytes() const
{
    return s_->maxBytes;
}

Uint16 archive_receive::take(const unsigned char *bytes, size_t n, bool last)
{
    elementwalk *w = &s_->walk;
    int r = elementwalk_feed(w, bytes, n);
    if (r == ELEMENTWALK_MORE && last)
        r = elementwalk_finish(w);
    if (r != ELEMENTWALK_MORE) {
        s_->walkRefused = true;
        return dicomnet_refusal_for_resources(r) ? DICOMNET_STATUS_OUT_OF_RESOURCES
                                                 : DICOMNET_STATUS_CANNOT_UNDERSTAND;
    }
    // Beyond the limit the walk did not see (its lengths all fit): not
    // parsed, refused as the network layer refuses it.
    s_->total += n;
    if (s_->maxBytes != 0 && s_->total > s_->maxBytes)
        return DICOMNET_STATUS_OUT_OF_RESOURCES;
    // Walked first: the store writes only bytes that hold together, and
    // learns from the walk where the head ends; the toolkit parses only
    // bytes within the limits.
    if (s_->in != nullptr && !s_->converted)
        archive_feedIncoming(s_->ctx, s_->in, bytes, n, last);
    if (s_->in != nullptr && s_->converted &&
        transcode_feed(&s_->conv, bytes, n, last) != TRANSCODE_MORE) {
        logprintf(LOGLEVEL_ERROR, s_->ctx->store->getLogfile(),
                  "C-STORE refused: data set that cannot be converted to Explicit VR Little "
                  "Endian.\n");
        return DICOMNET_STATUS_CANNOT_UNDERSTAND;
    }
    if (s_->parsed == nullptr)
        return 0;
    DcmInputBufferStream &in = *s_->stream;
    in.setBuffer(bytes, (offile_off_t)n);
    if (last)
        in.setEos();
    OFCondition cond = s_->parsed->read(in, s_->xfer, EGL_noChange);
    in.releaseBuffer();
    if (last)
        s_->parsed->transferEnd();
    if (cond != EC_Normal && cond != EC_StreamNotifyClient)
        return DICOMNET_STATUS_CANNOT_UNDERSTAND;
    if (last && cond != EC_Normal)
        return DICOMNET_STATUS_CANNOT_UNDERSTAND; // cut short
    return 0;
}

bool archive_receive::refusal(dicomnet_refusal *why, dicomnet_dataset_limits *limits) const
{
    if (!s_->walkRefused)
        return false;
    const elementwalk *w = &s_->walk;
    *why = {w->result, w->pos};
    *limits = {w->maxLength, w->maxDepth, w->maxItems, w->maxElements};
    return true;
}

// Writes n bytes to the part's temporary file: false (logged, the part
// failed) when that fails.
static bool writePart(int fd, const std::string &path, FILE *logfp, const void *bytes, size_t n)
{
    if (fullio_write(fd, bytes, n) == (ssize_t)n)
        return true;
    logprintf(LOGLEVEL_ERROR, logfp, "Cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
}

// Once the check has left the part to a file of its own (a syntax the store
// does not take as it comes): its temporary file, with the bytes the check
// held. ARCHIVE_UPLOAD_WHOLE, or ARCHIVE_RECEIVE_NO_FILE (logged).
static int startPartFile(archive_uploadCheck *check, const std::string &dir, std::string *path,
                         int *fd, FILE *logfp)
{
    *path = dir + "/storeweb-part-XXXXXX";
    *fd = mkostemp(&(*path)[0], O_CLOEXEC);
    if (*fd < 0) {
        logprintf(LOGLEVEL_ERROR, logfp, "Cannot create %s: %s\n", path->c_str(), strerror(errno));
        return ARCHIVE_RECEIVE_NO_FILE;
    }
    std::string held = check->takeHeld();
    if (!writePart(*fd, *path, logfp, held.data(), held.size()))
        return ARCHIVE_RECEIVE_NO_FILE;
    return ARCHIVE_UPLOAD_WHOLE;
}

int archive_receive::feed(const unsigned char *bytes, size_t n)
{
    state *s = s_.get();
    if (s->failed != 0)
        return s->failed;
    s->total += n;
    if (s->maxBytes != 0 && s->total > s->maxBytes)
        return s->failed = ARCHIVE_RECEIVE_TOO_LARGE;
    s->check->feed(bytes, n);
    if (s->check->route() != archive_uploadCheck::ROUTE_CALLER)
        return ARCHIVE_UPLOAD_WHOLE; // held by the check, or taken by the store
    FILE *logfp = s->ctx->store->getLogfile();
    // The file starts with what the check held, this piece included.
    if (s->fd < 0) {
        if (startPartFile(s->check.get(), s->tmpDir, &s->tmpPath, &s->fd, logfp) !=
            ARCHIVE_UPLOAD_WHOLE)
            s->failed = ARCHIVE_RECEIVE_NO_FILE;
    } else if (!writePart(s->fd, s->tmpPath, logfp, bytes, n)) {
        s->failed = ARCHIVE_RECEIVE_NO_FILE;
    }
    return s->failed != 0 ? s->failed : ARCHIVE_UPLOAD_WHOLE;
}

void archive_receive::end()
{
    state *s = s_.get();
    if (s->failed == 0 && !s->ended)
        s->walked = s->check->finish();
    s->ended = true;
}

int archive_receive::finish()
{
    state *s = s_.get();
    end();
    if (s->failed != 0)
        return s->failed;
    // The walk reads the element headers only (a deflated data set is
    // inflated for it first); a part it cannot follow (no meta header,
    // bytes that are no VR) is not handed to the toolkit either, as nothing
    // would bound its parse. Walked as it arrived; a deflated data set is
    // inflated from the part's file.
    int walked = s->walked;
    bool toFile = s->check->route() == archive_uploadCheck::ROUTE_CALLER;
    // A part shorter than the check's window has its route only now; its
    // file is needed for the toolkit, or for the inflating check.
    if (toFile && s->fd < 0 &&
        (walked == ARCHIVE_UPLOAD_WHOLE || walked == ARCHIVE_UPLOAD_FOREIGN) &&
        startPartFile(s->check.get(), s->tmpDir, &s->tmpPath, &s->fd,
                      s->ctx->store->getLogfile()) != ARCHIVE_UPLOAD_WHOLE)
        return s->failed = ARCHIVE_RECEIVE_NO_FILE;
    if (toFile && walked == ARCHIVE_UPLOAD_FOREIGN)
        s->walked = walked = archive_checkUpload(s->fd, s->maxBytes, s->tmpDir.c_str());
    return walked;
}

DcmDataset *archive_receive::dataset(std::string *why)
{
    state *s = s_.get();
    DcmDataset *ds = nullptr;
    if (!s->part10) {
        ds = s->in != nullptr ? archive_incomingHead(s->ctx, s->in) : s->parsed.get();
    } else if (s->check->route() == archive_uploadCheck::ROUTE_STORE) {
        ds = s->check->head();
    } else {
        // The toolkit leaves large values (pixel data above all) in the
        // file and reads them when they are written out: the part's file
        // lives as long as the receive, past the store's write.
        if (!s->loaded) {
            s->file.reset(new DcmFileFormat);
            s->loadResult = s->file->loadFile(s->tmpPath.c_str());
        }
        s->loaded = true;
        if (s->loadResult.good())
            return s->file->getDataset();
        if (why != nullptr)
            *why = s->loadResult.text();
        return nullptr;
    }
    if (ds == nullptr && why != nullptr)
        *why = "its head cannot be parsed";
    return ds;
}

unsigned archive_receive::ingest(int overwrite, const char *caller, archive_ingested *out)
{
    DcmDataset *ds = dataset();
    archive_incoming *in = s_->part10 ? s_->check->incoming() : s_->in;
    return archive_ingest(s_->ctx, ds, overwrite, out, in, caller);
}
