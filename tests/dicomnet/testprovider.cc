// The tests' provider: negotiates like the server (verification, storage,
// query/retrieve, unknown SOP classes) and answers with dicomnet_SCP_*.
// Find and move answers are steered by the query's PatientID: "N<k>" gives
// k pending responses then success; four hex digits give that final status
// at once.
#include "testprovider.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dicomnet/elementwalk.h"

static void report(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void report(int fd, const char *fmt, ...)
{
    if (fd < 0)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof(line) - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n > (int)sizeof(line) - 2)
        n = (int)sizeof(line) - 2;
    line[n++] = '\n';
    ssize_t w = write(fd, line, (size_t)n);
    (void)w;
}

struct provider_state {
    int reportFd;
    int pending;  // pending responses still to send
    Uint16 final; // final status
    int count;    // pending responses sent
};

// Decodes the PatientID steering value of a query.
static void steer(provider_state *st, DcmDataset *query)
{
    const char *id = dicomnet_getTagString(query, DCM_PatientID);
    st->pending = 0;
    st->final = STATUS_Success;
    st->count = 0;
    if (id == nullptr)
        return;
    if (id[0] == 'N')
        st->pending = atoi(id + 1);
    else if (strlen(id) == 4 && strspn(id, "0123456789ABCDEF") == 4)
        st->final = (Uint16)strtoul(id, nullptr, 16);
}

static void store_cb(void *data, T_DIMSE_StoreProgress *progress, T_DIMSE_C_StoreRQ *, char *,
                     DcmDataset **dataset, T_DIMSE_C_StoreRSP *response, DcmDataset **)
{
    provider_state *st = (provider_state *)data;
    if (progress->state != DIMSE_StoreEnd)
        return;
    response->DimseStatus = STATUS_Success;
    if (dataset == nullptr || *dataset == nullptr) {
        response->DimseStatus = STATUS_STORE_Error_CannotUnderstand;
        return;
    }
    const char *uid = dicomnet_getTagString(*dataset, DCM_SOPInstanceUID);
    const char *name = dicomnet_getTagString(*dataset, DCM_PatientName);
    report(st->reportFd, "STORE %s %s", uid ? uid : "-", name ? name : "-");
}

static void find_cb(void *data, OFBool cancelled, T_DIMSE_C_FindRQ *, DcmDataset *query,
                    int responseCount, T_DIMSE_C_FindRSP *response, DcmDataset **identifiers,
                    DcmDataset **)
{
    provider_state *st = (provider_state *)data;
    if (responseCount == 1) {
        steer(st, query);
        report(st->reportFd, "FIND");
    }
    *identifiers = nullptr;
    if (cancelled) {
        response->DimseStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        return;
    }
    if (st->count < st->pending) {
        st->count++;
        DcmDataset *match = dicomnet_Dataset_Create();
        char id[32];
        snprintf(id, sizeof id, "M%d", st->count);
        dicomnet_Key_Add(match, 0x0010, 0x0020, id);
        dicomnet_Key_Add(match, 0x0008, 0x0052, "PATIENT");
        *identifiers = match; // the toolkit sends and deletes it
        response->DimseStatus = STATUS_Pending;
        return;
    }
    response->DimseStatus = st->final;
}

static void move_cb(void *data, OFBool cancelled, T_DIMSE_C_MoveRQ *request, DcmDataset *query,
                    int responseCount, T_DIMSE_C_MoveRSP *response, DcmDataset **, DcmDataset **)
{
    provider_state *st = (provider_state *)data;
    if (responseCount == 1) {
        steer(st, query);
        report(st->reportFd, "MOVE %s", request->MoveDestination);
    }
    if (cancelled) {
        response->DimseStatus = STATUS_MOVE_Cancel_SubOperationsTerminatedDueToCancelIndication;
        return;
    }
    response->NumberOfRemainingSubOperations = 0;
    response->NumberOfFailedSubOperations = 0;
    response->NumberOfWarningSubOperations = 0;
    if (st->count < st->pending) {
        st->count++;
        response->NumberOfCompletedSubOperations = (DIC_US)st->count;
        response->DimseStatus = STATUS_Pending;
        return;
    }
    response->NumberOfCompletedSubOperations = (DIC_US)st->count;
    response->DimseStatus = st->final;
}

static void negotiate(T_ASC_Association *assoc)
{
    static const char *qr[] = {UID_FINDPatientRootQueryRetrieveInformationModel,
                               UID_FINDStudyRootQueryRetrieveInformationModel,
                               UID_MOVEPatientRootQueryRetrieveInformationModel,
                               UID_MOVEStudyRootQueryRetrieveInformationModel};
    dicomnet_params_accept_std_PC(assoc->params, UID_VerificationSOPClass);
    dicomnet_params_accept_std_PCs(assoc->params, dcmAllStorageSOPClassUIDs,
                                   numberOfDcmAllStorageSOPClassUIDs);
    dicomnet_params_accept_std_PCs(assoc->params, qr, 4);
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    dicomnet_params_accept_unknown_PCs(assoc->params, ts, count, ASC_SC_ROLE_DEFAULT);
}

static void command_loop(T_ASC_Association *assoc, provider_state *st)
{
    for (;;) {
        T_DIMSE_Message msg;
        T_ASC_PresentationContextID pcId = 0;
        OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &pcId, &msg, nullptr);
        if (cond == DUL_PEERREQUESTEDRELEASE) {
            ASC_acknowledgeRelease(assoc);
            report(st->reportFd, "RELEASED");
            return;
        }
        if (cond == DUL_PEERABORTEDASSOCIATION) {
            report(st->reportFd, "ABORTED");
            return;
        }
        if (cond.bad()) {
            report(st->reportFd, "CMDFAIL");
            ASC_abortAssociation(assoc);
            return;
        }
        // The server's limits on an identifier.
        dicomnet_dataset_limits limits = {1 << 20, ELEMENTWALK_MAX_DEPTH, 1000, 10000};
        dicomnet_refusal refusal;
        switch (msg.CommandField) {
        case DIMSE_C_ECHO_RQ:
            report(st->reportFd, "ECHO");
            cond = dicomnet_SCP_echo(assoc, &msg, pcId);
            break;
        case DIMSE_C_STORE_RQ:
            cond = dicomnet_SCP_store(assoc, &msg, pcId, store_cb, st);
            break;
        case DIMSE_C_FIND_RQ:
            cond = dicomnet_SCP_find(assoc, &msg, pcId, find_cb, st, limits, &refusal);
            break;
        case DIMSE_C_MOVE_RQ:
            cond = dicomnet_SCP_move(assoc, &msg, pcId, move_cb, st, limits, &refusal);
            break;
        default:
            cond = DIMSE_BADCOMMANDTYPE;
            break;
        }
        if (cond.bad()) {
            report(st->reportFd, "OPFAIL");
            ASC_abortAssociation(assoc);
            return;
        }
    }
}

int testprovider_find_socket(int port, int local)
{
    for (int fd = 3; fd < 1024; fd++) {
        sockaddr_in mine, peer;
        socklen_t a = sizeof mine, b = sizeof peer;
        if (getsockname(fd, (sockaddr *)&mine, &a) != 0 ||
            getpeername(fd, (sockaddr *)&peer, &b) != 0)
            continue;
        if (mine.sin_family != AF_INET)
            continue;
        if (ntohs(local ? mine.sin_port : peer.sin_port) == port)
            return fd;
    }
    return -1;
}

int testprovider_serve_one(T_ASC_Network *net, int mode, int reportFd)
{
    provider_state st = {reportFd, 0, 0, 0};
    T_ASC_Association *assoc = nullptr;
    OFCondition cond = ASC_receiveAssociation(net, &assoc, ASC_DEFAULTMAXPDU);
    if (cond.bad()) {
        report(reportFd, "RECVFAIL");
        ASC_dropSCPAssociation(assoc);
        ASC_destroyAssociation(&assoc);
        return 1;
    }
    int fd = testprovider_find_socket(net->acceptorPort, 1);
    int nodelay = -1;
    socklen_t len = sizeof(nodelay);
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    report(reportFd, "NODELAY %d", nodelay);

    switch (mode) {
    case PROVIDER_REJECT: {
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED};
        ASC_rejectAssociation(assoc, &rej);
        report(reportFd, "REJECTED");
        break;
    }
    case PROVIDER_NO_CONTEXTS:
        dicomnet_params_accept_std_PC(assoc->params, "1.2.826.0.1.3680043.2.1545.98");
        ASC_acknowledgeAssociation(assoc);
        command_loop(assoc, &st);
        break;
    case PROVIDER_ABORT:
        negotiate(assoc);
        ASC_acknowledgeAssociation(assoc);
        ASC_abortAssociation(assoc);
        report(reportFd, "ABORTING");
        break;
    case PROVIDER_VANISH:
        negotiate(assoc);
        ASC_acknowledgeAssociation(assoc);
        // The connection goes away without release or abort.
        _exit(0);
    default:
        negotiate(assoc);
        ASC_acknowledgeAssociation(assoc);
        command_loop(assoc, &st);
        break;
    }
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    report(reportFd, "ENDED");
    return 0;
}
