// The watch loop of studywatch: reads stored-image announcements from the
// monitor channel into the study queue and starts the batch renderer on
// every study that has been quiet for the timeout, within a limit of
// children.
#ifndef VELTO_STUDYWATCH_WATCHLOOP_H
#define VELTO_STUDYWATCH_WATCHLOOP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "studywatch/studyqueue.h"

// The renderer, found through PATH, and its fixed arguments; the last one is
// the command text built by watchloop_command.
#define WATCHLOOP_RENDERER "tabrin"
#define WATCHLOOP_COMMAND_FORMAT "! preprocessing/autostudy %s"
#define WATCHLOOP_COMMAND_SIZE 2048

// Exit status of a child whose renderer cannot be started, as the shell
// reports a command it cannot run: not found in PATH, or found but not
// executable (or any other exec failure).
#define WATCHLOOP_EXIT_NOTFOUND 127
#define WATCHLOOP_EXIT_CANNOTEXEC 126

// The monitor channel's group.
#define WATCHLOOP_GROUP "224.0.0.1"

// Default interval, in milliseconds, between two log lines about datagrams
// ignored or refused for one reason: a flood costs one line per reason and
// interval, with the count of the datagrams in between.
#define WATCHLOOP_LOG_INTERVAL_DEFAULT 10000

// Most archive addresses that can be given (-a).
#define WATCHLOOP_MAX_ARCHIVE 16

// Sets the interval between log lines of one reason (milliseconds, > 0).
void watchloop_set_log_interval(int64_t ms);

// Sets the source addresses (IPv4, network byte order) whose announcements
// are the archive's. With none (the default), the archive is this host:
// the addresses of its own interfaces. At most WATCHLOOP_MAX_ARCHIVE.
void watchloop_set_archive(const uint32_t *addresses, int count);

// Whether a datagram from this source address (network byte order) comes
// from the archive that studywatch follows.
int watchloop_is_archive(uint32_t address);

// Monotonic clock in milliseconds: last-seen times and the timeout are
// measured on it, so a change of the wall clock neither starts a study early
// nor holds it back.
int64_t watchloop_now(void);

// Writes the renderer's command text for studyuid into out. Returns 0, or -1
// if it did not fit (out then holds it cut).
int watchloop_command(const char *studyuid, char *out, size_t size);

// Starts a child on the oldest ready entry if fewer than maxchildren
// children run: the entry becomes running with the child's pid. Returns the
// pid, 0 if nothing was to be started, -1 if fork failed (logged; the entry
// stays ready). The child itself never returns.
pid_t watchloop_launch(SQ_queue *q, int maxchildren, FILE *log);

// Forks a child that runs the renderer on studyuid (a UID storeuid_parse
// would take). The child's pid, or -1 if fork failed (logged).
pid_t watchloop_spawn(const char *studyuid, FILE *log);

// Logs how a renderer's child ended (status as waitpid gives it): a
// renderer that cannot be started is said once until one starts again.
void watchloop_note_end(pid_t pid, int status, FILE *log);

// Collects every ended child without waiting, logs how it ended and
// finishes its entry. Returns the number of children collected.
int watchloop_reap(SQ_queue *q, FILE *log);

// Receives one datagram from sock (a multicast_listen_udp socket) without
// waiting and, if it came on the channel (multicast_receive) and announces
// a stored image, records its study at time now, as the archive's when its
// source address is the archive's (watchloop_is_archive). Returns 1 for a
// study recorded, 0 for a datagram ignored or none waiting, -1 for a
// receive error (logged). An unusable study UID and a new study that finds
// the queue full are logged as warnings, at most one line per reason and
// log interval (watchloop_flush_log writes the counts held back).
int watchloop_receive(int sock, SQ_queue *q, int64_t now, FILE *log);

// Logs the counts of ignored and refused datagrams held back since the last
// line of their reason once the log interval has passed. Returns the
// earliest time at which a held-back count becomes due, or -1 if none is.
int64_t watchloop_flush_log(int64_t now, FILE *log);

// Opens the monitor channel on port and runs the loop for ever: every quiet
// study is made ready at once, and renderers are started as soon as a child
// slot is free (a child's end wakes the loop). Returns only if the channel
// cannot be opened (logged), with -1.
int watchloop_run(unsigned short port, int timeout_seconds, int maxchildren, FILE *log);

#endif
