// studywatch on a node of a cluster: claim quiet studies in the cluster's
// database, render, mark rendered (studywatch/clusterwatch.h).
#include "studywatch/clusterwatch.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "cluster/activity.h"
#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "runtime/logprintf.h"
#include "runtime/multicast.h"
#include "studywatch/storeuid.h"
#include "studywatch/studyqueue.h"
#include "studywatch/watchloop.h"

// Slack after an announcement's quiet time before looking: the node's row
// may be written a little after its announcement was sent.
enum { HINT_SLACK_MS = 100 };

// The pipe SIGCHLD writes to, so that a renderer's end wakes the loop (the
// handler only writes to it).
static int childPipe[2] = {-1, -1};

static void onChild(int)
{
    int saved = errno;
    char b = 0;
    ssize_t r = write(childPipe[1], &b, 1);
    (void)r;
    errno = saved;
}

static void watchChildren()
{
    if (pipe2(childPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        childPipe[0] = childPipe[1] = -1;
        return;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onChild;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);
}

// Whether a study UID from the database may go into the renderer's
// command text unquoted: what storeuid_parse takes from the channel.
static bool usableStudy(const std::string &uid)
{
    if (uid.empty() || uid.size() >= SQ_UIDSIZE)
        return false;
    std::string line = "h 1 STORAGE STOREUID " + uid + " ";
    char out[SQ_UIDSIZE];
    return storeuid_parse(line.data(), line.size(), out, sizeof out) == STOREUID_OK && uid == out;
}

int clusterwatch_run(unsigned short port, int timeout_seconds, int maxchildren,
                     const cluster_config &cfg, FILE *log)
{
    int sock = multicast_listen_udp(port, WATCHLOOP_GROUP);
    if (sock < 0) {
        logprintf(LOGLEVEL_FATAL, log, "Can't bind multicast socket.\n");
        return -1;
    }
    fcntl(sock, F_SETFD, FD_CLOEXEC);
    watchChildren();
    // The renderers are exec'd at once in the child, which never touches
    // the connection (libpq's socket is close-on-exec).
    clusterdb db(cfg.database, log);
    const long quietMs = (long)timeout_seconds * 1000;
    const long leaseMs = cfg.leaseMs;
    // Renewed three times a lease: a late pass still renews in time.
    const int64_t renewEvery = leaseMs / 3 > 0 ? leaseMs / 3 : 1;
    bool migrated = false;
    std::map<pid_t, activity_claim> running;
    logprintf(LOGLEVEL_NOTICE, log, "Cluster node %s: quiet studies from the cluster's database.\n",
              cfg.node.c_str());
    logprintf(LOGLEVEL_NOTICE, log, "Multicast channel subscribed. Server up.\n");
    int64_t nextLook = watchloop_now();
    int64_t nextRenew = nextLook + renewEvery;
    for (;;) {
        int64_t now = watchloop_now();
        int status;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            watchloop_note_end(pid, status, log);
            auto it = running.find(pid);
            if (it == running.end()) {
                logprintf(LOGLEVEL_ERROR, log, "Child %d unknown!\n", static_cast<int>(pid));
                continue;
            }
            // Marked rendered whatever the renderer's end, as on one host:
            // a study is handed to it once per change.
            if (activity_rendered(&db, cfg.node, it->second) == 0)
                logprintf(LOGLEVEL_INFO, log, "Study %s rendered at change %lld.\n",
                          logprintf_ascii(it->second.study.c_str(), 200).c_str(),
                          it->second.change);
            running.erase(it);
            // A slot is free: the next quiet study need not wait a poll.
            nextLook = now;
        }
        if (!migrated)
            migrated = activity_migrate(&db) == 0;
        if (now >= nextRenew) {
            for (const auto &r : running)
                if (activity_renew(&db, cfg.node, r.second.study, leaseMs) == 0)
                    logprintf(LOGLEVEL_WARNING, log,
                              "Claim of study %s ran out while its renderer runs: another node "
                              "may render it too.\n",
                              logprintf_ascii(r.second.study.c_str(), 200).c_str());
            nextRenew = now + renewEvery;
        }
        if (migrated && now >= nextLook && running.size() < (size_t)maxchildren) {
            std::vector<activity_claim> claims;
            int want = maxchildren - (int)running.size();
            if (activity_claimQuiet(&db, cfg.node, quietMs, leaseMs, want, &claims) == 0) {
                for (const activity_claim &c : claims) {
                    if (!usableStudy(c.study)) {
                        // Never rendered: marked so that it is not claimed
                        // again at every poll.
                        logprintf(LOGLEVEL_WARNING, log, "Study UID %s unusable: not rendered.\n",
                                  logprintf_ascii(c.study.c_str(), 200).c_str());
                        activity_rendered(&db, cfg.node, c);
                        continue;
                    }
                    pid_t child = watchloop_spawn(c.study.c_str(), log);
                    // A failed fork leaves the claim to run out: the study
                    // is claimed again after its lease, here or elsewhere.
                    if (child < 0)
                        break;
                    running[child] = c;
                    // A notice: which node renders what is worth knowing
                    // in a cluster.
                    logprintf(LOGLEVEL_NOTICE, log,
                              "Claimed study %s at change %lld: renderer in child %d.\n",
                              c.study.c_str(), c.change, static_cast<int>(child));
                }
            }
            nextLook = now + cfg.pollMs;
        }
        int64_t wake = nextRenew;
        if (running.size() < (size_t)maxchildren && nextLook < wake)
            wake = nextLook;
        if (wake > now + 1000)
            wake = now + 1000;
        struct pollfd p[2];
        p[0].fd = sock;
        p[0].events = POLLIN;
        p[0].revents = 0;
        p[1].fd = childPipe[0];
        p[1].events = POLLIN;
        p[1].revents = 0;
        int ready =
            poll(p, childPipe[0] >= 0 ? 2 : 1, wake > now ? static_cast<int>(wake - now) : 0);
        if (ready <= 0)
            continue;
        if (p[1].revents != 0) {
            char drain[64];
            while (read(childPipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (p[0].revents != 0) {
            // The hint: an image of the archive stored now makes its study
            // quiet after the quiet time at the earliest.
            for (int i = 0; i < 64; i++) {
                char buf[MULTICAST_MSGSIZE];
                char uid[SQ_UIDSIZE];
                struct sockaddr_in src;
                int fromChannel = 0;
                ssize_t n = multicast_receive(sock, buf, sizeof buf, &src, &fromChannel);
                if (n < 0)
                    break;
                if (!fromChannel || n == 0 || static_cast<size_t>(n) > sizeof buf ||
                    !watchloop_is_archive(src.sin_addr.s_addr))
                    continue;
                if (storeuid_parse(buf, static_cast<size_t>(n), uid, sizeof uid) != STOREUID_OK)
                    continue;
                int64_t at = watchloop_now() + quietMs + HINT_SLACK_MS;
                if (at < nextLook)
                    nextLook = at;
            }
        }
    }
}
