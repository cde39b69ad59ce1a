// Test helpers for the query and delete tests: a store in a temporary
// directory with its log captured, images stored into it, query
// identifiers, and a query run to its end.
#ifndef VELTO_TESTS_INDEX_QUERYTEST_H
#define VELTO_TESTS_INDEX_QUERYTEST_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcdeftag.h"

#include "runtime/logprintf.h"
#include "runtime/vlcompat.h"
#include "store/localstore.h"
#include "tests/store/storetest.h"

// Keys of a query identifier in order; "" asks for the attribute (an empty
// element).
typedef std::vector<std::pair<DcmTagKey, std::string>> QueryKeys;

inline DcmDataset *makeQuery(const QueryKeys &keys)
{
    DcmDataset *ds = new DcmDataset;
    for (const auto &kv : keys)
        ds->putAndInsertString(kv.first, kv.second.c_str());
    return ds;
}

// The value of tag in ds as text, or "<absent>".
inline std::string value(DcmDataset *ds, const DcmTagKey &tag)
{
    OFString v;
    if (!ds->tagExists(tag))
        return "<absent>";
    ds->findAndGetOFStringArray(tag, v);
    return v.c_str();
}

// All responses of one query, and the result that ended it.
struct QueryRun {
    std::vector<std::unique_ptr<DcmDataset>> responses;
    int last = 0;
    // value(tag) of every response, in order.
    std::vector<std::string> column(const DcmTagKey &tag) const
    {
        std::vector<std::string> out;
        for (const auto &r : responses)
            out.push_back(value(r.get(), tag));
        return out;
    }
};

// Milliseconds since an arbitrary start.
inline long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Holds an exclusive lock on path in a child process for ms milliseconds;
// returns once the lock is held. The child's pid.
inline pid_t holdLock(const std::string &path, int ms)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0 || VLCompat_LockWholeFile(fd, F_WRLCK) != 0)
            _exit(1);
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        usleep(ms * 1000);
        _exit(0);
    }
    char c;
    close(ready[1]);
    if (read(ready[0], &c, 1) != 1)
        pid = -1;
    close(ready[0]);
    return pid;
}

// A child process that runs body once the parent calls go(), and reports
// body's result (its low byte) back. body gets the call that waits for the
// go, so that it can prepare first.
class ChildProcess
{
public:
    typedef std::function<int(const std::function<void()> &awaitGo)> Body;
    explicit ChildProcess(const Body &body)
    {
        int goPipe[2], resultPipe[2];
        if (pipe(goPipe) != 0 || pipe(resultPipe) != 0)
            abort();
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // The child leaves with _exit: no test state of the parent
            // (gtest's, static destructors) runs twice.
            close(goPipe[1]);
            close(resultPipe[0]);
            auto awaitGo = [&] {
                char c;
                if (read(goPipe[0], &c, 1) != 1)
                    _exit(1);
            };
            char r = (char)body(awaitGo);
            _exit(write(resultPipe[1], &r, 1) == 1 ? 0 : 1);
        }
        close(goPipe[0]);
        close(resultPipe[1]);
        goFd_ = goPipe[1];
        resultFd_ = resultPipe[0];
    }
    ~ChildProcess()
    {
        if (pid_ > 0)
            result();
    }
    void go()
    {
        if (write(goFd_, "g", 1) != 1)
            abort();
    }
    // Waits for the child: body's result, or -1 when it reported none.
    int result()
    {
        char r = -1;
        int got = read(resultFd_, &r, 1);
        close(goFd_);
        close(resultFd_);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return got == 1 ? r : -1;
    }

private:
    pid_t pid_ = -1;
    int goFd_ = -1, resultFd_ = -1;
};

// A store of its own in a fresh directory, logging everything to a capture.
class StoreTest : public ::testing::Test
{
protected:
    TempDir dir;
    LogCapture log;
    std::unique_ptr<LocalStore> store;

    void SetUp() override
    {
        logprintf_setmaxlevel(LOGLEVEL_TRACE2);
        store.reset(new LocalStore(dir.c_str()));
        store->setLogfile(log.stream());
    }
    void TearDown() override { logprintf_setmaxlevel(LOGLEVEL_NOTICE); }

    // Stores one image (overwriting); the WriteDataset result.
    int put(const char *study, const char *series, const char *sop,
            const std::vector<std::pair<DcmTagKey, std::string>> &more = {})
    {
        std::unique_ptr<DcmDataset> ds(makeImage(study, series, sop, more));
        return store->WriteDataset(ds.get(), 1, nullptr, 0);
    }

    // Runs the query to its end (at most limit calls), each response in a
    // fresh identifier.
    QueryRun find(const QueryKeys &keys, const char *level = nullptr, int limit = 1000)
    {
        std::unique_ptr<DcmDataset> query(makeQuery(keys));
        return find(query.get(), level, limit);
    }
    QueryRun find(DcmDataset *query, const char *level = nullptr, int limit = 1000)
    {
        QueryRun run;
        void *handle = nullptr;
        for (int i = 0; i < limit; i++) {
            DcmDataset *response = nullptr;
            run.last = store->FindDataset(&handle, query, &response, level);
            if (run.last != 0) {
                delete response;
                EXPECT_EQ(nullptr, handle) << "handle kept after the end";
                break;
            }
            run.responses.emplace_back(response);
        }
        return run;
    }

    // Path below the base directory.
    std::string path(const std::string &rel) { return dir / rel; }
    std::string uidPath(const char *study, const char *series, const char *sop)
    {
        return store->GetUidPath(study, series, sop, 1).c_str();
    }
    std::string indexPath(const char *study, const char *series)
    {
        return std::string(store->GetUidIndexPath(study, series).c_str()) + ".dat";
    }

    // Number of times text occurs in the log.
    int logCount(const std::string &text)
    {
        std::string all = log.text();
        int n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            n++;
        return n;
    }
};

#endif
