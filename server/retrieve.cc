// The retrieve code that C-MOVE and C-GET share: the image list with each
// file's SOP class and transfer syntax, the planned sub-association
// contexts of a C-MOVE, and the C-STORE of one image with decoding to an
// accepted uncompressed syntax (DCMTK's codecs: dcmjpeg for the JPEG family,
// dcmjpls for JPEG-LS, dcmdata's RLE codec; JPEG 2000 has none).
#include "server/retrieve.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcostrmb.h"
#include "dcmtk/dcmdata/dcpixel.h"
#include "dcmtk/dcmdata/dcpixseq.h"
#include "dcmtk/dcmdata/dcpxitem.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dcmtk/dcmnet/diutil.h"

#include "codec/j2kcodec.h"
#include "core/archive.h"
#include "core/archivetier.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/watchdog.h"
#include "server/serveroptions.h"

#define LOG(level, ...) logprintf(level, server_options.logfp, __VA_ARGS__)

// Adds one sub-operation to a counter. The counts travel as 16-bit values,
// so a counter stops at 0xFFFF rather than wrap: a wrapped failure count of
// 0 would turn the final status into success.
static void count(Uint16 *counter)
{
    if (*counter < 0xFFFF)
        (*counter)++;
}

void retrieve_countFailed(retrievejob *job, const retrieveitem &item)
{
    count(&job->failed);
    // The list goes into one response identifier: it stops short of the
    // largest value length rather than grow without bound.
    if (job->failedUids.size() + item.instance.size() < 0xFFF0) {
        if (!job->failedUids.empty())
            job->failedUids += '\\';
        job->failedUids += item.instance;
    }
}

Uint16 retrieve_remaining(const retrievejob *job)
{
    size_t left = job->items.size() - job->next;
    return left > 0xFFFF ? 0xFFFF : (Uint16)left;
}

Uint16 retrieve_finalStatus(const retrievejob *job)
{
    // The counters stop at 0xFFFF, so "all failed" is read as: something
    // failed and nothing completed or warned.
    if (job->failed == 0 && job->warning == 0)
        return STATUS_Success;
    if (job->completed == 0 && job->warning == 0)
        return STATUS_MOVE_Refused_OutOfResourcesSubOperations;
    return STATUS_MOVE_Warning_SubOperationsCompleteOneOrMoreFailures;
}

DcmDataset *retrieve_failedList(const retrievejob *job)
{
    if (job->failedUids.empty())
        return nullptr;
    DcmDataset *ds = new DcmDataset;
    ds->putAndInsertString(DCM_FailedSOPInstanceUIDList, job->failedUids.c_str());
    return ds;
}

int retrieve_prepare(const archive_context *archive, DcmDataset *identifier, retrievejob *job)
{
    *job = retrievejob();
    std::vector<archive_image> images;
    int r = archive_select(archive, identifier, &images);
    if (r != ARCHIVE_SELECTED)
        return r;
    job->items.reserve(images.size());
    for (archive_image &im : images) {
        retrieveitem item;
        item.study = std::move(im.study);
        item.series = std::move(im.series);
        item.instance = std::move(im.instance);
        item.path = std::move(im.path);
        item.batch = 0;
        // An unreadable file keeps an empty class: it counts as failed when
        // its turn comes.
        item.sopClass = std::move(im.sopClass);
        item.xfer = std::move(im.xfer);
        job->items.push_back(std::move(item));
    }
    return ARCHIVE_SELECTED;
}

// The two syntaxes every context of a class proposes, and every toolkit
// can write any image in.
static bool isNative(const std::string &xfer)
{
    return xfer == UID_LittleEndianExplicitTransferSyntax ||
           xfer == UID_LittleEndianImplicitTransferSyntax;
}

void retrieve_planBatches(retrievejob *job)
{
    // Per class, in the order the classes first appear: the uncompressed
    // context, then one per other stored syntax.
    std::vector<std::vector<retrieveproposal>> groups;
    std::vector<std::string> classes;
    for (const retrieveitem &item : job->items) {
        if (item.sopClass.empty())
            continue;
        size_t g = std::find(classes.begin(), classes.end(), item.sopClass) - classes.begin();
        if (g == classes.size()) {
            classes.push_back(item.sopClass);
            const char *other = item.xfer == UID_LittleEndianImplicitTransferSyntax
                                    ? UID_LittleEndianExplicitTransferSyntax
                                    : UID_LittleEndianImplicitTransferSyntax;
            const char *first =
                isNative(item.xfer) ? item.xfer.c_str() : UID_LittleEndianExplicitTransferSyntax;
            groups.push_back({retrieveproposal{item.sopClass, {first, other}}});
        }
        if (isNative(item.xfer))
            continue;
        bool known = false;
        for (const retrieveproposal &p : groups[g])
            known = known || (p.syntaxes.size() == 1 && p.syntaxes[0] == item.xfer);
        if (!known)
            groups[g].push_back(retrieveproposal{item.sopClass, {item.xfer}});
    }

    // A class's contexts stay together, so a compressed image always finds
    // its class's uncompressed context on the same association.
    std::vector<int> batchOfGroup(groups.size());
    job->batches.clear();
    for (size_t g = 0; g < groups.size(); g++) {
        if (job->batches.empty() ||
            job->batches.back().size() + groups[g].size() > RETRIEVE_MAX_CONTEXTS)
            job->batches.emplace_back();
        for (retrieveproposal &p : groups[g])
            job->batches.back().push_back(std::move(p));
        batchOfGroup[g] = (int)job->batches.size() - 1;
    }
    for (retrieveitem &item : job->items) {
        size_t g = std::find(classes.begin(), classes.end(), item.sopClass) - classes.begin();
        // Unreadable images need no association: they go first.
        item.batch = g < classes.size() ? batchOfGroup[g] : -1;
    }
    std::stable_sort(
        job->items.begin(), job->items.end(),
        [](const retrieveitem &a, const retrieveitem &b) { return a.batch < b.batch; });
}

int retrieve_proposeBatch(T_ASC_Parameters *params, const retrievejob *job, int b)
{
    int result = 0;
    int id = 1;
    for (const retrieveproposal &p : job->batches[b]) {
        const char *syntaxes[2];
        int n = 0;
        for (const std::string &s : p.syntaxes)
            syntaxes[n++] = s.c_str();
        if (ASC_addPresentationContext(params, (T_ASC_PresentationContextID)id, p.sopClass.c_str(),
                                       syntaxes, n, ASC_SC_ROLE_DEFAULT)
                .bad()) {
            dicomnet_trace(DICOMNET_TRACE_DEBUG, "retrieve: cannot propose %s\n",
                           p.sopClass.c_str());
            result = -1;
        }
        id += 2;
    }
    return result;
}

// The context to send item on: one accepted for its class in the file's
// own syntax, else one accepted in an uncompressed syntax; 0 when none.
// *syntax receives the accepted transfer syntax.
static T_ASC_PresentationContextID chooseContext(T_ASC_Association *assoc, const retrieveitem &item,
                                                 std::string *syntax)
{
    T_ASC_PresentationContextID other = 0;
    int n = ASC_countPresentationContexts(assoc->params);
    for (int i = 0; i < n; i++) {
        T_ASC_PresentationContext pc;
        if (dicomnet_get_context(assoc, i, &pc).bad() || pc.resultReason != ASC_P_ACCEPTANCE ||
            item.sopClass != pc.abstractSyntax)
            continue;
        if (item.xfer == pc.acceptedTransferSyntax) {
            *syntax = pc.acceptedTransferSyntax;
            return pc.presentationContextID;
        }
        DcmXfer accepted(pc.acceptedTransferSyntax);
        if (other == 0 && !accepted.isEncapsulated() && accepted.getXfer() != EXS_Unknown &&
            accepted.getXfer() != EXS_DeflatedLittleEndianExplicit) {
            other = pc.presentationContextID;
            *syntax = pc.acceptedTransferSyntax;
        }
    }
    return other;
}

// Whether ds (JPEG 2000 or HTJ2K, re-keyed) is decoded for target frame by
// frame as it is sent (decodedFrames) rather than whole: a multi-frame
// image whose decoded size is within the decoder's bounds.
static bool decodedByFrame(DcmDataset *ds, E_TransferSyntax target)
{
    E_TransferSyntax from = ds->getOriginalXfer();
    bool j2k = from == EXS_JPEG2000LosslessOnly || from == EXS_JPEG2000 ||
               from == EXS_JPEG2000MulticomponentLosslessOnly || from == EXS_JPEG2000Multicomponent;
    long frames = 1;
    if (!j2k || !DcmXfer(target).isNotEncapsulated() ||
        ds->findAndGetLongInt(DCM_NumberOfFrames, frames).bad() || frames < 2)
        return false;
    return true;
}

// Loads item's file and brings its data set into syntax: true when it can
// be written in it (decoded where needed). *byFrame: a multi-frame JPEG
// 2000 image left encoded, to be decoded one frame at a time as it is sent
// (sendDecodedFrames).
static bool loadFor(DcmFileFormat *file, const retrieveitem &item, const std::string &syntax,
                    bool *byFrame)
{
    *byFrame = false;
    if (file->loadFile(item.path.c_str()).bad()) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot load dicom file %s.\n", item.path.c_str());
        return false;
    }
    DcmDataset *dset = file->getDataset();
    E_TransferSyntax target = DcmXfer(syntax.c_str()).getXfer();
    // A syntax the toolkit does not know (HTJ2K) is sent only as the
    // stored bytes (storedDataset): the toolkit cannot write it.
    if (target == EXS_Unknown) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot send %s in %s as stored.\n", item.path.c_str(),
            syntax.c_str());
        return false;
    }
    // An HTJ2K file reads as Explicit VR Little Endian with encapsulated
    // pixel data; re-keyed, it is decoded like JPEG 2000 (the target is
    // uncompressed here: chooseContext offers no other).
    archive_registerDecoders();
    if (DcmXfer(target).isNotEncapsulated())
        codec_adopt(file);
    if (decodedByFrame(dset, target)) {
        *byFrame = true;
        return true;
    }
    E_TransferSyntax from = dset->getOriginalXfer();
    if (DcmXfer(from).isEncapsulated()) {
        OFCondition cond = dset->chooseRepresentation(target, nullptr);
        if (cond.bad() || !dset->canWriteXfer(target, from)) {
            LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot decode %s (%s) for %s: %s\n", item.path.c_str(),
                item.xfer.c_str(), DcmXfer(target).getXferName(),
                cond.bad() ? cond.text() : "not writable");
            return false;
        }
    }
    return true;
}

// Appends ds encoded in xfer (no group lengths) to out: false when it
// cannot be.
static bool encodeDataset(DcmDataset *ds, E_TransferSyntax xfer, std::string *out)
{
    std::vector<unsigned char> buf(65536);
    DcmOutputBufferStream stream(buf.data(), (offile_off_t)buf.size());
    ds->transferInit();
    OFCondition cond;
    do {
        cond =
            ds->write(stream, xfer, EET_ExplicitLength, nullptr, EGL_withoutGL, EPD_withoutPadding);
        void *bytes = nullptr;
        offile_off_t n = 0;
        stream.flushBuffer(bytes, n);
        out->append(static_cast<const char *>(bytes), (size_t)n);
    } while (cond == EC_StreamNotifyClient);
    ds->transferEnd();
    return cond.good();
}

// A multi-frame image being sent decoded one frame at a time: the data set
// before the pixel data and its header, each frame, the elements after it.
struct framesender {
    DcmDataset *ds = nullptr;
    std::unique_ptr<DcmElement> pixel; // taken out of ds
    std::string head, tail;
    Uint32 frames = 0, next = 0, frameSize = 0, fragment = 0;
    uint64_t sent = 0;
    std::vector<char> buffer;
    std::string carry; // a frame's odd last byte, sent with the next piece
    std::string error;
    bool decoded = false; // buffer holds frame next (the first, decoded ahead)
    int stage = 0;        // 0 head, 1 frames, 2 tail, 3 done
};

// Decodes frame fs->next into fs->buffer: false (fs->error set) when it
// cannot be.
static bool decodeNext(framesender *fs)
{
    DcmPixelData *pixel = static_cast<DcmPixelData *>(fs->pixel.get());
    OFString model;
    OFCondition cond = pixel->getUncompressedFrame(
        fs->ds, fs->next, fs->fragment, fs->buffer.data(), (Uint32)fs->buffer.size(), model);
    if (cond.bad())
        fs->error = cond.text();
    return cond.good();
}

static int nextPiece(void *data, std::string *piece)
{
    framesender *fs = static_cast<framesender *>(data);
    if (fs->stage == 0) {
        fs->stage = 1;
        piece->swap(fs->head);
        return 1;
    }
    if (fs->stage == 1 && fs->next < fs->frames) {
        if (!fs->decoded && !decodeNext(fs))
            return -1;
        fs->decoded = false;
        fs->next++;
        piece->assign(fs->carry);
        piece->append(fs->buffer.data(), fs->frameSize);
        fs->carry.clear();
        if (fs->next == fs->frames && piece->size() % 2 != 0)
            piece->push_back('\0'); // the value's pad to even length
        else if (piece->size() % 2 != 0) {
            fs->carry.assign(1, piece->back());
            piece->pop_back();
        }
        return 1;
    }
    if (fs->stage == 1) {
        fs->stage = 2;
        if (!fs->tail.empty()) {
            piece->swap(fs->tail);
            return 1;
        }
    }
    fs->stage = 3;
    return 0;
}

// Prepares fs to send file's multi-frame JPEG 2000 image in target,
// decoding one frame at a time into a buffer of one frame, so that the
// image is never held decoded whole; the attributes are those the whole
// decode would give (the decoded colour model). The first frame is decoded
// here, before anything is sent: false (logged) when the image is beyond
// the decoder's bounds or its first frame cannot be decoded, and nothing
// has gone to the peer.
static bool prepareFrames(framesender &fs, DcmFileFormat *file, E_TransferSyntax target,
                          const retrieveitem &item)
{
    fs.ds = file->getDataset();
    DcmElement *e = nullptr;
    Uint16 rows = 0, cols = 0, spp = 0, bits = 0;
    long frames = 0;
    if (fs.ds->findAndGetElement(DCM_PixelData, e).bad() || e == nullptr ||
        e->ident() != EVR_PixelData || fs.ds->findAndGetUint16(DCM_Rows, rows).bad() ||
        fs.ds->findAndGetUint16(DCM_Columns, cols).bad() ||
        fs.ds->findAndGetUint16(DCM_SamplesPerPixel, spp).bad() ||
        fs.ds->findAndGetUint16(DCM_BitsAllocated, bits).bad() ||
        fs.ds->findAndGetLongInt(DCM_NumberOfFrames, frames).bad() || frames < 1) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot decode %s (%s): no image.\n", item.path.c_str(),
            item.xfer.c_str());
        return false;
    }
    DcmPixelData *pixel = static_cast<DcmPixelData *>(e);
    // The whole image is bounded as the decoder bounds a whole decode,
    // against all its codestreams' bytes, before anything is sent.
    E_TransferSyntax key = EXS_Unknown;
    const DcmRepresentationParameter *param = nullptr;
    pixel->getOriginalRepresentationKey(key, param);
    DcmPixelSequence *seq = nullptr;
    uint64_t compressed = 0;
    if (pixel->getEncapsulatedRepresentation(key, param, seq).good() && seq != nullptr) {
        for (unsigned long i = 1; i < seq->card(); i++) {
            DcmPixelItem *it = nullptr;
            if (seq->getItem(it, i).good() && it != nullptr)
                compressed += it->getLength();
        }
    }
    uint64_t total = codec_imageBound(rows, cols, spp, bits, (uint64_t)frames, compressed);
    if (pixel->getUncompressedFrameSize(fs.ds, fs.frameSize).bad() || total == 0 ||
        (uint64_t)fs.frameSize * (uint64_t)frames != total) {
        LOG(LOGLEVEL_ERROR,
            "MOVE/STORE:Cannot decode %s (%s): JPEG 2000: the image's size is beyond the "
            "decoder's bounds.\n",
            item.path.c_str(), item.xfer.c_str());
        return false;
    }
    OFString model;
    if (pixel->getDecompressedColorModel(fs.ds, model).good() && !model.empty())
        fs.ds->putAndInsertString(DCM_PhotometricInterpretation, model.c_str());
    // The elements after the pixel data go after it.
    DcmDataset tail;
    for (unsigned long i = fs.ds->card(); i-- > 0;) {
        DcmElement *el = fs.ds->getElement(i);
        if (el != nullptr && el->getTag() > DCM_PixelData)
            tail.insert(fs.ds->remove(el), true);
    }
    fs.pixel.reset(fs.ds->remove(pixel));
    fs.frames = (Uint32)frames;
    fs.buffer.resize((size_t)fs.frameSize + 1);
    if (!decodeNext(&fs)) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot decode %s (%s) frame 1: %s\n", item.path.c_str(),
            item.xfer.c_str(), fs.error.c_str());
        return false;
    }
    fs.decoded = true;
    if (!encodeDataset(fs.ds, target, &fs.head) || !encodeDataset(&tail, target, &fs.tail)) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot encode %s.\n", item.path.c_str());
        return false;
    }
    // The pixel data's header: OW (OB for 8-bit samples) of the frames'
    // length, padded to even.
    uint64_t length = total + (total % 2);
    unsigned char h[12] = {0xe0, 0x7f, 0x10, 0x00};
    size_t hn = 4;
    if (DcmXfer(target).isExplicitVR()) {
        h[4] = 'O';
        h[5] = bits > 8 ? 'W' : 'B';
        h[6] = h[7] = 0;
        hn = 8;
    }
    for (int b = 0; b < 4; b++)
        h[hn + b] = (unsigned char)(length >> (8 * b));
    fs.head.append(reinterpret_cast<const char *>(h), hn + 4);
    return true;
}

// Logs a C-STORE that failed on the network and counts item failed.
static void storeFailed(retrievejob *job, const retrieveitem &item, OFCondition cond)
{
    LOG(LOGLEVEL_ERROR, "Got error in MOVE/STORE.\n");
    OFString text;
    LOG(LOGLEVEL_ERROR, "%s\n", DimseCondition::dump(text, cond).c_str());
    retrieve_countFailed(job, item);
}

// Reads the whole file at path into *bytes: true, or false when it cannot
// be read (or changed its size while read).
static bool readWhole(const char *path, std::vector<unsigned char> *bytes)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool whole = false;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        bytes->resize((size_t)st.st_size);
        whole = fullio_read(fd, bytes->data(), bytes->size()) == (ssize_t)bytes->size();
    }
    close(fd);
    return whole;
}

// The stored bytes of item's data set when they can be sent as they are
// in syntax: the file's own transfer syntax, a meta header that ends in the
// file, an even number of bytes after it. The offset of the data set in
// *bytes, or 0 (then the toolkit loads the file).
static size_t storedDataset(const retrieveitem &item, const std::string &syntax,
                            std::vector<unsigned char> *bytes)
{
    std::string cls, xfer;
    size_t start = 0;
    if (syntax != item.xfer || !readWhole(item.path.c_str(), bytes) ||
        archive_parseMeta(bytes->data(), bytes->size(), &cls, &xfer, &start) != 1 ||
        xfer != syntax || start == 0 || (bytes->size() - start) % 2 != 0)
        return 0;
    return start;
}

int retrieve_sendable(const retrieveitem &item, T_ASC_Association *assoc)
{
    std::string syntax;
    return !item.sopClass.empty() && assoc != nullptr && chooseContext(assoc, item, &syntax) != 0;
}

int retrieve_request(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                     const retrieveorigin &origin, T_ASC_PresentationContextID *pcId, Uint16 *msgId)
{
    if (item.sopClass.empty()) {
        LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot load dicom file %s.\n", item.path.c_str());
        retrieve_countFailed(job, item);
        return RETRIEVE_NOT_SENT;
    }
    std::string syntax;
    *pcId = chooseContext(assoc, item, &syntax);
    if (*pcId == 0) {
        LOG(LOGLEVEL_ERROR, "MOVE - store failed - no PC.\n");
        retrieve_countFailed(job, item);
        return RETRIEVE_NOT_SENT;
    }

    // An image in the object tier is read from its copy in the tier's
    // cache, which source keeps from eviction until it has been sent; a
    // tier that cannot give it fails this sub-operation only.
    tier_file source;
    retrieveitem fetched;
    const retrieveitem *from = &item;
    // The open verifies the bytes against the checksum recorded at
    // ingest: a damaged image is never sent, and fails its sub-operation
    // as a missing one does.
    int found = archivetier_open(&server_archive, item.path.c_str(), &source);
    if (found != ARCHIVETIER_READABLE) {
        LOG(LOGLEVEL_ERROR,
            found == ARCHIVETIER_MISSING   ? "MOVE/STORE:Cannot load dicom file %s.\n"
            : found == ARCHIVETIER_DAMAGED ? "MOVE/STORE:Not sending %s: it is damaged.\n"
                                           : "MOVE/STORE:Cannot fetch %s from the tier.\n",
            item.path.c_str());
        retrieve_countFailed(job, item);
        return RETRIEVE_NOT_SENT;
    }
    if (source.path != item.path) {
        fetched = item;
        fetched.path = source.path;
        from = &fetched;
    }

    // An image accepted in its stored syntax goes out as the bytes of its
    // file, unparsed; otherwise the file is loaded whole and sent from
    // memory, decoded first where the accepted syntax is another (letting
    // the toolkit send it from the file is several times slower).
    std::vector<unsigned char> bytes;
    size_t start = storedDataset(*from, syntax, &bytes);
    DcmFileFormat file;
    bool byFrame = false;
    framesender frames;
    if (start == 0 &&
        (!loadFor(&file, *from, syntax, &byFrame) ||
         (byFrame && !prepareFrames(frames, &file, DcmXfer(syntax.c_str()).getXfer(), *from)))) {
        retrieve_countFailed(job, item);
        return RETRIEVE_NOT_SENT;
    }

    T_DIMSE_Message msg;
    memset(&msg, 0, sizeof(msg));
    msg.CommandField = DIMSE_C_STORE_RQ;
    T_DIMSE_C_StoreRQ &req = msg.msg.CStoreRQ;
    req.MessageID = *msgId = assoc->nextMsgID++;
    OFStandard::strlcpy(req.AffectedSOPClassUID, item.sopClass.c_str(),
                        sizeof(req.AffectedSOPClassUID));
    OFStandard::strlcpy(req.AffectedSOPInstanceUID, item.instance.c_str(),
                        sizeof(req.AffectedSOPInstanceUID));
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = origin.priority;
    if (origin.aetitle != nullptr) {
        OFStandard::strlcpy(req.MoveOriginatorApplicationEntityTitle, origin.aetitle,
                            sizeof(req.MoveOriginatorApplicationEntityTitle));
        req.MoveOriginatorID = origin.msgid;
        req.opts = O_STORE_MOVEORIGINATORAETITLE | O_STORE_MOVEORIGINATORID;
    }
    OFCondition cond;
    if (start != 0)
        cond = dicomnet_SCU_store_send_encoded(assoc, *pcId, &req, bytes.data() + start,
                                               bytes.size() - start);
    else if (byFrame) {
        // A frame after the first that cannot be decoded leaves the peer a
        // data set cut short: the association is given up (logged here).
        cond = dicomnet_SCU_store_send_pieces(assoc, *pcId, &req, nextPiece, &frames);
        if (!frames.error.empty())
            LOG(LOGLEVEL_ERROR, "MOVE/STORE:Cannot decode %s (%s) frame %u: %s\n",
                item.path.c_str(), item.xfer.c_str(), frames.next + 1, frames.error.c_str());
    } else
        cond = DIMSE_sendMessageUsingMemoryData(assoc, *pcId, &msg, nullptr, file.getDataset(),
                                                nullptr, nullptr);
    if (cond.bad()) {
        storeFailed(job, item, cond);
        return RETRIEVE_LINK_LOST;
    }
    return RETRIEVE_SENT;
}

int retrieve_response(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                      T_ASC_PresentationContextID pcId, Uint16 msgId,
                      T_DIMSE_DetectedCancelParameters *cancel)
{
    T_DIMSE_C_StoreRSP rsp;
    memset(&rsp, 0, sizeof(rsp));
    DcmDataset *detail = nullptr;
    // A peer that accepted and then says nothing is given up after the
    // inactivity budget, not after the toolkit's own receive timeout.
    OFCondition cond = dicomnet_SCU_store_response(assoc, pcId, msgId, &rsp, &detail, cancel,
                                                   (int)watchdog_budget());
    delete detail;
    if (cond == DIMSE_NODATAAVAILABLE) {
        if (dicomnet_stopping())
            LOG(LOGLEVEL_ERROR, "Stopping: C-STORE response no longer awaited.\n");
        else
            LOG(LOGLEVEL_ERROR, "Peer silent: no C-STORE response within %u s.\n",
                watchdog_budget());
        retrieve_countFailed(job, item);
        return RETRIEVE_SILENT;
    }
    if (cond.bad()) {
        storeFailed(job, item, cond);
        return RETRIEVE_LINK_LOST;
    }
    if (rsp.DimseStatus == STATUS_Success) {
        count(&job->completed);
    } else if ((rsp.DimseStatus & 0xF000) == 0xB000) {
        count(&job->warning);
        LOG(LOGLEVEL_WARNING, "Got warning in MOVE/STORE: %s\n",
            DU_cstoreStatusString(rsp.DimseStatus));
    } else {
        LOG(LOGLEVEL_ERROR, "Got error in MOVE/STORE: %s\n",
            DU_cstoreStatusString(rsp.DimseStatus));
        retrieve_countFailed(job, item);
    }
    return RETRIEVE_SENT;
}

int retrieve_send(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                  const retrieveorigin &origin, T_DIMSE_DetectedCancelParameters *cancel)
{
    T_ASC_PresentationContextID pcId = 0;
    Uint16 msgId = 0;
    int r = retrieve_request(job, item, assoc, origin, &pcId, &msgId);
    if (r != RETRIEVE_SENT)
        return r;
    return retrieve_response(job, item, assoc, pcId, msgId, cancel);
}
