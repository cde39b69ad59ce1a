// The server's uploader (server/uploader.h).
#include "server/uploader.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "cluster/clusterconfig.h"
#include "core/archive.h"
#include "runtime/logprintf.h"
#include "server/listener.h"
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
    // Killed with the listener: an upload cut short leaves its queue entry,
    // which the next uploader (the listener's next start) repeats; an
    // object put twice is the same bytes under the same key.
    pid_t pid = listener_forkHelper("uploader", closeFd, true);
    if (pid != 0)
        return pid;
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
