// Test helpers for the store and index tests: temporary store directories,
// data sets built in memory, file inspection and child processes.
#ifndef VELTO_TESTS_STORE_STORETEST_H
#define VELTO_TESTS_STORE_STORETEST_H

#include "dcmtk/config/osconfig.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdatset.h"
#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcelem.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "store/localstore.h"

// A fresh directory below /tmp, removed with everything in it at the end.
class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/velto-store-XXXXXX";
        path_ = mkdtemp(tmpl);
        chmod(path_.c_str(), 0755);
    }
    ~TempDir()
    {
        std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    const char *c_str() const { return path_.c_str(); }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }
    const std::string &str() const { return path_; }

private:
    std::string path_;
};

// A small CT image with the three UIDs (null: element left out) and any
// further elements given as (tag, value) pairs.
inline DcmDataset *makeImage(const char *study, const char *series, const char *sop,
                             const std::vector<std::pair<DcmTagKey, std::string>> &more = {},
                             size_t pixelBytes = 64)
{
    DcmDataset *ds = new DcmDataset;
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    if (study != nullptr)
        ds->putAndInsertString(DCM_StudyInstanceUID, study);
    if (series != nullptr)
        ds->putAndInsertString(DCM_SeriesInstanceUID, series);
    if (sop != nullptr)
        ds->putAndInsertString(DCM_SOPInstanceUID, sop);
    ds->putAndInsertString(DCM_Modality, "CT");
    ds->putAndInsertString(DCM_PatientName, "DOE^JOHN");
    ds->putAndInsertString(DCM_PatientID, "12345");
    for (const auto &kv : more) {
        if (kv.second == "<absent>")
            delete ds->remove(kv.first);
        else
            ds->putAndInsertString(kv.first, kv.second.c_str());
    }
    if (pixelBytes > 0) {
        std::vector<Uint8> px(pixelBytes);
        for (size_t i = 0; i < pixelBytes; i++)
            px[i] = (Uint8)(i * 7);
        ds->putAndInsertUint16(DCM_Rows, 1);
        ds->putAndInsertUint16(DCM_Columns, (Uint16)pixelBytes);
        ds->putAndInsertUint16(DCM_BitsAllocated, 8);
        ds->putAndInsertUint16(DCM_BitsStored, 8);
        ds->putAndInsertUint16(DCM_HighBit, 7);
        ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
        ds->putAndInsertUint8Array(DCM_PixelData, px.data(), (unsigned long)pixelBytes);
    }
    return ds;
}

// Size of a file, or -1 when it does not exist.
inline long fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Whole contents of a file ("" when missing).
inline std::string readFile(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

inline void writeFile(const std::string &path, const std::string &contents)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(contents.data(), 1, contents.size(), f);
        fclose(f);
    }
}

// Modification time in nanoseconds (0 when missing).
inline long long mtimeNs(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

// Every path below root (relative, sorted), directories with a trailing "/".
inline std::vector<std::string> listTree(const std::string &root, const std::string &rel = "")
{
    std::vector<std::string> out;
    DIR *d = opendir((root + "/" + rel).c_str());
    if (d == nullptr)
        return out;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto &n : names) {
        std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (lstat((root + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out.push_back(r + "/");
            for (const auto &sub : listTree(root, r))
                out.push_back(sub);
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// Paths below root whose name ends with suffix.
inline std::vector<std::string> findSuffix(const std::string &root, const std::string &suffix)
{
    std::vector<std::string> out;
    for (const auto &p : listTree(root))
        if (p.size() >= suffix.size() &&
            p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(p);
    return out;
}

// Runs fn in a child process and returns its result (its exit status), or
// -1 when it died. The child leaves with _exit, so no test state of the
// parent (gtest's, static destructors) runs twice.
inline int inChild(const std::function<int()> &fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn() & 0xff);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A log stream in memory-backed temporary file; text() returns what was logged.
class LogCapture
{
public:
    LogCapture() : f_(tmpfile()) {}
    ~LogCapture() { fclose(f_); }
    FILE *stream() { return f_; }
    std::string text()
    {
        fflush(f_);
        std::string out;
        rewind(f_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0)
            out.append(buf, n);
        fseek(f_, 0, SEEK_END);
        return out;
    }
    bool contains(const std::string &s) { return text().find(s) != std::string::npos; }

private:
    FILE *f_;
};

// A store in a fresh temporary directory, logging into a capture.
struct TestStore {
    TempDir dir;
    LogCapture log;
    LocalStore store{dir.c_str()};
    TestStore() { store.setLogfile(log.stream()); }
    // Path below the base directory (the base directory itself for "").
    std::string B(const std::string &rel = "") const { return rel.empty() ? dir.str() : dir / rel; }
    // Stores a made-up image (makeImage); WriteDataset's result.
    int put(const char *study, const char *series, const char *sop,
            const std::vector<std::pair<DcmTagKey, std::string>> &more = {}, int overwrite = 0,
            size_t pixels = 64)
    {
        DcmDataset *ds = makeImage(study, series, sop, more, pixels);
        int r = store.WriteDataset(ds, overwrite, nullptr, 0);
        delete ds;
        return r;
    }
};

#endif
