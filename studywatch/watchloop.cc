// The watch loop of studywatch: promote, launch, reap, wait for and read one
// datagram, and again.
#include "studywatch/watchloop.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
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

pid_t watchloop_spawn(const char *studyuid, FILE *log)
{
    pid_t pid = fork();
    if (pid < 0) {
        logprintf(LOGLEVEL_SEVERE, log, "Fork() failure?!\n");
        return -1;
    }
    if (pid == 0)
        exec_renderer(studyuid, log);
    return pid;
}

pid_t watchloop_launch(SQ_queue *q, int maxchildren, FILE *log)
{
    if (SQ_count(q, SQ_RUNNING) >= static_cast<unsigned>(maxchildren))
        return 0;
    SQ_entry *e = SQ_next_ready(q);
    if (!e)
        return 0;
    pid_t pid = watchloop_spawn(e->studyuid, log);
    if (pid < 0)
        return -1;
    e->child = pid;
    SQ_update_state(q, e, SQ_RUNNING);
    logprintf(LOGLEVEL_INFO, log, "Processing uid %s in child %d.\n", e->studyuid,
              static_cast<int>(pid));
    return pid;
}

static void note_renderer(int status, FILE *log);

int watchloop_reap(SQ_queue *q, FILE *log)
{
    int reaped = 0;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        reaped++;
        watchloop_note_end(pid, status, log);
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

void watchloop_note_end(pid_t pid, int status, FILE *log)
{
    if (WIFEXITED(status)) {
        note_renderer(WEXITSTATUS(status), log);
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
}

// One reason for ignoring or refusing datagrams, logged at most once per
// interval: when its last line was written (monotonic milliseconds, -1:
// never) and how many datagrams of the reason were not logged since.
struct ratelog {
    int64_t loggedAt;
    unsigned held;
};

// The watch loop's state; studywatch is one process and one thread (the
// SIGCHLD handler only writes to the pipe).
static struct {
    // The reasons' rate limits and their interval.
    ratelog badUid = {-1, 0};
    ratelog queueFull = {-1, 0};
    ratelog madeRoom = {-1, 0};
    int64_t logInterval = WATCHLOOP_LOG_INTERVAL_DEFAULT;
    // The archive's addresses (-a), or none: then this host's own addresses
    // (multicast_own_address, read again every few seconds: an interface
    // may gain an address).
    uint32_t archiveAddresses[WATCHLOOP_MAX_ARCHIVE] = {};
    int archiveCount = 0;
    // The pipe that SIGCHLD writes to, so that a child's end wakes the loop
    // at once and its slot goes to the next study.
    int childPipe[2] = {-1, -1};
    // The renderer could not be started (the status of the child that
    // found so, or 0): said once, not for every study, until a child runs
    // it again.
    int rendererFailed = 0;
} watch;

// A child ended with status: a renderer that cannot be started is said
// once (with the PATH it was looked for in), at error level, as nothing
// gets rendered until someone installs it.
static void note_renderer(int status, FILE *log)
{
    if (status != WATCHLOOP_EXIT_NOTFOUND && status != WATCHLOOP_EXIT_CANNOTEXEC) {
        watch.rendererFailed = 0;
        return;
    }
    if (watch.rendererFailed == status)
        return;
    watch.rendererFailed = status;
    const char *path = getenv("PATH");
    logprintf(LOGLEVEL_ERROR, log,
              "Renderer %s %s in PATH %s: quiet studies are not rendered until it is "
              "installed there.\n",
              WATCHLOOP_RENDERER,
              status == WATCHLOOP_EXIT_NOTFOUND ? "not found" : "found but cannot be executed",
              path != nullptr ? path : "(unset)");
}

void watchloop_set_log_interval(int64_t ms)
{
    if (ms <= 0)
        abort();
    watch.logInterval = ms;
    watch.badUid = watch.queueFull = watch.madeRoom = ratelog{-1, 0};
}

// True when a line of reason r may be written at now; otherwise the event
// is counted for a later line.
static bool ratelog_due(ratelog *r, int64_t now)
{
    if (r->loggedAt >= 0 && now - r->loggedAt < watch.logInterval) {
        r->held++;
        return false;
    }
    return true;
}

// Records that a line of reason r was written at now; returns how many
// events it was held back for (to be said in the line).
static unsigned ratelog_written(ratelog *r, int64_t now)
{
    unsigned held = r->held;
    r->loggedAt = now;
    r->held = 0;
    return held;
}

// " (and N more since the last line)" or "", into out.
static const char *held_text(unsigned held, char *out, size_t size)
{
    if (held == 0)
        out[0] = '\0';
    else
        snprintf(out, size, " (and %u more since the last line)", held);
    return out;
}

// A held-back count is due when the interval after its last line is over.
static bool flush_due(const ratelog *r, int64_t now)
{
    return r->held > 0 && now - r->loggedAt >= watch.logInterval;
}

int64_t watchloop_flush_log(int64_t now, FILE *log)
{
    if (flush_due(&watch.badUid, now))
        logprintf(LOGLEVEL_WARNING, log,
                  "Ignored %u more announcements with an unusable study UID since the last "
                  "line.\n",
                  ratelog_written(&watch.badUid, now));
    if (flush_due(&watch.queueFull, now))
        logprintf(LOGLEVEL_WARNING, log,
                  "Study queue full: %u more announcements refused since the last line.\n",
                  ratelog_written(&watch.queueFull, now));
    if (flush_due(&watch.madeRoom, now))
        logprintf(LOGLEVEL_WARNING, log,
                  "Study queue full: %u more studies of unknown senders dropped for the "
                  "archive's since the last line.\n",
                  ratelog_written(&watch.madeRoom, now));
    int64_t next = -1;
    const ratelog *reasons[] = {&watch.badUid, &watch.queueFull, &watch.madeRoom};
    for (const ratelog *r : reasons) {
        if (r->held == 0)
            continue;
        int64_t at = r->loggedAt + watch.logInterval;
        if (next < 0 || at < next)
            next = at;
    }
    return next;
}

void watchloop_set_archive(const uint32_t *addresses, int count)
{
    if (count < 0 || count > WATCHLOOP_MAX_ARCHIVE)
        abort();
    for (int i = 0; i < count; i++)
        watch.archiveAddresses[i] = addresses[i];
    watch.archiveCount = count;
}

int watchloop_is_archive(uint32_t address)
{
    if (watch.archiveCount > 0) {
        for (int i = 0; i < watch.archiveCount; i++)
            if (watch.archiveAddresses[i] == address)
                return 1;
        return 0;
    }
    return multicast_own_address(address);
}

int watchloop_receive(int sock, SQ_queue *q, int64_t now, FILE *log)
{
    char buf[MULTICAST_MSGSIZE];
    char uid[SQ_UIDSIZE];
    char more[64];
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
        // Anyone on the segment can send these as fast as the network
        // carries them: one line per interval, with the count between.
        if (ratelog_due(&watch.badUid, now))
            logprintf(LOGLEVEL_WARNING, log,
                      "Ignored an announcement with an unusable study UID%s.\n",
                      held_text(ratelog_written(&watch.badUid, now), more, sizeof more));
        return 0;
    }
    if (r != STOREUID_OK)
        return 0;
    SQ_origin origin = watchloop_is_archive(src.sin_addr.s_addr) ? SQ_ARCHIVE : SQ_UNKNOWN;
    int added = SQ_announce(q, uid, now, origin);
    if (added == -2) {
        if (ratelog_due(&watch.queueFull, now))
            logprintf(LOGLEVEL_WARNING, log,
                      "Study queue full (%u studies): announcement of %s refused%s.\n", SQ_size(q),
                      uid, held_text(ratelog_written(&watch.queueFull, now), more, sizeof more));
        return 0;
    }
    if (added < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Out of memory: announcement of %s dropped.\n", uid);
        return 0;
    }
    if (added == 2 && ratelog_due(&watch.madeRoom, now))
        logprintf(
            LOGLEVEL_WARNING, log,
            "Study queue full: a study of an unknown sender dropped for the archive's %s%s.\n", uid,
            held_text(ratelog_written(&watch.madeRoom, now), more, sizeof more));
    return 1;
}

static void on_child(int)
{
    int saved = errno;
    char b = 0;
    // Non-blocking: a full pipe already holds a wake-up.
    ssize_t r = write(watch.childPipe[1], &b, 1);
    (void)r;
    errno = saved;
}

// Sets up the SIGCHLD pipe. 0, or -1 (the loop then wakes at least once a
// second, as it does anyway).
static int watch_children(void)
{
    if (pipe2(watch.childPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        watch.childPipe[0] = watch.childPipe[1] = -1;
        return -1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_child;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGCHLD, &sa, NULL);
}

// Datagrams read in one pass of the loop at most, so that a flood still
// lets the loop promote, start and reap between batches.
enum { DATAGRAMS_PER_PASS = 64 };

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
    watch_children();
    logprintf(LOGLEVEL_NOTICE, log, "Multicast channel subscribed. Server up.\n");
    SQ_init(&q);
    for (;;) {
        int64_t now = watchloop_now();
        SQ_promote_all(&q, now, timeout);
        watchloop_reap(&q, log);
        // As many as the child limit allows; a failed fork leaves the rest
        // for the next pass.
        while (watchloop_launch(&q, maxchildren, log) > 0) {
        }
        // Wake for the next study to become quiet, the next held-back log
        // count, a datagram or a child's end; at least once a second.
        int64_t wake = now + 1000;
        int64_t quiet = SQ_next_quiet(&q, timeout);
        if (quiet >= 0 && quiet < wake)
            wake = quiet;
        int64_t due = watchloop_flush_log(now, log);
        if (due >= 0 && due < wake)
            wake = due;
        struct pollfd p[2];
        p[0].fd = sock;
        p[0].events = POLLIN;
        p[0].revents = 0;
        p[1].fd = watch.childPipe[0];
        p[1].events = POLLIN;
        p[1].revents = 0;
        int ready =
            poll(p, watch.childPipe[0] >= 0 ? 2 : 1, wake > now ? static_cast<int>(wake - now) : 0);
        if (ready <= 0)
            continue;
        if (p[1].revents != 0) {
            char drain[64];
            while (read(watch.childPipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (p[0].revents != 0) {
            for (int i = 0; i < DATAGRAMS_PER_PASS; i++)
                watchloop_receive(sock, &q, watchloop_now(), log);
        }
    }
}
