// storeserver: the entry routine and the process-wide objects. Parses the
// command line, optionally becomes a daemon, writes the pid file, opens the
// log, loads the AE title map, opens the monitor channel and runs the
// association listener; the same shutdown runs in the listener and in every
// worker when the listener returns.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "aetitlemap/aetitlemap.h"
#include "core/archive.h"
#include "core/audit.h"
#include "core/forward.h"
#include "core/listener.h"
#include "core/worklist.h"
#include "dicomnet/dicomnet.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/process.h"
#include "runtime/watchdog.h"
#include "server/forwarder.h"
#include "server/handlers.h"
#include "server/listener.h"
#include "server/serveroptions.h"
#include "server/serverstate.h"
#include "server/tlsconfig.h"
#include "server/worklisthandler.h"

// The process-wide objects, in the order they are built (the store itself
// is made by main, once the installation prefix is known).
serveroptions server_options = {
    nullptr,                           // aetitle
    SERVEROPTIONS_DEFAULT_PORT,        // port
    SERVEROPTIONS_DEFAULT_MCAST_GROUP, // mcast_group
    SERVEROPTIONS_DEFAULT_PORT,        // monitor_port
    SERVEROPTIONS_DEFAULT_MAX_ASSOCS,  // max_assocs
    nullptr,                           // drop_user
    nullptr,                           // drop_group
    -1,                                // file_umask
    stderr,                            // logfp
    nullptr,                           // logfile
    nullptr,                           // pidfile
    0,                                 // daemon
    0,                                 // overwrite
    0,                                 // symlinks
    0,                                 // debug
    0,                                 // no_unknown_pcs
    -1,                                // aetmap_fd
    "",                                // charset
    0,                                 // sync_each_image
    AETITLEMAP_FLAGS_DISCOVERED,       // learn_flags
    SERVEROPTIONS_DEFAULT_MAX_DATASET, // max_dataset
    FORWARDER_DEFAULT_WAIT,            // forward_wait
};
archive_context server_archive;
serverstate server_state;
AETitleMap server_aetmap = nullptr;
AccessPolicy server_access = {0, nullptr, "", 0};
tlsconfig server_tls = {0, 1, ""};
// The forwarding rules, read once at the start (core/forward.h).
static forward_rules server_forward;

static const char usageText[] = "Usage: %s [-a AETitle] [-p ServerPort] [-m MonitorPort]\n"
                                "       [-u DropToUserName] [-g DropToGroupName] [-U umask]\n"
                                "       [-l logfile] [-P pidfile] [-d] [-D] [-o] [-s] [-N]\n"
                                "       [-M maxassocs] [-E charset] [-Q seconds] [-S]\n"
                                "       [-I seconds] [-z MiB] [-L flags|off]\n"
                                "       [-W accession|study|both|off] [-h]\n";

// Fills server_options from the command line. 0, or 1 after the usage text.
static int parseOptions(int argc, char **argv)
{
    serveroptions &o = server_options;
    int c;
    while ((c = getopt(argc, argv, "a:p:m:u:U:g:l:P:M:dosDE:hNSL:I:z:W:Q:")) != -1) {
        switch (c) {
        case 'a':
            o.aetitle = optarg;
            break;
        case 'p':
            o.port = (int)strtol(optarg, nullptr, 10);
            o.monitor_port = o.port;
            break;
        case 'm':
            o.monitor_port = (int)strtol(optarg, nullptr, 10);
            break;
        case 'u':
            o.drop_user = optarg;
            break;
        case 'g':
            o.drop_group = optarg;
            break;
        case 'U':
            o.file_umask = (int)strtol(optarg, nullptr, 8);
            break;
        case 'l':
            o.logfile = optarg;
            break;
        case 'P':
            o.pidfile = optarg;
            break;
        case 'M':
            o.max_assocs = (int)strtol(optarg, nullptr, 10);
            break;
        case 'd':
            o.daemon = 1;
            break;
        case 'o':
            o.overwrite = 1;
            break;
        case 's':
            o.symlinks = 1;
            break;
        case 'D':
            o.debug++;
            break;
        case 'E': {
            // At most 63 characters are kept; the last byte stays the terminator.
            size_t n = strnlen(optarg, sizeof(o.charset) - 1);
            memcpy(o.charset, optarg, n);
            o.charset[n] = '\0';
            break;
        }
        case 'N':
            o.no_unknown_pcs = 1;
            break;
        case 'S':
            o.sync_each_image = 1;
            break;
        case 'I': {
            // Seconds without progress after which an association is cut.
            char *end = nullptr;
            long v = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || v < 1 || v > 86400) {
                fprintf(stderr, "%s: invalid -I seconds: %s\n", argv[0], optarg);
                fprintf(stderr, usageText, argv[0]);
                return 1;
            }
            watchdog_set_budget((unsigned)v);
            break;
        }
        case 'z': {
            // MiB a received data set may take; past 4095 no element could
            // say more, so larger values are pointless.
            char *end = nullptr;
            long v = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || v < 1 || v > 4095) {
                fprintf(stderr, "%s: invalid -z MiB: %s\n", argv[0], optarg);
                fprintf(stderr, usageText, argv[0]);
                return 1;
            }
            o.max_dataset = (unsigned long long)v << 20;
            break;
        }
        case 'L':
            // "off": the monitor channel adds no peers. Otherwise the flag
            // letters that learnt peers get (none at all is allowed).
            if (strcmp(optarg, "off") == 0) {
                o.learn_flags = -1;
            } else if (strspn(optarg, "FMSGUEDPfmsguedp") == strlen(optarg)) {
                o.learn_flags = AETitleMap_charstoflags(optarg);
            } else {
                fprintf(stderr, "%s: invalid -L flags: %s\n", argv[0], optarg);
                fprintf(stderr, usageText, argv[0]);
                return 1;
            }
            break;
        case 'Q': {
            // Seconds before the first retry of a forward that failed; the
            // wait doubles with each further failure.
            char *end = nullptr;
            long v = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || v < 1 || v > 3600) {
                fprintf(stderr, "%s: invalid -Q seconds: %s\n", argv[0], optarg);
                fprintf(stderr, usageText, argv[0]);
                return 1;
            }
            o.forward_wait = (unsigned)v;
            break;
        }
        case 'W':
            worklist_doneMode = Worklist_ParseDoneMode(optarg);
            if (worklist_doneMode < 0) {
                fprintf(stderr, "%s: invalid -W mode: %s\n", argv[0], optarg);
                fprintf(stderr, usageText, argv[0]);
                return 1;
            }
            break;
        default: // 'h', an unknown letter, a missing argument
            fprintf(stderr, usageText, argv[0]);
            return 1;
        }
    }
    return 0;
}

// Loads the AE title map. The file found along the configuration search
// path is kept open for writing, so that peers learnt later are saved; a
// file that can only be read is loaded and closed.
static void loadAETitleMap()
{
    if (AETitleMap_LoadSite(&server_aetmap, &server_options.aetmap_fd) == 1 &&
        server_options.aetmap_fd == -1)
        return;
    AETitleMap_LogTable(&server_aetmap, LOGLEVEL_INFO, server_options.logfp);
}

// Reads the access policy. A policy file that cannot be read or parsed
// ends the start: running without it would open the archive to everyone.
// 0, or 1 after the message.
static int loadAccessPolicy()
{
    char error[256] = "";
    int r = AccessPolicy_Load(&server_access, nullptr, error, sizeof(error));
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, server_options.logfp, "Access policy %s: %s\n",
                  server_access.path, error);
        fprintf(stderr, "storeserver: access policy %s: %s\n", server_access.path, error);
        return 1;
    }
    if (r == 0)
        logprintf(LOGLEVEL_NOTICE, server_options.logfp, "Access policy %s in force.\n",
                  server_access.path);
    return 0;
}

// Reads the forwarding rules. A rules file that cannot be read or parsed
// ends the start, as a site that asked for forwarding must not silently
// lose it. 0, or 1 after the message.
static int loadForwardRules()
{
    char error[512] = "";
    int r = forward_loadRules(nullptr, &server_forward, error, sizeof(error));
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, server_options.logfp, "Forwarding rules: %s\n", error);
        fprintf(stderr, "storeserver: forwarding rules: %s\n", error);
        return 1;
    }
    // A rule to the archive's own title stores each image it selects again,
    // which selects it again: with -o a loop without end.
    int own = forward_ruleTo(&server_forward, server_options.aetitle);
    if (own != 0) {
        snprintf(error, sizeof error,
                 "line %d: the destination %s is this archive's own AE title "
                 "(its images would come back to it)",
                 own, server_options.aetitle);
        logprintf(LOGLEVEL_FATAL, server_options.logfp, "Forwarding rules: %s\n", error);
        fprintf(stderr, "storeserver: forwarding rules: %s\n", error);
        return 1;
    }
    if (r == 0)
        logprintf(LOGLEVEL_NOTICE, server_options.logfp, "Forwarding rules %s: %zu rule(s).\n",
                  server_forward.path.c_str(), server_forward.rules.size());
    server_archive.forwardRules = &server_forward;
    return 0;
}

// The peer policy of the network layer: a peer whose AE title map entry
// has the flag T, at the address called, is called over TLS. Without a TLS
// set-up such a call fails rather than send the images in the clear.
static int peerWantsTLS(const char *calledAET, const char *address)
{
    AETitleMapEntry *e = AETitleMap_FindByAET(&server_aetmap, calledAET);
    if (e == nullptr || (e->flags & AETITLEMAP_FLAG_T) == 0 || strcmp(e->address, address) != 0)
        return 0;
    if (!dicomnet_tls_enabled())
        logprintf(LOGLEVEL_ERROR, server_options.logfp,
                  "AET %s is to be called over TLS, but TLS is not set up.\n", calledAET);
    return 1;
}

// Reads the TLS settings and sets up TLS. A settings file that cannot be
// used ends the start. 0, or 1 after the message.
static int loadTLSConfig()
{
    char error[512] = "";
    int r = tlsconfig_load(&server_tls, nullptr, error, sizeof(error));
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, server_options.logfp, "TLS settings %s: %s\n", server_tls.path,
                  error);
        fprintf(stderr, "storeserver: TLS settings %s: %s\n", server_tls.path, error);
        return 1;
    }
    dicomnet_tls_set_peer_policy(peerWantsTLS);
    return 0;
}

int main(int argc, char **argv)
{
    serveroptions &o = server_options;
    detect_installpath(argv[0]);
    if (parseOptions(argc, argv) != 0)
        return 1;
    if (o.daemon) {
        int r = daemonize();
        if (r < 0) {
            logprintf(LOGLEVEL_FATAL, o.logfp, "Cannot fork to become daemon.\n");
            return 1;
        }
        if (r > 0)
            return 0;
    }
    if (o.debug >= 2)
        usleep(5000000);

    if (o.pidfile != nullptr) {
        FILE *pf = fopen(o.pidfile, "w");
        if (pf != nullptr) {
            fprintf(pf, "%d\n", (int)getpid());
            fclose(pf);
        }
    }
    // A log file that cannot be opened turns logging off altogether.
    if (o.logfile != nullptr)
        o.logfp = fopen(o.logfile, "a");
    server_archive.patientLinks = o.symlinks != 0;
    server_archive.worklistDone = worklist_doneMode;
    server_archive.monitorSock = &server_state.sendsock;
    std::unique_ptr<archive_listener> commitBook = commit_newListener();
    archive_addListener(&server_archive, commitBook.get());

    if (o.debug == 1)
        logprintf_setmaxlevel(LOGLEVEL_DEBUG);
    else if (o.debug >= 2)
        logprintf_setmaxlevel(LOGLEVEL_TRACE);
    if (o.file_umask != -1)
        umask((mode_t)o.file_umask);

    loadAETitleMap();
    // The own title before the rules, which must not name it.
    if (o.aetitle == nullptr) {
        AETitleMapEntry *local = AETitleMap_FindByName(&server_aetmap, SERVEROPTIONS_LOCAL_ENTRY);
        o.aetitle = local != nullptr ? local->aetitle : SERVEROPTIONS_DEFAULT_AETITLE;
    }
    if (loadAccessPolicy() != 0 || loadTLSConfig() != 0 || loadForwardRules() != 0)
        return 1;
    // The archive: the store ("LocalStoreDir" along the configuration search
    // path, read only now that detect_installpath has run, so that an
    // installed server finds the file of its own installation), the object
    // tier and the capacity policy (a failure told already: the server does
    // not start). It lives as long as the process, as the workers forked
    // from it use it. Its start is the listener's: the lock before the ports
    // open, the recovery after the privileges are dropped.
    archive_settings settings;
    settings.log = o.logfp;
    settings.prog = "storeserver";
    settings.lock = ARCHIVE_LOCK_SHARED;
    settings.recover = true;
    settings.deferStart = true;
    settings.makeStore = true;
    settings.syncEachImage = o.sync_each_image != 0;
    if (archive_open(&server_archive, settings, nullptr) != 0)
        return 1;
    // In a cluster, the core's tables in the cluster's database, before
    // any worker is forked (a failure is logged; each worker tries again).
    archive_clusterPrepare(&server_archive);
    commit_clusterPrepare();
    // The audit trail, when the site keeps one (a wrong AuditLog file keeps
    // the server from starting: it would run unaudited).
    std::string auditWhy;
    if (audit_open(nullptr, archive_baseDir(&server_archive), "storeserver", o.logfp,
                   &server_archive.audit, &auditWhy) != 0) {
        logprintf(LOGLEVEL_FATAL, o.logfp, "Audit trail: %s\n", auditWhy.c_str());
        fprintf(stderr, "storeserver: audit trail: %s\n", auditWhy.c_str());
        archive_close(&server_archive);
        return 1;
    }

    // The listener must survive stray alarms; workers restore the default.
    signal(SIGALRM, SIG_IGN);
    // A peer that vanishes makes writes fail with EPIPE, which ends its
    // association, rather than killing the process that writes.
    signal(SIGPIPE, SIG_IGN);
    dicomnet_quiet_toolkit_log();
    server_state.init();

    int status = runListener();

    // Shutdown, in the listener and in every worker.
    if (o.aetmap_fd != -1)
        close(o.aetmap_fd);
    o.aetmap_fd = -1;
    o.aetitle = nullptr; // it may point into the map
    AETitleMap_Destroy(&server_aetmap);
    AccessPolicy_Destroy(&server_access);
    dicomnet_tls_exit();
    // In every worker too: its copy of the store ends as the process does.
    archive_close(&server_archive);
    audit_close(server_archive.audit);
    server_archive.audit = nullptr;
    return status;
}
