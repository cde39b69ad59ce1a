// Association and DIMSE round trips over loopback: dicomnet_associate and
// dicomnet_dissociate results, and the user operations against the layer's own
// provider operations running in a forked child. Needs the private network
// namespace (VELTO_NETNS=1); skipped elsewhere.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dicomnet/elementwalk.h"
#include "testprovider.h"

static const char *const kUnknownSOP = "1.2.826.0.1.3680043.2.1545.99.1";

// A port nothing uses now, below the namespace's ephemeral ports (see
// scripts/netns-exec): one the kernel handed out for a bind to port 0 could
// be taken by an outgoing connection of a test running beside this one
// before the provider has bound it.
static int free_port()
{
    static unsigned seed = (unsigned)getpid() ^ (unsigned)time(nullptr);
    for (int tries = 0; tries < 1000; tries++) {
        int port = 20000 + (int)(rand_r(&seed) % 30000);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0)
            return -1;
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        int bound = bind(s, (sockaddr *)&a, sizeof a);
        close(s);
        if (bound == 0)
            return port;
    }
    return -1;
}

class Association : public ::testing::Test
{
protected:
    int port = -1;
    pid_t child = -1;
    int reportFd = -1;
    T_ASC_Network *net = nullptr;
    T_ASC_Association *assoc = nullptr;
    int childStatus = -1;

    void SetUp() override
    {
        const char *ns = getenv("VELTO_NETNS");
        if (ns == nullptr || strcmp(ns, "1") != 0)
            GTEST_SKIP() << "needs the private network namespace (scripts/netns-exec)";
        net = dicomnet_net_init(30);
        ASSERT_NE(net, nullptr);
    }

    void TearDown() override
    {
        if (assoc != nullptr)
            dicomnet_dissociate(&assoc, DIMSE_BADDATA);
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (reportFd >= 0)
            close(reportFd);
        if (net != nullptr)
            dicomnet_net_exit(net);
    }

    // Forks a provider that serves one association in the given mode.
    void start(int mode)
    {
        T_ASC_Network *listenNet = nullptr;
        for (int attempt = 0; attempt < 10 && listenNet == nullptr; attempt++) {
            port = free_port();
            listenNet = dicomnet_net_init_listen(port, 1);
        }
        ASSERT_NE(listenNet, nullptr);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Child: serve, then _exit so that no test machinery runs twice.
            close(fds[0]);
            alarm(30);
            int rc = testprovider_serve_one(listenNet, mode, fds[1]);
            _exit(rc);
        }
        close(fds[1]);
        reportFd = fds[0];
        // The child keeps its own copy of the listening socket.
        dicomnet_net_exit(listenNet);
    }

    // Waits for the provider to end and returns its report lines.
    std::string finish()
    {
        std::string text;
        for (int i = 0; i < 3000 && child > 0; i++) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                childStatus = status;
                child = -1;
                break;
            }
            usleep(10000);
        }
        char buf[4096];
        int flags = fcntl(reportFd, F_GETFL);
        fcntl(reportFd, F_SETFL, flags | O_NONBLOCK);
        ssize_t n;
        while ((n = read(reportFd, buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
        return text;
    }

    T_ASC_Parameters *params()
    {
        std::string peer = "127.0.0.1:" + std::to_string(port);
        T_ASC_Parameters *p =
            dicomnet_params_init("TESTSCU", nullptr, "TESTSCP", peer.c_str(), false, 16384);
        EXPECT_NE(p, nullptr);
        EXPECT_TRUE(dicomnet_params_add_std_PC(p, 1, UID_VerificationSOPClass).good());
        EXPECT_TRUE(dicomnet_params_add_std_PC(p, 3, UID_CTImageStorage).good());
        EXPECT_TRUE(dicomnet_params_add_std_PC(p, 5, UID_FINDStudyRootQueryRetrieveInformationModel)
                        .good());
        EXPECT_TRUE(dicomnet_params_add_std_PC(p, 7, UID_MOVEStudyRootQueryRetrieveInformationModel)
                        .good());
        const char *ts[] = {UID_JPEGProcess1TransferSyntax, UID_LittleEndianImplicitTransferSyntax};
        EXPECT_TRUE(ASC_addPresentationContext(p, 9, kUnknownSOP, ts, 2).good());
        return p;
    }

    int associate() { return dicomnet_associate(&assoc, net, params()); }
};

static DcmDataset *image(const char *sopInstance, const char *name)
{
    DcmDataset *ds = dicomnet_Dataset_Create();
    dicomnet_Key_Add(ds, 0x0008, 0x0016, UID_CTImageStorage);
    if (sopInstance)
        dicomnet_Key_Add(ds, 0x0008, 0x0018, sopInstance);
    dicomnet_Key_Add(ds, 0x0010, 0x0010, name);
    dicomnet_Key_Add(ds, 0x0020, 0x000D, "1.2.826.0.1.3680043.2.1545.1");
    return ds;
}

static bool has_line(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(Association, AcceptedEchoAndRelease)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    DIC_US id = assoc->nextMsgID;
    EXPECT_TRUE(dicomnet_SCU_echo(assoc).good());
    EXPECT_TRUE(dicomnet_SCU_echo(assoc).good());
    EXPECT_EQ(assoc->nextMsgID, (DIC_US)(id + 2));
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    EXPECT_EQ(assoc, nullptr);
    std::string r = finish();
    EXPECT_TRUE(has_line(r, "ECHO")) << r;
    EXPECT_TRUE(has_line(r, "RELEASED")) << r;
    EXPECT_TRUE(has_line(r, "ENDED")) << r;
}

TEST_F(Association, NagleIsOffOnBothSides)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    int fd = testprovider_find_socket(port, 0);
    ASSERT_GE(fd, 0);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    std::string r = finish();
    EXPECT_TRUE(has_line(r, "NODELAY 1")) << r;
}

// A descriptor handed to the transport is closed when the next connection
// is made, before the association is negotiated; the listener's fork learns
// so that the worker has taken its connection.
TEST_F(Association, DescriptorClosedOnTheNextConnection)
{
    start(PROVIDER_SERVE);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dicomnet_transport_close_on_connection(fds[1]);
    struct pollfd p = {fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0); // not yet
    ASSERT_EQ(associate(), 0);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 0); // end of file: the write end is closed
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    close(fds[0]);
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    finish();
}

// C-MOVE sub-associations are requested through the listening network.
TEST_F(Association, ListeningNetworkRequestsWithNagleOff)
{
    start(PROVIDER_SERVE);
    T_ASC_Network *both = nullptr;
    for (int attempt = 0; attempt < 10 && both == nullptr; attempt++)
        both = dicomnet_net_init_listen(free_port(), 1);
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(dicomnet_associate(&assoc, both, params()), 0);
    int fd = testprovider_find_socket(port, 0);
    int on = 0;
    socklen_t len = sizeof on;
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_EQ(on, 1);
    EXPECT_TRUE(dicomnet_SCU_echo(assoc).good());
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    EXPECT_EQ(dicomnet_net_exit(both), 0);
}

TEST_F(Association, UnknownSOPClassAcceptedWithEarliestStandardSyntax)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    T_ASC_PresentationContext pc;
    ASSERT_TRUE(ASC_findAcceptedPresentationContext(assoc->params, 9, &pc).good());
    EXPECT_EQ(pc.resultReason, ASC_P_ACCEPTANCE);
    EXPECT_STREQ(pc.acceptedTransferSyntax, UID_LittleEndianImplicitTransferSyntax);
    ASSERT_TRUE(ASC_findAcceptedPresentationContext(assoc->params, 3, &pc).good());
    EXPECT_STREQ(pc.acceptedTransferSyntax, gLocalByteOrder == EBO_BigEndian
                                                ? UID_BigEndianExplicitTransferSyntax
                                                : UID_LittleEndianExplicitTransferSyntax);
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
}

TEST_F(Association, Rejected)
{
    start(PROVIDER_REJECT);
    EXPECT_EQ(associate(), -1);
    // The association object is the caller's to end in every outcome.
    EXPECT_NE(assoc, nullptr);
    EXPECT_EQ(dicomnet_dissociate(&assoc, DUL_PEERABORTEDASSOCIATION), 0);
    EXPECT_EQ(assoc, nullptr);
    EXPECT_TRUE(has_line(finish(), "REJECTED"));
}

TEST_F(Association, NoAcceptableContextStaysOpen)
{
    start(PROVIDER_NO_CONTEXTS);
    EXPECT_EQ(associate(), -3);
    ASSERT_NE(assoc, nullptr);
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    EXPECT_TRUE(has_line(finish(), "RELEASED"));
}

TEST_F(Association, NobodyListeningIsOtherFailure)
{
    port = free_port();
    EXPECT_EQ(associate(), -2);
    if (assoc != nullptr) {
        EXPECT_EQ(dicomnet_dissociate(&assoc, DUL_PEERABORTEDASSOCIATION), 0);
    }
}

TEST_F(Association, PeerAbortDestroysOnly)
{
    start(PROVIDER_ABORT);
    ASSERT_EQ(associate(), 0);
    OFCondition cond = dicomnet_SCU_echo(assoc);
    EXPECT_TRUE(cond == DUL_PEERABORTEDASSOCIATION) << cond.text();
    EXPECT_EQ(dicomnet_dissociate(&assoc, cond), 0);
    EXPECT_EQ(assoc, nullptr);
}

TEST_F(Association, PeerRequestedReleaseAndOtherReasonsAbort)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    EXPECT_EQ(dicomnet_dissociate(&assoc, DUL_PEERREQUESTEDRELEASE), 0);
    EXPECT_EQ(assoc, nullptr);
    EXPECT_TRUE(has_line(finish(), "ABORTED"));

    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    EXPECT_EQ(dicomnet_dissociate(&assoc, DIMSE_BADDATA), 0);
    EXPECT_TRUE(has_line(finish(), "ABORTED"));
}

// Regression: a failed release used to leave the association (and its
// socket) allocated with the caller's pointer still set.
TEST_F(Association, FailedReleaseStillFreesTheAssociation)
{
    start(PROVIDER_VANISH);
    ASSERT_EQ(associate(), 0);
    finish();
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), -1);
    EXPECT_EQ(assoc, nullptr);
}

TEST_F(Association, GarbageFromPeerEndsOnlyTheAssociation)
{
    start(PROVIDER_SERVE);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, (sockaddr *)&a, sizeof a), 0);
    const char junk[] = "\x01\x00\x00\x00\x00\x05GARBAGE-GARBAGE-GARBAGE";
    ASSERT_GT(write(s, junk, sizeof junk), 0);
    close(s);
    std::string r = finish();
    EXPECT_TRUE(has_line(r, "RECVFAIL")) << r;
    // The provider process itself ended normally.
    ASSERT_TRUE(WIFEXITED(childStatus)) << childStatus;
    EXPECT_EQ(WEXITSTATUS(childStatus), 1);
}

TEST_F(Association, StoreRoundTrip)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    DcmDataset *ds = image("1.2.826.0.1.3680043.2.1545.7.1", "Doe^Jane");
    EXPECT_TRUE(dicomnet_SCU_store(assoc, ds).good());
    delete ds;
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    std::string r = finish();
    EXPECT_TRUE(has_line(r, "STORE 1.2.826.0.1.3680043.2.1545.7.1 Doe^Jane")) << r;
}

TEST_F(Association, StoreWithoutInstanceUIDOrContext)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    DIC_US id = assoc->nextMsgID;
    DcmDataset *ds = image(nullptr, "No^Uid");
    // Refused before any context lookup, message id still used up.
    EXPECT_TRUE(dicomnet_SCU_store(assoc, ds) == DIMSE_BADDATA);
    EXPECT_EQ(assoc->nextMsgID, (DIC_US)(id + 1));
    dicomnet_Key_Add(ds, 0x0008, 0x0016, UID_MRImageStorage);
    dicomnet_Key_Add(ds, 0x0008, 0x0018, "1.2.826.0.1.3680043.2.1545.7.2");
    EXPECT_TRUE(dicomnet_SCU_store(assoc, ds) == DIMSE_NOVALIDPRESENTATIONCONTEXTID);
    EXPECT_EQ(assoc->nextMsgID, (DIC_US)(id + 2));
    EXPECT_TRUE(dicomnet_SCU_store(assoc, nullptr) == DIMSE_BADDATA);
    delete ds;
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    std::string r = finish();
    EXPECT_EQ(r.find("STORE"), std::string::npos) << r;
}

struct FindSeen {
    int calls = 0;
    std::vector<std::string> ids;
    const void *callerData = nullptr;
    T_ASC_Association *assoc = nullptr;
    T_ASC_PresentationContextID pcId = 0;
};

static void find_user_cb(void *data, T_DIMSE_C_FindRQ *, int, T_DIMSE_C_FindRSP *,
                         DcmDataset *identifiers)
{
    // The first argument is the layer's record; the caller's data is in it.
    dicomnet_SCU_callback_record *rec = (dicomnet_SCU_callback_record *)data;
    FindSeen *seen = (FindSeen *)const_cast<void *>(rec->callerData);
    seen->calls++;
    seen->callerData = rec->callerData;
    seen->assoc = rec->assoc;
    seen->pcId = rec->pcId;
    const char *id = dicomnet_getTagString(identifiers, DCM_PatientID);
    seen->ids.push_back(id ? id : "");
}

static DcmDataset *query(const char *patientId)
{
    DcmDataset *q = dicomnet_Dataset_Create();
    dicomnet_Key_Add(q, 0x0008, 0x0052, "PATIENT");
    dicomnet_Key_Add(q, 0x0010, 0x0020, patientId);
    return q;
}

TEST_F(Association, FindRoundTripsAndStatusMapping)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    struct Case {
        const char *steer;
        int pending;
        OFCondition expect;
    };
    const Case cases[] = {
        {"N3", 3, EC_Normal},
        {"0000", 0, EC_Normal}, // success at the first call: no identifiers
        {"A700", 0, DIMSE_OUTOFRESOURCES},
        {"A900", 0, DIMSE_BADDATA},
        {"C000", 0, DIMSE_BADDATA},
        {"FE00", 0, EC_Normal},
    };
    for (const Case &c : cases) {
        FindSeen seen;
        DcmDataset *q = query(c.steer);
        OFCondition cond = dicomnet_SCU_find(assoc, UID_FINDStudyRootQueryRetrieveInformationModel,
                                             q, find_user_cb, &seen);
        delete q;
        EXPECT_TRUE(cond == c.expect) << c.steer << ": " << cond.text();
        EXPECT_EQ(seen.calls, c.pending) << c.steer;
        if (c.pending > 0) {
            EXPECT_EQ(seen.callerData, &seen);
            EXPECT_EQ(seen.assoc, assoc);
            EXPECT_EQ(seen.pcId, 5);
            EXPECT_EQ(seen.ids, (std::vector<std::string>{"M1", "M2", "M3"}));
        }
    }
    // No accepted context for patient root: nothing sent, id used up.
    DIC_US id = assoc->nextMsgID;
    DcmDataset *q = query("N1");
    EXPECT_TRUE(dicomnet_SCU_find(assoc, UID_FINDPatientRootQueryRetrieveInformationModel, q,
                                  find_user_cb, nullptr) == DIMSE_NOVALIDPRESENTATIONCONTEXTID);
    delete q;
    EXPECT_EQ(assoc->nextMsgID, (DIC_US)(id + 1));
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    std::string r = finish();
    size_t finds = 0;
    for (size_t at = 0; (at = r.find("FIND\n", at)) != std::string::npos; at++)
        finds++;
    EXPECT_EQ(finds, 6u) << r;
}

struct MoveSeen {
    std::vector<int> completed;
    const void *callerData = nullptr;
};

static void move_user_cb(void *data, T_DIMSE_C_MoveRQ *, int, T_DIMSE_C_MoveRSP *response)
{
    dicomnet_SCU_callback_record *rec = (dicomnet_SCU_callback_record *)data;
    MoveSeen *seen = (MoveSeen *)const_cast<void *>(rec->callerData);
    seen->callerData = rec->callerData;
    seen->completed.push_back(response->NumberOfCompletedSubOperations);
}

TEST_F(Association, MoveRoundTripsStatusNotMapped)
{
    start(PROVIDER_SERVE);
    ASSERT_EQ(associate(), 0);
    MoveSeen seen;
    DcmDataset *q = query("N2");
    EXPECT_TRUE(dicomnet_SCU_move(assoc, UID_MOVEStudyRootQueryRetrieveInformationModel, q,
                                  "DESTAE", move_user_cb, &seen)
                    .good());
    delete q;
    EXPECT_EQ(seen.completed, (std::vector<int>{1, 2}));
    EXPECT_EQ(seen.callerData, &seen);
    // A failure status is reported through the trace only.
    MoveSeen failed;
    q = query("A700");
    EXPECT_TRUE(dicomnet_SCU_move(assoc, UID_MOVEStudyRootQueryRetrieveInformationModel, q,
                                  "DESTAE", move_user_cb, &failed) == EC_Normal);
    EXPECT_TRUE(failed.completed.empty());
    DIC_US id = assoc->nextMsgID;
    EXPECT_TRUE(dicomnet_SCU_move(assoc, UID_MOVEPatientRootQueryRetrieveInformationModel, q,
                                  "DESTAE", move_user_cb,
                                  &failed) == DIMSE_NOVALIDPRESENTATIONCONTEXTID);
    EXPECT_EQ(assoc->nextMsgID, (DIC_US)(id + 1));
    delete q;
    EXPECT_EQ(dicomnet_dissociate(&assoc, EC_Normal), 0);
    std::string r = finish();
    EXPECT_TRUE(has_line(r, "MOVE DESTAE")) << r;
}

TEST(ProviderInput, WrongCommandIsRefusedNotFollowed)
{
    T_DIMSE_Message msg;
    memset(&msg, 0, sizeof msg);
    msg.CommandField = DIMSE_C_STORE_RQ;
    EXPECT_TRUE(dicomnet_SCP_echo(nullptr, &msg, 1).bad());
    EXPECT_TRUE(dicomnet_SCP_echo(nullptr, nullptr, 1).bad());
    msg.CommandField = DIMSE_C_ECHO_RQ;
    EXPECT_TRUE(dicomnet_SCP_store(nullptr, &msg, 1, nullptr, nullptr).bad());
    dicomnet_dataset_limits limits = {0, ELEMENTWALK_MAX_DEPTH, 0, 0};
    dicomnet_refusal refusal;
    EXPECT_TRUE(dicomnet_SCP_find(nullptr, &msg, 1, nullptr, nullptr, limits, &refusal).bad());
    EXPECT_TRUE(dicomnet_SCP_move(nullptr, &msg, 1, nullptr, nullptr, limits, &refusal).bad());
    EXPECT_TRUE(dicomnet_SCP_get(nullptr, &msg, 1, nullptr, nullptr, limits, &refusal).bad());
    EXPECT_TRUE(dicomnet_SCU_echo(nullptr).bad());
    EXPECT_TRUE(dicomnet_SCU_store(nullptr, nullptr).bad());
}
