// The listeners of ingest: what else happens when an image is taken into the
// archive (forwarding jobs, the patient link tree, storage commitment
// bookkeeping, the monitor announcement, the worklist, the web's counters,
// and later an audit trail), each as one object that archive_ingest tells,
// in a fixed order and with a written rule for what its failure does.
//
// A listener has up to two phases for one image:
//
// 1. Before the image is placed (holds, then beforePlace): the listener
//    makes durable what must never be missing for a stored image (the
//    forwarding jobs, held). It may refuse the image: beforePlace answers
//    -1 (after a log) and the image is refused (ARCHIVE_REFUSED_NOSPACE)
//    with nothing of it stored, and what earlier listeners held is taken
//    back. What it holds is settled by the store once it is known whether
//    the image stays (archive_hold below): kept, taken back, or left for
//    the next start.
// 2. After the image is stored (stored): the image is placed in the store
//    and in its index, on disk as far as the store promises before the
//    caller's archive_flush (with -S: flushed or in the journal), and
//    archive_ingest is about to answer ARCHIVE_STORED. This phase cannot
//    fail the image: a listener logs what it could not do (the link tree,
//    the worklist) and the image stays stored. It is not called for an
//    image refused, failed, or already stored and kept (ARCHIVE_EXISTS).
//
// The order in which archive_ingest tells them, in both phases:
//   forwarding       (core/forward.cc: before place; its failure refuses
//                     the image; a failed keep takes a new image back)
//   patient links    (core/archive.cc: stored; with -s; failures logged)
//   the listeners registered with archive_addListener, in the order they
//                    were registered: storage commitment's bookkeeping
//                    (server/commithandler.cc), the web's counters
//                    (web/metrics.cc)
//   announcement     (core/archive.cc: stored; "STORAGE STOREUID ..." on
//                     the monitor channel; a send is not checked)
//   worklist         (core/worklist.cc: stored; entries marked done as
//                     worklistDone says; failures logged)
// What this process keeps of the image is noted before others are told of
// it. The core's own four run as the fields of archive_context say (the
// site's options); the registered ones always. An audit trail plugs in as
// one more registered listener (its stored phase; a before-place phase if
// an image must never be stored without its audit record), registered last
// by the front ends, or as a fifth core listener after the worklist.
//
// Listeners are called on the thread that calls archive_ingest, serialised
// with it as the context's store is; a listener must not call back into
// the archive's store.
#ifndef VELTO_CORE_LISTENER_H
#define VELTO_CORE_LISTENER_H

#include "dcmtk/config/osconfig.h"

#include <memory>
#include <string>

#include "dcmtk/dcmdata/dcdatset.h"

#include "core/archive.h"

// One image as the listeners see it. Everything is borrowed for the call.
struct archive_event {
    const archive_context *ctx;
    DcmDataset *ds;               // the image (a streamed image: its head); only read
    const archive_ingested *uids; // its UIDs (never empty when stored)
    const char *caller;           // the calling AE title, or null (the web)
    // A streamed image is answered after ingest returns: what is to be
    // announced on the monitor channel for it goes here, and
    // archive_endIncoming sends it after the answer. Null: send it now.
    std::string *announceLater;
};

// What a listener's before-place phase holds for one image until the store
// knows whether the image stays, by the calls below: keep; or takenBack
// (also after a keep that succeeded, see keep); or keep, failed, then, the
// image staying, keep once more and leave when that fails too.
class archive_hold
{
public:
    virtual ~archive_hold() = default;
    // The image's file stays in place: stored, or answered as failed but not
    // removable. Must need no room on the disk. 0, or -1 after a log: a
    // stored new image is then taken back and refused, and every hold is
    // taken back (or left, when the image still stays). Holds are kept in
    // the order of their listeners, and the first that fails stops the
    // rest: a hold kept may then be taken back after all.
    virtual int keep() = 0;
    // The image is not stored (refused, failed, taken back): what was held,
    // and what a keep made of it, is removed. Unlinks only, so that a full
    // disk cannot stop it.
    virtual void takenBack() = 0;
    // The image stays but the hold could not be kept: it is left as it is on
    // disk, for the next start to settle by whether the image is stored
    // (archive_recover: a crash leaves the same; a new listener that holds
    // gets its settling there, as the forwarding jobs have theirs).
    virtual void leave() = 0;
};

class archive_listener
{
public:
    virtual ~archive_listener() = default;
    // Whether this listener has a before-place phase for the image (false:
    // the store places it without waiting on this listener).
    virtual bool holds(const archive_event &) { return false; }
    // Phase 1: 0 with *hold set (null: nothing to settle), or -1 after a
    // log, which refuses the image with nothing of it stored.
    virtual int beforePlace(const archive_event &, std::unique_ptr<archive_hold> *) { return 0; }
    // Phase 2: the image is stored (see above). Cannot fail the image.
    virtual void stored(const archive_event &) {}
};

// The core's own listeners, one of each made with every archive_context
// (archive_context::effects) and kept with it: what one image needs is in
// its hold, what the worklist's keeps between images (the studies it
// looked for lately) is the context's alone. Each does nothing unless its
// field of the context asks for it. archive_ingest tells them in the order
// above; they are not registered with archive_addListener.
std::unique_ptr<archive_listener> archive_newForwardListener();  // forwardRules (core/forward.cc)
std::unique_ptr<archive_listener> archive_newLinkTreeListener(); // patientLinks (core/archive.cc)
std::unique_ptr<archive_listener> archive_newMonitorListener();  // monitorSock (core/archive.cc)
std::unique_ptr<archive_listener> archive_newWorklistListener(); // worklistDone (core/worklist.cc)

#endif
