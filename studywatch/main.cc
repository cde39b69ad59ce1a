// studywatch: listens on the archive's monitor channel for stored images and
// starts the batch renderer on every study that has been quiet for a while.
//
// Usage: studywatch [-m|-p MonitorPort] [-t study_timeout] [-M max_children]
//                   [-u DropToUserName] [-g DropToGroupName] [-U umask]
//                   [-a address]... [-L seconds] [-l logfile] [-P pidfile]
//                   [-d] [-h]
//
//   -m, -p port  UDP port of the monitor channel (group 224.0.0.1), 1104
//   -t seconds   quiet time after a study's last image before it is
//                rendered, 30
//   -M count     most renderers running at once, 1
//   -a address   an IPv4 address of the archive followed (repeatable, up to
//                16); its announcements go before unknown senders' when
//                the queue is full. Default: this host's own addresses
//   -L seconds   interval between log lines about ignored or refused
//                announcements of one reason, 10
//   -u, -g name  user and group to switch to after start-up; -u alone
//                takes the user's own group, and with -u the process takes
//                that user's supplementary groups in place of root's; a
//                switch that fails ends the program
//   -U octal     file-creation mask
//   -l file      log file, appended to; without it the log goes to stderr
//   -P file      pid file, written after the daemon step
//   -d           run as a daemon
//   -h           the usage text alone (on stderr, exit status 1, as
//                storeserver -h)
//
// Every quiet study is handed to "tabrin -q -p batch -b '! preprocessing/
// autostudy <study UID>'", with tabrin found through PATH. A child whose
// renderer cannot be started ends with status 127 when tabrin is not found in
// PATH and 126 when it is found but cannot be executed, as the shell reports
// such commands.
//
// On a node of a cluster (the site file "Cluster", cluster/clusterconfig.h,
// along the configuration search path) the quiet studies come from the
// cluster's database instead, where every node records each study's last
// change: see studywatch/clusterwatch.h. The channel is then a hint only.
//
// Exit status: 0 for the parent of a daemon; 1 after the usage text (an
// unknown option, a missing or invalid option argument, an extra operand),
// when the daemon step fails, when the user or group cannot be switched to,
// or when the monitor channel cannot be opened.
// Otherwise the program runs until it is killed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "cluster/clusterconfig.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"
#include "studywatch/clusterwatch.h"
#include "studywatch/watchloop.h"

struct settings {
    unsigned short monitor_port;
    int timeout; // seconds
    int maxchildren;
    uint32_t archive[WATCHLOOP_MAX_ARCHIVE]; // network byte order
    int narchive;
    long log_interval; // seconds
    const char *user;  // null: stay
    const char *group; // null: stay
    long file_umask;   // -1: leave the inherited mask
    const char *logfile;
    const char *pidfile;
    int daemon;
};

[[noreturn]] static void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s [-m|-p MonitorPort] [-t study_timeout] [-M max_children]\n"
            "       [-a ArchiveAddress]... [-L log_interval]\n"
            "       [-u DropToUserName] [-g DropToGroupName] [-U umask]\n"
            "       [-l logfile] [-P pidfile] [-d] [-h]\n",
            argv0);
    exit(1);
}

// Reads text whole as a number in base within [min, max] into *value.
// Returns 0, or -1 if it is empty, has trailing characters or is out of range.
static int read_number(const char *text, int base, long min, long max, long *value)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return -1;
    *value = v;
    return 0;
}

static void parse_options(int argc, char **argv, settings *s)
{
    long v;
    int c;
    while ((c = getopt(argc, argv, "p:m:u:U:g:l:P:t:M:a:L:dh")) != -1) {
        const char *bad = NULL;
        switch (c) {
        case 'p':
        case 'm':
            if (read_number(optarg, 10, 1, 65535, &v) == 0)
                s->monitor_port = static_cast<unsigned short>(v);
            else
                bad = "port";
            break;
        case 't':
            if (read_number(optarg, 10, 0, INT_MAX / 1000, &v) == 0)
                s->timeout = static_cast<int>(v);
            else
                bad = "study timeout";
            break;
        case 'M':
            if (read_number(optarg, 10, 1, INT_MAX, &v) == 0)
                s->maxchildren = static_cast<int>(v);
            else
                bad = "child count";
            break;
        case 'a': {
            struct in_addr a;
            if (s->narchive < WATCHLOOP_MAX_ARCHIVE && inet_pton(AF_INET, optarg, &a) == 1)
                s->archive[s->narchive++] = a.s_addr;
            else
                bad = "archive address";
            break;
        }
        case 'L':
            if (read_number(optarg, 10, 1, 86400, &v) == 0)
                s->log_interval = v;
            else
                bad = "log interval";
            break;
        case 'U':
            if (read_number(optarg, 8, 0, 0777, &v) == 0)
                s->file_umask = v;
            else
                bad = "umask";
            break;
        case 'u':
            s->user = optarg;
            break;
        case 'g':
            s->group = optarg;
            break;
        case 'l':
            s->logfile = optarg;
            break;
        case 'P':
            s->pidfile = optarg;
            break;
        case 'd':
            s->daemon = 1;
            break;
        default: // 'h' (no "invalid option" then), an unknown letter, a missing argument
            usage(argv[0]);
        }
        if (bad) {
            fprintf(stderr, "%s: invalid %s: %s\n", argv[0], bad, optarg);
            usage(argv[0]);
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument: %s\n", argv[0], argv[optind]);
        usage(argv[0]);
    }
}

// Writes "pid\n" to path, created or emptied. Returns 0, or -1 if the file
// cannot be opened or written.
static int write_pidfile(const char *path)
{
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    int r = fullio_write(fd, text, static_cast<size_t>(len)) == len ? 0 : -1;
    if (close(fd) != 0)
        r = -1;
    return r;
}

// Gives up root (runtime/process.h says in which order). 0, or -1 after
// the failure is logged: the daemon must not go on with root's rights.
static int give_up_root(const settings *s, FILE *log)
{
    const char *failed = NULL;
    if (drop_privileges(s->user, s->group, &failed) == 0)
        return 0;
    bool user = strcmp(failed, "user") == 0;
    const char *name = user ? s->user : s->group;
    logprintf(LOGLEVEL_SEVERE, log, "Failed to drop privs to %s %s.\n", failed, name);
    // Also where whoever started the program sees it, as the log may be a file.
    if (log != stderr)
        fprintf(stderr, "studywatch: cannot switch to %s %s\n", failed, name);
    return -1;
}

int main(int argc, char **argv)
{
    settings s = {1104, 30,   1,  {},   0,    WATCHLOOP_LOG_INTERVAL_DEFAULT / 1000,
                  NULL, NULL, -1, NULL, NULL, 0};
    FILE *log = stderr;
    int pidfile_failed = 0;

    detect_installpath(argv[0]);
    parse_options(argc, argv, &s);
    // An ignored SIGCHLD survives exec; it would make the kernel reap the
    // renderers itself, waitpid would never report them, and their studies
    // would hold their child slots for ever.
    signal(SIGCHLD, SIG_DFL);
    if (s.file_umask != -1)
        umask(static_cast<mode_t>(s.file_umask));
    if (s.daemon) {
        int r = daemonize();
        if (r < 0) {
            logprintf(LOGLEVEL_FATAL, stderr, "Cannot fork to become daemon.\n");
            return 1;
        }
        if (r > 0)
            return 0;
    }
    if (s.pidfile && write_pidfile(s.pidfile) != 0)
        pidfile_failed = 1;
    // The log is opened only now: the daemon step closed every descriptor.
    // Close-on-exec keeps it out of the renderer.
    if (s.logfile) {
        log = fopen(s.logfile, "ae");
        if (!log) {
            log = stderr;
            logprintf(LOGLEVEL_ERROR, log, "Cannot open log file %s; logging to stderr.\n",
                      s.logfile);
        }
    }
    if (pidfile_failed)
        logprintf(LOGLEVEL_WARNING, log, "Cannot write pid file %s.\n", s.pidfile);
    // The site's Cluster settings, read while the files are still
    // readable as root: with them the quiet studies come from the
    // cluster's database (studywatch/clusterwatch.h).
    std::unique_ptr<cluster_config> cluster;
    if (cluster_start(&cluster, log, "studywatch") != 0)
        return 1;
    if (give_up_root(&s, log) != 0)
        return 1;
    watchloop_set_archive(s.archive, s.narchive);
    watchloop_set_log_interval(static_cast<int64_t>(s.log_interval) * 1000);
    if (cluster)
        clusterwatch_run(s.monitor_port, s.timeout, s.maxchildren, *cluster, log);
    else
        watchloop_run(s.monitor_port, s.timeout, s.maxchildren, log);
    return 1;
}
