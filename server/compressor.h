// The server's compression pass: a child of the listener that runs one
// pass of the compressor (store/storecompress.h) over the server's store
// as storeindex compress does, its lines in the server's log.
#ifndef VELTO_SERVER_COMPRESSOR_H
#define VELTO_SERVER_COMPRESSOR_H

#include <sys/types.h>

struct compress_config;

// Reads the site's Compression settings for the listener: the seconds
// between passes into *every (-1: no file, no "every", or an unusable file,
// which is logged), the settings into *cfg.
void compressor_settings(compress_config *cfg, long *every);

// Forks the pass: its pid, or -1 (logged). closeFd: the listener's store
// lock descriptor, which the child does not keep (it dies with the
// listener, as the forwarder does: its lock covers the child).
pid_t compressor_start(int closeFd, const compress_config &cfg);

#endif
