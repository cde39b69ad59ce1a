// The storeserver's service handlers for C-STORE, C-FIND, C-MOVE and C-GET,
// the state one C-MOVE and one C-GET keep (movedata, getdata) and the
// per-association context that the command loop hands to every handler. The
// handlers have exactly the shapes that dicomnet_SCP_store, dicomnet_SCP_find,
// dicomnet_SCP_move and dicomnet_SCP_get call.
#ifndef VELTO_SERVER_HANDLERS_H
#define VELTO_SERVER_HANDLERS_H

#include <stdint.h>

#include <memory>

#include "dicomnet/dicomnet.h"
#include "dicomnet/elementwalk.h"

// The special called AE titles that choose the store mode of a C-STORE, and
// the move destination that deletes the matching images instead of sending.
#define HANDLERS_AET_OVERWRITE "VeltoOverwrite"
#define HANDLERS_AET_PRESERVE "VeltoPreserve"
#define HANDLERS_AET_DELETE "VeltoDeleteAET"

// "Refused: Not Authorized", the general DIMSE status of a request that the
// access policy does not allow this peer.
#define HANDLERS_STATUS_NOT_AUTHORIZED 0x0124

// Alarm budgets of a C-MOVE, in seconds: each step (start to first image,
// image to image) and the opening of a sub-association.
enum { MOVE_STEP_ALARM = 300, MOVE_SUBASSOC_ALARM = 12, MOVE_CONNECT_TIMEOUT = 10 };
// Maximum receive PDU proposed on a C-MOVE sub-association.
enum { MOVE_SUBASSOC_MAX_PDU = 131072 };

struct retrievejob; // server/retrieve.h

// The state of one C-MOVE and its sub-association; one per association,
// owned by the command loop, which writes net and assoc before each C-MOVE.
// The handler owns job (made at the first response, freed at the last) and
// subassoc (closed at the final response).
struct movedata {
    retrievejob *job;                    // the images and counters of the current C-MOVE, or null
    T_ASC_Network *net;                  // the worker's network (requests the sub-association)
    T_ASC_Association *assoc;            // the association on which the C-MOVE arrived
    T_ASC_Association *subassoc;         // the sub-association to the destination, or null
    int subBatch;                        // the batch of contexts subassoc proposes (-1: none)
    int refusedBatch;                    // a batch whose sub-association could not be opened, or -1
    int givenUp;                         // the destination stayed silent: the rest fails untried
    T_DIMSE_Priority priority;           // priority of the C-MOVE, reused for every C-STORE
    Uint16 origin_msgid;                 // message id of the C-MOVE (move originator id)
    DIC_AE origin_aet;                   // calling AE title of the C-MOVE's association
    int ahead;                           // the next image: MOVE_AHEAD_*
    T_ASC_PresentationContextID aheadPc; // MOVE_AHEAD_SENT: its context and message id
    Uint16 aheadMsg;
};

// Where the next image of a C-MOVE stands when a pending response goes out:
// not touched yet, its C-STORE request already sent on the sub-association
// (its response is awaited at the next step), or already counted (its
// request failed).
enum { MOVE_AHEAD_NONE = 0, MOVE_AHEAD_SENT = 1, MOVE_AHEAD_COUNTED = 2 };

// The state of one C-GET: its images and counters (heap, from the first
// response to the last, or null), and a C-CANCEL noticed while a C-STORE
// response was awaited on the same association.
struct getdata {
    retrievejob *job;
    T_DIMSE_DetectedCancelParameters cancel;
};

struct archive_context;
class archive_query;

// Per-association handler context: one record kept by the command loop and
// passed (as the callback data) to every handler. Each handler initialises
// its own part at the start of its operation.
struct worklistquery;
struct audit_studies;

struct handlercontext {
    DIC_AE store_calling;           // calling AE title of the association
    DIC_AE store_called;            // called AE title (chooses the C-STORE store mode)
    archive_query *find;            // the walk of the current C-FIND (heap), or null
    worklistquery *worklist;        // the current worklist C-FIND (heap), or null
    movedata move;                  // state of the current C-MOVE
    getdata get;                    // state of the current C-GET
    T_ASC_Association *assoc;       // the association (borrowed), or null if not known
    char peer_address[64];          // numeric address of the peer, "" if not known
    const archive_context *archive; // the archive core (server_archive)
    audit_studies *stored;          // the images stored, for the audit trail (heap), or null
};

// Zeroes ctx and copies the association's titles into it (null counts as
// empty; longer titles are cut to 16 characters); assoc (borrowed) lets the
// C-FIND handler look for a late C-CANCEL and gives the peer's address.
// Call once per association.
void handlercontext_init(handlercontext *ctx, const char *calling, const char *called,
                         T_ASC_Association *assoc = nullptr);

// 1 when the access policy lets the association's peer do operation (an
// ACCESS_* bit), 0 when not (the refusal is logged). Every service handler
// asks before it does anything.
int handlerPermits(const handlercontext *ctx, unsigned operation);

// 1 when every key of a query identifier fits its VR (archive_keysFit);
// else 0 after a warning naming the key and the peer (what: the query's
// kind, "C-FIND" or "Worklist C-FIND"), with *statusDetail set to the
// refusal's Offending Element and Error Comment. A query refused so is
// answered 0xA900 at once, before anything is matched.
int handlerKeysFit(const handlercontext *ctx, DcmDataset *identifiers, const char *what,
                   DcmDataset **statusDetail);

// Store mode for a C-STORE called under calledAET: 1 for "VeltoOverwrite",
// 0 for "VeltoPreserve" (exact match), otherwise the -o setting.
int storeModeForCalledAET(const char *calledAET, int overwriteSetting);

// What the data set of a request other than a C-STORE may be
// (dicomnet_dataset_limits): a C-FIND, C-MOVE or C-GET identifier, and a storage
// commitment request (N-ACTION). A query names a few dozen keys, a list of
// UIDs is one element, and a commitment request of a large study has some
// thousands of items (a modality commits a larger one in several); the
// limits are beyond those and far below a C-STORE's, so that the toolkit's
// parse of the largest allowed one costs a worker a few MiB (each element or
// item some hundred bytes).
const dicomnet_dataset_limits HANDLERS_IDENTIFIER_LIMITS = {1 << 20, ELEMENTWALK_MAX_DEPTH, 1000,
                                                            10000};
const dicomnet_dataset_limits HANDLERS_COMMIT_LIMITS = {2 << 20, ELEMENTWALK_MAX_DEPTH, 5000,
                                                        15000};

// Logs the refusal of a received data set (dicomnet_refusal) as
// "OPERATION refused: WHAT ...", with the limit it passed (limits).
void handlerLogRefusal(const char *operation, const char *what, const dicomnet_refusal &refusal,
                       const dicomnet_dataset_limits &limits);

// The C-STORE service: the network layer hands the data set's bytes to the
// archive core's receive (core/receive.h: walked within -z bytes and an
// image's limits, else refused, 0xA700 or 0xC000, and the association
// must end: DICOMNET_EC_STORE_REFUSED); at its end the data set is checked
// against the command (another SOP class or instance: 0xA900, not stored)
// and ingested, the answer the ingest's status (0 success, 0xB006 kept,
// 0xA700 not stored, 0xC000 a UID refused); a peer not allowed to store is
// answered HANDLERS_STATUS_NOT_AUTHORIZED.
OFCondition storeSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                     T_ASC_PresentationContextID pcId, handlercontext *ctx);

// C-FIND handler (dicomnet_SCP_find_callback); callbackData is the
// handlercontext. One call per response: 0xFF00 with the next match as
// identifier (plus (0008,0005) from -E), 0x0000 when no match is left or the
// query cannot be answered, 0xA900 for a key longer than its VR allows
// (handlerKeysFit), 0xFE00 after a cancel.
void findSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_FindRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_FindRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail);

// C-MOVE handler (dicomnet_SCP_move_callback); callbackData is the
// handlercontext, whose move.net and move.assoc the command loop has set.
// The first call lists the images the identifier selects (UID lists at
// every level, whole values); each call then sends one image to the move
// destination (or deletes it for "VeltoDeleteAET") and sets a pending
// response with the remaining count and the three counters. The final
// response is 0x0000, or 0xB000 (with the failed SOP instance UIDs) when any
// sub-operation failed or warned; 0xA702 (the same list, the images not
// sent counted failed) when a stop request cut the move short; a
// destination silent for the inactivity budget is given up for the rest
// of the move; 0xA801 for a destination not in the AE
// title map, 0xA900 for an identifier without its level's unique key,
// 0xC000 when the index cannot be read, 0xFE00 after a cancel.
void moveSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_MoveRQ *request,
                     DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_MoveRSP *response,
                     DcmDataset **responseIdentifiers, DcmDataset **statusDetail);

// C-GET handler (dicomnet_SCP_get_callback); callbackData is the
// handlercontext. As the C-MOVE handler, with the C-STORE sub-operations
// going back over the requesting association, on the storage contexts it
// negotiated; a C-CANCEL ends it with 0xFE00, a stop request with 0xA702.
void getSCPCallback(void *callbackData, OFBool cancelled, T_DIMSE_C_GetRQ *request,
                    DcmDataset *requestIdentifiers, int responseCount, T_DIMSE_C_GetRSP *response,
                    DcmDataset **statusDetail, DcmDataset **responseIdentifiers);

// Opens md->subassoc to request->MoveDestination for batch b of md->job's
// contexts, calling it with the title by which the requester called us.
// 0 accepted, 1 destination not in the AE title map, else the negative
// result of dicomnet_associate. On failure md->subassoc is null.
int buildSubAssociation(T_DIMSE_C_MoveRQ *request, movedata *md, int b);

// Releases and destroys md->subassoc (left null). 1 when there is none,
// otherwise the result of dicomnet_dissociate.
int closeSubAssociation(movedata *md);

// Frees a retrieve's job (null is fine) and clears the pointer.
void retrieveJobFree(retrievejob **job);

// Storage commitment (Push Model, SCP): seconds to wait for the peer's
// answer to an event report, and how long the peer may stay quiet after the
// N-ACTION response before the report goes on the same association (a peer
// that releases instead does so one round trip after the response; one
// whose release comes later gets the report again on a new association).
enum { COMMIT_REPLY_SECONDS = 30, COMMIT_PEER_QUIET_MS = 20 };

// N-ACTION handler of the Storage Commitment Push Model: answers the
// request, checks each referenced instance (stored, readable, of the named
// class, flushed to disk) and sends the N-EVENT-REPORT (event 1 all
// committed, 2 with failures) on this association while the peer waits on
// it; when the peer goes on instead (releases it), the report waits for
// commit_sendPending. The condition of the exchange.
OFCondition commitSCP(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                      T_ASC_PresentationContextID pcId, handlercontext *ctx);
// After the association has ended: sends a waiting report over a new
// association (through net) to the requester's address in the AE title map,
// proposing the commitment class with the SCP role. Failures are logged.
void commit_sendPending(T_ASC_Network *net);
// On a node of a cluster: makes the cluster's table of open commitment
// requests (cluster/commitjobs.h) once per process; the listener calls it
// before it forks. 0 (also on one host), or -1 after a log.
int commit_clusterPrepare();
// On a node of a cluster: forks the commitment reporter, which sends the
// reports of requests whose node died (or gave them back) before
// reporting; it dies with the listener and closes closeFd (the store
// lock). Its pid, or -1 (one host, or a failed fork, logged).
pid_t commit_startReporter(int closeFd);
// Storage commitment's bookkeeping, a listener of ingest (core/listener.h)
// that the caller owns and registers on server_archive (archive_addListener)
// before any association: where this worker stored each instance, for
// commitment requests, and the report that waits for the association's
// end. Bookkeeping only, it cannot fail an image.
std::unique_ptr<class archive_listener> commit_newListener();

#endif
