// The command loop's short log: a run of like operations on one association
// is logged once when it starts and once, with its count, when it ends.
#ifndef VELTO_SERVER_OPLOG_H
#define VELTO_SERVER_OPLOG_H

#include <stdio.h>

// Size of an operation text ("C-Store CALLING->CALLED" and the like).
enum { OPLOG_TEXT_SIZE = 128 };

struct oplog {
    char last_op[OPLOG_TEXT_SIZE]; // operation text last logged; empty at start
    int op_count;                  // times in a row last_op has occurred
};

// Empties the record.
void oplog_init(oplog *log);

// Notes one operation: the same text as last time only counts; a new text
// first logs "<last> (<count>x)" (if there was one) and then itself, both at
// level 32 to stream.
void oplog_note(oplog *log, const char *current, FILE *stream);

#endif
