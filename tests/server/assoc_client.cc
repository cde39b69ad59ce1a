// velto_assoc_client: a small requesting peer for the server's integration
// tests, built on the program's own requesting-side network operations. It
// opens associations that the ordinary clients cannot: another application
// context, a private SOP class, C-GET, N-GET and C-CANCEL requests, and
// associations that are held open or left silent.
//
// Usage: velto_assoc_client HOST:PORT CALLING CALLED MODE [ARG]
//   echo N          N C-ECHOs, then release
//   appctx UID      request with application context UID, then release
//   private UID     propose UID and Verification; report UID's answer
//   cget | nget     send a C-GET-RQ / N-GET-RQ, then wait for the answer
//   cancel          C-ECHO, C-CANCEL-RQ, C-ECHO, then release
//   getcancel STUDY C-GET of a study (Secondary Capture images taken with
//                   the SCP role), C-CANCEL after the second image, C-ECHO
//   hold SECONDS    associate, wait, C-ECHO, release
//   silent          associate and send nothing until the peer closes
//   storeraw FILE   C-STORE of a Part 10 file's data set bytes as they are,
//                   in the file's transfer syntax (also one the toolkit does
//                   not know), then release; prints "STORE 0xNNNN"
// Every outcome is one line on stdout ("ASSOCIATED", "REJECTED r s 0xNNNN",
// "ECHO 0x0000", "ABORTED", "RELEASED", ...); the exit status is 0 unless the
// program could not run at all.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcmetinf.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dicomnet/dicomnet.h"

static void say(const char *fmt, const char *arg = "")
{
    printf(fmt, arg);
    printf("\n");
    fflush(stdout);
}

// Requests the association; prints ASSOCIATED or the rejection.
static int associate(T_ASC_Network *net, T_ASC_Parameters *params, T_ASC_Association **assoc)
{
    int r = dicomnet_associate(assoc, net, params);
    if (r == -1) {
        T_ASC_RejectParameters rej;
        ASC_getRejectParameters((*assoc)->params, &rej);
        printf("REJECTED %d %d 0x%04x\n", (int)rej.result, (int)rej.source, (unsigned)rej.reason);
        fflush(stdout);
        return r;
    }
    if (r == -2) {
        say("FAILED");
        return r;
    }
    say(r == -3 ? "ASSOCIATED NOCONTEXT" : "ASSOCIATED");
    return r;
}

static void echo(T_ASC_Association *assoc)
{
    OFCondition cond = dicomnet_SCU_echo(assoc);
    say(cond.good() ? "ECHO OK" : "ECHO FAILED %s", cond.text());
}

// Sends one request without a data set on context pcId.
static OFCondition sendRequest(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                               T_ASC_PresentationContextID pcId, DcmDataset *data = nullptr)
{
    return DIMSE_sendMessageUsingMemoryData(assoc, pcId, msg, nullptr, data, nullptr, nullptr);
}

// Waits for the peer's next command; tells how the association went on.
static void awaitAnswer(T_ASC_Association *assoc)
{
    T_ASC_PresentationContextID pcId;
    T_DIMSE_Message rsp;
    DcmDataset *detail = nullptr;
    OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &pcId, &rsp, &detail);
    delete detail;
    if (cond == DUL_PEERABORTEDASSOCIATION)
        say("ABORTED");
    else if (cond.good())
        printf("ANSWERED 0x%04x\n", (unsigned)rsp.CommandField);
    else
        say("CLOSED %s", cond.text());
    fflush(stdout);
}

// Takes one C-STORE request's data set and answers it with success.
static void answerStore(T_ASC_Association *assoc, T_ASC_PresentationContextID pcId,
                        T_DIMSE_C_StoreRQ *req)
{
    DcmDataset *data = nullptr;
    T_ASC_PresentationContextID dataId = 0;
    DIMSE_receiveDataSetInMemory(assoc, DIMSE_BLOCKING, 0, &dataId, &data, nullptr, nullptr);
    delete data;
    T_DIMSE_C_StoreRSP rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp.MessageIDBeingRespondedTo = req->MessageID;
    rsp.DimseStatus = STATUS_Success;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, req->AffectedSOPClassUID,
                        sizeof(rsp.AffectedSOPClassUID));
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, req->AffectedSOPInstanceUID,
                        sizeof(rsp.AffectedSOPInstanceUID));
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    DIMSE_sendStoreResponse(assoc, pcId, req, &rsp, nullptr);
}

// A C-GET of study, cancelled after the second C-STORE has been answered;
// prints "STORED N" and the final "GET 0xSTAT completed C failed F".
static void getAndCancel(T_ASC_Association *assoc, const char *study)
{
    T_ASC_PresentationContextID pcId =
        ASC_findAcceptedPresentationContextID(assoc, UID_GETStudyRootQueryRetrieveInformationModel);
    T_DIMSE_Message msg;
    memset(&msg, 0, sizeof(msg));
    DcmDataset identifier;
    dicomnet_Key_Add(&identifier, 0x0008, 0x0052, "STUDY");
    dicomnet_Key_Add(&identifier, 0x0020, 0x000D, study);
    DIC_US getId = assoc->nextMsgID++;
    msg.CommandField = DIMSE_C_GET_RQ;
    msg.msg.CGetRQ.MessageID = getId;
    OFStandard::strlcpy(msg.msg.CGetRQ.AffectedSOPClassUID,
                        UID_GETStudyRootQueryRetrieveInformationModel,
                        sizeof(msg.msg.CGetRQ.AffectedSOPClassUID));
    msg.msg.CGetRQ.Priority = DIMSE_PRIORITY_MEDIUM;
    msg.msg.CGetRQ.DataSetType = DIMSE_DATASET_PRESENT;
    if (sendRequest(assoc, &msg, pcId, &identifier).bad()) {
        say("SEND FAILED");
        return;
    }
    int stored = 0;
    for (;;) {
        T_ASC_PresentationContextID id = 0;
        T_DIMSE_Message in;
        DcmDataset *detail = nullptr;
        OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &id, &in, &detail);
        delete detail;
        if (cond.bad()) {
            say("CLOSED %s", cond.text());
            return;
        }
        if (in.CommandField == DIMSE_C_STORE_RQ) {
            answerStore(assoc, id, &in.msg.CStoreRQ);
            if (++stored == 2) {
                T_DIMSE_Message cancel;
                memset(&cancel, 0, sizeof(cancel));
                cancel.CommandField = DIMSE_C_CANCEL_RQ;
                cancel.msg.CCancelRQ.MessageIDBeingRespondedTo = getId;
                cancel.msg.CCancelRQ.DataSetType = DIMSE_DATASET_NULL;
                sendRequest(assoc, &cancel, pcId);
            }
            continue;
        }
        if (in.CommandField != DIMSE_C_GET_RSP) {
            printf("UNEXPECTED 0x%04x\n", (unsigned)in.CommandField);
            return;
        }
        T_DIMSE_C_GetRSP *rsp = &in.msg.CGetRSP;
        if (rsp->DataSetType != DIMSE_DATASET_NULL) {
            DcmDataset *ids = nullptr;
            DIMSE_receiveDataSetInMemory(assoc, DIMSE_BLOCKING, 0, &id, &ids, nullptr, nullptr);
            delete ids;
        }
        if (rsp->DimseStatus == STATUS_Pending)
            continue;
        printf("STORED %d\nGET 0x%04x completed %u failed %u\n", stored, (unsigned)rsp->DimseStatus,
               (unsigned)rsp->NumberOfCompletedSubOperations,
               (unsigned)rsp->NumberOfFailedSubOperations);
        fflush(stdout);
        return;
    }
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s HOST:PORT CALLING CALLED MODE [ARG]\n", argv[0]);
        return 2;
    }
    const char *peer = argv[1], *calling = argv[2], *called = argv[3], *mode = argv[4];
    const char *arg = argc > 5 ? argv[5] : "";
    const char *privateUID = "1.2.826.0.1.3680043.2.1143.99.1";

    dicomnet_quiet_toolkit_log();
    T_ASC_Network *net = dicomnet_net_init(30);
    if (net == nullptr) {
        fprintf(stderr, "cannot open network\n");
        return 2;
    }
    T_ASC_Parameters *params = dicomnet_params_init(calling, nullptr, called, peer, false, 16384);
    if (params == nullptr) {
        fprintf(stderr, "cannot create parameters\n");
        return 2;
    }
    dicomnet_params_add_std_PC(params, 1, UID_VerificationSOPClass);
    if (strcmp(mode, "private") == 0)
        dicomnet_params_add_std_PC(params, 3, arg);
    if (strcmp(mode, "cget") == 0 || strcmp(mode, "nget") == 0)
        dicomnet_params_add_std_PC(params, 3, privateUID);
    if (strcmp(mode, "getcancel") == 0) {
        int count = 0;
        const char *const *ts = dicomnet_get_STD_TS(count);
        ASC_addPresentationContext(params, 3, UID_GETStudyRootQueryRetrieveInformationModel,
                                   const_cast<const char **>(ts), 1);
        ASC_addPresentationContext(params, 5, UID_SecondaryCaptureImageStorage,
                                   const_cast<const char **>(ts), 1, ASC_SC_ROLE_SCP);
    }
    // storeraw: the file's class, instance, syntax and data set bytes.
    OFString rawClass, rawInstance, rawSyntax;
    std::vector<unsigned char> rawBytes;
    size_t rawStart = 0;
    if (strcmp(mode, "storeraw") == 0) {
        DcmMetaInfo metaInfo;
        DcmMetaInfo *meta = &metaInfo;
        FILE *f = fopen(arg, "rb");
        if (f == nullptr || meta->loadFile(arg).bad()) {
            fprintf(stderr, "cannot read %s\n", arg);
            return 2;
        }
        Uint32 groupLength = 0;
        meta->findAndGetOFString(DCM_MediaStorageSOPClassUID, rawClass);
        meta->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, rawInstance);
        meta->findAndGetOFString(DCM_TransferSyntaxUID, rawSyntax);
        meta->findAndGetUint32(DCM_FileMetaInformationGroupLength, groupLength);
        unsigned char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            rawBytes.insert(rawBytes.end(), buf, buf + n);
        fclose(f);
        // The preamble, "DICM", the group length element, then the group.
        rawStart = 132 + 12 + groupLength;
        const char *ts[1] = {rawSyntax.c_str()};
        ASC_addPresentationContext(params, 3, rawClass.c_str(), ts, 1);
    }
    if (strcmp(mode, "appctx") == 0)
        OFStandard::strlcpy(params->DULparams.applicationContextName, arg,
                            sizeof(params->DULparams.applicationContextName));

    T_ASC_Association *assoc = nullptr;
    int r = associate(net, params, &assoc);
    if (r == 0 || r == -3) {
        if (strcmp(mode, "echo") == 0) {
            for (int i = 0, n = atoi(arg); i < n; i++)
                echo(assoc);
        } else if (strcmp(mode, "private") == 0) {
            T_ASC_PresentationContext pc;
            ASC_getPresentationContext(assoc->params, 1, &pc);
            printf("CONTEXT %s %d\n", pc.resultReason == ASC_P_ACCEPTANCE ? "ACCEPTED" : "REFUSED",
                   (int)pc.resultReason);
            fflush(stdout);
        } else if (strcmp(mode, "cget") == 0 || strcmp(mode, "nget") == 0) {
            T_ASC_PresentationContextID pcId =
                ASC_findAcceptedPresentationContextID(assoc, privateUID);
            T_DIMSE_Message msg;
            memset(&msg, 0, sizeof(msg));
            DcmDataset identifier;
            dicomnet_Key_Add(&identifier, 0x0008, 0x0052, "STUDY");
            dicomnet_Key_Add(&identifier, 0x0020, 0x000D, "1.2.3");
            DcmDataset *data = nullptr;
            if (strcmp(mode, "cget") == 0) {
                data = &identifier;
                msg.CommandField = DIMSE_C_GET_RQ;
                msg.msg.CGetRQ.MessageID = assoc->nextMsgID++;
                OFStandard::strlcpy(msg.msg.CGetRQ.AffectedSOPClassUID, privateUID,
                                    sizeof(msg.msg.CGetRQ.AffectedSOPClassUID));
                msg.msg.CGetRQ.Priority = DIMSE_PRIORITY_MEDIUM;
                msg.msg.CGetRQ.DataSetType = DIMSE_DATASET_PRESENT;
            } else {
                msg.CommandField = DIMSE_N_GET_RQ;
                msg.msg.NGetRQ.MessageID = assoc->nextMsgID++;
                OFStandard::strlcpy(msg.msg.NGetRQ.RequestedSOPClassUID, privateUID,
                                    sizeof(msg.msg.NGetRQ.RequestedSOPClassUID));
                OFStandard::strlcpy(msg.msg.NGetRQ.RequestedSOPInstanceUID, "1.2.3.4",
                                    sizeof(msg.msg.NGetRQ.RequestedSOPInstanceUID));
                msg.msg.NGetRQ.DataSetType = DIMSE_DATASET_NULL;
            }
            OFCondition cond = sendRequest(assoc, &msg, pcId, data);
            say(cond.good() ? "SENT" : "SEND FAILED %s", cond.text());
            if (cond.good())
                awaitAnswer(assoc);
            dicomnet_dissociate(&assoc, DUL_PEERABORTEDASSOCIATION);
            return 0;
        } else if (strcmp(mode, "cancel") == 0) {
            echo(assoc);
            T_DIMSE_Message msg;
            memset(&msg, 0, sizeof(msg));
            msg.CommandField = DIMSE_C_CANCEL_RQ;
            msg.msg.CCancelRQ.MessageIDBeingRespondedTo = (DIC_US)(assoc->nextMsgID - 1);
            msg.msg.CCancelRQ.DataSetType = DIMSE_DATASET_NULL;
            OFCondition cond = sendRequest(assoc, &msg, 1);
            say(cond.good() ? "CANCEL SENT" : "CANCEL FAILED %s", cond.text());
            echo(assoc);
        } else if (strcmp(mode, "getcancel") == 0) {
            getAndCancel(assoc, arg);
            echo(assoc);
        } else if (strcmp(mode, "storeraw") == 0) {
            T_DIMSE_C_StoreRQ req;
            memset(&req, 0, sizeof(req));
            req.MessageID = assoc->nextMsgID++;
            OFStandard::strlcpy(req.AffectedSOPClassUID, rawClass.c_str(),
                                sizeof(req.AffectedSOPClassUID));
            OFStandard::strlcpy(req.AffectedSOPInstanceUID, rawInstance.c_str(),
                                sizeof(req.AffectedSOPInstanceUID));
            req.DataSetType = DIMSE_DATASET_PRESENT;
            req.Priority = DIMSE_PRIORITY_MEDIUM;
            T_DIMSE_C_StoreRSP rsp;
            memset(&rsp, 0, sizeof(rsp));
            DcmDataset *detail = nullptr;
            T_ASC_PresentationContext pc;
            OFCondition cond = EC_Normal;
            if (ASC_getPresentationContext(assoc->params, 1, &pc).bad() ||
                pc.resultReason != ASC_P_ACCEPTANCE)
                cond = DIMSE_NOVALIDPRESENTATIONCONTEXTID;
            else if (rawStart >= rawBytes.size())
                cond = DIMSE_BADDATA;
            else
                cond = dicomnet_SCU_store_send_encoded(assoc, 3, &req, rawBytes.data() + rawStart,
                                                       rawBytes.size() - rawStart);
            if (cond.good())
                cond = dicomnet_SCU_store_response(assoc, 3, req.MessageID, &rsp, &detail, nullptr);
            delete detail;
            if (cond.good())
                printf("STORE 0x%04x\n", (unsigned)rsp.DimseStatus);
            else
                say("STORE FAILED %s", cond.text());
            fflush(stdout);
            if (cond == DIMSE_NOVALIDPRESENTATIONCONTEXTID)
                printf("CONTEXT %d %s\n", (int)pc.resultReason, pc.acceptedTransferSyntax);
        } else if (strcmp(mode, "hold") == 0) {
            sleep((unsigned)atoi(arg));
            echo(assoc);
        } else if (strcmp(mode, "silent") == 0) {
            time_t start = time(nullptr);
            awaitAnswer(assoc);
            printf("AFTER %ld\n", (long)(time(nullptr) - start));
            fflush(stdout);
            dicomnet_dissociate(&assoc, DUL_PEERABORTEDASSOCIATION);
            return 0;
        }
        int d = dicomnet_dissociate(&assoc, EC_Normal);
        say(d == 0 ? "RELEASED" : "RELEASE FAILED");
        if (d != 0 && assoc != nullptr)
            dicomnet_dissociate(&assoc, DUL_PEERABORTEDASSOCIATION);
    } else if (assoc != nullptr) {
        ASC_dropAssociation(assoc);
        ASC_destroyAssociation(&assoc);
    }
    dicomnet_net_exit(net);
    return 0;
}
