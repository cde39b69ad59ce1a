// What C-MOVE and C-GET share: the list of images a retrieve sends (from
// the store's retrieve enumeration, with each file's SOP class and transfer
// syntax), the sub-operation counters, the presentation contexts a C-MOVE
// sub-association proposes (grouped into associations of at most 128
// contexts), and the sending of one image with C-STORE over an association,
// decoding it first when the peer accepted its class only in another
// transfer syntax.
#ifndef VELTO_SERVER_RETRIEVE_H
#define VELTO_SERVER_RETRIEVE_H

#include <string>
#include <vector>

#include "dicomnet/dicomnet.h"

struct archive_context;

// One image to send.
struct retrieveitem {
    std::string study, series, instance; // its UIDs
    std::string path;                    // its file
    std::string sopClass;                // from the file; empty: the file cannot be read
    std::string xfer;                    // the file's transfer syntax
    int batch;                           // C-MOVE: the sub-association it goes over
};

// One presentation context of a C-MOVE sub-association: an abstract syntax
// and the transfer syntaxes proposed for it, in order of preference.
struct retrieveproposal {
    std::string sopClass;
    std::vector<std::string> syntaxes;
};

// The state of one retrieve, from its first response to its last.
struct retrievejob {
    std::vector<retrieveitem> items; // in the order they are sent
    size_t next = 0;                 // index of the next image to send
    Uint16 completed = 0;            // sub-operations completed
    Uint16 failed = 0;               // sub-operations failed
    Uint16 warning = 0;              // sub-operations completed with a warning
    std::string failedUids;          // SOP instance UIDs that failed, "\"-separated
    // C-MOVE: the contexts of each sub-association, in order.
    std::vector<std::vector<retrieveproposal>> batches;
};

// Where a C-STORE sub-operation comes from: a C-MOVE's requester (title
// and message id), or none for a C-GET (the C-STORE goes back to it).
struct retrieveorigin {
    const char *aetitle; // null: no move originator fields
    Uint16 msgid;
    T_DIMSE_Priority priority;
};

// Most presentation contexts one association can carry (odd ids 1..255).
enum { RETRIEVE_MAX_CONTEXTS = 128 };

// Fills job (reset first) with the images identifier selects
// (archive_select), each file's SOP class and transfer syntax read.
// ARCHIVE_SELECTED, ARCHIVE_BAD_IDENTIFIER or ARCHIVE_INDEX_UNREADABLE
// (core/archive.h).
int retrieve_prepare(const archive_context *archive, DcmDataset *identifier, retrievejob *job);

// Plans the C-MOVE sub-associations: per SOP class one context proposing
// the uncompressed syntaxes (the stored one first) and one per compressed
// (or other non-native) syntax the class is stored in, proposing that
// syntax alone; the classes are packed into job->batches of at most 128
// contexts, and the images reordered (stably) by the batch of their class.
void retrieve_planBatches(retrievejob *job);

// Proposes the contexts of batch b on params (ids 1, 3, 5, ...): 0, or -1
// when the toolkit refused one (traced; the rest are still proposed).
int retrieve_proposeBatch(T_ASC_Parameters *params, const retrievejob *job, int b);

// Results of retrieve_send.
enum {
    RETRIEVE_SENT = 0,      // a response came (counted by its status)
    RETRIEVE_NOT_SENT = 1,  // counted failed before anything went out
    RETRIEVE_LINK_LOST = 2, // the C-STORE failed on the network: the association is unusable
    RETRIEVE_SILENT = 3,    // no response within the inactivity budget (or a stop came):
                            // the association is unusable, and its peer not worth another try
};

// Sends image item over assoc with C-STORE and counts the outcome in job.
// The context chosen for its SOP class is one accepted in the file's own
// syntax (the file's bytes then go out as they are), else one in an
// uncompressed syntax, into which the image is decoded (JPEG family,
// JPEG-LS, RLE); no such context, an image no codec can decode, or an
// unreadable file counts as failed. cancel (may be null) notes a C-CANCEL
// that arrives while the response is awaited (C-GET). One of the results
// above.
int retrieve_send(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                  const retrieveorigin &origin, T_DIMSE_DetectedCancelParameters *cancel);

// retrieve_send in two halves, so that other work can be done while the
// peer stores. retrieve_request sends the request: RETRIEVE_SENT when it
// went out (*pcId and *msgId then name it, and retrieve_response must
// follow before anything else goes out on assoc), else RETRIEVE_NOT_SENT or
// RETRIEVE_LINK_LOST (counted failed).
int retrieve_request(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                     const retrieveorigin &origin, T_ASC_PresentationContextID *pcId,
                     Uint16 *msgId);
// Awaits the response to that request and counts it: RETRIEVE_SENT,
// RETRIEVE_LINK_LOST, or RETRIEVE_SILENT when the peer sent nothing for the
// inactivity budget (-I) or a stop was requested (counted failed).
int retrieve_response(retrievejob *job, const retrieveitem &item, T_ASC_Association *assoc,
                      T_ASC_PresentationContextID pcId, Uint16 msgId,
                      T_DIMSE_DetectedCancelParameters *cancel);

// 1 when assoc has a context on which item can be sent (a readable file
// whose class the peer accepted in its syntax or an uncompressed one).
int retrieve_sendable(const retrieveitem &item, T_ASC_Association *assoc);

// Counts item as failed without sending it (its association could not be
// had).
void retrieve_countFailed(retrievejob *job, const retrieveitem &item);

// The sub-operations not yet done, at most 0xFFFF.
Uint16 retrieve_remaining(const retrievejob *job);

// The final status of a retrieve whose sub-operations are all done: success
// when none failed or warned; when every one of them failed, the refusal
// 0xA702 (unable to perform sub-operations: the requester got nothing);
// else the warning 0xB000 (some failed or warned).
Uint16 retrieve_finalStatus(const retrievejob *job);

// A final response identifier listing the failed SOP instance UIDs
// (0008,0058), or null when none failed. The caller deletes it.
DcmDataset *retrieve_failedList(const retrievejob *job);

#endif
