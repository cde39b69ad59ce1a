// The texts of the monitor channel that more than one program writes or
// reads: the channel keyword and the stored-image announcement (framed by
// runtime/multicast.h as "host pid text").
#ifndef VELTO_RUNTIME_MONITORMSG_H
#define VELTO_RUNTIME_MONITORMSG_H

#include <stddef.h>

// First word of every archive announcement.
#define MONITORMSG_KEYWORD "STORAGE"
// Second word of the announcement of a stored image.
#define MONITORMSG_STOREUID "STOREUID"
// Second word of an archive's announcement of its AE title and port
// ("STORAGE DISCOVER_AET aetitle port"), from which peers learn it.
#define MONITORMSG_DISCOVER_AET "DISCOVER_AET"
// Second word of the announcement of an image whose bytes are not those
// stored ("STORAGE DAMAGED uid/XX/YY/study_S/series_R/image_I.dcm"): found
// by a read (which then fails) or by storeindex scrub.
#define MONITORMSG_DAMAGED "DAMAGED"

// Writes "STORAGE STOREUID study series instance" (null UIDs as empty
// words) into buf (size bytes, cut to fit, always terminated). Returns buf.
char *monitormsg_stored(char *buf, size_t size, const char *study, const char *series,
                        const char *instance);

#endif
