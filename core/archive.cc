// The archive core's ingest: one received image into the store and to its
// listeners (core/listener.h; the patient link tree and the monitor
// announcement are here); and the check and flush of a
// stored image that storage commitment vouches for.
#include "core/archive.h"
#include "core/archivetier.h"
#include "core/audit.h"
#include "core/change.h"
#include "core/forward.h"
#include "core/listener.h"
#include "core/rejection.h"
#include "core/worklist.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcrledrg.h"
#include "dcmtk/dcmdata/dcxfer.h"
#include "dcmtk/dcmjpeg/djdecode.h"
#include "dcmtk/dcmjpls/djdecode.h"

#include "codec/j2kcodec.h"
#include "dicomnet/dicomnet.h"
#include "dicomnet/elementwalk.h"
#include "index/indexbackend.h"
#include "index/keymatch.h"
#include "index/querymatch.h"
#include "index/uidtree.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "store/capacity.h"
#include "store/imagecheck.h"
#include "store/localstore.h"
#include "store/storebackup.h"
#include "store/tier.h"

static std::string tagText(DcmDataset *ds, const DcmTagKey &key)
{
    const char *v = dicomnet_getTagString(ds, key);
    return v ? v : "";
}

// The store's incoming image under the core's name.
struct archive_incoming {
    LocalStore::incoming *image;
    // The image's announcement, sent by archive_endIncoming: after the
    // C-STORE response, so that the peer does not wait for it.
    std::string announcement;
};

// The capacity policy's refusal of an image (store/capacity.h): logged and
// announced ("STORAGE FULL ...") at most once a minute per process and
// store, so that a modality sending a whole study does not flood the log
// and the channel.
static bool refusedForSpace(const archive_context *ctx)
{
    capacity_state *capacity = ctx->store->getCapacity();
    char text[128];
    if (!capacity_refuses(capacity->policy, ctx->store->getBaseDir(), text, sizeof text))
        return false;
    time_t now = time(nullptr);
    if (now - capacity->lastTold >= 60) {
        capacity->lastTold = now;
        logprintf(LOGLEVEL_ERROR, ctx->store->getLogfile(),
                  "Store %s is nearly full (%s): new images are refused.\n",
                  ctx->store->getBaseDir(), text);
        if (ctx->monitorSock != nullptr && *ctx->monitorSock >= 0) {
            char message[MULTICAST_MSGSIZE];
            snprintf(message, sizeof message, MONITORMSG_KEYWORD " FULL %s", text);
            multicast_send(*ctx->monitorSock, message);
        }
    }
    return true;
}

// The before-place phases of one image's listeners, as the store's
// companion (LocalStore::companion): what they hold is on disk before the
// image can count as stored, kept once it is stored, taken back when it is
// not. So an image refused for want of room for what they hold leaves
// nothing, and no stored image misses it: undoing either needs no room on
// the disk. The store calls these in the order core/listener.h gives for
// archive_hold.
struct ingestHolds {
    const archive_event *event;
    std::vector<archive_listener *> listeners; // those that hold for this image
    std::vector<std::unique_ptr<archive_hold>> holds;
    std::vector<bool> kept;
};

static int holdAll(void *arg)
{
    ingestHolds *h = static_cast<ingestHolds *>(arg);
    for (archive_listener *l : h->listeners) {
        std::unique_ptr<archive_hold> hold;
        if (l->beforePlace(*h->event, &hold) != 0) {
            // A later listener refused the image: what the earlier ones
            // hold goes, last first.
            while (!h->holds.empty()) {
                if (h->holds.back())
                    h->holds.back()->takenBack();
                h->holds.pop_back();
            }
            return -1;
        }
        h->holds.push_back(std::move(hold));
    }
    h->kept.assign(h->holds.size(), false);
    return 0;
}

static int keepAll(void *arg)
{
    ingestHolds *h = static_cast<ingestHolds *>(arg);
    for (size_t i = 0; i < h->holds.size(); i++) {
        if (h->kept[i])
            continue;
        if (h->holds[i] && h->holds[i]->keep() != 0)
            return -1;
        h->kept[i] = true;
    }
    return 0;
}

static void takeBackAll(void *arg)
{
    ingestHolds *h = static_cast<ingestHolds *>(arg);
    for (size_t i = h->holds.size(); i-- > 0;)
        if (h->holds[i])
            h->holds[i]->takenBack();
}

static void leaveAll(void *arg)
{
    ingestHolds *h = static_cast<ingestHolds *>(arg);
    for (size_t i = 0; i < h->holds.size(); i++)
        if (h->holds[i] && !h->kept[i])
            h->holds[i]->leave();
}

namespace
{

// The patient link tree (-s): a convenience beside the store. An image
// stored is stored (and announced, and noted for commitment) whether or not
// its link could be made, and a repeat would only be refused as a
// duplicate. WriteSymlinks logs what it could not make.
class linkTreeListener : public archive_listener
{
public:
    void stored(const archive_event &e) override
    {
        if (e.ctx->patientLinks)
            e.ctx->store->WriteSymlinks(e.ds);
    }
};

// "STORAGE STOREUID study series instance" on the monitor channel; a
// datagram that is not sent is not noticed (the channel is a courtesy).
class monitorListener : public archive_listener
{
public:
    void stored(const archive_event &e) override
    {
        if (e.ctx->monitorSock == nullptr || *e.ctx->monitorSock < 0)
            return;
        char text[MULTICAST_MSGSIZE];
        const char *message =
            monitormsg_stored(text, sizeof text, e.uids->study.c_str(), e.uids->series.c_str(),
                              e.uids->sopInstance.c_str());
        if (e.announceLater != nullptr)
            *e.announceLater = message;
        else
            multicast_send(*e.ctx->monitorSock, message);
    }
};

} // namespace

std::unique_ptr<archive_listener> archive_newLinkTreeListener()
{
    return std::unique_ptr<archive_listener>(new linkTreeListener);
}

std::unique_ptr<archive_listener> archive_newMonitorListener()
{
    return std::unique_ptr<archive_listener>(new monitorListener);
}

struct archive_effects {
    std::unique_ptr<archive_listener> forward = archive_newForwardListener();
    std::unique_ptr<archive_listener> linkTree = archive_newLinkTreeListener();
    std::unique_ptr<archive_listener> monitor = archive_newMonitorListener();
    std::unique_ptr<archive_listener> worklist = archive_newWorklistListener();
    // The deletes not yet audited (archive_delete): of one study, by one
    // requestor.
    std::mutex deleteMu;
    audit_studies deletes;
    audit_participant deleteBy;
    bool deleteByOther = false; // deleteBy holds a requestor (else this program)
};

std::shared_ptr<archive_effects> archive_newEffects()
{
    return std::make_shared<archive_effects>();
}

void archive_addListener(archive_context *ctx, archive_listener *listener)
{
    ctx->listeners.push_back(listener);
}

// Calls f on every listener of ctx in the order of core/listener.h.
template <typename F> static void eachListener(const archive_context *ctx, F f)
{
    archive_effects *own = ctx->effects.get();
    f(own->forward.get());
    f(own->linkTree.get());
    for (archive_listener *l : ctx->listeners)
        f(l);
    f(own->monitor.get());
    f(own->worklist.get());
}

unsigned archive_ingest(const archive_context *ctx, DcmDataset *ds, int overwrite,
                        archive_ingested *out, archive_incoming *in, const char *caller)
{
    archive_ingested uids;
    uids.sopClass = tagText(ds, DCM_SOPClassUID);
    uids.sopInstance = tagText(ds, DCM_SOPInstanceUID);
    uids.study = tagText(ds, DCM_StudyInstanceUID);
    uids.series = tagText(ds, DCM_SeriesInstanceUID);
    if (out)
        *out = uids;

    // The capacity policy refuses new images on a nearly full store.
    if (refusedForSpace(ctx))
        return ARCHIVE_REFUSED_NOSPACE;
    // An image a rejection note rejected, sent again.
    if (unsigned refused =
            (unsigned)rejection_beforeStore(ctx, uids.study, uids.series, uids.sopInstance))
        return refused;
    // A rejection note's own record follows its store (below).
    const char *rejectionTitle = rejection_title(ds);
    archive_event event{ctx, ds, &uids, caller, in != nullptr ? &in->announcement : nullptr};
    // What listeners hold (the forwarding jobs) is on disk before the image
    // counts as stored (a refusal for want of room for it leaves nothing of
    // the image), and kept once it is: the peer's repeat of a refused image
    // stores it (and holds for it) afresh. Without a listener that holds,
    // the store goes its way without a companion.
    ingestHolds holds{&event, {}, {}, {}};
    eachListener(ctx, [&](archive_listener *l) {
        if (l->holds(event))
            holds.listeners.push_back(l);
    });
    const LocalStore::companion withHolds = {holdAll, keepAll, takeBackAll, leaveAll, &holds};
    const LocalStore::companion *with = holds.listeners.empty() ? nullptr : &withHolds;
    int result = in != nullptr ? ctx->store->StoreIncoming(in->image, overwrite, with)
                               : ctx->store->WriteDataset(ds, overwrite, nullptr, 0, with);
    // A note stored (or stored already: its repeat by a peer that had no
    // answer records what a crash before the record left out) rejects its
    // images before it is answered; a note whose record cannot be written
    // is taken out again and refused, so that no note is confirmed whose
    // images are not hidden.
    if (rejectionTitle != nullptr && (result == LS_OK || result == LS_EXISTS) &&
        rejection_record(ctx, ds, rejectionTitle) != 0) {
        if (result == LS_OK)
            ctx->store->DeleteFile(uids.study.c_str(), uids.series.c_str(),
                                   uids.sopInstance.c_str());
        return ARCHIVE_REFUSED_NOSPACE;
    }
    switch (result) {
    case LS_OK:
        break;
    case LS_EXISTS:
        return ARCHIVE_EXISTS;
    case LS_BAD_UID:
        return ARCHIVE_CANNOT_UNDERSTAND;
    default:
        // 3 and 5, and any result the store may add later: the image is not
        // known to be stored, so the peer must not be told it was.
        return ARCHIVE_REFUSED_NOSPACE;
    }
    // Stored: no listener can fail it now (core/listener.h).
    eachListener(ctx, [&](archive_listener *l) { l->stored(event); });
    return ARCHIVE_STORED;
}

archive_query::archive_query(const archive_context *ctx, DcmDataset *identifier, const char *level,
                             int flags)
    : walk_(ctx->store->index().find(
          identifier, level,
          (flags & ARCHIVE_FIND_COMBINED_DATETIME) ? INDEX_FIND_COMBINED_DATETIME : 0)),
      rejected_(new rejection_view(ctx))
{
    if (level != nullptr) {
        level_ = level;
    } else {
        const char *l = dicomnet_getTagString(identifier, DCM_QueryRetrieveLevel);
        level_ = l != nullptr ? l : "";
    }
}

archive_query::~archive_query()
{
    end();
    delete rejected_;
}

int archive_query::next(DcmDataset **result)
{
    if (walk_ == nullptr)
        return 1;
    int r;
    // Rejected images are no match, nor a series or study of only such.
    while ((r = walk_->next(result)) == 0 && !rejected_->keep(*result, level_)) {
        delete *result;
        *result = nullptr;
    }
    // The walk's state goes with its last match.
    if (r != 0)
        end();
    return r;
}

void archive_query::end()
{
    delete walk_;
    walk_ = nullptr;
}

// Fills image's file fields from the store.
static void placeImage(const archive_context *ctx, const index_image &im, archive_image *image)
{
    image->study = im.study;
    image->series = im.series;
    image->instance = im.instance;
    image->path = archive_imagePath(ctx, im.study.c_str(), im.series.c_str(), im.instance.c_str());
    // An image in the object tier has its class in its stub: nothing is
    // fetched to plan a retrieve or answer SOP Classes in Study.
    // One whose stub was lost has it in its head (the stub comes back from
    // its object when the image is read).
    if (imagecheck_fileClass(image->path.c_str(), &image->sopClass, &image->xfer) != 0 &&
        tier_stubClass(image->path.c_str(), &image->sopClass, &image->xfer) != 0 &&
        imagecheck_fileClass((image->path + TIER_HEAD_SUFFIX).c_str(), &image->sopClass,
                             &image->xfer) != 0)
        image->sopClass.clear();
    // A cluster node without a copy of the image: its object is fetched
    // into the cache now (where the retrieve's read then finds it).
    tier_file held;
    if (image->sopClass.empty() && ctx->store->sharedIndex() &&
        archivetier_open(ctx, image->path.c_str(), &held) == ARCHIVETIER_READABLE &&
        imagecheck_fileClass(held.path.c_str(), &image->sopClass, &image->xfer) != 0)
        image->sopClass.clear();
}

int archive_select(const archive_context *ctx, DcmDataset *identifier,
                   std::vector<archive_image> *out)
{
    out->clear();
    std::vector<index_image> images;
    int r = ctx->store->index().select(identifier, &images);
    if (r != INDEX_OK)
        return r == INDEX_BAD_IDENTIFIER ? ARCHIVE_BAD_IDENTIFIER : ARCHIVE_INDEX_UNREADABLE;
    // Rejected images are never retrieved.
    rejection_view rejected(ctx);
    images.erase(std::remove_if(
                     images.begin(), images.end(),
                     [&](const index_image &im) { return rejected.hidden(im.study, im.instance); }),
                 images.end());
    out->resize(images.size());
    for (size_t i = 0; i < images.size(); i++)
        placeImage(ctx, images[i], &(*out)[i]);
    return ARCHIVE_SELECTED;
}

bool archive_addSOPClassesInStudy(const archive_context *ctx, DcmDataset *query, DcmDataset *match)
{
    OFString level;
    const char *study = dicomnet_getTagString(match, DCM_StudyInstanceUID);
    if (!query->tagExists(DCM_SOPClassesInStudy) ||
        query->findAndGetOFString(DCM_QueryRetrieveLevel, level).bad() || level != "STUDY" ||
        study == nullptr)
        return true;
    std::vector<index_image> images;
    std::vector<std::string> classes;
    std::string list;
    rejection_view rejected(ctx);
    if (ctx->store->index().studyImages(study, &images) == INDEX_OK) {
        for (const index_image &im : images) {
            if (rejected.hidden(im.study, im.instance))
                continue;
            archive_image image;
            placeImage(ctx, im, &image);
            if (image.sopClass.empty() ||
                std::find(classes.begin(), classes.end(), image.sopClass) != classes.end())
                continue;
            classes.push_back(image.sopClass);
            if (!list.empty())
                list += '\\';
            list += image.sopClass;
        }
    }
    match->putAndInsertString(DCM_SOPClassesInStudy, list.c_str());
    // Any one of the study's classes among the key's values matches.
    keymatch_key key;
    keymatch_compile(&key, KEYMATCH_CODES, dicomnet_getTagString(query, DCM_SOPClassesInStudy));
    return keymatch_matches(key, list.data(), list.size());
}

int archive_parseMeta(const unsigned char *buf, size_t n, std::string *sopClass, std::string *xfer,
                      size_t *datasetStart)
{
    return imagecheck_parseMeta(buf, n, sopClass, xfer, datasetStart);
}

bool archive_rejected(const archive_context *ctx, const char *study, const char *instance)
{
    // One study's file read at once (a view would list the directory
    // first: the way of a walk over many studies, not of one image).
    rejections_study entries;
    if (study == nullptr || *study == '\0') {
        rejection_view rejected(ctx);
        return rejected.hidden("", instance);
    }
    if (rejections_read(archive_baseDir(ctx), study, &entries) != 0)
        return false;
    for (const auto &e : entries)
        if (e.first.second == instance && rejections_hides(e.second))
            return true;
    return false;
}

// Sends the gathered deletes' message; the caller holds deleteMu.
static void auditDeletesLocked(const archive_context *ctx, archive_effects *e)
{
    if (e->deletes.empty())
        return;
    std::vector<audit_participant> who;
    if (e->deleteByOther)
        who.push_back(e->deleteBy);
    who.push_back(audit_self(ctx->audit));
    if (!e->deleteByOther)
        who.back().requestor = true;
    audit_emitStudies(ctx->audit, AUDIT_DELETED, 'D', AUDIT_SUCCESS, who, &e->deletes);
}

// The patient (ID and name) of a stored study from the index, for the
// audit of its deletion: looked up before its last image goes.
static void patientOf(const archive_context *ctx, const char *study, std::string *id,
                      std::string *name)
{
    DcmDataset keys;
    dicomnet_Key_Add(&keys, 0x0020, 0x000D, study);
    dicomnet_Key_Add(&keys, 0x0010, 0x0020, "");
    dicomnet_Key_Add(&keys, 0x0010, 0x0010, "");
    archive_query q(ctx, &keys, "STUDY");
    DcmDataset *match = nullptr;
    if (q.next(&match) != 0)
        return;
    const char *v;
    if ((v = dicomnet_getTagString(match, DCM_PatientID)) != nullptr)
        *id = v;
    if ((v = dicomnet_getTagString(match, DCM_PatientName)) != nullptr)
        *name = v;
    delete match;
    q.end();
}

// A cluster node's delete (the store deletes one image at a time there):
// each image of the study or series, each recorded for the other nodes
// before the store deletes it (a kill in between leaves a record of an
// image still there: the nodes drop their cached copies, which the bucket
// gives back). 0 some deleted, 1 none found, -1 a failure.
static int deleteShared(const archive_context *ctx, const char *study, const char *series,
                        const char *instance)
{
    std::vector<index_image> images;
    if (instance != nullptr && series != nullptr) {
        images.push_back({study, series, instance});
    } else if (ctx->store->index().studyImages(study, &images) != INDEX_OK) {
        return -1;
    }
    int result = 1;
    for (const index_image &im : images) {
        if (series != nullptr && im.series != series)
            continue;
        if (archive_clusterNoteDelete(ctx, im.study.c_str(), im.series.c_str(),
                                      im.instance.c_str()) != 0) {
            result = -1;
            continue;
        }
        int r = ctx->store->DeleteFile(im.study.c_str(), im.series.c_str(), im.instance.c_str());
        if (r < 0)
            result = -1;
        else if (r == 0 && result == 1)
            result = 0;
    }
    return result;
}

// The store's delete, or on a cluster node its form above.
static int deleteImages(const archive_context *ctx, const char *study, const char *series,
                        const char *instance)
{
    if (study != nullptr && ctx->store->sharedIndex())
        return deleteShared(ctx, study, series, instance);
    return ctx->store->DeleteFile(study, series, instance);
}

int archive_delete(const archive_context *ctx, const char *study, const char *series,
                   const char *instance, const audit_participant *by, const char *sopClass)
{
    if (ctx->audit == nullptr || study == nullptr)
        return deleteImages(ctx, study, series, instance);
    archive_effects *e = ctx->effects.get();
    std::lock_guard<std::mutex> g(e->deleteMu);
    bool same =
        !e->deletes.empty() && e->deletes.studies.count(study) != 0 &&
        e->deleteByOther == (by != nullptr) &&
        (by == nullptr || (by->userId == e->deleteBy.userId && by->address == e->deleteBy.address));
    std::string patientId, patientName;
    if (!same)
        patientOf(ctx, study, &patientId, &patientName);
    int r = deleteImages(ctx, study, series, instance);
    if (r != 0)
        return r;
    if (!same) {
        auditDeletesLocked(ctx, e);
        e->deleteByOther = by != nullptr;
        e->deleteBy = by != nullptr ? *by : audit_participant();
        e->deleteBy.requestor = true;
    }
    e->deletes.add(study, sopClass != nullptr ? sopClass : "", patientId, patientName);
    return 0;
}

void archive_auditDeletes(const archive_context *ctx)
{
    if (ctx->audit == nullptr)
        return;
    archive_effects *e = ctx->effects.get();
    std::lock_guard<std::mutex> g(e->deleteMu);
    auditDeletesLocked(ctx, e);
}

bool archive_usableUid(const archive_context *ctx, const char *uid, const char *what)
{
    return ctx->store->CheckUid(uid, what) == LS_OK;
}

const char *archive_uidProblem(const char *uid)
{
    return uidtree_uidProblem(uid);
}

int archive_locate(const archive_context *ctx, const std::vector<std::string> &instances,
                   std::vector<archive_image> *places)
{
    std::vector<index_image> found;
    int n = ctx->store->index().locate(instances, &found);
    places->assign(instances.size(), archive_image());
    if (n < 0)
        return -1;
    rejection_view rejected(ctx);
    for (size_t i = 0; i < instances.size() && i < found.size(); i++) {
        if (!found[i].study.empty() && rejected.hidden(found[i].study, instances[i])) {
            n--;
            continue;
        }
        (*places)[i].study = found[i].study;
        (*places)[i].series = found[i].series;
        (*places)[i].instance = instances[i];
    }
    return n;
}

// Results of checkImage.
enum {
    IMAGE_WHOLE = 1,    // whole: *sopClass and *instance are its data set's
    IMAGE_DAMAGED = 0,  // cut short or damaged
    IMAGE_UNREAD = -1,  // a read failed (errno set)
    IMAGE_FOREIGN = -2, // not walked (a form left to the toolkit to parse)
};

// Walks the stored image file open at fd to its end and reads its SOP
// Class and SOP Instance UIDs: IMAGE_*.
static int checkImage(int fd, std::string *sopClass, std::string *instance)
{
    switch (imagecheck_walk(fd, sopClass, instance)) {
    case IMAGECHECK_WHOLE:
        return IMAGE_WHOLE;
    case IMAGECHECK_DAMAGED:
        return IMAGE_DAMAGED;
    case IMAGECHECK_UNREAD:
        return IMAGE_UNREAD;
    default:
        return IMAGE_FOREIGN;
    }
}

// The toolkit's check of a file that checkImage leaves to it, open at fd:
// the whole file is parsed (large values not loaded). An IMAGE_* result.
static int toolkitCheck(const char *path, int fd, std::string *sopClass, std::string *instance)
{
    DcmFileFormat file;
    struct stat opened, named;
    if (file.loadFile(path, EXS_Unknown, EGL_noChange, 4096).bad())
        return IMAGE_DAMAGED;
    const char *cls = dicomnet_getTagString(file.getDataset(), DCM_SOPClassUID);
    const char *uid = dicomnet_getTagString(file.getDataset(), DCM_SOPInstanceUID);
    *sopClass = cls ? cls : "";
    *instance = uid ? uid : "";
    // The file read by its name must be the one open at fd, which the
    // caller flushes: a store of the same instance may have renamed a new
    // file over it meanwhile (fd keeps the old inode, so its number cannot
    // come back). Then this request cannot vouch for the new one.
    if (fstat(fd, &opened) != 0 || stat(path, &named) != 0 || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev)
        return IMAGE_UNREAD;
    return IMAGE_WHOLE;
}

int archive_flushImage(const archive_context *ctx, const std::string &imagePath,
                       const std::string &instance, const std::string &sopClass, int *flushError)
{
    const char *path = imagePath.c_str();
    // The image (its file, or its copy fetched from the object tier) is
    // verified against the checksum recorded at ingest first. A damaged one
    // is reported as failed: as the walk below finds it (cut short, another
    // instance or class), else as a processing failure; never committed.
    tier_file tiered;
    int t = archivetier_open(ctx, path, &tiered);
    if (t == ARCHIVETIER_UNAVAILABLE)
        return ARCHIVE_FLUSH_FAILED;
    bool damaged = t == ARCHIVETIER_DAMAGED;
    if (t == ARCHIVETIER_READABLE)
        path = tiered.path.c_str();
    // Reading a file just written would set its access time: an inode
    // change for the file system's journal to write at the next flush, for
    // every image. O_NOATIME needs the file's owner; another's file is read
    // all the same.
    int fd = t == ARCHIVETIER_MISSING ? -1 : open(path, O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return damaged ? ARCHIVE_FLUSH_FAILED : ARCHIVE_FLUSH_MISSING;
    std::string foundClass, foundInstance;
    int walked = checkImage(fd, &foundClass, &foundInstance);
    if (walked == IMAGE_FOREIGN)
        walked = toolkitCheck(path, fd, &foundClass, &foundInstance);
    int result = ARCHIVE_FLUSHED;
    if (walked == IMAGE_UNREAD)
        result = ARCHIVE_FLUSH_FAILED;
    else if (walked != IMAGE_WHOLE || foundInstance != instance)
        result = ARCHIVE_FLUSH_MISSING;
    else if (foundClass != sopClass)
        result = ARCHIVE_FLUSH_CLASS;
    else if (damaged)
        result = ARCHIVE_FLUSH_FAILED;
    else if (fdatasync(fd) != 0) {
        *flushError = errno;
        result = ARCHIVE_FLUSH_FAILED;
    }
    close(fd);
    return result;
}

void archive_noteFlushed(const archive_context *ctx, const char *study, const char *series,
                         const char *instance)
{
    ctx->store->NoteFlushedImage(study, series, instance);
}

int archive_refresh(const archive_context *ctx)
{
    archive_clusterDrainDeletes(ctx);
    return ctx->store->index().refresh();
}

bool archive_stale(const archive_context *ctx)
{
    return ctx->store->index().stale();
}

const char *archive_baseDir(const archive_context *ctx)
{
    return ctx->store->getBaseDir();
}

int archive_lock(const archive_context *ctx)
{
    return ctx->store->LockStore(0);
}

// forward_settleHeld's test: the held job's image is in the store.
static bool heldImageStored(void *arg, const forward_job &job)
{
    const archive_context *ctx = static_cast<const archive_context *>(arg);
    // UIDs as a store checks them: a damaged file names no path outside.
    return ctx->store->CheckUid(job.study.c_str(), "Study Instance UID") == LS_OK &&
           ctx->store->CheckUid(job.series.c_str(), "Series Instance UID") == LS_OK &&
           ctx->store->CheckUid(job.instance.c_str(), "SOP Instance UID") == LS_OK &&
           ctx->store->HaveFile(job.study.c_str(), job.series.c_str(), job.instance.c_str()) ==
               LS_OK;
}

void archive_recover(const archive_context *ctx)
{
    // The images first (a delete cut short then removes what it was
    // removing), then the delete, as it may mark a study deleted, then the
    // stores cut short (a take-back among them is a delete: finished first).
    ctx->store->ReplayJournals();
    ctx->store->FinishDeletes();
    ctx->store->FinishStores();
    // Then the changes of stored images cut short (core/change.h): rolled
    // back before their commit, finished after it.
    archive_finishChanges(ctx);
    ctx->store->index().compact();
    // A snapshot that a backup killed in its run left (store/storebackup.h):
    // links to images that may have been deleted since, so that their room
    // would never come back.
    storebackup_removeLeft(ctx->store->getBaseDir(), ctx->store->getStudyLocks(),
                           ctx->store->getLogfile());
    // Then the forwarding jobs that stores cut short left held: each is
    // made a job when its image is now in the store, else removed.
    forward_settleHeld(ctx->store->getBaseDir(), heldImageStored, (void *)ctx,
                       ctx->store->getLogfile());
}

void archive_compact(const archive_context *ctx)
{
    ctx->store->index().compact();
}

void archive_diskSpace(const archive_context *ctx, uint64_t *total, uint64_t *available)
{
    *total = ctx->store->LS_GetTotalSpace();
    *available = ctx->store->LS_GetFreeSpace();
}

bool archive_journalHoldsAll(const archive_context *ctx)
{
    return ctx->store->JournalHoldsAll() != 0;
}

std::string archive_imagePath(const archive_context *ctx, const char *study, const char *series,
                              const char *instance)
{
    return ctx->store->GetUidPath(study, series, instance, 1).c_str();
}

const std::vector<DcmTagKey> &archive_seriesRecordKeys()
{
    return index_seriesRecordKeys();
}

const std::vector<DcmTagKey> &archive_imageRecordKeys()
{
    return index_imageRecordKeys();
}

static bool holds(const std::vector<DcmTagKey> &keys, const DcmTagKey &key)
{
    for (const DcmTagKey &k : keys)
        if (k == key)
            return true;
    return false;
}

bool archive_seriesRecordHolds(const DcmTagKey &key)
{
    return holds(archive_seriesRecordKeys(), key);
}

bool archive_imageRecordHolds(const DcmTagKey &key)
{
    return holds(archive_imageRecordKeys(), key);
}

bool archive_isStudyKey(const DcmTagKey &key)
{
    return querymatch_isStudyKey(key);
}

bool archive_wellFormedKey(const DcmTag &tag, const char *value)
{
    return keymatch_wellFormed(querymatch_kindOfVr(tag.getVRName()), value);
}

bool archive_wellFormedUids(const char *value)
{
    return keymatch_wellFormed(KEYMATCH_UID, value);
}

bool archive_keysFit(DcmItem *identifier, DcmTagKey *offending)
{
    return querymatch_keysFit(identifier, offending);
}

void archive_registerDecoders()
{
    static std::once_flag once;
    std::call_once(once, []() {
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        codec_registerJ2k();
    });
}

int archive_flush(const archive_context *ctx)
{
    archive_auditDeletes(ctx);
    return ctx->store->SyncWrites() == 0 ? 0 : -1;
}

int archive_idle(const archive_context *ctx)
{
    return ctx->store->Idle();
}

void archive_endIdle(const archive_context *ctx)
{
    ctx->store->EndIdle();
}

// What the ingest reads of an image's head beyond the store's own: the
// UIDs, the accession number (the worklist), the rules' conditions.
static std::vector<DcmTagKey> ingestHeadTags(const archive_context *ctx)
{
    std::vector<DcmTagKey> tags = {DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_StudyInstanceUID,
                                   DCM_SeriesInstanceUID, DCM_AccessionNumber,
                                   // A rejection note's title and what it rejects.
                                   DCM_ConceptNameCodeSequence,
                                   DCM_CurrentRequestedProcedureEvidenceSequence};
    if (ctx->forwardRules != nullptr)
        for (const forward_rule &r : ctx->forwardRules->rules)
            for (const forward_condition &c : r.conditions)
                tags.push_back(c.tag);
    return tags;
}

archive_incoming *archive_beginIncoming(const archive_context *ctx, const char *transferSyntax,
                                        const struct elementwalk *walk)
{
    // The rules are read once, at the start: so is the list.
    if (!ctx->store->headTagsSet())
        ctx->store->setHeadTags(ingestHeadTags(ctx));
    LocalStore::incoming *image = ctx->store->BeginIncoming(transferSyntax, walk);
    return image != nullptr ? new archive_incoming{image, std::string()} : nullptr;
}

void archive_feedIncoming(const archive_context *ctx, archive_incoming *in,
                          const unsigned char *bytes, size_t n, bool last)
{
    ctx->store->FeedIncoming(in->image, bytes, n, last);
}

DcmDataset *archive_incomingHead(const archive_context *ctx, archive_incoming *in)
{
    return ctx->store->IncomingHead(in->image);
}

void archive_endIncoming(const archive_context *ctx, archive_incoming *in)
{
    if (in == nullptr)
        return;
    if (!in->announcement.empty() && ctx->monitorSock != nullptr && *ctx->monitorSock >= 0)
        multicast_send(*ctx->monitorSock, in->announcement.c_str());
    ctx->store->EndIncoming(in->image);
    delete in;
}
