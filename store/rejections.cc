// The rejected images of each study (store/rejections.h).
#include "store/rejections.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"

static std::string dirPath(const char *base)
{
    return std::string(base) + "/" REJECTIONS_DIR;
}

static std::string filePath(const char *base, const std::string &study)
{
    return dirPath(base) + "/" + study;
}

// Whether name can be a study's file: a UID (digits and dots), so that no
// path outside the directory is ever made from a peer's text.
static bool uidName(const std::string &name)
{
    return !name.empty() && name.size() <= 64 &&
           name.find_first_not_of("0123456789.") == std::string::npos && name[0] != '.';
}

int rejections_read(const char *base, const std::string &study, rejections_study *out)
{
    out->clear();
    if (!uidName(study))
        return 0;
    FILE *f = fopen(filePath(base, study).c_str(), "re");
    if (f == nullptr)
        return errno == ENOENT ? 0 : -1;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        size_t n = strlen(line);
        // A torn line (a crash in its append) is no event.
        if (n < 2 || line[n - 1] != '\n')
            continue;
        line[n - 1] = '\0';
        char kind = line[0];
        char series[80], instance[80], note[80] = "", code[20] = "";
        int got = sscanf(line + 1, " %79s %79s %79s %19s", series, instance, note, code);
        if (got < 2 || (kind == 'R' && got != 4) || (kind != 'R' && kind != 'P' && kind != 'A'))
            continue;
        rejections_entry &e = (*out)[std::make_pair(std::string(series), std::string(instance))];
        e.state = kind;
        if (kind == 'R') {
            e.note = note;
            e.code = code;
        }
    }
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int rejections_append(const char *base, const std::string &study, const std::string &lines,
                      FILE *log)
{
    if (!uidName(study))
        abort(); // the caller checked the UID
    std::string dir = dirPath(base), path = filePath(base, study);
    bool newDir = mkdir(dir.c_str(), 0755) == 0;
    if (newDir)
        durable_flushParent(dir.c_str());
    struct stat st;
    bool newFile = stat(path.c_str(), &st) != 0;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    if (fd < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    std::string text = lines;
    // A torn last line of a crash stays alone on its line.
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        text.insert(text.begin(), '\n');
    int r = fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size() ? 0 : -1;
    if (r == 0)
        r = fdatasync(fd);
    int saved = errno;
    close(fd);
    if (r == 0 && newFile && durable_flushDir(dir.c_str()) != 0) {
        r = -1;
        saved = errno;
    }
    if (r != 0)
        logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", path.c_str(), strerror(saved));
    errno = saved;
    return r;
}

int rejections_studies(const char *base, std::vector<std::string> *out)
{
    out->clear();
    DIR *d = opendir(dirPath(base).c_str());
    if (d == nullptr)
        return errno == ENOENT ? 0 : -1;
    for (struct dirent *e; (e = readdir(d)) != nullptr;)
        if (uidName(e->d_name))
            out->push_back(e->d_name);
    closedir(d);
    return 0;
}
