// Tests of becoming a daemon, dropping privileges and whole-file locks.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/process.h"
#include "runtime/test_tempdir.h"
#include "runtime/vlcompat.h"

// Waits for child and returns its exit status, or -1 if it did not exit.
static int ExitStatus(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(Daemonize, ChildHasNewSessionNullStdioAndNoInheritedFds)
{
    TempDir dir;
    std::string report = dir.sub("report");
    int inherited = open("/dev/zero", O_RDONLY);
    ASSERT_GE(inherited, 3);

    int r = daemonize();
    if (r == 0) {
        // The daemon side: _exit, never return into the test framework.
        struct stat null_st, st;
        int ok = getsid(0) == getpid() && stat("/dev/null", &null_st) == 0;
        for (int fd = 0; fd <= 2; fd++)
            ok = ok && fstat(fd, &st) == 0 && st.st_rdev == null_st.st_rdev && S_ISCHR(st.st_mode);
        ok = ok && fcntl(inherited, F_GETFD) == -1;
        int out = open(report.c_str(), O_WRONLY | O_CREAT, 0644);
        if (out >= 0 && write(out, ok ? "ok" : "bad", ok ? 2 : 3) < 0)
            ok = 0;
        _exit(ok ? 0 : 1);
    }
    close(inherited);
    ASSERT_EQ(r, 1);
    // The daemon is our direct child: wait for it and read its report.
    int status = 0;
    ASSERT_GT(wait(&status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(report), "ok");
}

TEST(DropPrivileges, UnknownNamesReturnOneAndChangeNothing)
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    getresuid(&ruid, &euid, &suid);
    getresgid(&rgid, &egid, &sgid);
    EXPECT_EQ(drop_to_user("velto-no-such-user"), 1);
    EXPECT_EQ(drop_to_group("velto-no-such-group"), 1);
    uid_t r2, e2, s2;
    gid_t rg2, eg2, sg2;
    getresuid(&r2, &e2, &s2);
    getresgid(&rg2, &eg2, &sg2);
    EXPECT_TRUE(r2 == ruid && e2 == euid && s2 == suid);
    EXPECT_TRUE(rg2 == rgid && eg2 == egid && sg2 == sgid);
}

TEST(DropPrivileges, AllThreeIdsChange)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (drop_to_group("nogroup") != 0 && drop_to_group("nobody") != 0)
            _exit(10);
        if (drop_to_user("nobody") != 0)
            _exit(11);
        uid_t r, e, s;
        getresuid(&r, &e, &s);
        if (r == 0 || e != r || s != r)
            _exit(12);
        gid_t rg, eg, sg;
        getresgid(&rg, &eg, &sg);
        if (rg == 0 || eg != rg || sg != rg)
            _exit(13);
        // Root cannot be regained.
        if (setresuid(0, 0, 0) == 0)
            _exit(14);
        _exit(0);
    }
    EXPECT_EQ(ExitStatus(child), 0);
}

// The whole switch: the user alone brings its own group and supplementary
// groups (none of root's), and nothing of root can be regained; a name that
// cannot be had is reported and fails the switch.
TEST(DropPrivileges, UserAloneTakesItsOwnGroups)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const char *failed = nullptr;
    EXPECT_EQ(drop_privileges("velto-no-such-user", nullptr, &failed), -1);
    EXPECT_STREQ(failed, "user");
    EXPECT_EQ(drop_privileges(nullptr, "velto-no-such-group", &failed), -1);
    EXPECT_STREQ(failed, "group");
    EXPECT_EQ(geteuid(), 0u); // refused before anything changed
    EXPECT_EQ(drop_privileges(nullptr, nullptr, &failed), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct passwd *pw = getpwnam("nobody");
        if (pw == nullptr)
            _exit(10);
        uid_t uid = pw->pw_uid;
        gid_t gid = pw->pw_gid;
        const char *what = nullptr;
        if (drop_privileges("nobody", nullptr, &what) != 0)
            _exit(11);
        uid_t r, e, su;
        gid_t rg, eg, sg;
        getresuid(&r, &e, &su);
        getresgid(&rg, &eg, &sg);
        if (r != uid || e != uid || su != uid || rg != gid || eg != gid || sg != gid)
            _exit(12);
        gid_t groups[64];
        int n = getgroups(64, groups);
        for (int i = 0; i < n; i++)
            if (groups[i] == 0)
                _exit(13);
        if (setresuid(0, 0, 0) == 0 || setgroups(0, nullptr) == 0)
            _exit(14);
        _exit(0);
    }
    EXPECT_EQ(ExitStatus(child), 0);
}

// What a second process sees of the locks on fd's file at offset start.
static int ProbeLockType(const std::string &path, short type, off_t start)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -2;
    pid_t child = fork();
    if (child == 0) {
        int fd = open(path.c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = 1;
        int result = fd >= 0 && fcntl(fd, F_GETLK, &fl) == 0 ? fl.l_type : -3;
        if (write(fds[1], &result, sizeof result) != sizeof result)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    int result = -4;
    if (read(fds[0], &result, sizeof result) != sizeof result)
        result = -5;
    close(fds[0]);
    ExitStatus(child);
    return result;
}

TEST(LockWholeFile, CoversTheWholeFileAndItsGrowth)
{
    TempDir dir;
    std::string path = dir.sub("locked");
    ASSERT_TRUE(WriteFile(path, "0123456789"));
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);

    ASSERT_EQ(VLCompat_LockWholeFile(fd, F_WRLCK), 0);
    EXPECT_EQ(ProbeLockType(path, F_RDLCK, 0), F_WRLCK);
    EXPECT_EQ(ProbeLockType(path, F_RDLCK, 1 << 20), F_WRLCK); // past the end

    // A shared lock admits other readers but not writers.
    ASSERT_EQ(VLCompat_LockWholeFile(fd, F_RDLCK), 0);
    EXPECT_EQ(ProbeLockType(path, F_RDLCK, 5), F_UNLCK);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 5), F_RDLCK);

    ASSERT_EQ(VLCompat_LockWholeFile(fd, F_UNLCK), 0);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 0), F_UNLCK);
    close(fd);
    EXPECT_EQ(VLCompat_LockWholeFile(-1, F_RDLCK), -1);
}

// A descriptor's own lock outlives what other descriptors of the file in
// the same process do (a process lock would end at the first close), and
// still keeps other processes' writers out.
TEST(LockDescription, SurvivesAnotherDescriptorsUnlockAndClose)
{
    TempDir dir;
    std::string path = dir.sub("locked");
    ASSERT_TRUE(WriteFile(path, "0123456789"));
    int reader = open(path.c_str(), O_RDONLY);
    int other = open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_GE(other, 0);

    ASSERT_EQ(VLCompat_LockDescription(reader, F_RDLCK), 0);
    ASSERT_EQ(VLCompat_LockDescription(other, F_RDLCK), 0);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 0), F_RDLCK);
    ASSERT_EQ(VLCompat_LockDescription(other, F_UNLCK), 0);
    close(other);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 0), F_RDLCK);
    EXPECT_EQ(ProbeLockType(path, F_RDLCK, 1 << 20), F_UNLCK); // readers are let in

    // The same with process locks: the close of the other descriptor ends it.
    other = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(VLCompat_LockDescription(reader, F_UNLCK), 0);
    ASSERT_EQ(VLCompat_LockWholeFile(reader, F_RDLCK), 0);
    close(other);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 0), F_UNLCK);

    ASSERT_EQ(VLCompat_LockDescription(reader, F_RDLCK), 0);
    close(reader);
    EXPECT_EQ(ProbeLockType(path, F_WRLCK, 0), F_UNLCK);
    EXPECT_EQ(VLCompat_LockDescription(-1, F_RDLCK), -1);
}

TEST(Mkdir, ResultOfMkdir)
{
    TempDir dir;
    std::string sub = dir.sub("d");
    EXPECT_EQ(VLCompat_mkdir(sub.c_str(), 0750), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(VLCompat_mkdir(sub.c_str(), 0750), -1);
    EXPECT_EQ(errno, EEXIST);
}

// The cached process id must not outlive a fork: every worker is a fork of
// the listener, and its messages and temporary file names carry its own id.
TEST(ProcessPid, CachedInTheParentFreshInEachChild)
{
    ASSERT_EQ((int)getpid(), process_pid());
    ASSERT_EQ((int)getpid(), process_pid());
    for (int generation = 0; generation < 2; generation++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // A grandchild too: the handler is inherited along the way.
            int ok = process_pid() == (int)getpid();
            pid_t grandchild = fork();
            if (grandchild == 0)
                _exit(process_pid() == (int)getpid() ? 0 : 1);
            ok = ok && ExitStatus(grandchild) == 0;
            _exit(ok ? 0 : 1);
        }
        EXPECT_EQ(0, ExitStatus(child));
    }
    EXPECT_EQ((int)getpid(), process_pid());
}
