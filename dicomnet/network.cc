// Network and association set-up: opening networks, association
// parameters, the standard transfer syntax list, acceptance and refusal of
// presentation contexts, requesting and ending associations.
#include "dicomnet/dicomnet.h"

#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/dul.h"
#include "dcmtk/dcmnet/extneg.h"
#include "dcmtk/dcmnet/lst.h"

#include "dicomnet/transport.h"

// The standard list in order of preference; the two arrays differ only in
// their first two entries, which put the host's own explicit byte order first.
// The HTJ2K syntaxes (.201 to .203) are unknown to the toolkit's own lists
// but stored as sent and decoded by codec/j2kcodec.h like JPEG 2000.
// The HTJ2K syntaxes (.201 to .203) are unknown to the toolkit's own lists
// but stored as sent and decoded by codec/j2kcodec.h like JPEG 2000.
#define STD_TS_TAIL                                                                                \
    "1.2.840.10008.1.2", "1.2.840.10008.1.2.5", "1.2.840.10008.1.2.1.99",                          \
        "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.92",              \
        "1.2.840.10008.1.2.4.93", "1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202",            \
        "1.2.840.10008.1.2.4.203", "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51",             \
        "1.2.840.10008.1.2.4.52", "1.2.840.10008.1.2.4.53", "1.2.840.10008.1.2.4.54",              \
        "1.2.840.10008.1.2.4.55", "1.2.840.10008.1.2.4.56", "1.2.840.10008.1.2.4.57",              \
        "1.2.840.10008.1.2.4.58", "1.2.840.10008.1.2.4.59", "1.2.840.10008.1.2.4.60",              \
        "1.2.840.10008.1.2.4.61", "1.2.840.10008.1.2.4.62", "1.2.840.10008.1.2.4.63",              \
        "1.2.840.10008.1.2.4.64", "1.2.840.10008.1.2.4.65", "1.2.840.10008.1.2.4.66",              \
        "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.81",              \
        "1.2.840.10008.1.2.4.100"

static const char *const std_ts_little[] = {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
                                            STD_TS_TAIL};
static const char *const std_ts_big[] = {"1.2.840.10008.1.2.2", "1.2.840.10008.1.2.1", STD_TS_TAIL};

static_assert(sizeof(std_ts_little) / sizeof(std_ts_little[0]) == DICOMNET_STD_TS_COUNT,
              "standard transfer syntax list has 33 entries");
static_assert(sizeof(std_ts_big) / sizeof(std_ts_big[0]) == DICOMNET_STD_TS_COUNT,
              "standard transfer syntax list has 33 entries");

enum { HOST_BUFFER_SIZE = 129 };

// The toolkit's list functions take non-const string arrays that they only read.
static const char **ts_array(const char *const *list)
{
    return const_cast<const char **>(list);
}

const char *const *dicomnet_get_STD_TS(int &count)
{
    count = DICOMNET_STD_TS_COUNT;
    return gLocalByteOrder == EBO_BigEndian ? std_ts_big : std_ts_little;
}

T_ASC_Network *dicomnet_net_init_listen(int port, int bothRoles)
{
    T_ASC_Network *network = nullptr;
    dcmConnectionTimeout.set(10);
    OFCondition cond = ASC_initializeNetwork(bothRoles ? NET_ACCEPTORREQUESTOR : NET_ACCEPTOR, port,
                                             20, &network, 0);
    if (cond.bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_net_init_listen: Failed.\n");
        return nullptr;
    }
    if (dicomnet_transport_install(network).bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_net_init_listen: default TCP transport kept.\n");
    return network;
}

T_ASC_Network *dicomnet_net_init(int timeout)
{
    T_ASC_Network *network = nullptr;
    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, timeout, &network, 0);
    if (cond.bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_net_init: Failed.\n");
        return nullptr;
    }
    if (dicomnet_transport_install(network).bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_net_init: default TCP transport kept.\n");
    return network;
}

int dicomnet_net_wait(T_ASC_Network *const networks[], int count, int seconds)
{
    struct pollfd fds[8];
    if (count <= 0 || count > (int)(sizeof(fds) / sizeof(fds[0])))
        return -1;
    for (int i = 0; i < count; i++) {
        fds[i].fd = (int)DUL_networkSocket(networks[i]->network);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    if (poll(fds, (nfds_t)count, seconds * 1000) <= 0)
        return -1;
    for (int i = 0; i < count; i++) {
        if (fds[i].revents != 0)
            return i;
    }
    return -1;
}

int dicomnet_net_exit(T_ASC_Network *network)
{
    T_ASC_Network *copy = network;
    if (ASC_dropNetwork(&copy).bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_net_exit: Failed.\n");
        return 1;
    }
    return 0;
}

T_ASC_Parameters *dicomnet_params_init(const char *callingAET, const char *localHost,
                                       const char *calledAET, const char *peerAddress, bool secure,
                                       unsigned long maxReceivePDU)
{
    char host[HOST_BUFFER_SIZE];
    char peer[HOST_BUFFER_SIZE];
    T_ASC_Parameters *params = nullptr;

    if (peerAddress == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_params_init: no peer address.\n");
        return nullptr;
    }
    if (callingAET == nullptr)
        callingAET = "DCMTK_LIB";
    if (calledAET == nullptr)
        calledAET = "ANY-SCP";
    if (localHost == nullptr) {
        if (gethostname(host, sizeof(host)) != 0)
            host[0] = '\0';
    } else {
        strncpy(host, localHost, sizeof(host));
    }
    host[HOST_BUFFER_SIZE - 1] = '\0';
    strncpy(peer, peerAddress, sizeof(peer));
    peer[HOST_BUFFER_SIZE - 1] = '\0';

    if (ASC_createAssociationParameters(&params, (long)maxReceivePDU).bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_params_init: Failed to create Assoc Parameters.\n");
        return nullptr;
    }
    ASC_setAPTitles(params, callingAET, calledAET, nullptr);
    secure = secure || dicomnet_tls_peer_wanted(calledAET, peerAddress);
    if (ASC_setTransportLayerType(params, secure).bad()) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_params_init: Failed to set transport layer type.\n");
        // Nobody else holds the parameters yet: free them, do not leak.
        ASC_destroyAssociationParameters(&params);
        return nullptr;
    }
    ASC_setPresentationAddresses(params, host, peer);
    return params;
}

OFCondition dicomnet_params_add_std_PC(T_ASC_Parameters *params, unsigned long pcId,
                                       const char *abstractSyntax)
{
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    OFCondition cond =
        ASC_addPresentationContext(params, (T_ASC_PresentationContextID)pcId, abstractSyntax,
                                   ts_array(ts), count, ASC_SC_ROLE_DEFAULT);
    if (cond.bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_params_add_std_PC: Failed for AS %s.\n",
                       abstractSyntax ? abstractSyntax : "(null)");
    return cond;
}

// The answer already given for context id, from the toolkit's list of
// answered contexts, or null.
static DUL_PRESENTATIONCONTEXT *find_answered_context(T_ASC_Parameters *params,
                                                      T_ASC_PresentationContextID id)
{
    LST_HEAD **list = &params->DULparams.acceptedPresentationContext;
    if (*list == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "findPresentationContextID: Head is NULL.\n");
        return nullptr;
    }
    DUL_PRESENTATIONCONTEXT *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list);
    if (pc != nullptr)
        (void)LST_Position(list, pc);
    while (pc != nullptr) {
        if (pc->presentationContextID == id)
            return pc;
        pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list);
    }
    return nullptr;
}

// One proposed context as the acceptance reads it.
struct proposal {
    DUL_PRESENTATIONCONTEXT *pc;
    std::vector<const char *> syntaxes;
};

// The proposed contexts of params in the order proposed, read once. The
// toolkit's own acceptance reads them through an accessor that walks the
// list from its start for each index and copies every proposed syntax, once
// per context, transfer syntax and call: for the hundred and more contexts
// that storescu proposes that took about 20 ms of every association. The
// pointers stay valid: acceptance changes only the list of answers.
static std::vector<proposal> read_proposals(T_ASC_Parameters *params)
{
    std::vector<proposal> out;
    LST_HEAD **list = &params->DULparams.requestedPresentationContext;
    if (*list == nullptr)
        return out;
    for (auto *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list); pc != nullptr;
         pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list)) {
        (void)LST_Position(list, pc);
        proposal one;
        one.pc = pc;
        LST_HEAD **ts = &pc->proposedTransferSyntax;
        if (*ts != nullptr)
            for (auto *t = (DUL_TRANSFERSYNTAX *)LST_Head(ts); t != nullptr;
                 t = (DUL_TRANSFERSYNTAX *)LST_Next(ts)) {
                (void)LST_Position(ts, t);
                one.syntaxes.push_back(t->transferSyntax);
            }
        out.push_back(one);
    }
    return out;
}

// Accepts each proposed context that wanted() takes with the first entry
// of transferSyntaxes that it proposes; refuses every other context not
// accepted yet: reason 4 (transfer syntaxes not supported) when wanted()
// took it or an earlier answer gave 4, else 3 (abstract syntax not
// supported). This is what the toolkit's acceptance with preferred
// transfer syntaxes leaves (one pass per syntax, the last first), done in
// one pass. Nothing is answered when the list of syntaxes is empty.
template <typename Wanted>
static OFCondition accept_in_one_pass(T_ASC_Parameters *params,
                                      const char *const transferSyntaxes[], int count,
                                      T_ASC_SC_ROLE role, Wanted wanted)
{
    if (params == nullptr)
        return ASC_NULLKEY;
    if (count <= 0)
        return EC_Normal;
    for (const proposal &p : read_proposals(params)) {
        bool taken = wanted(p.pc->abstractSyntax);
        const char *chosen = nullptr;
        for (int i = 0; taken && chosen == nullptr && i < count; i++)
            for (const char *t : p.syntaxes)
                if (transferSyntaxes[i] != nullptr && strcmp(t, transferSyntaxes[i]) == 0) {
                    chosen = transferSyntaxes[i];
                    break;
                }
        T_ASC_PresentationContextID id = p.pc->presentationContextID;
        OFCondition cond = EC_Normal;
        if (chosen != nullptr) {
            cond = ASC_acceptPresentationContext(params, id, chosen, role);
        } else {
            DUL_PRESENTATIONCONTEXT *answered = find_answered_context(params, id);
            if (answered != nullptr && answered->result == ASC_P_ACCEPTANCE)
                continue;
            T_ASC_P_ResultReason reason =
                taken ? ASC_P_TRANSFERSYNTAXESNOTSUPPORTED : ASC_P_ABSTRACTSYNTAXNOTSUPPORTED;
            if (answered != nullptr && answered->result == ASC_P_TRANSFERSYNTAXESNOTSUPPORTED)
                reason = ASC_P_TRANSFERSYNTAXESNOTSUPPORTED;
            cond = ASC_refusePresentationContext(params, id, reason);
        }
        if (cond.bad())
            return cond;
    }
    return EC_Normal;
}

OFCondition dicomnet_params_accept_std_PCs(T_ASC_Parameters *params,
                                           const char *const abstractSyntaxes[], int count)
{
    int tsCount = 0;
    const char *const *ts = dicomnet_get_STD_TS(tsCount);
    OFCondition cond =
        accept_in_one_pass(params, ts, tsCount, ASC_SC_ROLE_DEFAULT, [&](const char *as) {
            for (int i = 0; i < count; i++)
                if (abstractSyntaxes[i] != nullptr && strcmp(as, abstractSyntaxes[i]) == 0)
                    return true;
            return false;
        });
    if (cond.bad()) {
        const char *first = count > 0 && abstractSyntaxes[0] ? abstractSyntaxes[0] : "(none)";
        const char *last =
            count > 0 && abstractSyntaxes[count - 1] ? abstractSyntaxes[count - 1] : "(none)";
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_params_accept_std_PCs: Failed for AS %s .. %s.\n", first, last);
    }
    return cond;
}

OFCondition dicomnet_params_accept_std_PC(T_ASC_Parameters *params, const char *abstractSyntax)
{
    const char *one[1] = {abstractSyntax};
    return dicomnet_params_accept_std_PCs(params, one, 1);
}

// A SOP class the toolkit has no name for.
static bool unknown_class(const char *abstractSyntax)
{
    return dcmFindNameOfUID(abstractSyntax) == nullptr;
}

OFCondition dicomnet_params_accept_unknown_PC(T_ASC_Parameters *params, const char *transferSyntax,
                                              T_ASC_SC_ROLE role)
{
    if (transferSyntax == nullptr)
        return ASC_NULLKEY;
    const char *one[1] = {transferSyntax};
    OFCondition cond = accept_in_one_pass(params, one, 1, role, unknown_class);
    if (cond.bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_params_accept_unknown_PC: ASC_accept or ASC_refuse "
                       "does not work.\n");
    return cond;
}

OFCondition dicomnet_params_accept_unknown_PCs(T_ASC_Parameters *params,
                                               const char *const transferSyntaxes[], int count,
                                               T_ASC_SC_ROLE role)
{
    OFCondition cond = accept_in_one_pass(params, transferSyntaxes, count, role, unknown_class);
    if (cond.bad())
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_params_accept_unknown_PCs: bad status\n");
    return cond;
}

int dicomnet_associate(T_ASC_Association **assoc, T_ASC_Network *network, T_ASC_Parameters *params)
{
    if (assoc == nullptr) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_associate: other failure\n");
        return -2;
    }
    OFCondition cond = ASC_requestAssociation(network, params, assoc, nullptr, nullptr);
    if (cond.bad()) {
        if (cond == DUL_ASSOCIATIONREJECTED) {
            dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_associate: rejected\n");
            return -1;
        }
        dicomnet_trace(DICOMNET_TRACE_DEBUG, "dicomnet_associate: other failure\n");
        return -2;
    }
    if (ASC_countAcceptedPresentationContexts(params) == 0) {
        dicomnet_trace(DICOMNET_TRACE_DEBUG,
                       "dicomnet_associate: No Acceptable Presentation Contexts\n");
        return -3;
    }
    dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_associate: Association Accepted\n");
    dicomnet_assoc_stand_in(*assoc);
    return 0;
}

// The syntaxes the toolkit's message layer does not know, and the stand-in
// it is shown for each (see dicomnet_assoc_stand_in).
static const char *const unknown_ts[][2] = {
    {"1.2.840.10008.1.2.4.201", UID_JPEG2000LosslessOnlyTransferSyntax},
    {"1.2.840.10008.1.2.4.202", UID_JPEG2000LosslessOnlyTransferSyntax},
    {"1.2.840.10008.1.2.4.203", UID_JPEG2000TransferSyntax},
};

// The context with id in list, or null.
static DUL_PRESENTATIONCONTEXT *context_in(LST_HEAD **list, T_ASC_PresentationContextID id)
{
    if (*list == nullptr)
        return nullptr;
    DUL_PRESENTATIONCONTEXT *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list);
    if (pc != nullptr)
        (void)LST_Position(list, pc);
    for (; pc != nullptr; pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list)) {
        if (pc->presentationContextID == id)
            return pc;
    }
    return nullptr;
}

int dicomnet_assoc_stand_in(T_ASC_Association *assoc)
{
    if (assoc == nullptr || assoc->params == nullptr)
        return 0;
    // The toolkit reads the requested list (results and accepted syntaxes
    // copied in) for both; the answered list keeps the agreed syntax.
    LST_HEAD **list = &assoc->params->DULparams.requestedPresentationContext;
    if (*list == nullptr)
        return 0;
    int replaced = 0;
    DUL_PRESENTATIONCONTEXT *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list);
    if (pc != nullptr)
        (void)LST_Position(list, pc);
    for (; pc != nullptr; pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list)) {
        if (pc->result != ASC_P_ACCEPTANCE)
            continue;
        for (const auto &entry : unknown_ts) {
            if (strcmp(pc->acceptedTransferSyntax, entry[0]) == 0) {
                OFStandard::strlcpy(pc->acceptedTransferSyntax, entry[1],
                                    sizeof(pc->acceptedTransferSyntax));
                replaced++;
                break;
            }
        }
    }
    return replaced;
}

// pc's accepted syntax, when a stand-in, set back to the agreed one.
static void agreed_syntax(T_ASC_Association *assoc, T_ASC_PresentationContext *pc)
{
    DUL_PRESENTATIONCONTEXT *answered = context_in(
        &assoc->params->DULparams.acceptedPresentationContext, pc->presentationContextID);
    if (answered == nullptr || answered->result != ASC_P_ACCEPTANCE)
        return;
    for (const auto &entry : unknown_ts) {
        if (strcmp(answered->acceptedTransferSyntax, entry[0]) == 0 &&
            strcmp(pc->acceptedTransferSyntax, entry[1]) == 0) {
            OFStandard::strlcpy(pc->acceptedTransferSyntax, entry[0],
                                sizeof(pc->acceptedTransferSyntax));
            return;
        }
    }
}

OFCondition dicomnet_find_accepted_context(T_ASC_Association *assoc, T_ASC_PresentationContextID id,
                                           T_ASC_PresentationContext *pc)
{
    OFCondition cond = ASC_findAcceptedPresentationContext(assoc->params, id, pc);
    if (cond.good())
        agreed_syntax(assoc, pc);
    return cond;
}

OFCondition dicomnet_get_context(T_ASC_Association *assoc, int position,
                                 T_ASC_PresentationContext *pc)
{
    OFCondition cond = ASC_getPresentationContext(assoc->params, position, pc);
    if (cond.good())
        agreed_syntax(assoc, pc);
    return cond;
}

static int abort_association(T_ASC_Association **assoc)
{
    if (ASC_abortAssociation(*assoc).bad()) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_dissociate: Association abort failed.\n");
        // Nothing more can be said to the peer; free the association and
        // its socket anyway instead of leaking them with the -2.
        (void)ASC_destroyAssociation(assoc);
        return -2;
    }
    return 0;
}

static int destroy(T_ASC_Association **assoc)
{
    if (ASC_destroyAssociation(assoc).bad()) {
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_dissociate: destroy failure.\n");
        return -3;
    }
    return 0;
}

int dicomnet_dissociate(T_ASC_Association **assoc, OFCondition reason)
{
    if (assoc == nullptr)
        return -3;
    if (reason == EC_Normal) {
        if (ASC_releaseAssociation(*assoc).bad()) {
            dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_dissociate: release failed\n");
            // The release failed half-way: the association is unusable, and
            // left alone it would keep its socket and memory until the
            // process ends (a C-MOVE retry overwrites the caller's pointer).
            // Abort and free it, still reporting the failed release.
            if (*assoc != nullptr) {
                (void)ASC_abortAssociation(*assoc);
                (void)ASC_destroyAssociation(assoc);
            }
            return -1;
        }
        return destroy(assoc);
    }
    if (reason == DUL_PEERABORTEDASSOCIATION)
        return destroy(assoc);
    if (reason == DUL_PEERREQUESTEDRELEASE)
        dicomnet_trace(DICOMNET_TRACE_JUNK,
                       "dicomnet_dissociate: Protocol Error: peer requested release (Aborting)\n");
    else
        dicomnet_trace(DICOMNET_TRACE_JUNK, "dicomnet_dissociate: Other error.\n");
    int rc = abort_association(assoc);
    if (rc != 0)
        return rc;
    return destroy(assoc);
}

// Byte of the query classes' application information that asks for (and
// grants) combined date and time matching.
enum { EXTNEG_COMBINED_DATETIME = 1 };

static bool listedClass(const OFString &uid, const char *const classes[], int count)
{
    for (int i = 0; i < count; i++) {
        if (uid == classes[i])
            return true;
    }
    return false;
}

void dicomnet_params_accept_query_extneg(T_ASC_Parameters *params, const char *const sopClasses[],
                                         int count)
{
    SOPClassExtendedNegotiationSubItemList *asked = nullptr;
    ASC_getRequestedExtNegList(params, &asked);
    if (asked == nullptr)
        return;
    // The toolkit owns the answer list once it is set and frees it with the
    // association parameters (items and their application information).
    SOPClassExtendedNegotiationSubItemList *answer = new SOPClassExtendedNegotiationSubItemList;
    for (SOPClassExtendedNegotiationSubItem *item : *asked) {
        if (!listedClass(item->sopClassUID, sopClasses, count))
            continue;
        SOPClassExtendedNegotiationSubItem *a = new SOPClassExtendedNegotiationSubItem;
        a->sopClassUID = item->sopClassUID;
        a->sopClassUIDLength = (unsigned short)item->sopClassUID.length();
        a->serviceClassAppInfoLength = item->serviceClassAppInfoLength;
        a->serviceClassAppInfo = new unsigned char[a->serviceClassAppInfoLength + 1]();
        if (item->serviceClassAppInfoLength > EXTNEG_COMBINED_DATETIME)
            a->serviceClassAppInfo[EXTNEG_COMBINED_DATETIME] =
                item->serviceClassAppInfo[EXTNEG_COMBINED_DATETIME] == 1 ? 1 : 0;
        a->itemLength = (unsigned short)(2 + a->sopClassUIDLength + a->serviceClassAppInfoLength);
        answer->push_back(a);
    }
    if (answer->empty()) {
        delete answer;
        return;
    }
    ASC_setAcceptedExtNegList(params, answer);
}

int dicomnet_assoc_combined_datetime(T_ASC_Association *assoc, const char *sopClass)
{
    SOPClassExtendedNegotiationSubItemList *granted = nullptr;
    if (assoc == nullptr || sopClass == nullptr)
        return 0;
    ASC_getAcceptedExtNegList(assoc->params, &granted);
    if (granted == nullptr)
        return 0;
    for (SOPClassExtendedNegotiationSubItem *item : *granted) {
        if (item->sopClassUID == sopClass &&
            item->serviceClassAppInfoLength > EXTNEG_COMBINED_DATETIME &&
            item->serviceClassAppInfo[EXTNEG_COMBINED_DATETIME] == 1)
            return 1;
    }
    return 0;
}
