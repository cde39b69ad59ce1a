// The shared texts of the monitor channel.
#include "runtime/monitormsg.h"

#include <stdio.h>

char *monitormsg_stored(char *buf, size_t size, const char *study, const char *series,
                        const char *instance)
{
    snprintf(buf, size, MONITORMSG_KEYWORD " " MONITORMSG_STOREUID " %s %s %s", study ? study : "",
             series ? series : "", instance ? instance : "");
    return buf;
}
