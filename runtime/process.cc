// Process helpers: becoming a daemon, dropping privileges, the cached pid.
#include "runtime/process.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <unistd.h>

// 0: not asked yet (or forked since).
static int cached_pid = 0;

static void forget_pid(void)
{
    cached_pid = 0;
}

int process_pid(void)
{
    static pthread_once_t registered = PTHREAD_ONCE_INIT;
    // The handler must be in place before the first value is kept, or a
    // child could inherit it.
    pthread_once(&registered, [] { pthread_atfork(nullptr, nullptr, forget_pid); });
    if (cached_pid == 0)
        cached_pid = (int)getpid();
    return cached_pid;
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
