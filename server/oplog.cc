// The command loop's short log of operation runs.
#include "server/oplog.h"

#include <string.h>

#include "runtime/logprintf.h"

void oplog_init(oplog *log)
{
    log->last_op[0] = '\0';
    log->op_count = 0;
}

void oplog_note(oplog *log, const char *current, FILE *stream)
{
    if (strcmp(current, log->last_op) == 0) {
        log->op_count++;
        return;
    }
    if (log->last_op[0] != '\0')
        logprintf(LOGLEVEL_NOTICE, stream, "%s (%dx)\n", log->last_op, log->op_count);
    snprintf(log->last_op, sizeof(log->last_op), "%s", current);
    logprintf(LOGLEVEL_NOTICE, stream, "%s\n", log->last_op);
    log->op_count = 1;
}
