// The streamed write path (LocalStore::BeginIncoming ... EndIncoming): an
// image whose data set arrives in the transfer syntax it is stored in is
// written as it comes, behind a meta header made here, into a temporary
// file; only its head (the elements before the pixel data) is parsed. It
// ends the way WriteDataset's images do (completeImage): the journal record
// with -S, the placing of the file and then its index records.
//
// The bytes of the head are kept until the caller's walk of the data set
// has found where the head ends (dicomnet/elementwalk.h: bulkStart), or the
// data set ended, and are parsed then; the file is created only then, as
// its meta header needs the SOP class and instance, and the journal record
// the study and series. A head larger than HEAD_KEEP (no image has one) is
// written out without waiting and parsed from the file at the end.
//
// The system calls of one small image stored this way, and what each is for
// (the rest of an association's calls are the network's and the monitor
// channel's):
// - openat (O_EXCL), flock, fstat: the temporary file, new, locked so that a
//   start beside us knows it is being written, and still linked;
// - write: the meta header and the data set, gathered into one write up to
//   256 KiB (and sync_file_range every 8 MiB of a large one: its writeback
//   starts, not waited for);
// - fcntl x2: the study lock (one byte of STUDYLOCKS, whose descriptor the
//   process keeps), taken and released;
// - link: the file placed under its name, refused if one is there;
// - per index file (study, series, image; kept open by the process): fcntl
//   x2 for its lock, fstat and stat to see that it was not replaced since,
//   pread of the records searched, pwrite of the one written;
// - unlink: the temporary name, once the image is indexed;
// - fdatasync through the descriptor the file was written by, and close, in
//   a flusher thread while the next image comes (store/syncwrites.cc).
// The temporary file is made ahead, between two commands (Idle).
#include "store/localstore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcistrmb.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dicomnet/dicomnet.h"
#include "dicomnet/elementwalk.h"
#include "runtime/runtime.h"
#include "store/checksums.h"
#include "store/journal.h"

enum {
    HEAD_KEEP = 4 << 20,      // head bytes kept in memory at most
    HEAD_PIECE = 1 << 20,     // room kept beyond HEAD_KEEP for the piece that passes it
    PICK_MAX_ITEMS = 1000,    // sequence items a picked element may hold
    WRITE_GATHER = 1 << 18,   // pieces are gathered into writes of this size
    WRITEBACK_STEP = 8 << 20, // writeback is started for every this many bytes
    PIPE_FROM = 1 << 20       // an image this large is hashed on a thread of its own
};

// Where the bulk of a data set begins: the walk's rule, for the toolkit.
static const DcmTagKey BULK_START(0x7FE0, 0x0000);

struct LocalStore::incoming {
    const elementwalk *walk = nullptr;
    std::string xferUid;
    E_TransferSyntax xfer = EXS_Unknown;
    std::string head; // bytes kept until the head is parsed
    bool fileStarted = false;
    bool headInFile = false; // the head was too large to keep: parse it from the file
    bool ended = false;      // the last byte was fed
    DcmFileFormat headFile;  // holds the parsed head (its data set)
    bool headParsed = false;
    int result = LS_OK; // the first failure (LS_*), kept to the end
    const char *uid[3] = {nullptr, nullptr, nullptr};
    OFString tmp;
    int fd = -1;
    size_t metaLength = 0; // of the file's start before the data set
    journal *j = nullptr;
    std::string gather;    // bytes not yet written to fd
    off_t written = 0;     // bytes written to fd
    off_t writebackTo = 0; // writeback started up to here
    // The checksum of the file, over every byte put into it (the meta
    // header and the data set) as it goes by: no second read of the file.
    // Each gathered buffer is hashed once written; from PIPE_FROM bytes on,
    // on the pipe's thread (made then, ended when the image is), so that a
    // large image's hashing overlaps its receipt.
    checksums_hasher sum;
    std::unique_ptr<checksums_pipe> pipe;
};

// Appends an explicit VR little endian element with a short (2-byte) length,
// or a 4-byte one after two reserved bytes for OB; the value is padded to
// even length with pad.
static void putElement(std::string &out, uint16_t element, const char *vr, const std::string &value,
                       char pad)
{
    std::string v = value;
    if (v.size() % 2 != 0)
        v += pad;
    unsigned char h[12] = {0x02,
                           0x00,
                           (unsigned char)(element & 0xFF),
                           (unsigned char)(element >> 8),
                           (unsigned char)vr[0],
                           (unsigned char)vr[1]};
    size_t headLength = 8;
    if (strcmp(vr, "OB") == 0) {
        headLength = 12;
        for (int k = 0; k < 4; k++)
            h[8 + k] = (unsigned char)(v.size() >> (8 * k));
    } else {
        h[6] = (unsigned char)(v.size() & 0xFF);
        h[7] = (unsigned char)(v.size() >> 8);
    }
    out.append((const char *)h, headLength);
    out += v;
}

// The preamble, "DICM" and the meta header of a file holding a data set of
// the given class and instance in the transfer syntax xferUid: the elements
// the toolkit writes for the other write path, with the same implementation
// class and version.
static std::string metaHeader(const std::string &sopClass, const std::string &instance,
                              const std::string &xferUid)
{
    std::string body;
    putElement(body, 0x0001, "OB", std::string("\0\1", 2), '\0');
    putElement(body, 0x0002, "UI", sopClass, '\0');
    putElement(body, 0x0003, "UI", instance, '\0');
    putElement(body, 0x0010, "UI", xferUid, '\0');
    putElement(body, 0x0012, "UI", OFFIS_IMPLEMENTATION_CLASS_UID, '\0');
    putElement(body, 0x0013, "SH", OFFIS_DTK_IMPLEMENTATION_VERSION_NAME, ' ');
    std::string length(4, '\0');
    for (int k = 0; k < 4; k++)
        length[k] = (char)(body.size() >> (8 * k));
    std::string file(128, '\0');
    file += "DICM";
    putElement(file, 0x0000, "UL", length, '\0');
    return file + body;
}

// Writes n bytes at the file's end. Writeback of the file is started every
// WRITEBACK_STEP bytes (sync_file_range: asynchronous, it only queues the
// pages for the disk), so that the flush at the association's end, or a
// large image's own flush with -S, finds little left to write.
static int writeBytes(LocalStore::incoming *in, const void *bytes, size_t n, FILE *log)
{
    if (LocalStore::write_all(in->fd, bytes, n) != (ssize_t)n) {
        logprintf(LOGLEVEL_WARNING, log, "Cannot write %s: %s\n", in->tmp.c_str(), strerror(errno));
        return -1;
    }
    in->written += (off_t)n;
    if (in->written - in->writebackTo >= WRITEBACK_STEP) {
        // A failure here loses nothing: the flush that counts comes later.
        sync_file_range(in->fd, in->writebackTo, in->written - in->writebackTo,
                        SYNC_FILE_RANGE_WRITE);
        in->writebackTo = in->written;
    }
    return 0;
}

// Writes what is gathered, then hashes it: on the pipe's thread once the
// file has passed PIPE_FROM bytes (the gathering's buffer handed over, a
// hashed one taken back), else here.
static int writeGathered(LocalStore::incoming *in, FILE *log)
{
    if (in->gather.empty())
        return 0;
    int r = writeBytes(in, in->gather.data(), in->gather.size(), log);
    if (in->pipe == nullptr && in->written >= PIPE_FROM)
        in->pipe.reset(new checksums_pipe(&in->sum));
    if (in->pipe != nullptr) {
        in->pipe->give(&in->gather);
        in->gather.reserve(WRITE_GATHER);
    } else {
        in->sum.add(in->gather.data(), in->gather.size());
        in->gather.clear();
    }
    return r;
}

// Takes the next piece of the file: into the journal record, and gathered
// for the file (a piece larger than the gathering is written as it is).
static void putBytes(LocalStore::incoming *in, const void *bytes, size_t n, FILE *log)
{
    if (in->result != LS_OK || n == 0)
        return;
    // A journal that fails here is broken: its commit fails, and the file
    // is flushed instead.
    if (in->j != nullptr)
        journal_add(in->j, bytes, n, log);
    // A piece that does not fit beside what is gathered starts the next
    // gathering (so pieces of the network's size fill whole buffers).
    if (in->gather.size() + n > WRITE_GATHER && writeGathered(in, log) != 0) {
        in->result = LS_INDEX_ERROR;
        return;
    }
    if (n <= WRITE_GATHER) {
        in->gather.append((const char *)bytes, n);
        if (in->gather.size() == WRITE_GATHER && writeGathered(in, log) != 0)
            in->result = LS_INDEX_ERROR;
        return;
    }
    // Not copied: a kept head of some MiB would be held twice. Hashed here,
    // after what the pipe holds, to keep the bytes' order.
    if (in->pipe != nullptr)
        in->pipe->drain();
    in->sum.add(bytes, n);
    if (writeBytes(in, bytes, n, log) != 0)
        in->result = LS_INDEX_ERROR;
}

LocalStore::incoming *LocalStore::BeginIncoming(const char *transferSyntax, const elementwalk *walk)
{
    incoming *in = new incoming;
    in->walk = walk;
    in->xferUid = transferSyntax;
    in->xfer = DcmXfer(transferSyntax).getXfer();
    in->gather.reserve(WRITE_GATHER);
    return in;
}

// Creates the temporary file and writes the meta header and the bytes kept
// so far. Without a parsed head (one too large to keep) the class and
// instance come from the walk, and no journal record is made (the image is
// larger than a record takes).
int LocalStore::startIncomingFile(incoming *in)
{
    std::string sopClass = in->walk->sopClass, instance = in->walk->instance;
    if (in->headParsed) {
        const char *c = dicomnet_getTagString(in->headFile.getDataset(), DCM_SOPClassUID);
        const char *i = dicomnet_getTagString(in->headFile.getDataset(), DCM_SOPInstanceUID);
        sopClass = c != nullptr ? c : "";
        instance = i != nullptr ? i : "";
    }
    in->fileStarted = true;
    in->fd = openIncoming(&in->tmp);
    if (in->fd < 0)
        return LS_INDEX_ERROR;
    if (in->headParsed)
        in->j = beginJournalRecord(in->uid[0], in->uid[1], in->uid[2]);
    std::string meta = metaHeader(sopClass, instance, in->xferUid);
    in->metaLength = meta.size();
    putBytes(in, meta.data(), meta.size(), logStream);
    putBytes(in, in->head.data(), in->head.size(), logStream);
    std::string().swap(in->head);
    return in->result;
}

// The spans of the head's elements whose tags are in tags (sorted), each
// whole (header and value, a sequence with its items), in order, as the
// walk recorded them within the first length bytes: false when it recorded
// none. An element that holds more than PICK_MAX_ITEMS sequence items is
// left out: none of the attributes read is a sequence (a reader finds no
// text in one), and the toolkit would keep some hundred bytes for each of
// its items, however small.
static bool pickSpans(const LocalStore::incoming *in, uint64_t length,
                      const std::vector<DcmTagKey> &tags,
                      std::vector<std::pair<uint64_t, uint64_t>> *spans)
{
    const elementwalk *w = in->walk;
    if (tags.empty() || !w->recordElements || w->elementsCut)
        return false;
    const std::vector<elementwalk_element> &all = w->elements;
    for (size_t i = 0; i < all.size() && all[i].start < length; i++) {
        bool inside = i + 1 < all.size() && all[i + 1].start < length;
        uint64_t end = inside ? all[i + 1].start : length;
        long items = (inside ? all[i + 1].itemsBefore : w->items) - all[i].itemsBefore;
        DcmTagKey key((Uint16)(all[i].tag >> 16), (Uint16)(all[i].tag & 0xFFFF));
        if (items <= PICK_MAX_ITEMS && std::binary_search(tags.begin(), tags.end(), key))
            spans->push_back(std::make_pair(all[i].start, end));
    }
    return true;
}

// The head's picked elements (pickSpans) cut out of the kept bytes.
static bool pickElements(const LocalStore::incoming *in, size_t length,
                         const std::vector<DcmTagKey> &tags, std::string *out)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    if (!pickSpans(in, length, tags, &spans))
        return false;
    for (const auto &span : spans)
        out->append(in->head.data() + span.first, (size_t)(span.second - span.first));
    return true;
}

// The same, read from the file for a head too large to keep: 1 when read,
// 0 when the walk recorded none, -1 when the file could not be read.
static int pickElementsFromFile(const LocalStore::incoming *in, uint64_t length,
                                const std::vector<DcmTagKey> &tags, std::string *out, FILE *log)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    if (!pickSpans(in, length, tags, &spans))
        return 0;
    for (const auto &span : spans) {
        size_t n = (size_t)(span.second - span.first);
        size_t at = out->size();
        out->resize(at + n);
        off_t offset = (off_t)(in->metaLength + span.first);
        for (size_t done = 0; done < n;) {
            ssize_t got = pread(in->fd, &(*out)[at + done], n - done, offset + (off_t)done);
            if (got <= 0) {
                logprintf(LOGLEVEL_WARNING, log, "Cannot read %s: %s\n", in->tmp.c_str(),
                          got < 0 ? strerror(errno) : "cut short");
                return -1;
            }
            done += (size_t)got;
        }
    }
    return 1;
}

// Parses bytes (length) as a data set in the transfer syntax of the
// association into the head.
static bool parseBytes(LocalStore::incoming *in, const char *bytes, size_t length)
{
    DcmDataset *ds = in->headFile.getDataset();
    DcmInputBufferStream stream;
    stream.setBuffer(bytes, (offile_off_t)length);
    stream.setEos();
    ds->transferInit();
    OFCondition cond = ds->read(stream, in->xfer, EGL_noChange);
    ds->transferEnd();
    stream.releaseBuffer();
    return cond.good();
}

// Parses the head: the kept bytes up to the bulk (or all of them), as a
// data set in the transfer syntax of the association; only the elements
// in tags when the walk recorded where each begins.
static bool parseHead(LocalStore::incoming *in, size_t length, const std::vector<DcmTagKey> &tags)
{
    std::string picked;
    const char *bytes = in->head.data();
    if (pickElements(in, length, tags, &picked)) {
        bytes = picked.data();
        length = picked.size();
    }
    return parseBytes(in, bytes, length);
}

void LocalStore::setHeadTags(const std::vector<DcmTagKey> &extra)
{
    std::vector<DcmTagKey> tags = extra;
    studyindex_recordTags(&tags);
    linkTreeTags(&tags);
    // The UIDs (checkUids, the meta header).
    static const DcmTagKey own[] = {DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_StudyInstanceUID,
                                    DCM_SeriesInstanceUID};
    tags.insert(tags.end(), own, own + sizeof own / sizeof own[0]);
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    headTags = tags;
}

void LocalStore::FeedIncoming(incoming *in, const unsigned char *bytes, size_t n, bool last)
{
    if (in->ended)
        abort(); // fed after its end: the caller's error
    in->ended = last;
    if (in->result != LS_OK)
        return;
    if (in->fileStarted) {
        putBytes(in, bytes, n, logStream);
    } else {
        // Room for the most that is kept, and a piece beyond it, from the
        // start: grown by doubling, the buffer of a head that passes
        // HEAD_KEEP would be held twice while it is copied. What a small
        // head does not use of it is never touched, and so costs no memory.
        if (in->head.empty())
            in->head.reserve(HEAD_KEEP + HEAD_PIECE);
        in->head.append((const char *)bytes, n);
        uint64_t bulk = in->walk->bulkStart;
        if (bulk != UINT64_MAX || last) {
            size_t length = bulk < in->head.size() ? (size_t)bulk : in->head.size();
            if (!parseHead(in, length, headTags)) {
                logprintf(LOGLEVEL_WARNING, logStream,
                          "Cannot parse the head of a received data set (%zu bytes).\n", length);
                in->result = LS_BAD_UID;
                return;
            }
            in->headParsed = true;
            if ((in->result = checkUids(in->headFile.getDataset(), in->uid)) != LS_OK)
                return;
            in->result = startIncomingFile(in);
        } else if (in->head.size() > HEAD_KEEP) {
            in->headInFile = true;
            in->result = startIncomingFile(in);
        }
    }
    if (!last || in->result != LS_OK || !in->fileStarted)
        return;
    // The rest of the file's writeback is started by its flush: a flusher
    // thread's, right after the image is placed (without -S), or
    // the journal's or the file's own (with -S).
    if (writeGathered(in, logStream) != 0)
        in->result = LS_INDEX_ERROR;
}

DcmDataset *LocalStore::IncomingHead(incoming *in)
{
    if (!in->ended)
        return nullptr;
    if (in->headInFile && !in->headParsed && in->result == LS_OK) {
        // Only the elements read are read from the file and parsed: the
        // toolkit's parse of a whole head of millions of small items would
        // cost ten times its bytes. Without the walk's record, the head
        // is parsed whole, values above 4 KiB left in the file.
        uint64_t bulk = in->walk->bulkStart;
        std::string picked;
        int pickedFromFile = pickElementsFromFile(in, bulk != UINT64_MAX ? bulk : in->walk->pos,
                                                  headTags, &picked, logStream);
        if (pickedFromFile > 0)
            in->headParsed = parseBytes(in, picked.data(), picked.size());
        else if (pickedFromFile == 0)
            in->headParsed = in->headFile
                                 .loadFileUntilTag(in->tmp.c_str(), EXS_Unknown, EGL_noChange, 4096,
                                                   ERM_fileOnly, BULK_START)
                                 .good();
        if (!in->headParsed) {
            logprintf(LOGLEVEL_WARNING, logStream, "Cannot parse the head of %s.\n",
                      in->tmp.c_str());
            in->result = LS_BAD_UID;
        } else {
            in->result = checkUids(in->headFile.getDataset(), in->uid);
        }
    }
    return in->headParsed ? in->headFile.getDataset() : nullptr;
}

int LocalStore::StoreIncoming(incoming *in, int overwriteFile, const companion *with)
{
    if (IncomingHead(in) == nullptr || in->result != LS_OK || in->fd < 0)
        return in->result != LS_OK ? in->result : LS_INDEX_ERROR;
    int fd = in->fd;
    in->fd = -1;
    journal *j = in->j;
    in->j = nullptr;
    // Every byte hashed before the digest is taken: the pipe's thread ends.
    in->pipe.reset();
    // completeImage closes fd and removes the temporary name in every case.
    return completeImage(in->headFile.getDataset(), in->uid[0], in->uid[1], in->uid[2], fd, in->tmp,
                         overwriteFile, j, in->result == LS_OK, with, in->sum.finish());
}

void LocalStore::EndIncoming(incoming *in)
{
    if (in == nullptr)
        return;
    if (in->j != nullptr)
        journal_abandon(in->j);
    if (in->fd >= 0) {
        unlink(in->tmp.c_str());
        close(in->fd);
    }
    delete in;
}
