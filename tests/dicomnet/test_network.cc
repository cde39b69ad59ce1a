// Tests of the standard transfer syntax list, association parameters and
// the acceptance and refusal of presentation contexts (no sockets).
#include <gtest/gtest.h>

#include <set>
#include <string.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/diutil.h"
#include "dcmtk/dcmnet/dul.h"
#include "dcmtk/dcmnet/lst.h"
#include "dicomnet/dicomnet.h"

static const char *const kUnknownSOP = "1.2.826.0.1.3680043.2.1545.99.1";
static const char *const kUnknownSOP2 = "1.2.826.0.1.3680043.2.1545.99.2";

TEST(StdTransferSyntaxes, ThirtyThreeInHostOrder)
{
    int count = -1;
    const char *const *ts = dicomnet_get_STD_TS(count);
    ASSERT_EQ(count, 33);
    ASSERT_NE(ts, nullptr);
    const bool big = gLocalByteOrder == EBO_BigEndian;
    EXPECT_STREQ(ts[0], big ? "1.2.840.10008.1.2.2" : "1.2.840.10008.1.2.1");
    EXPECT_STREQ(ts[1], big ? "1.2.840.10008.1.2.1" : "1.2.840.10008.1.2.2");
    EXPECT_STREQ(ts[2], "1.2.840.10008.1.2");
    EXPECT_STREQ(ts[3], "1.2.840.10008.1.2.5");
    EXPECT_STREQ(ts[4], "1.2.840.10008.1.2.1.99");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(std::string(ts[5 + i]), "1.2.840.10008.1.2.4." + std::to_string(90 + i));
    // HTJ2K, stored as sent and decoded by the archive.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(std::string(ts[9 + i]), "1.2.840.10008.1.2.4." + std::to_string(201 + i));
    for (int n = 50; n <= 66; n++)
        EXPECT_EQ(std::string(ts[12 + n - 50]), "1.2.840.10008.1.2.4." + std::to_string(n));
    EXPECT_STREQ(ts[29], "1.2.840.10008.1.2.4.70");
    EXPECT_STREQ(ts[30], "1.2.840.10008.1.2.4.80");
    EXPECT_STREQ(ts[31], "1.2.840.10008.1.2.4.81");
    EXPECT_STREQ(ts[32], "1.2.840.10008.1.2.4.100");
    std::set<std::string> unique(ts, ts + count);
    EXPECT_EQ(unique.size(), 33u);
}

TEST(Params, DefaultsAndHostName)
{
    T_ASC_Parameters *p =
        dicomnet_params_init(nullptr, nullptr, nullptr, "127.0.0.1:104", false, 16384);
    ASSERT_NE(p, nullptr);
    char calling[64], called[64], responding[64];
    ASSERT_TRUE(ASC_getAPTitles(p, calling, sizeof calling, called, sizeof called, responding,
                                sizeof responding)
                    .good());
    EXPECT_STREQ(calling, "DCMTK_LIB");
    EXPECT_STREQ(called, "ANY-SCP");
    char local[200], peer[200], host[200];
    ASSERT_TRUE(ASC_getPresentationAddresses(p, local, sizeof local, peer, sizeof peer).good());
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_STREQ(local, host);
    EXPECT_STREQ(peer, "127.0.0.1:104");
    ASC_destroyAssociationParameters(&p);
}

TEST(Params, GivenTitlesAndLongAddressesCut)
{
    std::string longHost(300, 'h'), longPeer(300, 'p');
    T_ASC_Parameters *p =
        dicomnet_params_init("CALLER", longHost.c_str(), "CALLEE", longPeer.c_str(), false, 16384);
    ASSERT_NE(p, nullptr);
    char calling[64], called[64], responding[64];
    ASSERT_TRUE(ASC_getAPTitles(p, calling, sizeof calling, called, sizeof called, responding,
                                sizeof responding)
                    .good());
    EXPECT_STREQ(calling, "CALLER");
    EXPECT_STREQ(called, "CALLEE");
    char local[400], peer[400];
    ASSERT_TRUE(ASC_getPresentationAddresses(p, local, sizeof local, peer, sizeof peer).good());
    // Cut to 128 characters here; the toolkit's own field may be shorter
    // still. Either way a prefix, never an overrun.
    EXPECT_GT(strlen(local), 0u);
    EXPECT_LE(strlen(local), 128u);
    EXPECT_EQ(longHost.compare(0, strlen(local), local), 0);
    EXPECT_GT(strlen(peer), 0u);
    EXPECT_LE(strlen(peer), 128u);
    EXPECT_EQ(longPeer.compare(0, strlen(peer), peer), 0);
    ASC_destroyAssociationParameters(&p);
}

TEST(Params, NullPeerAddressIsRefused)
{
    EXPECT_EQ(dicomnet_params_init("A", "b", "C", nullptr, false, 16384), nullptr);
}

TEST(Params, AddStdPCProposesAllThirtyInOrder)
{
    T_ASC_Parameters *p = dicomnet_params_init("A", "h", "B", "127.0.0.1:104", false, 16384);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(dicomnet_params_add_std_PC(p, 3, UID_CTImageStorage).good());
    // Even context ids are invalid; the toolkit's condition comes back.
    EXPECT_TRUE(dicomnet_params_add_std_PC(p, 4, UID_MRImageStorage).bad());
    ASSERT_EQ(ASC_countPresentationContexts(p), 1);
    T_ASC_PresentationContext pc;
    ASSERT_TRUE(ASC_getPresentationContext(p, 0, &pc).good());
    EXPECT_EQ(pc.presentationContextID, 3);
    EXPECT_STREQ(pc.abstractSyntax, UID_CTImageStorage);
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    ASSERT_EQ(pc.transferSyntaxCount, 33);
    for (int i = 0; i < 33; i++)
        EXPECT_STREQ(pc.proposedTransferSyntaxes[i], ts[i]);
    ASC_destroyAssociationParameters(&p);
}

// Acceptance works on the proposed contexts of a parameter block, as the
// accepting side sees them after receiving an association request.
class PCAcceptance : public ::testing::Test
{
protected:
    T_ASC_Parameters *p = nullptr;

    void SetUp() override
    {
        p = dicomnet_params_init("A", "h", "B", "127.0.0.1:104", false, 16384);
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override { ASC_destroyAssociationParameters(&p); }

    void propose(T_ASC_PresentationContextID id, const char *as,
                 std::initializer_list<const char *> ts)
    {
        const char *list[8];
        int n = 0;
        for (const char *t : ts)
            list[n++] = t;
        ASSERT_TRUE(ASC_addPresentationContext(p, id, as, list, n).good());
    }
    // Result/reason of the answer given for id (from the toolkit's list of
    // answered contexts, which holds refusals too), 255 when none.
    int result(T_ASC_PresentationContextID id, std::string *ts = nullptr)
    {
        LST_HEAD **list = &p->DULparams.acceptedPresentationContext;
        auto *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list);
        if (pc != nullptr)
            LST_Position(list, pc);
        for (; pc != nullptr; pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list)) {
            if (pc->presentationContextID != id)
                continue;
            if (ts)
                *ts = pc->acceptedTransferSyntax;
            return pc->result;
        }
        return 255;
    }
};

TEST_F(PCAcceptance, StdPCsTakeFirstStandardSyntaxThePeerProposed)
{
    propose(1, UID_VerificationSOPClass, {UID_LittleEndianImplicitTransferSyntax});
    propose(3, UID_CTImageStorage,
            {UID_JPEGProcess1TransferSyntax, UID_LittleEndianImplicitTransferSyntax,
             UID_BigEndianExplicitTransferSyntax});
    ASSERT_TRUE(dicomnet_params_accept_std_PC(p, UID_VerificationSOPClass).good());
    const char *storage[] = {UID_MRImageStorage, UID_CTImageStorage};
    ASSERT_TRUE(dicomnet_params_accept_std_PCs(p, storage, 2).good());
    std::string ts;
    EXPECT_EQ(result(1, &ts), ASC_P_ACCEPTANCE);
    EXPECT_EQ(ts, UID_LittleEndianImplicitTransferSyntax);
    EXPECT_EQ(result(3, &ts), ASC_P_ACCEPTANCE);
    // Explicit big endian comes before implicit in the list.
    EXPECT_EQ(ts, UID_BigEndianExplicitTransferSyntax);
    ASSERT_EQ(ASC_countAcceptedPresentationContexts(p), 2);
}

TEST_F(PCAcceptance, KnownSOPClassRefusedWithReason3ThenStillAcceptable)
{
    propose(1, UID_CTImageStorage, {UID_LittleEndianImplicitTransferSyntax});
    ASSERT_TRUE(dicomnet_params_accept_unknown_PC(p, UID_LittleEndianImplicitTransferSyntax,
                                                  ASC_SC_ROLE_DEFAULT)
                    .good());
    EXPECT_EQ(result(1), ASC_P_ABSTRACTSYNTAXNOTSUPPORTED);
    const char *storage[] = {UID_CTImageStorage};
    ASSERT_TRUE(dicomnet_params_accept_std_PCs(p, storage, 1).good());
    EXPECT_EQ(result(1), ASC_P_ACCEPTANCE);
}

TEST_F(PCAcceptance, UnknownSOPClassGetsEarliestListEntry)
{
    propose(1, kUnknownSOP,
            {UID_JPEGProcess1TransferSyntax, UID_LittleEndianImplicitTransferSyntax});
    propose(3, kUnknownSOP2, {UID_JPEGProcess1TransferSyntax});
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    ASSERT_TRUE(dicomnet_params_accept_unknown_PCs(p, ts, count, ASC_SC_ROLE_DEFAULT).good());
    std::string accepted;
    EXPECT_EQ(result(1, &accepted), ASC_P_ACCEPTANCE);
    EXPECT_EQ(accepted, UID_LittleEndianImplicitTransferSyntax);
    EXPECT_EQ(result(3, &accepted), ASC_P_ACCEPTANCE);
    EXPECT_EQ(accepted, UID_JPEGProcess1TransferSyntax);
}

TEST_F(PCAcceptance, UnknownWithoutListedSyntaxRefusedWithReason4)
{
    propose(1, kUnknownSOP, {"1.2.826.0.1.3680043.2.1545.77"});
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    ASSERT_TRUE(dicomnet_params_accept_unknown_PCs(p, ts, count, ASC_SC_ROLE_DEFAULT).good());
    EXPECT_EQ(result(1), ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
}

TEST_F(PCAcceptance, EarlierReason4IsKept)
{
    // A known SOP class proposed only with a syntax outside the list: the
    // standard acceptance refuses it with 4, and the unknown pass keeps 4.
    propose(1, UID_CTImageStorage, {"1.2.826.0.1.3680043.2.1545.77"});
    const char *storage[] = {UID_CTImageStorage};
    dicomnet_params_accept_std_PCs(p, storage, 1);
    ASSERT_EQ(result(1), ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
    ASSERT_TRUE(dicomnet_params_accept_unknown_PC(p, UID_LittleEndianImplicitTransferSyntax,
                                                  ASC_SC_ROLE_DEFAULT)
                    .good());
    EXPECT_EQ(result(1), ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
}

TEST_F(PCAcceptance, AcceptedContextIsLeftAlone)
{
    propose(1, UID_CTImageStorage, {UID_LittleEndianExplicitTransferSyntax});
    const char *storage[] = {UID_CTImageStorage};
    ASSERT_TRUE(dicomnet_params_accept_std_PCs(p, storage, 1).good());
    int count = 0;
    const char *const *ts = dicomnet_get_STD_TS(count);
    ASSERT_TRUE(dicomnet_params_accept_unknown_PCs(p, ts, count, ASC_SC_ROLE_DEFAULT).good());
    std::string accepted;
    EXPECT_EQ(result(1, &accepted), ASC_P_ACCEPTANCE);
    EXPECT_EQ(accepted, UID_LittleEndianExplicitTransferSyntax);
}

// The one-pass acceptance answers a large proposal exactly as the
// toolkit's acceptance with preferred transfer syntaxes does: the same
// answers, in the same order, with the same syntaxes and reasons. The
// proposal is storescu's (every storage class with three syntaxes), with
// compressed-only, repeated, unsupported and retrieve contexts mixed in.
TEST(PCAcceptanceOnePass, SameAnswersAsTheToolkit)
{
    T_ASC_Parameters *mine = dicomnet_params_init("A", "h", "B", "127.0.0.1:104", false, 16384);
    T_ASC_Parameters *theirs = dicomnet_params_init("A", "h", "B", "127.0.0.1:104", false, 16384);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    const char *usual[] = {UID_LittleEndianExplicitTransferSyntax,
                           UID_BigEndianExplicitTransferSyntax,
                           UID_LittleEndianImplicitTransferSyntax};
    const char *jpeg[] = {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess1TransferSyntax};
    const char *odd[] = {"1.2.826.0.1.3680043.2.1545.77"};
    int id = 1;
    auto propose = [&](const char *as, const char **ts, int n) {
        ASSERT_TRUE(
            ASC_addPresentationContext(mine, (T_ASC_PresentationContextID)id, as, ts, n).good());
        ASSERT_TRUE(
            ASC_addPresentationContext(theirs, (T_ASC_PresentationContextID)id, as, ts, n).good());
        id += 2;
    };
    propose(UID_VerificationSOPClass, usual + 2, 1);
    for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs && id < 200; i += 2)
        propose(dcmAllStorageSOPClassUIDs[i], usual, 3);
    propose(UID_CTImageStorage, jpeg, 2);
    propose(UID_CTImageStorage, odd, 1);
    propose(UID_FINDStudyRootQueryRetrieveInformationModel, usual, 3);
    propose(UID_MOVEStudyRootQueryRetrieveInformationModel, odd, 1);
    propose(kUnknownSOP, usual + 1, 2);

    const char *find[] = {UID_FINDStudyRootQueryRetrieveInformationModel};
    const char *move[] = {UID_MOVEStudyRootQueryRetrieveInformationModel};
    struct call {
        const char *const *as;
        int n;
    } calls[] = {
        {dcmAllStorageSOPClassUIDs, (int)numberOfDcmAllStorageSOPClassUIDs}, {find, 1}, {move, 1}};
    int tsCount = 0;
    const char *const *ts = dicomnet_get_STD_TS(tsCount);
    ASSERT_TRUE(dicomnet_params_accept_std_PC(mine, UID_VerificationSOPClass).good());
    const char *verification[] = {UID_VerificationSOPClass};
    ASSERT_TRUE(ASC_acceptContextsWithPreferredTransferSyntaxes(
                    theirs, verification, 1, const_cast<const char **>(ts), tsCount)
                    .good());
    for (const call &c : calls) {
        ASSERT_TRUE(dicomnet_params_accept_std_PCs(mine, c.as, c.n).good());
        ASSERT_TRUE(ASC_acceptContextsWithPreferredTransferSyntaxes(
                        theirs, const_cast<const char **>(c.as), c.n, const_cast<const char **>(ts),
                        tsCount)
                        .good());
    }
    auto answers = [](T_ASC_Parameters *p) {
        std::vector<std::string> out;
        LST_HEAD **list = &p->DULparams.acceptedPresentationContext;
        auto *pc = (DUL_PRESENTATIONCONTEXT *)LST_Head(list);
        if (pc != nullptr)
            LST_Position(list, pc);
        for (; pc != nullptr; pc = (DUL_PRESENTATIONCONTEXT *)LST_Next(list))
            out.push_back(std::to_string(pc->presentationContextID) + " " +
                          std::to_string(pc->result) + " " + pc->acceptedTransferSyntax);
        return out;
    };
    std::vector<std::string> a = answers(mine), b = answers(theirs);
    EXPECT_EQ(a, b);
    EXPECT_EQ((int)a.size(), id / 2);
    EXPECT_GT(ASC_countAcceptedPresentationContexts(mine), 90);
    ASC_destroyAssociationParameters(&mine);
    ASC_destroyAssociationParameters(&theirs);
}

TEST_F(PCAcceptance, NoContextsAndEmptyLists)
{
    EXPECT_TRUE(dicomnet_params_accept_unknown_PC(p, UID_LittleEndianImplicitTransferSyntax,
                                                  ASC_SC_ROLE_DEFAULT)
                    .good());
    EXPECT_TRUE(dicomnet_params_accept_unknown_PCs(p, nullptr, 0, ASC_SC_ROLE_DEFAULT).good());
    EXPECT_TRUE(dicomnet_params_accept_unknown_PCs(p, nullptr, -1, ASC_SC_ROLE_DEFAULT).good());
    EXPECT_TRUE(dicomnet_params_accept_unknown_PC(nullptr, UID_LittleEndianImplicitTransferSyntax,
                                                  ASC_SC_ROLE_DEFAULT)
                    .bad());
}

TEST(Trace, OffUnlessSinkOpened)
{
    EXPECT_FALSE(dicomnet_trace_enabled(DICOMNET_TRACE_DEBUG));
    char *buf = nullptr;
    size_t len = 0;
    FILE *sink = open_memstream(&buf, &len);
    ASSERT_NE(sink, nullptr);
    dicomnet_trace_open(sink, DICOMNET_TRACE_DEBUG);
    EXPECT_TRUE(dicomnet_trace_enabled(DICOMNET_TRACE_DEBUG));
    EXPECT_FALSE(dicomnet_trace_enabled(DICOMNET_TRACE_JUNK));
    // A failure line at 0x80 is written; a Junk line is masked out.
    EXPECT_EQ(dicomnet_params_init("A", "h", "B", nullptr, false, 16384), nullptr);
    dicomnet_trace(DICOMNET_TRACE_JUNK, "not written\n");
    dicomnet_trace_close();
    dicomnet_trace(DICOMNET_TRACE_DEBUG, "after close\n");
    fclose(sink);
    std::string text(buf, len);
    free(buf);
    EXPECT_NE(text.find("DICOM(11) Debug"), std::string::npos) << text;
    EXPECT_NE(text.find("dicomnet_params_init"), std::string::npos) << text;
    EXPECT_EQ(text.find("not written"), std::string::npos);
    EXPECT_EQ(text.find("after close"), std::string::npos);
    EXPECT_FALSE(dicomnet_trace_enabled(DICOMNET_TRACE_DEBUG));
}

// What the toolkit's console logging writes to stderr in a child process,
// with or without dicomnet_quiet_toolkit_log first.
static std::string toolkit_stderr(bool quiet)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "(pipe failed)";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 2);
        close(fds[0]);
        if (quiet)
            dicomnet_quiet_toolkit_log();
        DCMNET_ERROR("toolkit error probe");
        DCMNET_WARN("toolkit warning probe");
        fflush(stderr);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

TEST(ToolkitLog, QuietSilencesConsoleLogging)
{
    // Without it the toolkit writes its errors to stderr (the control).
    EXPECT_NE(toolkit_stderr(false).find("toolkit error probe"), std::string::npos);
    EXPECT_EQ(toolkit_stderr(true), "");
}
