// The association listener: opens the DICOM port, gives up privileges,
// forks one worker per accepted association, reaps finished workers, keeps
// the monitor channel informed and refreshes the study table while idle.
// Also the worker's side: negotiation and closing of its one association.
#include "server/listener.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>

#include "cluster/clusterconfig.h"
#include "core/archive.h"
#include "core/audit.h"
#include "core/forward.h"
#include "core/maintenance.h"
#include "core/retention.h"
#include "dcmtk/dcmdata/dcdict.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/cond.h"
#include "dcmtk/dcmnet/dulstruc.h"
#include "dicomnet/proxyheader.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "runtime/process.h"
#include "server/commands.h"
#include "server/compressor.h"
#include "server/forwarder.h"
#include "server/handlers.h"
#include "server/housekeeping.h"
#include "server/serveroptions.h"
#include "server/serverstate.h"
#include "server/tlsconfig.h"
#include "server/uploader.h"

// Rejection parameters and log text of each refusing endReason.
struct refusal {
    T_ASC_RejectParametersResult result;
    T_ASC_RejectParametersSource source;
    T_ASC_RejectParametersReason reason;
    const char *text;
};
static const refusal refusals[2] = {
    {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
     ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED, "too many ongoing associations"},
    {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
     ASC_REASON_SP_PRES_TEMPORARYCONGESTION, "failure forking worker thread"},
};

static const char *const findSOPClasses[] = {UID_FINDPatientRootQueryRetrieveInformationModel,
                                             UID_FINDStudyRootQueryRetrieveInformationModel};
static const char *const moveSOPClasses[] = {UID_MOVEPatientRootQueryRetrieveInformationModel,
                                             UID_MOVEStudyRootQueryRetrieveInformationModel};
static const char *const getSOPClasses[] = {UID_GETPatientRootQueryRetrieveInformationModel,
                                            UID_GETStudyRootQueryRetrieveInformationModel};

// Answers the role selection of every accepted context that proposed one
// with the role proposed: a C-GET requester proposes its storage contexts
// with the SCP role for itself, so that this server may send the images
// back over them. (Accepted with the default role, the requester would
// stay the only SCU, and could not take the C-STOREs.)
static void acceptProposedRoles(T_ASC_Parameters *params)
{
    int n = ASC_countPresentationContexts(params);
    for (int i = 0; i < n; i++) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(params, i, &pc).bad() ||
            pc.resultReason != ASC_P_ACCEPTANCE || pc.proposedRole == ASC_SC_ROLE_DEFAULT)
            continue;
        ASC_acceptPresentationContext(params, pc.presentationContextID, pc.acceptedTransferSyntax,
                                      pc.proposedRole);
    }
}

// Writes a toolkit condition to the console (stderr), after a log line.
static void dumpCondition(const char *what, OFCondition cond)
{
    if (what != nullptr)
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "%s", what);
    OFString text;
    DimseCondition::dump(text, cond);
    fprintf(stderr, "%s\n", text.c_str());
}

OFCondition endAssociation(T_ASC_Association *assoc, endReason reason)
{
    OFCondition cond = EC_Normal;
    if (reason == ES_RR_TooMany || reason == ES_RR_ForkFailed) {
        const refusal &r = refusals[reason];
        logprintf(LOGLEVEL_NOTICE, server_options.logfp, "Refusing Association due to %s.\n",
                  r.text);
        T_ASC_RejectParameters rej = {r.result, r.source, r.reason};
        cond = ASC_rejectAssociation(assoc, &rej);
        if (cond.bad())
            dumpCondition("Association reject failed:\n", cond);
    }
    cond = ASC_dropAssociation(assoc);
    if (cond.bad())
        dumpCondition("Association drop failed:\n", cond);
    cond = ASC_destroyAssociation(&assoc);
    if (cond.bad())
        dumpCondition("Association destroy failed:\n", cond);
    return cond;
}

// Gives up root (runtime/process.h says in which order). 0, or -1 after
// the failure is logged: the server must not go on with root's rights.
static int dropPrivileges()
{
    const serveroptions &o = server_options;
    const char *failed = nullptr;
    if (drop_privileges(o.drop_user, o.drop_group, &failed) == 0)
        return 0;
    bool user = strcmp(failed, "user") == 0;
    const char *name = user ? o.drop_user : o.drop_group;
    logprintf(LOGLEVEL_PRIVS, o.logfp, "Failed to drop privs to %s %s.\n", failed, name);
    // Also where whoever started the server sees it, as the log may be a file.
    if (o.logfp != stderr)
        fprintf(stderr, "storeserver: cannot switch to %s %s\n", failed, name);
    return -1;
}

// Set by SIGTERM or SIGINT, in the listener and in every worker.
static volatile sig_atomic_t stopRequested = 0;

static void requestStop(int)
{
    stopRequested = 1;
}

int listener_stopping()
{
    return stopRequested != 0;
}

pid_t listener_forkHelper(const char *what, int closeFd, bool defaultStop)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Cannot fork the %s: %s\n", what,
                  strerror(errno));
        return -1;
    }
    if (pid > 0)
        return pid;
    // A helper dies with the listener (also when the listener is killed),
    // so a restarted server never finds an old one still at work beside
    // its new one. The test after the prctl catches a listener that died
    // before it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    // The store lock's descriptor is closed by archive_forked: not twice.
    if (closeFd >= 0 && closeFd != archive_lockDescriptor(&server_archive))
        close(closeFd);
    signal(SIGALRM, SIG_DFL);
    if (defaultStop)
        signal(SIGTERM, SIG_DFL);
    // The listener's database sessions (the cluster's and the shared
    // index's) are the listener's: a session used from two processes mixes
    // their answers on one socket.
    archive_forked(&server_archive);
    return 0;
}

// The workers alive, for passing on a stop request.
static std::set<pid_t> workerPids;
// The forwarder (server/forwarder.h), or -1 while none runs. It runs while
// there are rules or jobs: without either it is started by the first
// housekeeping that finds a job (one made on the web); one that ended is
// started again at most once a minute.
static pid_t forwarderPid = -1;
// The audit trail's sender (core/audit.h), a child as the forwarder, or -1.
static pid_t auditPid = -1;
static time_t forwarderStarted = 0;
// The cluster's uploader (server/uploader.h, ack local), or -1; started
// again at most once a minute, as the forwarder.
static pid_t uploaderPid = -1;
static time_t uploaderStarted = 0;

static void startUploader(int storeLock)
{
    time_t now = time(nullptr);
    if (uploaderPid >= 0 || stopRequested || !uploader_wanted() ||
        (uploaderStarted != 0 && now - uploaderStarted < 60))
        return;
    uploaderStarted = now;
    uploaderPid = uploader_start(storeLock);
}

// The commitment reporter of a cluster's node (server/handlers.h), or -1;
// one that ended is started again at the next housekeeping, at most once
// a minute.
static pid_t reporterPid = -1;
static time_t reporterStarted = 0;

static void startReporter(int storeLock)
{
    time_t now = time(nullptr);
    if (reporterPid >= 0 || stopRequested || archive_clusterDb(&server_archive) == nullptr ||
        (reporterStarted != 0 && now - reporterStarted < 60))
        return;
    reporterStarted = now;
    reporterPid = commit_startReporter(storeLock);
}

static void startForwarder(int storeLock)
{
    time_t now = time(nullptr);
    if (forwarderPid >= 0 || stopRequested ||
        (forwarderStarted != 0 && now - forwarderStarted < 60))
        return;
    // A node of a cluster always runs one: any node's web page may queue a
    // job in the cluster's database, which no file here tells of.
    const forward_rules *rules = server_archive.forwardRules;
    if ((rules == nullptr || rules->rules.empty()) &&
        archive_clusterDb(&server_archive) == nullptr &&
        !forward_queued(archive_baseDir(&server_archive)))
        return;
    forwarderStarted = now;
    forwarderPid = forwarder_start(storeLock);
}

// Reaps every finished worker (waiting for them all with wait non-zero);
// returns how many. compress: the compression pass's state, whose child is
// no worker.
static int reapWorkers(int wait = 0, housekeeping_compress *compress = nullptr)
{
    int reaped = 0;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, wait ? 0 : WNOHANG);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid <= 0)
            break;
        const char *what0 = "";
        int value0 = 0;
        if (pid == auditPid) {
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Audit sender %d ended.\n", (int)pid);
            auditPid = -1;
            continue;
        }
        if (pid == uploaderPid) {
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Uploader %d ended.\n", (int)pid);
            uploaderPid = -1;
            continue;
        }
        if (pid == reporterPid) {
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Commitment reporter %d ended.\n",
                      (int)pid);
            reporterPid = -1;
            continue;
        }
        if (pid == forwarderPid) {
            // Not a worker: it does not count against the limit.
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Forwarder %d ended.\n", (int)pid);
            forwarderPid = -1;
            continue;
        }
        if (compress != nullptr && pid == compress->pid) {
            if (housekeeping_exitreport(status, &what0, &value0))
                logprintf(LOGLEVEL_ERROR, server_options.logfp, "Compression pass %d ended%s %d.\n",
                          (int)pid, what0, value0);
            compress->pid = -1;
            continue;
        }
        reaped++;
        workerPids.erase(pid);
        const char *what = "";
        int value = 0;
        if (housekeeping_exitreport(status, &what, &value))
            logprintf(LOGLEVEL_ERROR, server_options.logfp, "Child %d terminated%s %d.\n", (int)pid,
                      what, value);
    }
    return reaped;
}

// At the end of a worker, with -D: its peak resident memory, what serving
// its peer cost (the limits on a received data set bound it).
static void logPeakMemory()
{
    FILE *f = fopen("/proc/self/status", "re");
    if (f == nullptr)
        return;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned long kb = 0;
        if (sscanf(line, "VmHWM: %lu kB", &kb) == 1) {
            logprintf(LOGLEVEL_DEBUG, server_options.logfp, "Worker peak memory: VmHWM %lu kB\n",
                      kb);
            break;
        }
    }
    fclose(f);
}

// What the accept check found on this worker's connection.
enum acceptOutcome {
    ACCEPT_PLAIN = 0,   // a peer that called in itself (or no check ran)
    ACCEPT_PROXIED = 1, // a client behind a trusted proxy, named by its header
    ACCEPT_SILENT = 2,  // a proxy's health check: dropped without a word above debug
    ACCEPT_REFUSED = 3, // dropped, the reason logged
};
static acceptOutcome acceptFound = ACCEPT_PLAIN;

// The socket's peer as a numeric address (an IPv4 peer on an IPv6 socket
// as IPv4), "" when unknown.
static void socketPeer(int fd, char *out, size_t size)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    char host[NI_MAXHOST] = "";
    out[0] = '\0';
    if (getpeername(fd, (struct sockaddr *)&ss, &len) != 0 ||
        getnameinfo((struct sockaddr *)&ss, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) !=
            0)
        return;
    const char *text = host;
    if (strncmp(text, "::ffff:", 7) == 0 && strchr(text + 7, ':') == nullptr)
        text += 7;
    if (strlen(text) < size)
        memcpy(out, text, strlen(text) + 1);
}

// Whether the first byte an untrusted peer sends starts a PROXY header
// (waiting for it no longer than the header's time): no DICOM PDU (types
// 1 to 7) nor TLS record (0x14 to 0x18) starts with its 0x0d. Reads
// nothing: the toolkit reads the peer's bytes as usual.
static bool sendsProxyHeader(int fd)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    int r;
    while ((r = poll(&pfd, 1, LISTENER_PROXY_HEADER_MS)) < 0 && errno == EINTR)
        ;
    unsigned char first = 0;
    return r > 0 && recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && first == 0x0d;
}

// The accept check of a node behind load balancers (the Cluster file's
// proxy addresses), run on each accepted connection before the toolkit
// (or the TLS handshake) reads from it. From a trusted proxy a PROXY
// protocol v2 header is required and read, within a short time and to a
// bounded length, and its client becomes the association's peer for the
// access policy, the log and the audit trail; a proxy's health check
// (closed before a byte, or a LOCAL header) is dropped silently; anything
// else from a proxy is refused. From anywhere else the connection is a
// plain peer's, as without proxies, except that a PROXY header (which only
// a trusted proxy may send) is refused. Logs name numeric addresses and
// fixed texts only: nothing of the peer's bytes.
static int checkAccepted(int fd, char *peer, size_t size)
{
    const serveroptions &o = server_options;
    const cluster_config *cluster = archive_clusterConfig(&server_archive);
    char from[64];
    socketPeer(fd, from, sizeof from);
    // A connection reset before the worker took it has no peer any more:
    // a proxy's health check that said its LOCAL header and hung up, or a
    // peer that gave up. Nothing can be served on it.
    if (from[0] == '\0') {
        logprintf(LOGLEVEL_DEBUG, o.logfp, "Connection closed before it was read.\n");
        acceptFound = ACCEPT_SILENT;
        return 1;
    }
    if (cluster == nullptr || !cluster_isProxy(*cluster, from)) {
        if (!sendsProxyHeader(fd))
            return 0;
        logprintf(LOGLEVEL_WARNING, o.logfp,
                  "Refused a PROXY protocol header from %s, which is no trusted proxy.\n", from);
        acceptFound = ACCEPT_REFUSED;
        return 1;
    }
    proxyheader h;
    const char *why = "";
    switch (proxyheader_read(fd, LISTENER_PROXY_HEADER_MS, &h, &why)) {
    case PROXYHEADER_READ_PROXY:
        snprintf(peer, size, "%s", h.source);
        logprintf(LOGLEVEL_NOTICE, o.logfp, "Connection from %s through proxy %s\n", h.source,
                  from);
        acceptFound = ACCEPT_PROXIED;
        return 0;
    case PROXYHEADER_READ_CLOSED:
    case PROXYHEADER_READ_LOCAL:
        logprintf(LOGLEVEL_DEBUG, o.logfp, "Health check from proxy %s\n", from);
        acceptFound = ACCEPT_SILENT;
        return 1;
    case PROXYHEADER_READ_SILENT:
    case PROXYHEADER_READ_TRUNCATED:
    case PROXYHEADER_READ_BAD:
        break;
    }
    logprintf(LOGLEVEL_WARNING, o.logfp, "Dropped a connection from proxy %s: %s.\n", from, why);
    acceptFound = ACCEPT_REFUSED;
    return 1;
}

// In a worker: accepts the connection the listener saw waiting, closes
// taken once it is off the listening socket, reads the association request
// and serves it, or refuses it when the listener found too many workers.
static void serveConnection(T_ASC_Network *net, bool secure, bool tooMany, int taken)
{
    const serveroptions &o = server_options;
    alarm(LISTENER_PHASE_ALARM);
    dicomnet_transport_close_on_connection(taken);
    T_ASC_Association *assoc = nullptr;
    // Behind load balancers each accepted connection is checked before
    // anything reads from it (a PROXY header comes before the TLS
    // handshake); on one host nothing is, as ever.
    const cluster_config *cluster = archive_clusterConfig(&server_archive);
    acceptFound = ACCEPT_PLAIN;
    if (cluster != nullptr && !cluster->proxies.empty())
        dicomnet_transport_check_next_accept(checkAccepted);
    // Another process may have taken the connection after all: wait for
    // one no longer than a second.
    // On the TLS port the TLS handshake happens here too, in the worker.
    OFCondition cond = ASC_receiveAssociation(net, &assoc, LISTENER_MAX_PDU, nullptr, nullptr,
                                              secure, DUL_NOBLOCK, 1);
    dicomnet_transport_close_on_connection(-1);
    dicomnet_transport_check_next_accept(nullptr);
    if (cond.bad()) {
        // A connection the check dropped was logged by it (or is a
        // health check, worth no line).
        if (cond != DUL_NOASSOCIATIONREQUEST && acceptFound != ACCEPT_SILENT &&
            acceptFound != ACCEPT_REFUSED)
            dumpCondition(nullptr, cond);
        if (assoc != nullptr) {
            ASC_dropSCPAssociation(assoc);
            ASC_destroyAssociation(&assoc);
        }
        alarm(0);
        return;
    }
    DIC_AE calling = "", called = "";
    if (ASC_getAPTitles(assoc->params, calling, sizeof(calling), called, sizeof(called), nullptr, 0)
            .good())
        logprintf(LOGLEVEL_NOTICE, o.logfp, "Inbound call from %s to %s\n", calling, called);
    if (tooMany) {
        endAssociation(assoc, ES_RR_TooMany);
        alarm(0);
        return;
    }
    handleAssociation(net, assoc);
    logPeakMemory();
}

// When no worker can be started, or too many run: takes the waiting
// connection off the listening socket and refuses it for reason with an
// A-ASSOCIATE-RJ written straight to the socket, without waiting for the
// peer's request (the listener must not wait for any peer).
static void refuseUnforked(T_ASC_Network *net, endReason reason)
{
    const refusal &r = refusals[reason];
    logprintf(LOGLEVEL_NOTICE, server_options.logfp, "Refusing Association due to %s.\n", r.text);
    int listenfd = (int)((PRIVATE_NETWORKKEY *)net->network)->networkSpecific.TCP.listenSocket;
    int fd = accept4(listenfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // A-ASSOCIATE-RJ: type 3, reserved, length 4, reserved, result, source, reason.
    unsigned char pdu[10] = {0x03, 0, 0, 0, 0, 4, 0};
    pdu[7] = (unsigned char)r.result;
    pdu[8] = (unsigned char)r.source;
    pdu[9] = (unsigned char)(r.reason & 0xff);
    // Best effort: a peer whose buffer is full sees the connection close.
    // Whatever of its request has arrived is read first: closing a socket
    // with unread data resets the connection, and the reset could reach the
    // peer before it has read the rejection.
    (void)send(fd, pdu, sizeof pdu, MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0)
        ;
    close(fd);
}

// Waits until the worker has closed (or, by ending, dropped) its end of the
// pipe: it then has the connection. The wait is bounded, so that a worker
// that cannot get going never holds up the listener for long. Closes fd.
static void waitTaken(int fd)
{
    if (fd == -1)
        return;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, LISTENER_TAKE_WAIT_MS) < 0 && errno == EINTR)
        ;
    close(fd);
}

// Every worker starts with a copy of each resident page of the listener's
// heap: what a reload or a compaction freed is given back to the system
// first, so that it does not count against every worker's memory.
static void trimHeap()
{
    malloc_trim(0);
}

// Brings the study table and its key digests up to date before a fork.
static void refreshTable()
{
    if (archive_refresh(&server_archive) > 0)
        trimHeap();
}

// The idle-time disk check: announces DISK and refreshes the study table.
static void checkDisk(int *check_interval)
{
    uint64_t total, freebytes;
    archive_diskSpace(&server_archive, &total, &freebytes);
    int percent = housekeeping_diskpercent(total, freebytes, check_interval);
    server_state.change(SS_DISK, percent);
    archive_refresh(&server_archive);
    archive_compact(&server_archive);
    trimHeap();
}

// Stop requests end the listening loop at its next turn: no system call is
// restarted after them (no SA_RESTART), so a wait for a request ends early.
static void catchStopSignals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = requestStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// A stop: no new association; each worker is asked to stop too, which it
// does between two operations (after flushing what it stored), and the
// listener waits for them all before it returns.
static void stopWorkers(housekeeping_compress *compress)
{
    const serveroptions &o = server_options;
    logprintf(LOGLEVEL_NOTICE, o.logfp, "Stopping: waiting for %d running association(s).\n",
              (int)workerPids.size());
    for (pid_t pid : workerPids)
        kill(pid, SIGTERM);
    if (forwarderPid > 0)
        kill(forwarderPid, SIGTERM);
    if (uploaderPid > 0)
        kill(uploaderPid, SIGTERM);
    if (reporterPid > 0)
        kill(reporterPid, SIGTERM);
    // A pass ends wherever it is: what it leaves, the next one finishes.
    if (compress->pid > 0)
        kill(compress->pid, SIGTERM);
    if (auditPid > 0) {
        // The workers' last messages and the Stop are spooled before the
        // sender is told to end: its last pass sends them.
        for (pid_t pid : std::set<pid_t>(workerPids)) {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
                ;
            workerPids.erase(pid);
        }
        audit_application(server_archive.audit, false);
        kill(auditPid, SIGTERM);
    } else {
        audit_application(server_archive.audit, false);
    }
    reapWorkers(1, compress);
    logprintf(LOGLEVEL_NOTICE, o.logfp, "Stopped.\n");
}

// Opens a listening network on port; null after the failure is logged.
static T_ASC_Network *openNetwork(int port)
{
    T_ASC_Network *net = dicomnet_net_init_listen(port, 1);
    if (net == nullptr) {
        // errno is still the failed bind's or listen's.
        const char *why = strerror(errno);
        logprintf(LOGLEVEL_FATAL, server_options.logfp, "Cannot listen on port %d: %s\n", port,
                  why);
        fprintf(stderr, "storeserver: cannot listen on port %d: %s\n", port, why);
    }
    return net;
}

static void closeNetworks(T_ASC_Network *const nets[], int count)
{
    for (int i = 0; i < count; i++) {
        if (nets[i] != nullptr)
            dicomnet_net_exit(nets[i]);
    }
}

int runListener()
{
    const serveroptions &o = server_options;
    catchStopSignals();
    // The network layer's long waits (a command, a C-STORE response) look
    // at the stop request every second.
    dicomnet_set_stop_check(listener_stopping);
    // The archive's start (server/main.cc opened it), in two halves. First
    // the store lock: while the server runs, the listener holds it shared
    // (its workers close their copies), so storeindex rebuild, which
    // rewrites every index file, refuses to run beside it; and a rebuild
    // that runs already keeps the server from starting, before its ports
    // open (a store not made yet is served unlocked, a lock that fails
    // otherwise is warned of).
    if (archive_start(&server_archive, nullptr, true) != 0) {
        // EAGAIN, the only failure of a shared lock; EBUSY, a restore into
        // the store that has not ended.
        const char *what = errno == EBUSY ? "restored" : "rebuilt";
        logprintf(LOGLEVEL_FATAL, o.logfp, "Store %s is being %s (storeindex holds it).\n",
                  archive_baseDir(&server_archive), what);
        fprintf(stderr, "storeserver: store %s is being %s by storeindex\n",
                archive_baseDir(&server_archive), what);
        return 1;
    }
    // The site's retention policy (core/retention.h): one that cannot be
    // read stops the start, as an unusable capacity policy does.
    retention_policy retention;
    if (retention_start(&retention, o.logfp, "storeserver") != 0)
        return 1;
    // The plain port, the TLS port, or both; nets[secure] is the TLS one.
    // They open before the recovery below, which a connection meanwhile
    // waits for in the backlog: a port below 1024 is bound with the
    // privileges that the recovery must not run with, and a second server
    // started by mistake on a taken port ends here, before its recovery
    // could finish the stores that the running one has in hand.
    T_ASC_Network *nets[2] = {nullptr, nullptr};
    int count = 0, secure = -1;
    if (server_tls.port == 0 || server_tls.plain)
        nets[count++] = openNetwork(o.port);
    if (server_tls.port != 0 && (count == 0 || nets[0] != nullptr)) {
        secure = count;
        nets[count++] = openNetwork(server_tls.port);
    }
    if (count == 0 || nets[count - 1] == nullptr) {
        closeNetworks(nets, count);
        return 1;
    }
    if (secure >= 0)
        logprintf(LOGLEVEL_NOTICE, o.logfp, "DICOM over TLS on Port %d.\n", server_tls.port);
    logprintf(LOGLEVEL_NOTICE, o.logfp, "PACS Server AET %s now listening on Port %d.\n", o.aetitle,
              secure == 0 ? server_tls.port : o.port);
    if (dropPrivileges() != 0) {
        closeNetworks(nets, count);
        return 1;
    }
    // The toolkit reads its data dictionary (several thousand lines) at its
    // first use; loaded here, every worker inherits it instead of reading
    // it again after the fork.
    dcmDataDict.isDictionaryLoaded();
    // The second half of the archive's start: images answered but not yet
    // flushed in the tree by a worker that died, a delete, a store and a
    // compaction cut short by a crash, are finished before anyone reads the
    // index (as the user the files belong to, so after the drop), and the
    // table and the key digests that every worker's queries use are brought
    // up to date (a missing or stale keys file rebuilt), before the first
    // query: see archive_start. The lock is held already: it cannot fail.
    if (archive_start(&server_archive, nullptr) != 0)
        abort();
    int storeLock = archive_lockDescriptor(&server_archive);
    trimHeap();
    server_state.change(SS_IDLE, 1);
    // After the recovery: a forward never reads an image a crash left
    // half entered.
    startForwarder(storeLock);
    startUploader(storeLock);
    startReporter(storeLock);
    // The compression passes, counted from the start.
    compress_config compressCfg;
    housekeeping_compress compress;
    compressor_settings(&compressCfg, &compress.every);
    compress.last = time(nullptr);
    audit_application(server_archive.audit, true);
    auditPid = audit_forkSender(server_archive.audit, storeLock);

    int workers = 0;
    int check_interval = HOUSEKEEPING_CHECK_INTERVAL;
    time_t last_check = time(nullptr);
    time_t last_retention = time(nullptr);

    while (!stopRequested) {
        int ready = dicomnet_net_wait(nets, count, LISTENER_WAIT_SECONDS);
        if (ready >= 0 && !stopRequested) {
            T_ASC_Network *net = nets[ready];
            // Workers that have ended since the last housekeeping no longer
            // count against the limit.
            if (workers > o.max_assocs)
                workers -= reapWorkers(0, &compress);
            bool tooMany = workers > o.max_assocs;
            // A refusal is read by a worker too, so that a silent peer holds
            // up only that worker; but a flood of connections must not
            // become a flood of processes: beyond a few such workers the
            // listener refuses at once.
            if (tooMany && workers > o.max_assocs + LISTENER_MAX_REFUSING) {
                refuseUnforked(net, ES_RR_TooMany);
                continue;
            }
            // The worker inherits the study table: bring it up to date first.
            refreshTable();
            // The worker accepts the connection and reads the association
            // request itself, so that a peer that sends nothing, or sends
            // slowly, holds up only its own worker. The listener waits only
            // until the worker has taken the connection off the listening
            // socket (it closes its end of the pipe), or it would fork again
            // for the same connection.
            int taken[2] = {-1, -1};
            if (pipe2(taken, O_CLOEXEC) != 0)
                taken[0] = taken[1] = -1;
            pid_t pid = fork();
            if (pid == 0) {
                // The worker: any alarm that runs out ends it. It returns
                // (no _exit) so that the shutdown in main runs for it too;
                // that is safe because every log line is flushed as it is
                // written, so no buffered output of the listener is
                // written a second time by the worker's exit.
                signal(SIGALRM, SIG_DFL);
                workerPids.clear();
                forwarderPid = -1;
                uploaderPid = -1;
                reporterPid = -1;
                // The worker inherits the archive as the listener has it:
                // the store (its study table current, refreshed above) and
                // the descriptor of the store lock, which shares the
                // listener's flock. The lock is the listener's alone: a copy
                // here would keep it after the listener is gone, until this
                // worker ends; a worker needs none, as the listener's holds
                // a rebuild off for as long as any worker can run under it
                // (a stopping listener waits for its workers).
                archive_forked(&server_archive);
                if (taken[0] != -1)
                    close(taken[0]);
                serveConnection(net, ready == secure, tooMany, taken[1]);
                return 0;
            }
            if (taken[1] != -1)
                close(taken[1]);
            if (pid < 0) {
                refuseUnforked(net, ES_RR_ForkFailed);
            } else {
                workers++;
                workerPids.insert(pid);
            }
            waitTaken(taken[0]);
        }

        // Housekeeping.
        workers -= reapWorkers(0, &compress);
        // Retention runs busy or idle: a server that is never idle fills its
        // disk all the same. Its deletes wait for each study's lock, which a
        // worker holds only while it places and indexes an image.
        if (retention.active() &&
            housekeeping_retentionDue(time(nullptr), last_retention, retention.intervalSeconds)) {
            archive_retention(&server_archive, retention, false, nullptr, o.logfp);
            last_retention = time(nullptr);
        }
        startForwarder(storeLock);
        startUploader(storeLock);
        startReporter(storeLock);
        if (workers <= 0) {
            workers = 0;
            server_state.change(SS_IDLE, 1);
            char text[MULTICAST_MSGSIZE];
            snprintf(text, sizeof(text), MONITORMSG_DISCOVER_AET " %s %d", o.aetitle, o.port);
            server_state.change_verbose(text);
            time_t now = time(nullptr);
            if (now > last_check + check_interval) {
                checkDisk(&check_interval);
                last_check = now;
            }
            if (housekeeping_compressDue(compress, now)) {
                compress.last = now;
                compress.pid = compressor_start(storeLock, compressCfg);
            }
        } else {
            server_state.change(SS_BUSY, workers);
        }
        server_state.checklisten();
        if (auditPid < 0 && !stopRequested)
            auditPid = audit_forkSender(server_archive.audit, storeLock);
    }
    closeNetworks(nets, count);
    stopWorkers(&compress);
    // The store lock goes with the archive (archive_close in main).
    return 0;
}

// Whether the access policy grants the calling peer anything at all; a
// peer it does not know is rejected before its association is accepted.
static bool associationPermitted(T_ASC_Association *assoc)
{
    char peer[64] = "";
    DIC_AE calling = "", called = "";
    dicomnet_peer_address(assoc, peer, sizeof(peer));
    if (ASC_getAPTitles(assoc->params, calling, sizeof(calling), called, sizeof(called), nullptr, 0)
            .bad())
        calling[0] = '\0';
    return AccessPolicy_CheckAssociation(&server_access, &server_aetmap, calling, peer,
                                         server_options.logfp) != 0;
}

OFCondition handleAssociation(T_ASC_Network *net, T_ASC_Association *assoc)
{
    const serveroptions &o = server_options;
    T_ASC_Parameters *params = assoc->params;
    OFCondition cond = EC_Normal;
    int synced;
    int deferred = 0; // the flush comes after the release is confirmed

    alarm(LISTENER_PHASE_ALARM);
    if (dicomnet_params_accept_std_PC(params, UID_VerificationSOPClass).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register ECHO\n");
    if (dicomnet_params_accept_std_PCs(params, dcmAllStorageSOPClassUIDs,
                                       numberOfDcmAllStorageSOPClassUIDs)
            .bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register STORE\n");
    if (!o.no_unknown_pcs) {
        int count = 0;
        const char *const *ts = dicomnet_get_STD_TS(count);
        dicomnet_params_accept_unknown_PCs(params, ts, count, ASC_SC_ROLE_DEFAULT);
    }
    if (dicomnet_params_accept_std_PCs(params, findSOPClasses, 2).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register FIND\n");
    dicomnet_params_accept_query_extneg(params, findSOPClasses, 2);
    if (dicomnet_params_accept_std_PCs(params, moveSOPClasses, 2).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register MOVE\n");
    if (dicomnet_params_accept_std_PCs(params, getSOPClasses, 2).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register GET\n");
    if (dicomnet_params_accept_std_PC(params, UID_FINDModalityWorklistInformationModel).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register WORKLIST\n");
    if (dicomnet_params_accept_std_PC(params, UID_StorageCommitmentPushModelSOPClass).bad())
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't register COMMITMENT\n");
    acceptProposedRoles(params);

    ASC_setAPTitles(params, nullptr, nullptr, o.aetitle);

    char context[sizeof(params->DULparams.applicationContextName) + 1] = "";
    cond = ASC_getApplicationContextName(params, context, sizeof(context));
    if (cond.bad() || strcmp(context, UID_StandardApplicationContext) != 0) {
        if (cond.bad())
            context[0] = '\0';
        logprintf(LOGLEVEL_ERROR, o.logfp, "Can't find StandardApplicationContext - have %s\n",
                  context);
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED};
        ASC_rejectAssociation(assoc, &rej);
        goto out;
    }

    if (!associationPermitted(assoc)) {
        T_ASC_RejectParameters rej = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED};
        ASC_rejectAssociation(assoc, &rej);
        goto out;
    }

    cond = ASC_acknowledgeAssociation(assoc);
    if (cond.bad())
        goto out;
    // HTJ2K contexts, which the toolkit's message layer would refuse.
    dicomnet_assoc_stand_in(assoc);

    {
        DIC_AE calling = "", called = "";
        alarm(LISTENER_PHASE_ALARM);
        if (ASC_getAPTitles(params, calling, sizeof(calling), called, sizeof(called), nullptr, 0)
                .good())
            logprintf(LOGLEVEL_INFO, o.logfp, "good assoc from %s to %s\n", calling, called);
        alarm(0);

        cond = processCommands(net, assoc, calling, called);
    }

    // Everything the association stored reaches the disk before its release
    // is confirmed (a peer may delete its copies once the transfer is done),
    // and before the worker ends after an abort. No alarm runs here: the
    // sync cannot be interrupted, and a worker ended by the alarm right
    // after it would deny the peer a release that is already safe. A failed
    // flush must not look like success: the association is aborted.
    //
    // With -S every image is on disk in the journal before its response, and
    // when the journal holds all that the association changed, the release
    // is confirmed first and the tree flushed after it, while the peer goes
    // on: a crash (or a failed flush) in between leaves the journal, which
    // the next start writes into the tree again.
    deferred = cond == DUL_PEERREQUESTEDRELEASE && archive_journalHoldsAll(&server_archive);
    synced = deferred || archive_flush(&server_archive) == 0;

    alarm(LISTENER_PHASE_ALARM);
    if (!synced) {
        logprintf(LOGLEVEL_ERROR, o.logfp,
                  "What this association stored could not be flushed to disk: aborting it.\n");
        ASC_abortAssociation(assoc);
    } else if (cond == DUL_PEERREQUESTEDRELEASE)
        ASC_acknowledgeRelease(assoc);
    else if (cond == DUL_PEERABORTEDASSOCIATION)
        logprintf(LOGLEVEL_NOTICE, o.logfp, "Association aborted\n");
    else {
        // The abort waits for the peer to close; a peer that does not (or
        // is still sending a data set that was refused) must not hold the
        // worker, nor a stop, for the phase alarm.
        dicomnet_transport_stop_reading(assoc);
        ASC_abortAssociation(assoc);
    }

out:
    ASC_dropSCPAssociation(assoc);
    ASC_destroyAssociation(&assoc);
    alarm(0);
    if (deferred && archive_flush(&server_archive) != 0)
        logprintf(LOGLEVEL_ERROR, o.logfp,
                  "The stored images could not be flushed into the store: its journal keeps "
                  "them for the next start.\n");
    // A commitment report that the peer did not wait for goes now, over an
    // association of its own.
    commit_sendPending(net);
    return cond;
}
