// A PostgreSQL 15 server for the tests of the PostgreSQL index backend,
// started from Debian's package in a private directory at the first use
// and stopped when the test binary exits: one server for the whole binary
// (initdb and start take well under a second together). It listens on a
// unix socket in that directory only (no TCP port: nothing to collide
// with other test binaries, nothing reachable from outside). initdb refuses
// to run as root, so as root the server runs as the postgres user.
#ifndef VELTO_TESTS_INDEX_PGSERVER_H
#define VELTO_TESTS_INDEX_PGSERVER_H

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class PgServer
{
public:
    // The server of this binary, started at the first call.
    static PgServer &get()
    {
        static PgServer server;
        return server;
    }
    // Empty when the server runs; else why it does not (the tests that
    // need it are skipped with this reason).
    const std::string &unavailable() const { return why_; }
    // A libpq connection string to its database.
    const std::string &conninfo() const { return conninfo_; }
    // The directory of its unix socket.
    const std::string &dir() const { return dir_; }
    // Stops the server (mode: smart, fast or immediate, the last as a
    // crash or a failover leaves the clients) and starts it again on the
    // same data: 0, or -1. For the failover tests, whose binary has the
    // server to itself.
    int stop(const char *mode = "fast")
    {
        std::string cmd = as_ + bin_ + "/pg_ctl -D " + dir_ + "/data -m " + mode + " -w stop >>" +
                          dir_ + "/pg_ctl.log 2>&1";
        return system(cmd.c_str()) == 0 ? 0 : -1;
    }
    int start() { return system(start_.c_str()) == 0 ? 0 : -1; }
    int restart(const char *mode = "fast") { return stop(mode) == 0 && start() == 0 ? 0 : -1; }

private:
    PgServer()
    {
        const std::string bin = "/usr/lib/postgresql/15/bin";
        if (access((bin + "/initdb").c_str(), X_OK) != 0 ||
            access((bin + "/pg_ctl").c_str(), X_OK) != 0) {
            why_ = "PostgreSQL 15 is not installed (" + bin +
                   "/initdb; Debian package postgresql-15, listed in scripts/needs)";
            return;
        }
        char tmpl[] = "/tmp/velto-pg-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            why_ = "no temporary directory";
            return;
        }
        dir_ = tmpl;
        std::string as;
        if (geteuid() == 0) {
            struct passwd *pw = getpwnam("postgres");
            if (pw == nullptr || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                why_ = "running as root without a postgres user to run the server as";
                return;
            }
            as = "runuser -u postgres -- ";
        }
        chmod(dir_.c_str(), 0755);
        // fsync off: the tests kill clients, and stop the server at most
        // (its writes stay in the host's page cache), never the host.
        std::string init = as + bin + "/initdb -D " + dir_ +
                           "/data -A trust -U velto --no-sync -E UTF8 --locale=C.UTF-8 >" + dir_ +
                           "/initdb.log 2>&1";
        as_ = as;
        start_ = as + bin + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -o \"-k " +
                 dir_ +
                 " -c listen_addresses='' -c fsync=off -c max_connections=50 -c "
                 "deadlock_timeout=100ms\" start"
                 " >>" +
                 dir_ + "/pg_ctl.log 2>&1";
        if (system(init.c_str()) != 0) {
            why_ = "initdb failed: see " + dir_ + "/initdb.log";
            return;
        }
        if (system(start_.c_str()) != 0) {
            why_ = "the server did not start: see " + dir_ + "/server.log";
            return;
        }
        owner_ = getpid();
        stop_ = as + bin + "/pg_ctl -D " + dir_ + "/data -m immediate stop >/dev/null 2>&1";
        // A binary that dies without its static destructors (an abort, a
        // signal) must not leave a server behind: a watcher stops it when
        // this process is gone.
        std::string watch = "(while kill -0 " + std::to_string(owner_) +
                            " 2>/dev/null; do sleep 1; done; " + stop_ + "; rm -rf '" + dir_ +
                            "') </dev/null >/dev/null 2>&1 &";
        if (system(watch.c_str()) != 0) {
        }
        conninfo_ = "host=" + dir_ + " dbname=postgres user=velto";
    }
    ~PgServer()
    {
        // Only the process that started it (a forked child exits with
        // _exit, but be sure).
        if (owner_ != getpid())
            return;
        if (system(stop_.c_str()) != 0) {
        }
        std::string rm = "rm -rf '" + dir_ + "'";
        if (system(rm.c_str()) != 0) {
        }
    }

    const std::string bin_ = "/usr/lib/postgresql/15/bin";
    std::string why_;
    std::string as_;
    std::string start_;
    std::string dir_;
    std::string stop_;
    std::string conninfo_;
    pid_t owner_ = 0;
};

#endif
