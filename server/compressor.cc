// The server's compression pass (server/compressor.h).
#include "server/compressor.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/archive.h"
#include "core/maintenance.h"
#include "runtime/logprintf.h"
#include "server/listener.h"
#include "server/serveroptions.h"

void compressor_settings(compress_config *cfg, long *every)
{
    char why[512] = "";
    *every = -1;
    int r = maintenance_compressSettings(cfg, why, sizeof why);
    if (r == MAINTENANCE_COMPRESS_UNUSABLE) {
        // Compression is upkeep: the server serves without it.
        logprintf(LOGLEVEL_ERROR, server_options.logfp, "Compression: %s; no passes run\n", why);
        return;
    }
    if (r == MAINTENANCE_COMPRESS_ON && cfg->everySeconds > 0) {
        *every = cfg->everySeconds;
        logprintf(LOGLEVEL_NOTICE, server_options.logfp,
                  "Studies quiet for %lds are compressed (JPEG-LS lossless) every %lds.\n",
                  cfg->quietSeconds, cfg->everySeconds);
    }
}

pid_t compressor_start(int closeFd, const compress_config &cfg)
{
    // Killed with the listener: a pass cut short anywhere leaves every image
    // whole, and the next one finishes it (store/storecompress.h).
    pid_t pid = listener_forkHelper("compressor", closeFd, true);
    if (pid != 0)
        return pid;
    compress_totals totals;
    int failed = maintenance_compress(&server_archive, cfg, std::vector<std::string>(), 0, nullptr,
                                      server_options.logfp, &totals);
    if (failed == MAINTENANCE_COMPRESS_BUSY)
        logprintf(LOGLEVEL_NOTICE, server_options.logfp,
                  "Compression: another compressor or the tier's mover runs; no pass now\n");
    else if (failed >= 0 && (totals.compressed > 0 || totals.failed > 0 || totals.finished > 0))
        logprintf(LOGLEVEL_NOTICE, server_options.logfp,
                  "Compression: %zu image(s) compressed (%llu bytes to %llu), %zu failed, %zu "
                  "finished\n",
                  totals.compressed, (unsigned long long)totals.bytesBefore,
                  (unsigned long long)totals.bytesAfter, totals.failed, totals.finished);
    // _exit: the listener's objects are the listener's (as the forwarder).
    _exit(failed == 0 ? 0 : 1);
}
