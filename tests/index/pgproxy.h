// A PostgreSQL wire proxy for the failover tests: it listens on a unix
// socket of its own (a directory that a libpq "host=" names) and passes
// each connection through to the real server, reading the messages both
// ways so that it can cut a connection exactly where a failover does:
// just before the client's COMMIT reaches the server, or just after the
// server answered it (the transaction took, the client never hears so).
#ifndef VELTO_TESTS_INDEX_PGPROXY_H
#define VELTO_TESTS_INDEX_PGPROXY_H

#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class PgProxy
{
public:
    enum Cut {
        CUT_NONE,
        CUT_BEFORE_COMMIT, // the COMMIT never reaches the server
        CUT_AFTER_COMMIT,  // the server's answer to COMMIT never reaches the client
    };

    // serverDir: the directory of the server's socket (.s.PGSQL.5432).
    explicit PgProxy(const std::string &serverDir) : server_(serverDir + "/.s.PGSQL.5432")
    {
        char tmpl[] = "/tmp/velto-pgproxy-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        dir_ = tmpl;
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = address(dir_ + "/.s.PGSQL.5432");
        if (listen_ < 0 || bind(listen_, (sockaddr *)&a, sizeof a) != 0 || listen(listen_, 16) != 0)
            abort();
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~PgProxy()
    {
        stop_ = true;
        shutdown(listen_, SHUT_RDWR);
        acceptor_.join();
        for (std::thread &t : pumps_)
            t.join();
        close(listen_);
        std::string rm = "rm -rf '" + dir_ + "'";
        if (system(rm.c_str()) != 0) {
        }
    }
    // The directory to name as libpq's host.
    const std::string &dir() const { return dir_; }
    // Cuts the next connection that sends a COMMIT (once).
    void arm(Cut cut) { cut_ = cut; }
    // How many connections were cut.
    int cuts() const { return cuts_; }

private:
    static sockaddr_un address(const std::string &path)
    {
        sockaddr_un a;
        memset(&a, 0, sizeof a);
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        return a;
    }
    void acceptLoop()
    {
        for (;;) {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0 || stop_) {
                if (c >= 0)
                    close(c);
                return;
            }
            pumps_.emplace_back([this, c] { pump(c); });
        }
    }
    // Complete messages at the front of buf: their ends. The client's
    // first message (startup) has no type byte.
    static size_t messageEnd(const std::string &buf, size_t from, bool typed)
    {
        size_t head = typed ? 1 : 0;
        if (buf.size() < from + head + 4)
            return 0;
        uint32_t len = ((uint8_t)buf[from + head] << 24) | ((uint8_t)buf[from + head + 1] << 16) |
                       ((uint8_t)buf[from + head + 2] << 8) | (uint8_t)buf[from + head + 3];
        if (buf.size() < from + head + len)
            return 0;
        return from + head + len;
    }
    static bool writeAll(int fd, const char *p, size_t n)
    {
        while (n > 0) {
            ssize_t w = write(fd, p, n);
            if (w <= 0)
                return false;
            p += w;
            n -= (size_t)w;
        }
        return true;
    }
    void pump(int client)
    {
        int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = address(server_);
        if (server < 0 || connect(server, (sockaddr *)&a, sizeof a) != 0) {
            close(client);
            if (server >= 0)
                close(server);
            return;
        }
        std::string fromClient, fromServer;
        bool startup = true;
        bool awaitingCommit = false; // a COMMIT passed, cut at its answer's end
        for (;;) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 200) < 0 || stop_)
                break;
            char buf[65536];
            if (fds[0].revents) {
                ssize_t n = read(client, buf, sizeof buf);
                if (n <= 0)
                    break;
                fromClient.append(buf, (size_t)n);
                size_t at = 0, end;
                bool cut = false;
                while ((end = messageEnd(fromClient, at, !startup)) != 0) {
                    bool commit = !startup && fromClient[at] == 'Q' &&
                                  strncmp(fromClient.c_str() + at + 5, "COMMIT", 6) == 0;
                    Cut armed = cut_;
                    if (commit && armed == CUT_BEFORE_COMMIT && cut_.exchange(CUT_NONE) == armed) {
                        cut = true;
                        break;
                    }
                    if (commit && armed == CUT_AFTER_COMMIT && cut_.exchange(CUT_NONE) == armed)
                        awaitingCommit = true;
                    // (libpq asks for no SSL or GSS on a unix socket: the
                    // startup message is the only untyped one.)
                    if (!writeAll(server, fromClient.data() + at, end - at)) {
                        cut = true;
                        break;
                    }
                    startup = false;
                    at = end;
                }
                if (cut) {
                    cuts_++;
                    break;
                }
                fromClient.erase(0, at);
            }
            if (fds[1].revents) {
                ssize_t n = read(server, buf, sizeof buf);
                if (n <= 0)
                    break;
                fromServer.append(buf, (size_t)n);
                size_t at = 0, end;
                bool cut = false;
                while ((end = messageEnd(fromServer, at, true)) != 0) {
                    // Ready for query after the COMMIT: it took; the client
                    // hears nothing of it.
                    if (awaitingCommit && fromServer[at] == 'Z') {
                        cut = true;
                        break;
                    }
                    if (!awaitingCommit && !writeAll(client, fromServer.data() + at, end - at)) {
                        cut = true;
                        break;
                    }
                    at = end;
                }
                if (cut) {
                    cuts_++;
                    break;
                }
                fromServer.erase(0, at);
            }
        }
        close(client);
        close(server);
    }

    std::string server_;
    std::string dir_;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<Cut> cut_{CUT_NONE};
    std::atomic<int> cuts_{0};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;
};

#endif
