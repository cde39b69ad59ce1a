// Process helpers: becoming a daemon, dropping privileges, the cached pid.
#include "runtime/process.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

// 0: not asked yet (or forked since). Atomic: the web server's threads log
// (and so ask) at once; each would store the same value.
static std::atomic<int> cached_pid{0};

static void forget_pid(void)
{
    cached_pid.store(0, std::memory_order_relaxed);
}

int process_pid(void)
{
    static pthread_once_t registered = PTHREAD_ONCE_INIT;
    // The handler must be in place before the first value is kept, or a
    // child could inherit it.
    pthread_once(&registered, [] { pthread_atfork(nullptr, nullptr, forget_pid); });
    int pid = cached_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = (int)getpid();
        cached_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Descriptors closed by the daemon child.
static const int kMaxCloseFd = 1024;

int daemonize(void)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        return 1;

    // The child drops everything it inherited, the log file included; the
    // programs open their logs after this call.
    for (int fd = 0; fd < kMaxCloseFd; fd++)
        close(fd);
    setsid();
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        if (null_fd > 2)
            close(null_fd);
    }
    return 0;
}

int drop_to_group(const char *name)
{
    struct group *gr = name != nullptr ? getgrnam(name) : nullptr;
    if (gr == nullptr)
        return 1;
    return setresgid(gr->gr_gid, gr->gr_gid, gr->gr_gid);
}

int drop_to_user(const char *name)
{
    struct passwd *pw = name != nullptr ? getpwnam(name) : nullptr;
    if (pw == nullptr)
        return 1;
    return setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid);
}

// 1 when real, effective and saved user and group ids are uid and gid.
static int has_ids(uid_t uid, gid_t gid)
{
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0)
        return 0;
    return ru == uid && eu == uid && su == uid && rg == gid && eg == gid && sg == gid;
}

int drop_privileges(const char *user, const char *group, const char **failed)
{
    if (user == nullptr && group == nullptr)
        return 0;
    // Copies: the next getpwnam or getgrnam overwrites the library's records.
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (user != nullptr) {
        struct passwd *pw = getpwnam(user);
        if (pw == nullptr) {
            *failed = "user";
            return -1;
        }
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    }
    if (group != nullptr) {
        struct group *gr = getgrnam(group);
        if (gr == nullptr) {
            *failed = "group";
            return -1;
        }
        gid = gr->gr_gid;
    }
    if (geteuid() != 0) {
        if (has_ids(uid, gid))
            return 0;
        *failed = user != nullptr ? "user" : "group";
        return -1;
    }
    // Root's own supplementary groups (group 0 among them) must not stay.
    int r = user != nullptr ? initgroups(user, gid) : setgroups(0, nullptr);
    if (r != 0) {
        *failed = user != nullptr ? "user" : "group";
        return -1;
    }
    if (setresgid(gid, gid, gid) != 0) {
        *failed = "group";
        return -1;
    }
    if (setresuid(uid, uid, uid) != 0 || !has_ids(uid, gid)) {
        *failed = "user";
        return -1;
    }
    return 0;
}
