// The server's uploader (server/uploader.h).
#include "server/uploader.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "cluster/clusterconfig.h"
#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/serveroptions.h"

bool uploader_wanted()
{
    const cluster_config *c = archive_clusterConfig(&server_archive);
    return c != nullptr && c->ack == CLUSTER_ACK_LOCAL;
}

pid_t uploader_start(int closeFd)
{
    const cluster_config *c = archive_clusterConfig(&server_archive);
    if (c == nullptr)
        return -1;
    long pollMs = c->pollMs > 0 ? c->pollMs : 2000;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Cannot fork the uploader: %s\n",
                  strerror(errno));
        return -1;
    }
    if (pid > 0)
        return pid;
    // Killed with the listener: an upload cut short leaves its queue entry,
    // which the next uploader (the listener's next start) repeats; an
    // object put twice is the same bytes under the same key.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    // The store lock's descriptor is closed by archive_forked: not twice.
    if (closeFd >= 0 && closeFd != archive_lockDescriptor(&server_archive))
        close(closeFd);
    signal(SIGALRM, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    archive_forked(&server_archive);
    long waitMs = pollMs;
    for (;;) {
        // Passes back to back while there is work, else one per poll; after
        // a failure (the gateway or the database down) the wait doubles, up
        // to 30 s, so that an outage costs a few attempts a minute.
        int n = archive_clusterUploadPass(&server_archive);
        if (n > 0) {
            waitMs = pollMs;
            continue;
        }
        waitMs = n < 0 ? std::min(waitMs * 2, std::max(pollMs, 30000L)) : pollMs;
        struct timespec ts = {waitMs / 1000, (waitMs % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
}
