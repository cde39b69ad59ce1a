// storeweb: the entry routine. Parses the command line, finds the store
// ("LocalStoreDir" along the configuration search path, as storeserver
// does), loads the users file, refuses to listen beyond the loopback
// without users unless told to, opens the monitor channel, starts the HTTP
// daemon and serves until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <microhttpd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/archive.h"
#include "core/audit.h"
#include "core/forward.h"
#include "core/worklist.h"
#include "dicomnet/dicomnet.h"
#include "dicomnet/tlsfile.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/multicast.h"
#include "runtime/process.h"
#include "web/csrf.h"
#include "web/frontdoor.h"
#include "web/hl7listener.h"
#include "web/httpd.h"
#include "web/metrics.h"
#include "web/monitorfeed.h"
#include "web/webserver.h"
#include "web/worklistpage.h"

weboptions web_options = {
    WEB_DEFAULT_PORT,         // port
    WEB_DEFAULT_ADDRESS,      // address
    WEB_DEFAULT_MONITOR_PORT, // monitor_port
    WEB_DEFAULT_MCAST_GROUP,  // mcast_group
    0,                        // open_without_auth
    nullptr,                  // users_file
    nullptr,                  // cert_file
    nullptr,                  // key_file
    nullptr,                  // viewer_dir
    0,                        // overwrite
    WEB_DEFAULT_MAX_UPLOAD,   // max_upload
    WEB_DEFAULT_MAX_PART,     // max_part
    WEB_DEFAULT_MAX_PARTS,    // max_parts
    64,                       // threads_max
    stderr,                   // logfp
    nullptr,                  // logfile
    nullptr,                  // pidfile
    0,                        // debug
    16,                       // per_address_max
    10,                       // header_timeout
    0,                        // symlinks
    {},                       // host_names
    WEB_DEFAULT_BODY_RATE,    // min_body_rate
    WEB_DEFAULT_BODY_WINDOW,  // body_window
    nullptr,                  // aetitle
};
archive_context web_archive;
int web_monitorSock = -1;

static const char usageText[] =
    "Usage: %s [-p Port] [-b Address] [-m MonitorPort] [-w UsersFile] [-A]\n"
    "       [-C CertFile -K KeyFile] [-V ViewerDir] [-M MaxConnections]\n"
    "       [-I MaxPerAddress] [-H HeaderSeconds] [-R Rate[,Seconds]]\n"
    "       [-n Name[,Name...]] [-o] [-s] [-W Mode]\n"
    "       [-U Upload[,Part]] [-N Parts] [-a AETitle]\n"
    "       [-l logfile] [-P pidfile] [-D] [-h]\n"
    "  -p Port        HTTP port (default %d)\n"
    "  -b Address     IPv4 address to listen on (default %s)\n"
    "  -m MonitorPort monitor channel port (default %d)\n"
    "  -w UsersFile   users and crypt(3) password hashes, name:hash per line\n"
    "                 (default: " WEB_USERS_FILE " along the configuration search path);\n"
    "                 a users file that cannot be read or names no valid user\n"
    "                 ends the program\n"
    "  -A             allow listening beyond the loopback without any user\n"
    "  -C, -K         PEM certificate and key: serve HTTPS (default: those of\n"
    "                 DicomTLS along the configuration search path, if any)\n"
    "  -V ViewerDir   the viewer's files (default: share/velto/viewer of the\n"
    "                 installation, else .deps/ohif of the source tree this\n"
    "                 program was built from)\n"
    "  -M Max         connections served at once (default 64)\n"
    "  -I Max         connections from one client address at once (default 16)\n"
    "  -H Seconds     time a request's headers may take to arrive, from the\n"
    "                 connection's start or its previous request (default 10)\n"
    "  -R Rate[,Sec]  least bytes per second of a request body, over each period\n"
    "                 of Sec seconds from the end of its headers (default 1024,10);\n"
    "                 a slower body ends its connection\n"
    "  -n Names       further host names or addresses (comma-separated; may be\n"
    "                 repeated) that clients reach this server by; it answers\n"
    "                 only for these, localhost and the address a connection\n"
    "                 reached (others: 421)\n"
    "  -o             STOW-RS replaces images that are already stored\n"
    "  -s             also enter uploads in the patient link tree (as storeserver -s)\n"
    "  -W Mode        what marks a worklist entry done when its study arrives by\n"
    "                 STOW-RS: accession, study, both (default) or off\n"
    "  -U Up[,Part]   largest STOW-RS body and part in bytes, k/M/G suffix\n"
    "                 (default 4G,1G; beyond them: 413, or the part refused)\n"
    "  -N Parts       most parts of one STOW-RS body (default 10000)\n"
    "  -a AETitle     the archive's AE title: never offered as a send destination, and\n"
    "                 the destination of retrieves from peers (default: the entry\n"
    "                 \"Local\" of AETitleMap, else VeltoStorage, as storeserver)\n"
    "  -l logfile     log to the file instead of stderr\n"
    "  -P pidfile     write the process id to the file\n"
    "  -D             debug logging (twice: trace)\n"
    "  -h             print this text\n";

static void usage(const char *prog)
{
    fprintf(stderr, usageText, prog, WEB_DEFAULT_PORT, WEB_DEFAULT_ADDRESS,
            WEB_DEFAULT_MONITOR_PORT);
}

// A size: digits with an optional k, M or G (powers of 1024); *end is left
// after it. 0 for no digits.
static unsigned long long sizeWithSuffix(const char *text, char **end)
{
    unsigned long long n = strtoull(text, end, 10);
    if (*end == text)
        return 0;
    int shift = 0;
    switch (**end) {
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'M':
        shift = 20;
        break;
    case 'G':
        shift = 30;
        break;
    }
    if (shift != 0)
        (*end)++;
    return n << shift;
}

// Fills web_options from the command line: 0 go on, 1 exit 0 (-h), 2 exit 1.
static int parseOptions(int argc, char **argv)
{
    weboptions &o = web_options;
    int c;
    while ((c = getopt(argc, argv, "p:b:m:w:AC:K:V:M:I:H:R:n:osW:U:N:l:P:Dha:")) != -1) {
        switch (c) {
        case 'a':
            o.aetitle = optarg;
            break;
        case 'p':
            o.port = (int)strtol(optarg, nullptr, 10);
            break;
        case 'b':
            o.address = optarg;
            break;
        case 'm':
            o.monitor_port = (int)strtol(optarg, nullptr, 10);
            break;
        case 'w':
            o.users_file = optarg;
            break;
        case 'A':
            o.open_without_auth = 1;
            break;
        case 'C':
            o.cert_file = optarg;
            break;
        case 'K':
            o.key_file = optarg;
            break;
        case 'V':
            o.viewer_dir = optarg;
            break;
        case 'M':
            o.threads_max = (int)strtol(optarg, nullptr, 10);
            break;
        case 'I':
            o.per_address_max = (int)strtol(optarg, nullptr, 10);
            break;
        case 'H':
            o.header_timeout = (int)strtol(optarg, nullptr, 10);
            break;
        case 'R': {
            char *end = nullptr;
            o.min_body_rate = (unsigned long)sizeWithSuffix(optarg, &end);
            if (*end == ',')
                o.body_window = (int)strtol(end + 1, &end, 10);
            if (*end != '\0' || o.min_body_rate == 0 || o.body_window <= 0 ||
                o.body_window > 3600) {
                usage(argv[0]);
                return 2;
            }
            break;
        }
        case 'n': {
            std::string list = optarg;
            size_t at = 0;
            while (at <= list.size()) {
                size_t comma = list.find(',', at);
                std::string name = list.substr(at, comma - at), canonical;
                if (!frontdoor_canonicalName(name, &canonical)) {
                    fprintf(stderr, "%s: invalid -n host name: %s\n", argv[0], name.c_str());
                    usage(argv[0]);
                    return 2;
                }
                o.host_names.push_back(canonical);
                if (comma == std::string::npos)
                    break;
                at = comma + 1;
            }
            break;
        }
        case 'o':
            o.overwrite = 1;
            break;
        case 's':
            o.symlinks = 1;
            break;
        case 'W':
            worklistpage_doneMode = Worklist_ParseDoneMode(optarg);
            if (worklistpage_doneMode < 0) {
                fprintf(stderr, "%s: invalid -W mode: %s\n", argv[0], optarg);
                usage(argv[0]);
                return 2;
            }
            break;
        case 'U': {
            char *end = nullptr;
            o.max_upload = sizeWithSuffix(optarg, &end);
            o.max_part = *end == ',' ? sizeWithSuffix(end + 1, &end) : o.max_upload;
            if (*end != '\0' || o.max_upload == 0 || o.max_part == 0) {
                usage(argv[0]);
                return 2;
            }
            break;
        }
        case 'N':
            o.max_parts = (size_t)strtoul(optarg, nullptr, 10);
            if (o.max_parts == 0) {
                usage(argv[0]);
                return 2;
            }
            break;
        case 'l':
            o.logfile = optarg;
            break;
        case 'P':
            o.pidfile = optarg;
            break;
        case 'D':
            o.debug++;
            break;
        case 'h':
            usage(argv[0]);
            return 1;
        default:
            usage(argv[0]);
            return 2;
        }
    }
    if (optind < argc || o.port <= 0 || o.port > 65535 || o.threads_max <= 0 ||
        o.per_address_max <= 0 || o.header_timeout <= 0 || o.header_timeout > 3600 ||
        (o.cert_file == nullptr) != (o.key_file == nullptr)) {
        usage(argv[0]);
        return 2;
    }
    return 0;
}

// The certificate and key of the DICOM side's TLS settings ("DicomTLS"
// along the configuration search path, read as the server reads it), so
// that the web is served over HTTPS with the site's certificate. Fills both
// or neither; 0, or -1 after a log when the file is there but unusable (as
// the server, storeweb then does not start rather than serve without TLS).
static int dicomTlsFiles(std::string *cert, std::string *key)
{
    tlsfile_settings s;
    std::string why;
    int r = tlsfile_read(nullptr, &s, &why);
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, web_options.logfp, "TLS settings %s: %s\n", s.path.c_str(),
                  why.c_str());
        return -1;
    }
    if (r == 0) {
        *cert = s.certificate;
        *key = s.key;
    }
    return 0;
}

// Without -V: the viewer of the installation, else, for a program run from
// its build tree, the one in the source tree it was built from.
static void viewerDefault()
{
    static std::string dir;
    if (web_options.viewer_dir != nullptr)
        return;
    std::string installed = std::string(installpath_progPath()) + "/share/velto/viewer";
    if (access((installed + "/index.html").c_str(), R_OK) == 0)
        return;
#ifdef VELTO_SOURCE_DIR
    std::string source = std::string(VELTO_SOURCE_DIR) + "/.deps/ohif";
    if (access((source + "/index.html").c_str(), R_OK) == 0) {
        dir = source;
        web_options.viewer_dir = dir.c_str();
    }
#endif
}

// True for an address of the loopback network (127.0.0.0/8).
static bool isLoopback(const char *address)
{
    struct in_addr a;
    return inet_pton(AF_INET, address, &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

int main(int argc, char **argv)
{
    weboptions &o = web_options;
    int rc = 1;
    MHD_Daemon *daemon = nullptr;
    hl7listener *hl7Listener = nullptr;
    sigset_t stopSignals;
    int sig = 0;
    // The audit trail's sender (core/audit.h) and its stop.
    std::thread auditSender;
    std::atomic<bool> auditStop(false);

    detect_installpath(argv[0]);
    switch (parseOptions(argc, argv)) {
    case 1:
        return 0;
    case 2:
        return 1;
    }
    if (o.logfile != nullptr) {
        o.logfp = fopen(o.logfile, "a");
        if (o.logfp == nullptr) {
            fprintf(stderr, "%s: cannot open log file %s\n", argv[0], o.logfile);
            return 1;
        }
    }
    if (o.debug == 1)
        logprintf_setmaxlevel(LOGLEVEL_DEBUG);
    else if (o.debug >= 2)
        logprintf_setmaxlevel(LOGLEVEL_TRACE);

    // Without -C and -K, the DICOM side's certificate, if it has one.
    static std::string tlsCert, tlsKey;
    if (o.cert_file == nullptr) {
        if (dicomTlsFiles(&tlsCert, &tlsKey) != 0)
            return 1;
        if (!tlsCert.empty()) {
            o.cert_file = tlsCert.c_str();
            o.key_file = tlsKey.c_str();
        }
    }

    // The users: the -w file, else the site file along the search path
    // (found by existence, not readability, a symbolic link to nothing
    // included: a users file that is there but cannot be read must not
    // leave the web open). A users file that lets no one in ends the
    // program either way.
    char usersPath[PATH_MAX];
    const char *users = o.users_file;
    if (users == nullptr)
        users = getfilepath(CONFIG_SEARCHPATH, WEB_USERS_FILE, GETFILEPATH_ENTRY, usersPath,
                            sizeof usersPath);
    int userCount = users != nullptr ? httpd_loadUsers(users) : 0;
    if (users != nullptr && userCount <= 0) {
        logprintf(LOGLEVEL_FATAL, o.logfp, "No valid users in %s\n", users);
        return 1;
    }
    viewerDefault();
    // Without users everyone who reaches the port gets every image: only
    // the machine itself may, unless the site says otherwise.
    if (userCount == 0 && !isLoopback(o.address) && !o.open_without_auth) {
        logprintf(LOGLEVEL_FATAL, o.logfp,
                  "Refusing to listen on %s without users (" WEB_USERS_FILE "); -A allows it\n",
                  o.address);
        return 1;
    }

    if (httpd_loadPolicy() != 0 || csrf_init() != 0)
        return 1;
    // Images uploaded here are forwarded by the same rules as the server's:
    // their jobs go into the store's queue, which the server's forwarder
    // works through. A rules file the server would refuse ends storeweb too.
    static forward_rules rules;
    char rulesError[512] = "";
    int rulesRead = forward_loadRules(nullptr, &rules, rulesError, sizeof rulesError);
    if (rulesRead < 0) {
        logprintf(LOGLEVEL_FATAL, o.logfp, "Forwarding rules: %s\n", rulesError);
        return 1;
    }

    // The archive: the store ("LocalStoreDir" along the search path, now
    // that the installation prefix is known), the object tier and the
    // capacity policy, and the store lock, held (shared, like every running
    // server) for the process's life, so that storeindex rebuild, which
    // rewrites every index file, does not run while uploads are stored; a
    // rebuild in progress keeps storeweb from starting. No recovery: that
    // is the server's, at its start.
    {
        archive_settings settings;
        settings.log = o.logfp;
        settings.prog = "storeweb";
        settings.lock = ARCHIVE_LOCK_SHARED;
        // Started apart, so that the base directory can be named when it fails.
        settings.deferStart = true;
        settings.makeStore = true;
        if (archive_open(&web_archive, settings, nullptr) != 0)
            goto out;
        if (archive_start(&web_archive, nullptr) != 0) {
            // EAGAIN, the only failure of a shared lock; EBUSY, a restore
            // into the store that has not ended.
            logprintf(LOGLEVEL_FATAL, o.logfp, "Store %s is being %s (storeindex holds it).\n",
                      archive_baseDir(&web_archive), errno == EBUSY ? "restored" : "rebuilt");
            goto out;
        }
    }

    // The audit trail, when the site keeps one (a wrong AuditLog file keeps
    // storeweb from starting: it would serve unaudited).
    {
        std::string why;
        if (audit_open(nullptr, archive_baseDir(&web_archive), "storeweb", o.logfp,
                       &web_archive.audit, &why) != 0) {
            logprintf(LOGLEVEL_FATAL, o.logfp, "Audit trail: %s\n", why.c_str());
            fprintf(stderr, "storeweb: audit trail: %s\n", why.c_str());
            goto out;
        }
    }

    dicomnet_quiet_toolkit_log();
    // Frames and rendered images of compressed files are decoded.
    archive_registerDecoders();

    multicast_init();
    web_monitorSock = multicast_sendsocket((unsigned short)o.monitor_port, o.mcast_group);
    monitorfeed_start((unsigned short)o.monitor_port, o.mcast_group);
    web_archive.patientLinks = o.symlinks != 0;
    web_archive.worklistDone = worklistpage_doneMode;
    web_archive.monitorSock = &web_monitorSock;
    web_archive.forwardRules = &rules;
    archive_addListener(&web_archive, metrics_listener());
    signal(SIGPIPE, SIG_IGN);

    // The stop signals are taken by sigwait below; blocked before the
    // daemon's threads start, so that they inherit the mask and no thread
    // of the library is killed by them.
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    daemon = httpd_start();
    if (daemon == nullptr)
        goto out;
    {
        // ADT messages from the hospital, when the site file names a port.
        hl7listener_settings hl7;
        std::string hl7error;
        int hl7read = hl7listener_load(nullptr, &hl7, &hl7error);
        if (hl7read < 0) {
            logprintf(LOGLEVEL_FATAL, o.logfp, "%s\n", hl7error.c_str());
            httpd_stop(daemon);
            goto out;
        }
        if (hl7read == 1 &&
            (hl7Listener = hl7listener_start(hl7, web_applyAdt, o.logfp, &hl7error)) == nullptr) {
            httpd_stop(daemon);
            goto out;
        }
    }
    audit_application(web_archive.audit, true);
    if (web_archive.audit != nullptr)
        auditSender = std::thread(audit_runSender, web_archive.audit, &auditStop, 2000);
    if (o.pidfile != nullptr) {
        FILE *pf = fopen(o.pidfile, "w");
        if (pf != nullptr) {
            fprintf(pf, "%d\n", (int)getpid());
            fclose(pf);
        }
    }
    {
        const char *scheme = o.cert_file != nullptr ? "https" : "http";
        char text[256];
        snprintf(text, sizeof text, "WEB START %s://%s:%d/", scheme, o.address, o.port);
        multicast_send(web_monitorSock, text);
        logprintf(LOGLEVEL_NOTICE, o.logfp, "storeweb serving %s://%s:%d/ store %s\n", scheme,
                  o.address, o.port, archive_baseDir(&web_archive));
    }
    sigwait(&stopSignals, &sig);
    logprintf(LOGLEVEL_NOTICE, o.logfp, "storeweb stopping (signal %d)\n", sig);
    multicast_send(web_monitorSock, "WEB STOP");
    // No change starts once the listener is gone: it ends before the
    // archive it changes.
    hl7listener_stop(hl7Listener);
    httpd_stop(daemon);
    audit_application(web_archive.audit, false);
    rc = 0;
out:
    // The sender's last pass sends what is spooled (the Stop too).
    auditStop = true;
    if (auditSender.joinable())
        auditSender.join();
    // The reader thread ends before the objects it uses go.
    monitorfeed_stop();
    archive_close(&web_archive);
    audit_close(web_archive.audit);
    web_archive.audit = nullptr;
    return rc;
}
