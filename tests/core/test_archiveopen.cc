// The archive object of a process: archive_open's errors, the store lock
// it takes and archive_close releases, and its serialisation.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/archive.h"
#include "core/worklist.h"
#include "tests/store/storetest.h"

namespace
{

archive_settings settingsFor(const std::string &base, int lock)
{
    archive_settings s;
    s.baseDir = base.c_str();
    s.lock = lock;
    return s;
}

// Whether another open of dir could take the lock exclusively now.
bool lockableAlone(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool got = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return got;
}

} // namespace

TEST(ArchiveOpen, MissingBaseDirIsAClearError)
{
    TempDir dir;
    std::string base = std::string(dir.c_str()) + "/nothing-here";
    archive_settings s = settingsFor(base, ARCHIVE_LOCK_SHARED);
    s.requireStore = true;
    archive_context ctx;
    std::string error;
    errno = 0;
    EXPECT_EQ(archive_open(&ctx, s, &error), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(error, "store " + base + ": No such file or directory");
    // Nothing left open: the context may be opened again.
    EXPECT_EQ(ctx.store, nullptr);
    EXPECT_EQ(ctx.state, nullptr);

    // A file is no store either.
    std::string file = std::string(dir.c_str()) + "/a-file";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    s.baseDir = file.c_str();
    EXPECT_EQ(archive_open(&ctx, s, &error), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(error, "store " + file + ": Not a directory");
}

TEST(ArchiveOpen, StoreNotMadeYetOpensUnlocked)
{
    // As a server on an empty machine: the first image makes the store.
    TempDir dir;
    std::string base = std::string(dir.c_str()) + "/later";
    archive_context ctx;
    std::string error = "untouched";
    ASSERT_EQ(archive_open(&ctx, settingsFor(base, ARCHIVE_LOCK_SHARED), &error), 0);
    EXPECT_EQ(error, "untouched");
    EXPECT_NE(ctx.store, nullptr);
    EXPECT_EQ(archive_lockDescriptor(&ctx), -1);
    EXPECT_EQ(std::string(archive_baseDir(&ctx)), base);
    archive_close(&ctx);
    EXPECT_EQ(ctx.store, nullptr);
    EXPECT_EQ(ctx.state, nullptr);
}

TEST(ArchiveOpen, ServingProcessMakesTheStoreAtStart)
{
    // A fresh install: the base directory's parent only. A serving process
    // makes the store at its start, in the half after the lock (as a
    // server, which takes the lock before it drops its privileges), and
    // then holds the lock; a worklist entry can be made before any image.
    TempDir dir;
    std::string base = std::string(dir.c_str()) + "/fresh";
    archive_settings s = settingsFor(base, ARCHIVE_LOCK_SHARED);
    s.deferStart = true;
    s.makeStore = true;
    archive_context ctx;
    ASSERT_EQ(archive_open(&ctx, s, nullptr), 0);
    ASSERT_EQ(archive_start(&ctx, nullptr, true), 0);
    EXPECT_EQ(archive_lockDescriptor(&ctx), -1);
    EXPECT_NE(access(base.c_str(), F_OK), 0);
    ASSERT_EQ(archive_start(&ctx, nullptr), 0);
    for (const char *sub : {"", "/uid", "/worklist", "/worklist/done", "/worklist/lockfile"})
        EXPECT_EQ(access((base + sub).c_str(), F_OK), 0) << sub;
    EXPECT_GE(archive_lockDescriptor(&ctx), 0);
    EXPECT_FALSE(lockableAlone(base));
    worklistfields fields = {{"PatientName", "Doe^Jane"},
                             {"PatientID", "P1"},
                             {"Modality", "CT"},
                             {"ScheduledStationAETitle", "CT1"},
                             {"ScheduledProcedureStepStartDate", "20260101"}};
    std::string id, error;
    EXPECT_EQ(Worklist_Create(base.c_str(), fields, &id, &error, nullptr), 0) << error;
    archive_close(&ctx);
    EXPECT_TRUE(lockableAlone(base));
}

TEST(ArchiveOpen, ExclusiveRefusedWhileSharedHeldAndCloseReleases)
{
    TempDir dir;
    std::string base = dir.c_str();
    archive_context server, web, rebuild;
    ASSERT_EQ(archive_open(&server, settingsFor(base, ARCHIVE_LOCK_SHARED), nullptr), 0);
    EXPECT_GE(archive_lockDescriptor(&server), 0);
    // Servers share it.
    ASSERT_EQ(archive_open(&web, settingsFor(base, ARCHIVE_LOCK_SHARED), nullptr), 0);
    archive_close(&web);

    std::string error;
    errno = 0;
    EXPECT_EQ(archive_open(&rebuild, settingsFor(base, ARCHIVE_LOCK_EXCLUSIVE), &error), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(error, "store " + base + " is in use (a running server or rebuild holds it)");
    EXPECT_EQ(rebuild.state, nullptr);
    EXPECT_FALSE(lockableAlone(base));

    archive_close(&server);
    EXPECT_TRUE(lockableAlone(base));
    ASSERT_EQ(archive_open(&rebuild, settingsFor(base, ARCHIVE_LOCK_EXCLUSIVE), nullptr), 0);

    // And a server does not start beside a rebuild.
    EXPECT_EQ(archive_open(&server, settingsFor(base, ARCHIVE_LOCK_SHARED), &error), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(error, "store " + base + " is being rebuilt (storeindex holds it)");
    archive_close(&rebuild);
    EXPECT_TRUE(lockableAlone(base));
}

TEST(ArchiveOpen, DeferredStartAndTheForkedCopy)
{
    TempDir dir;
    std::string base = dir.c_str();
    archive_settings s = settingsFor(base, ARCHIVE_LOCK_SHARED);
    s.deferStart = true;
    s.recover = true;
    archive_context ctx;
    ASSERT_EQ(archive_open(&ctx, s, nullptr), 0);
    // Opened, not yet locked.
    EXPECT_EQ(archive_lockDescriptor(&ctx), -1);
    EXPECT_TRUE(lockableAlone(base));
    // The lock alone first (a server, before it binds its ports), then the
    // recovery, which takes no second lock.
    ASSERT_EQ(archive_start(&ctx, nullptr, true), 0);
    EXPECT_FALSE(lockableAlone(base));
    int fd = archive_lockDescriptor(&ctx);
    EXPECT_GE(fd, 0);
    ASSERT_EQ(archive_start(&ctx, nullptr), 0);
    EXPECT_EQ(archive_lockDescriptor(&ctx), fd);
    EXPECT_FALSE(lockableAlone(base));
    // A worker's copy: closed in the worker, the parent keeps the lock.
    pid_t pid = fork();
    if (pid == 0) {
        archive_forked(&ctx);
        _exit(archive_lockDescriptor(&ctx) == -1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(lockableAlone(base));
    archive_forked(&ctx);
    EXPECT_TRUE(lockableAlone(base));
    archive_close(&ctx);
}

TEST(ArchiveOpen, SerialisationSharesSearchesAndExcludesWriters)
{
    TempDir dir;
    archive_context ctx;
    ASSERT_EQ(archive_open(&ctx, settingsFor(dir.c_str(), ARCHIVE_LOCK_NONE), nullptr), 0);
    std::atomic<int> writerIn{0};
    std::thread writer;
    {
        archive_shared a(&ctx);
        // A second reader on another thread gets in beside the first.
        std::thread reader([&] { archive_shared b(&ctx); });
        reader.join();
        writer = std::thread([&] {
            archive_exclusive w(&ctx);
            writerIn = 1;
        });
        usleep(50000);
        EXPECT_EQ(writerIn.load(), 0); // held off while a search runs
    }
    writer.join();
    EXPECT_EQ(writerIn.load(), 1);
    archive_close(&ctx);
}
