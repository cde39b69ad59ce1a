// The dicomnet layer: the program's own thin layer over the DICOM toolkit.
// Network and association set-up with the program's network policy,
// presentation contexts, DIMSE provider and user operations, specific
// character set conversion, dataset element helpers, and the layer's own
// debug trace. Every function is a free function with the prefix dicomnet_
// (its constants DICOMNET_); nothing is thrown, and nothing here starts a
// thread or takes a lock.
#ifndef VELTO_DICOMNET_DICOMNET_H
#define VELTO_DICOMNET_DICOMNET_H

#include "dcmtk/config/osconfig.h"

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dctagkey.h"
#include "dcmtk/dcmnet/assoc.h"
#include "dcmtk/dcmnet/dimse.h"
#include "dcmtk/ofstd/ofcond.h"

// ---------------------------------------------------------------------------
// Debug trace: a diagnostic channel of its own, separate from the server log.
// A line is written only while a sink is open and the mask has the line's
// severity bit. Off by default; storeserver opens no sink.

enum {
    DICOMNET_TRACE_CHANNEL = 11, // the trace channel number
    DICOMNET_TRACE_DEBUG = 0x80, // severity "Debug": failures
    DICOMNET_TRACE_JUNK = 0x100, // severity "Junk": notes
};
#define DICOMNET_TRACE_NAME "DICOM" // the trace channel's name

// Opens the trace: lines whose severity bit is in mask go to sink (borrowed,
// not closed by the layer; null closes the trace). Replaces an earlier sink.
void dicomnet_trace_open(FILE *sink, unsigned mask);
// Closes the trace; no line is written afterwards.
void dicomnet_trace_close(void);
// Non-zero when a line of this severity would be written now.
int dicomnet_trace_enabled(unsigned severity);
// Writes one printf-style line "DICOM(11) <Debug|Junk>: <text>" when enabled.
void dicomnet_trace(unsigned severity, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Silences the toolkit's own console logging (oflog) so that it writes
// nothing to stderr or the server log in normal operation. Call once at
// start-up, before the network is opened. Idempotent.
void dicomnet_quiet_toolkit_log(void);

// ---------------------------------------------------------------------------
// Network, association parameters and presentation contexts.
// Both network openers install the layer's TCP transport: Nagle's algorithm
// is off on every DICOM connection (accepted and requested), and after each
// read the connection asks the kernel for an immediate ACK (TCP_QUICKACK),
// so a peer that leaves Nagle on is served without delayed-ACK stalls.
// Reads are buffered and a P-DATA PDU's header goes out with its value.

// 1 when the association's connection has data to read within ms
// milliseconds (data already buffered counts), 0 when not, -1 when the
// association has no connection of this layer's transport.
int dicomnet_transport_waitReadable(T_ASC_Association *assoc, int ms);

// Hands fd to the layer's transport, which closes it as soon as it makes
// its next connection (an accepted or a requested one), before anything is
// read from it; -1 closes a descriptor handed over earlier and not yet
// closed. A listener that forks before its worker accepts learns from the
// end of file on a pipe that the worker has taken the connection.
void dicomnet_transport_close_on_connection(int fd);

// Checks a connection the toolkit has just accepted, before anything is
// read from it: fd is its socket. Returns 0 to go on, with the peer's
// address to be answered for it (dicomnet_peer_address) in peer ("" for
// the socket's own), or non-zero to drop it (the toolkit's receive then
// fails, and the socket is closed).
typedef int (*dicomnet_accept_check)(int fd, char *peer, size_t peerSize);
// Installs check for the next connection the transport makes (null: none);
// it is taken off when it runs. Set it right before the receive of an
// association, and null after it, as the next connection may be one this
// process requests.
void dicomnet_transport_check_next_accept(dicomnet_accept_check check);

// Waits up to ms milliseconds for the start of the association's next
// message: 1 when it has begun to arrive (bytes buffered in the connection
// or PDVs left in the last PDU count), 0 when not (or a signal cut the wait
// short), -1 when the association has no connection of this layer's
// transport. Reads nothing, so a message that arrives in pieces is then read
// whole by a blocking receive.
int dicomnet_assoc_waitMessage(T_ASC_Association *assoc, int ms);

// Stops reading from the association's connection: what the peer sends is
// no longer waited for, so an abort that follows (which waits for the peer
// to close) ends at once even with a peer that never answers. 0, or -1
// when the association has no connection of this layer's transport.
int dicomnet_transport_stop_reading(T_ASC_Association *assoc);

// Installs the process's stop test: the layer's long waits (for a message,
// for a response) look at it every second and end early while it returns
// non-zero. Null: none.
void dicomnet_set_stop_check(int (*stopping)(void));
// The stop test's answer (0 without one).
int dicomnet_stopping(void);

// 1 when the association runs over TLS, else 0.
int dicomnet_transport_secure(T_ASC_Association *assoc);

// on non-zero: what the association writes from now on is gathered and
// leaves in as few segments as possible: when it is called with 0, before
// the connection next reads (so a request always leaves before its answer
// is awaited), and whenever 64 KiB are waiting. 0, -1 when the gathered
// bytes could not be sent or the association has no connection of this
// layer's transport.
int dicomnet_transport_cork(T_ASC_Association *assoc, int on);

// ---------------------------------------------------------------------------
// DICOM over TLS (DCMTK's dcmtls over OpenSSL, BCP 195 cipher suites). Set
// up once before the networks are opened: every network opened afterwards
// can then accept and request TLS connections beside plain ones.

// How peers that call in must show a certificate.
enum {
    DICOMNET_TLS_CLIENT_IGNORE = 0,  // none is asked for
    DICOMNET_TLS_CLIENT_VERIFY = 1,  // one is asked for and, if given, verified
    DICOMNET_TLS_CLIENT_REQUIRE = 2, // one is required and verified
};

// This program's certificate and key, the certificates it trusts, and what
// it asks of calling peers. The strings are only read by dicomnet_tls_init.
struct dicomnet_tls_settings {
    const char *certificate;         // PEM file: own certificate (chain)
    const char *privateKey;          // PEM file: its unencrypted private key
    const char *const *trustedFiles; // PEM files of trusted (CA) certificates
    int trustedFileCount;
    const char *trustedDir; // directory of hashed trusted certificates, or null
    int clientCertificates; // DICOMNET_TLS_CLIENT_*
};

// Sets up TLS with settings (replacing an earlier set-up). 0, or -1 with a
// one-line reason in error (TLS then stays off).
int dicomnet_tls_init(const dicomnet_tls_settings *settings, char *error, size_t errorSize);
// Drops the TLS set-up; call only after every network is dropped.
void dicomnet_tls_exit(void);
// 1 when TLS is set up.
int dicomnet_tls_enabled(void);

// Decides whether an association to a peer (called AE title, "host:port")
// is requested over TLS: non-zero for TLS.
typedef int (*dicomnet_tls_peer_fn)(const char *calledAET, const char *peerAddress);
// Installs the program's peer policy (null: no peer is called over TLS).
// dicomnet_params_init asks it for every association it prepares, so every
// requester of the program gets TLS where the policy says so.
void dicomnet_tls_set_peer_policy(dicomnet_tls_peer_fn policy);
// The policy's answer for a peer; 0 without a policy.
int dicomnet_tls_peer_wanted(const char *calledAET, const char *peerAddress);

// Writes the numeric address of the association's peer ("10.0.0.7",
// "::1"; an IPv4 peer on an IPv6 socket as IPv4) into out: the address the
// accept check named for the connection (the client behind a trusted
// proxy), else the socket's peer. 0, or -1 (out
// then "") when the association has no connected socket.
int dicomnet_peer_address(T_ASC_Association *assoc, char *out, size_t size);

enum { DICOMNET_STD_TS_COUNT = 33 }; // entries of the standard TS list

// The standard transfer syntax list for this host's byte order, in order of
// preference (static storage); count receives 33.
const char *const *dicomnet_get_STD_TS(int &count);

// Sets the toolkit's connection timeout to 10 s and opens a listening
// network on port (acceptor timeout 20 s); bothRoles non-zero also allows
// requesting associations through it. New network, or null (traced).
T_ASC_Network *dicomnet_net_init_listen(int port, int bothRoles);
// Opens a requesting-only network with the given timeout. New network or null.
T_ASC_Network *dicomnet_net_init(int timeout);
// Waits up to seconds for a connection request on any of the count
// listening networks. The index of one that has a request waiting, or -1.
int dicomnet_net_wait(T_ASC_Network *const networks[], int count, int seconds);
// Drops the network (the caller's pointer is not cleared). 0 ok, 1 failure.
int dicomnet_net_exit(T_ASC_Network *network);

// New association parameters. Null calling title -> "DCMTK_LIB", null called
// title -> "ANY-SCP", null local host -> gethostname(); local host and peer
// address ("host:port", required) are cut to 128 characters. The
// association goes over TLS when secure is set or the peer policy
// (dicomnet_tls_set_peer_policy) asks for it. Null on failure.
T_ASC_Parameters *dicomnet_params_init(const char *callingAET, const char *localHost,
                                       const char *calledAET, const char *peerAddress, bool secure,
                                       unsigned long maxReceivePDU);
// Proposes one context (id used as one byte) for abstractSyntax with all 30
// standard transfer syntaxes. Toolkit condition, unchanged.
OFCondition dicomnet_params_add_std_PC(T_ASC_Parameters *params, unsigned long pcId,
                                       const char *abstractSyntax);
// Accepts every proposed context whose abstract syntax is in the array with
// the first standard transfer syntax the peer proposed; others are refused
// unless an earlier call accepted them. Toolkit condition.
OFCondition dicomnet_params_accept_std_PCs(T_ASC_Parameters *params,
                                           const char *const abstractSyntaxes[], int count);
// The same for one abstract syntax.
OFCondition dicomnet_params_accept_std_PC(T_ASC_Parameters *params, const char *abstractSyntax);
// Answers the peer's SOP class extended negotiation for the query classes
// given: combined date and time matching (the second byte) is granted where
// asked for, relational queries and the rest are not. Other classes get no
// answer.
void dicomnet_params_accept_query_extneg(T_ASC_Parameters *params, const char *const sopClasses[],
                                         int count);
// Non-zero when combined date and time matching was granted for sopClass on
// this association.
int dicomnet_assoc_combined_datetime(T_ASC_Association *assoc, const char *sopClass);
// Accepts contexts of SOP classes the toolkit does not know that propose
// transferSyntax; refuses every other context not accepted yet (reason 4
// unknown / earlier 4, reason 3 known). EC_Normal or the first bad condition.
OFCondition dicomnet_params_accept_unknown_PC(T_ASC_Parameters *params, const char *transferSyntax,
                                              T_ASC_SC_ROLE role);
// The above for each transfer syntax from the last to the first, so each
// unknown context ends with the earliest array entry it proposed.
OFCondition dicomnet_params_accept_unknown_PCs(T_ASC_Parameters *params,
                                               const char *const transferSyntaxes[], int count,
                                               T_ASC_SC_ROLE role);

// Requests an association; *assoc receives the toolkit's association, which
// belongs to the caller in every outcome (end it with dicomnet_dissociate).
// 0 accepted, -1 rejected, -2 other failure, -3 no acceptable context.
// The accepted contexts are given stand-ins as dicomnet_assoc_stand_in does.
int dicomnet_associate(T_ASC_Association **assoc, T_ASC_Network *network, T_ASC_Parameters *params);

// The toolkit's message layer refuses every message on a context whose
// accepted transfer syntax it does not know, even though commands are
// always Implicit VR Little Endian: the HTJ2K syntaxes (.201 to .203),
// which this archive stores as sent and decodes itself. Once an
// association is negotiated (after its acknowledgement, or on the
// requesting side after its acceptance) each context accepted in one of
// them gets a stand-in the toolkit knows (JPEG 2000) in the list that the
// message layer reads (that of ASC_findAcceptedPresentationContext and
// ASC_getPresentationContext); the answered list keeps the syntax agreed
// with the peer, which the two functions below give back. The stand-in
// never reaches the peer, and never writes a data set: the archive sends
// such images only as their stored bytes. Returns the number of contexts
// given a stand-in.
int dicomnet_assoc_stand_in(T_ASC_Association *assoc);

// ASC_findAcceptedPresentationContext with the transfer syntax agreed with
// the peer (not a stand-in): what a handler of the context's messages
// reads.
OFCondition dicomnet_find_accepted_context(T_ASC_Association *assoc, T_ASC_PresentationContextID id,
                                           T_ASC_PresentationContext *pc);
// ASC_getPresentationContext (by list position) likewise.
OFCondition dicomnet_get_context(T_ASC_Association *assoc, int position,
                                 T_ASC_PresentationContext *pc);

// Ends *assoc according to reason: EC_Normal releases, DUL_PEERABORTEDASSOCIATION
// only destroys, anything else aborts; then destroys (clears *assoc).
// 0 done, -1 release failed, -2 abort failed, -3 destroy failed. After -1
// and -2 the association has been aborted and destroyed all the same.
int dicomnet_dissociate(T_ASC_Association **assoc, OFCondition reason);

// ---------------------------------------------------------------------------
// DIMSE provider operations: answer one received request completely.
// Callback types are the toolkit's; the callback data is passed through.

// C-STORE handler: (data, progress, request, imageFileName (always null),
// in/out dataset, response to fill, out status detail). The dataset lives
// only for the duration of dicomnet_SCP_store.
typedef DIMSE_StoreProviderCallback dicomnet_SCP_store_callback;
// C-FIND handler: (data, cancelled, request, request identifiers, response
// count (1 first), response to fill, out response identifiers, out detail).
// Called again while it leaves a pending status (0xFF00/0xFF01).
typedef DIMSE_FindProviderCallback dicomnet_SCP_find_callback;
// C-MOVE handler: (data, cancelled, request, request identifiers, response
// count, response to fill (sub-operation counts), out identifiers, out detail).
typedef DIMSE_MoveProviderCallback dicomnet_SCP_move_callback;
// C-GET handler: (data, cancelled, request, request identifiers, response
// count, response to fill, out detail, out identifiers); the C-STORE
// sub-operations go over the same association, from the callback.
typedef DIMSE_GetProviderCallback dicomnet_SCP_get_callback;

// Sends the C-ECHO response with status success. Toolkit condition.
OFCondition dicomnet_SCP_echo(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId);
// Where the data set of a received C-STORE goes as its bytes arrive: the
// network layer hands each piece down to the sink (inflated when the data
// set is deflated) and never parses or keeps the data set itself. The
// receiver behind it (the archive core's receive, core/receive.h) walks the
// bytes before anything reads them, and writes or parses them as it
// decides, so that a data set built to exhaust a parser (too large, nested
// too deep) never reaches one.
class dicomnet_store_sink
{
public:
    virtual ~dicomnet_store_sink() = default;
    // The most the data set may take, inflated when deflated (0: no limit).
    // Beyond it the data set is refused with 0xA700 (Out of Resources).
    virtual uint64_t maxBytes() const = 0;
    // Each piece of the data set in order; last is set with the end (n may
    // then be 0). 0 to go on, or the status that refuses the data set (the
    // rest of it is then not read).
    virtual Uint16 take(const unsigned char *bytes, size_t n, bool last) = 0;
};

// Receives the C-STORE data set and calls cb once at its end; cb's response
// status goes to the peer. The data set is inflated here when deflated (as
// a stream, never beyond sink->maxBytes()). With a sink, each piece goes to
// it and is dropped here: cb gets *imageDataSet null and takes what it
// needs from the sink. Without one (sink null: no limit, no inspection)
// the data set is parsed into memory and handed to cb, which must not keep
// it. A command whose SOP class is not its context's abstract syntax is
// answered 0x0122 (SOP Class not Supported) with its data set read and
// dropped unparsed, and the association goes on. A data set refused by the
// sink (or found damaged by the toolkit) is answered with the refusal
// status without calling cb, and DICOMNET_EC_STORE_REFUSED is returned:
// the rest of it is not read, so the caller must end (abort) the
// association.
OFCondition dicomnet_SCP_store(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                               T_ASC_PresentationContextID pcId, dicomnet_SCP_store_callback cb,
                               void *cbData, dicomnet_store_sink *sink = nullptr);
// Encodes the command set of a C-STORE response that carries only its
// status and the two affected UIDs (the case of every response this layer
// sends): Implicit VR Little Endian, group length first, each UID padded
// with a NUL to even length, as the toolkit encodes it. Returns the length
// written to out (cap bytes), or 0 when it does not fit or the response
// carries anything else (then the toolkit's encoder must be used).
size_t dicomnet_encode_store_response(const T_DIMSE_C_StoreRSP *rsp, unsigned char *out,
                                      size_t cap);
// The condition of a data set refused while it was being received.
extern const OFConditionConst DICOMNET_EC_STORE_REFUSED;
// Status of a C-STORE refused because the data set is too large or nested
// too deep (Refused: Out of Resources) and because it cannot be parsed
// (Error: Cannot understand).
enum { DICOMNET_STATUS_OUT_OF_RESOURCES = 0xA700, DICOMNET_STATUS_CANNOT_UNDERSTAND = 0xC000 };

// What a request's data set (a C-FIND, C-MOVE or C-GET identifier, an
// N-ACTION's information) may be. Its bytes are walked as they arrive
// (dicomnet/elementwalk.h), before the toolkit's parser sees any of them: the
// parser recurses for each level of nesting (some thousands overflow its
// stack) and keeps some hundred bytes for every element and item, however
// small its encoding, so the limits bound what parsing it can cost.
struct dicomnet_dataset_limits {
    uint64_t maxBytes; // inflated, and every length claimed in it (0: no limit)
    int maxDepth;      // sequences within sequences
    long maxItems;     // sequence items in all (0: no limit)
    long maxElements;  // elements in all, at every level (0: no limit)
};
// Why a data set was refused: the walk's ELEMENTWALK_* verdict (the
// toolkit's parser failing on bytes the walk passed counts as
// ELEMENTWALK_DAMAGED) and the byte of the data set where it was found.
struct dicomnet_refusal {
    int reason;
    uint64_t at;
};
// Receives the data set that follows a command on context pcId into
// *dataset (the caller's to delete), within limits. EC_Normal with *dataset
// set; EC_Normal with *dataset null and refusal->reason set when the walk
// refused it (its rest is then left unread: the caller answers and must end
// the association); a bad condition when the network failed or the data came
// on another context. A deflated data set is inflated as it arrives.
OFCondition dicomnet_receive_dataset(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                     const dicomnet_dataset_limits &limits, DcmDataset **dataset,
                                     dicomnet_refusal *refusal);
// Whether a refusal (dicomnet_refusal reason) is for the resources the data set
// would take (too large, deep or many: "Out of Resources") rather than for
// an encoding that does not hold together ("Cannot understand").
bool dicomnet_refusal_for_resources(int reason);
// Whether the dictionary makes (group,element) a sequence: what the toolkit
// reads an element of defined length as in Implicit VR, and so what the walk
// of such a data set must follow (elementwalk isSequence).
bool dicomnet_dictionary_sequence(unsigned group, unsigned element);
// The condition of a request whose data set was refused: the refusal was
// answered, and the rest of the data set is unread (end the association).
extern const OFConditionConst DICOMNET_EC_DATASET_REFUSED;

// The C-FIND, C-MOVE and C-GET exchanges: the identifier is received within
// limits (dicomnet_receive_dataset); a refused one is answered with "Refused:
// Out of Resources" (A700H for C-FIND, A701H for C-MOVE and C-GET) when it
// is too large, nested too deep or holds too many elements or items, and
// with "Unable to process" (C000H) when it does not hold together, and the
// refusal goes to *refusal with DICOMNET_EC_DATASET_REFUSED returned. Otherwise
// cb is called once per response until a final status, a C-CANCEL on the
// way passed to it. Toolkit condition.
OFCondition dicomnet_SCP_find(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId, dicomnet_SCP_find_callback cb,
                              void *cbData, const dicomnet_dataset_limits &limits,
                              dicomnet_refusal *refusal);
OFCondition dicomnet_SCP_move(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId, dicomnet_SCP_move_callback cb,
                              void *cbData, const dicomnet_dataset_limits &limits,
                              dicomnet_refusal *refusal);
OFCondition dicomnet_SCP_get(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                             T_ASC_PresentationContextID pcId, dicomnet_SCP_get_callback cb,
                             void *cbData, const dicomnet_dataset_limits &limits,
                             dicomnet_refusal *refusal);

// ---------------------------------------------------------------------------
// DIMSE user operations on an association the program opened itself. Each
// takes the association's next message id (advancing it even on failure),
// blocks without timeout, and leaves the datasets with the caller.

// What the find and move callbacks receive as their first argument: the
// caller's data sits in the first field.
struct dicomnet_SCU_callback_record {
    const void *callerData;           // the caller's data pointer
    T_ASC_Association *assoc;         // the association of the operation
    T_ASC_PresentationContextID pcId; // the context the request went on
};

// C-FIND user callback: (record, request, response count, pending response,
// response identifiers); called once per pending response.
typedef DIMSE_FindUserCallback dicomnet_SCU_find_callback;
// C-MOVE user callback: (record, request, response count, pending response).
typedef DIMSE_MoveUserCallback dicomnet_SCU_move_callback;

// C-ECHO. The response status is not examined. Toolkit condition.
OFCondition dicomnet_SCU_echo(T_ASC_Association *assoc);
// C-FIND. DIMSE_NOVALIDPRESENTATIONCONTEXTID without an accepted context;
// final status 0/0xFE00/pending -> EC_Normal, 0xA700 -> DIMSE_OUTOFRESOURCES,
// any other -> DIMSE_BADDATA; network failures unchanged.
OFCondition dicomnet_SCU_find(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                              dicomnet_SCU_find_callback cb, const void *callerData);
// C-MOVE to moveDestination. The final status is traced, not mapped.
OFCondition dicomnet_SCU_move(T_ASC_Association *assoc, const char *sopClass, DcmDataset *query,
                              const char *moveDestination, dicomnet_SCU_move_callback cb,
                              const void *callerData);
// The same, with the final response (its status and sub-operation counts)
// copied to *final when not null.
OFCondition dicomnet_SCU_moveFinal(T_ASC_Association *assoc, const char *sopClass,
                                   DcmDataset *query, const char *moveDestination,
                                   dicomnet_SCU_move_callback cb, const void *callerData,
                                   T_DIMSE_C_MoveRSP *final);
// C-STORE of dataset. DIMSE_BADDATA without SOP class/instance UID. The
// response status is not examined.
OFCondition dicomnet_SCU_store(T_ASC_Association *assoc, DcmDataset *dataset);

// The two halves of a C-STORE, on any association (also an accepted one:
// C-GET sends its sub-operations back on it), with the caller's message id
// and fields (request's classes, priority and move originator fields as
// opts say). Between them the caller may do other work, such as answering
// on another association, while the peer stores.
//
// Sends the request with a data set already encoded in the transfer syntax
// of context pcId: the length bytes at data (a stored file's bytes after its
// meta header) go out unchanged, in the same segment as the command where
// they fit, which saves decoding and encoding them. DIMSE_BADDATA for an
// empty or odd-length data set; otherwise the toolkit's condition.
OFCondition dicomnet_SCU_store_send_encoded(T_ASC_Association *assoc,
                                            T_ASC_PresentationContextID pcId,
                                            const T_DIMSE_C_StoreRQ *request, const void *data,
                                            size_t length);

// The same with a data set that comes in pieces, each sent as it comes (a
// multi-frame image decoded one frame at a time is never held whole):
// next puts the next piece in *piece (an even number of bytes) and returns
// 1, or returns 0 after the last piece, or -1 when the data set cannot be
// made (then DIMSE_BADDATA; the peer has part of a data set, and the
// caller must abort the association).
typedef int (*dicomnet_store_source)(void *data, std::string *piece);
OFCondition dicomnet_SCU_store_send_pieces(T_ASC_Association *assoc,
                                           T_ASC_PresentationContextID pcId,
                                           const T_DIMSE_C_StoreRQ *request,
                                           dicomnet_store_source next, void *data);
// Waits for the response to the C-STORE request messageId like
// DIMSE_storeUser: *response, and *statusDetail (null or the caller's to
// delete); a C-CANCEL that arrives first is noted in cancel (may be null:
// then it is an unexpected message). A peer that sends nothing for
// silentSeconds (0: no bound), or a stop (dicomnet_set_stop_check), ends the
// wait with DIMSE_NODATAAVAILABLE. Toolkit condition.
OFCondition dicomnet_SCU_store_response(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                                        Uint16 messageId, T_DIMSE_C_StoreRSP *response,
                                        DcmDataset **statusDetail,
                                        T_DIMSE_DetectedCancelParameters *cancel,
                                        int silentSeconds = 0);

// ---------------------------------------------------------------------------
// Specific character set conversion.

// Converts text (in the character sets that specificCharacterSet names,
// values separated by "\"; several values: ISO 2022 code extensions) to
// targetEncoding; personName non-zero also returns to the initial character
// sets at "=" and "^". Every defined term of single-byte and multi-byte
// sets, with and without code extensions, GB18030 and GBK. Bytes that do
// not decode are kept as the ISO 8859-1 characters of their values and
// unknown escape sequences as their characters (dicomnet_convertSCS_lossy then
// tells). Result: a 2048-byte buffer of the calling thread (overwritten by
// the thread's next call; copy it), cut at a whole character; null when text is null or the
// platform cannot convert to targetEncoding.
const char *dicomnet_convertSCS(const char *text, const char *specificCharacterSet, int personName,
                                const char *targetEncoding);
// Non-zero when the thread's last dicomnet_convertSCS had to keep something undecoded
// (bytes, an escape sequence, an unknown character set term).
int dicomnet_convertSCS_lossy(void);

// ---------------------------------------------------------------------------
// Dataset element helpers. Returned strings and arrays belong to the
// dataset and are valid while the element is neither changed nor removed.

// The top-level element tag of item, or null. A walk of the item's elements:
// the toolkit's search builds a stack on the heap for every lookup, which
// made the lookups for one stored image's index records cost about as much
// as parsing the image's head.
DcmElement *dicomnet_findElement(DcmItem *item, const DcmTagKey &tag);
// The element's value string (no search into sequences); null when absent,
// not a string element, or present but empty.
const char *dicomnet_getTagString(DcmItem *item, const DcmTagKey &tag);
// Adds (or replaces) element (group,element) with value (null/empty leaves it
// empty) and VR name vr ("LO", ...; null: from the data dictionary).
// 0 added; -1 no dataset; -2 invalid tag; -3 element not created;
// -4 value not accepted; -5 not inserted.
int dicomnet_Key_AddVR(DcmDataset *dataset, int group, int element, const char *value,
                       const char *vr);
// dicomnet_Key_AddVR with the dictionary's VR.
int dicomnet_Key_Add(DcmDataset *dataset, int group, int element, const char *value);
// The element's 16-bit words, or null; *length (if given) receives the value
// length in bytes.
Uint16 *dicomnet_getUnit16Field(DcmItem *item, const DcmTagKey &tag, int *length);
// The element's bytes, or null; *length (if given) receives the length.
Uint8 *dicomnet_getUnit8Field(DcmItem *item, const DcmTagKey &tag, int *length);
// A new, empty dataset on the heap; the caller deletes it.
DcmDataset *dicomnet_Dataset_Create(void);

#endif
