// The watch loop of studywatch: promote, launch, reap, wait for and read one
// datagram, and again.
#include "studywatch/watchloop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "runtime/logprintf.h"
#include "runtime/multicast.h"
#include "studywatch/storeuid.h"

int64_t watchloop_now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int watchloop_command(const char *studyuid, char *out, size_t size)
{
    int n = snprintf(out, size, WATCHLOOP_COMMAND_FORMAT, studyuid);
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : 0;
}

// Runs in the child: replaces it with the renderer, or ends it.
[[noreturn]] static void exec_renderer(const char *studyuid, FILE *log)
{
    char command[WATCHLOOP_COMMAND_SIZE];
    // A study UID has at most SQ_UIDSIZE - 1 characters, which always fit.
    if (watchloop_command(studyuid, command, sizeof command) != 0)
        _exit(WATCHLOOP_EXIT_CANNOTEXEC);
    logprintf(LOGLEVEL_INFO, log, "Execing with -b %s\n", command);
    execlp(WATCHLOOP_RENDERER, WATCHLOOP_RENDERER, "-q", "-p", "batch", "-b", command,
           static_cast<char *>(NULL));
    // _exit, not exit: the child holds copies of the daemon's stdio buffers
    // and atexit handlers, which must run only once, in the daemon. The status
    // tells a renderer missing from PATH from one that could not be executed.
    _exit(errno == ENOENT ? WATCHLOOP_EXIT_NOTFOUND : WATCHLOOP_EXIT_CANNOTEXEC);
}

pid_t watchloop_launch(SQ_queue *q, int maxchildren, FILE *log)
{
    if (SQ_count(q, SQ_RUNNING) >= static_cast<unsigned>(maxchildren))
        return 0;
    SQ_entry *e = SQ_next_ready(q);
    if (!e)
        return 0;
    pid_t pid = fork();
    if (pid < 0) {
        logprintf(LOGLEVEL_SEVERE, log, "Fork() failure?!\n");
        return -1;
    }
    if (pid == 0)
        exec_renderer(e->studyuid, log);
    e->child = pid;
    SQ_update_state(q, e, SQ_RUNNING);
    logprintf(LOGLEVEL_INFO, log, "Processing uid %s in child %d.\n", e->studyuid,
              static_cast<int>(pid));
    return pid;
}

int watchloop_reap(SQ_queue *q, FILE *log)
{
    int reaped = 0;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        reaped++;
        if (WIFEXITED(status)) {
            if (WEXITSTATUS(status) != 0)
                logprintf(LOGLEVEL_DEBUG, log, "Child %d terminated%s %d.\n", static_cast<int>(pid),
                          " with exit code", WEXITSTATUS(status));
        } else if (WIFSIGNALED(status)) {
            logprintf(LOGLEVEL_DEBUG, log, "Child %d terminated%s %d.\n", static_cast<int>(pid),
                      " due to signal", WTERMSIG(status));
        } else {
            logprintf(LOGLEVEL_DEBUG, log, "Child %d terminated%s %d.\n", static_cast<int>(pid),
                      " for an unknown reason", 0);
        }
        SQ_entry *e = SQ_find_child(q, pid);
        if (!e) {
            logprintf(LOGLEVEL_ERROR, log, "Child %d unknown!\n", static_cast<int>(pid));
            continue;
        }
        if (e->state != SQ_RUNNING)
            logprintf(LOGLEVEL_ERROR, log, "Huh? State mismatch for child %d.\n",
                      static_cast<int>(pid));
        SQ_finish(q, e);
    }
    return reaped;
}

// When a refusal for a full queue was last logged (monotonic milliseconds,
// -1: never), and the refusals not logged since.
static int64_t fullLoggedAt = -1;
static unsigned fullUnlogged = 0;

int watchloop_receive(int sock, SQ_queue *q, int64_t now, FILE *log)
{
    char buf[MULTICAST_MSGSIZE];
    char uid[SQ_UIDSIZE];
    struct sockaddr_in src;
    int from_channel = 0;
    // n is the datagram's real length, so one longer than the buffer is
    // recognised as cut rather than read as if whole.
    ssize_t n = multicast_receive(sock, buf, sizeof buf, &src, &from_channel);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        logprintf(LOGLEVEL_ERROR, log, "Error receiving message.\n");
        return -1;
    }
    // Unicast sent straight to the port, or from beyond the networks this
    // host is attached to, is not the channel's: no server sent it.
    if (!from_channel)
        return 0;
    if (n == 0 || static_cast<size_t>(n) > sizeof buf)
        return 0;
    // Only the n bytes of this datagram are parsed: whatever an earlier,
    // longer datagram left in a buffer is never read.
    int r = storeuid_parse(buf, static_cast<size_t>(n), uid, sizeof uid);
    if (r == STOREUID_BADUID) {
        logprintf(LOGLEVEL_WARNING, log, "Ignored an announcement with an unusable study UID.\n");
        return 0;
    }
    if (r != STOREUID_OK)
        return 0;
    int added = SQ_announce(q, uid, now);
    if (added == -2) {
        // A flood of new studies against a full queue would flood the log
        // too: one line a second at most, counting the refusals between.
        if (fullLoggedAt >= 0 && now - fullLoggedAt < 1000) {
            fullUnlogged++;
            return 0;
        }
        if (fullUnlogged > 0)
            logprintf(LOGLEVEL_WARNING, log,
                      "Study queue full (%u studies): announcement of %s refused (and %u more "
                      "since the last line).\n",
                      SQ_size(q), uid, fullUnlogged);
        else
            logprintf(LOGLEVEL_WARNING, log,
                      "Study queue full (%u studies): announcement of %s refused.\n", SQ_size(q),
                      uid);
        fullLoggedAt = now;
        fullUnlogged = 0;
        return 0;
    }
    if (added < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Out of memory: announcement of %s dropped.\n", uid);
        return 0;
    }
    return 1;
}

// Waits up to timeout_ms for a datagram on sock. Returns 1 if one is
// waiting, 0 otherwise.
static int wait_datagram(int sock, int timeout_ms)
{
    struct pollfd p;
    p.fd = sock;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, timeout_ms) > 0;
}

int watchloop_run(unsigned short port, int timeout_seconds, int maxchildren, FILE *log)
{
    SQ_queue q;
    int64_t timeout = static_cast<int64_t>(timeout_seconds) * 1000;
    int sock = multicast_listen_udp(port, WATCHLOOP_GROUP);
    if (sock < 0) {
        logprintf(LOGLEVEL_FATAL, log, "Can't bind multicast socket.\n");
        return -1;
    }
    // The renderer has no use for the channel; without close-on-exec every
    // running renderer would stay a member of the group.
    fcntl(sock, F_SETFD, FD_CLOEXEC);
    logprintf(LOGLEVEL_NOTICE, log, "Multicast channel subscribed. Server up.\n");
    SQ_init(&q);
    for (;;) {
        int64_t now = watchloop_now();
        SQ_promote(&q, now, timeout);
        watchloop_launch(&q, maxchildren, log);
        watchloop_reap(&q, log);
        if (!wait_datagram(sock, 1000))
            continue;
        watchloop_receive(sock, &q, watchloop_now(), log);
    }
}
