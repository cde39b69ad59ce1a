// Test helpers: a temporary directory removed with its contents, and small
// file utilities.
#ifndef VELTO_TESTS_RUNTIME_TEST_TEMPDIR_H
#define VELTO_TESTS_RUNTIME_TEST_TEMPDIR_H

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/velto-test-XXXXXX";
        char *p = mkdtemp(tmpl);
        if (p == nullptr)
            abort();
        path_ = p;
    }
    ~TempDir()
    {
        nftw(
            path_.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string sub(const std::string &rel) const { return path_ + "/" + rel; }

    // Creates rel and every missing directory above it; returns its path.
    std::string mkdirs(const std::string &rel) const
    {
        std::string p = path_;
        size_t start = 0;
        while (start <= rel.size()) {
            size_t slash = rel.find('/', start);
            if (slash == std::string::npos)
                slash = rel.size();
            p += "/" + rel.substr(start, slash - start);
            mkdir(p.c_str(), 0755);
            start = slash + 1;
        }
        return p;
    }

private:
    std::string path_;
};

// Replaces the file's contents; returns false on failure.
inline bool WriteFile(const std::string &path, const std::string &data, mode_t mode = 0644)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = fclose(f) == 0 && ok;
    return ok && chmod(path.c_str(), mode) == 0;
}

// The whole file, or "<missing>" if it cannot be opened.
inline std::string ReadFile(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    std::string data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    fclose(f);
    return data;
}

// The whole contents of a stdio stream, from its start.
inline std::string ReadStream(FILE *f)
{
    fflush(f);
    rewind(f);
    std::string data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    return data;
}

// Sets or unsets an environment variable for the life of the object.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

#endif
