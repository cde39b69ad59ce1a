// The reader of the site's "key value # comment" settings files
// (runtime/sitefile.h).
#include "runtime/sitefile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

// The white space that separates a key from its value (what sscanf's %s
// stops at).
static const char spaces[] = " \t\r\n\v\f";

FILE *sitefile_open(const char *path, struct stat *st, sitefile_error *err)
{
    struct stat own;
    if (st == nullptr)
        st = &own;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; it has no effect on a regular file.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd == -1 || fstat(fd, st) != 0) {
        err->status = SITEFILE_CANNOT_OPEN;
        err->reason = strerror(errno);
        if (fd != -1)
            close(fd);
        return nullptr;
    }
    if (!S_ISREG(st->st_mode)) {
        err->status = SITEFILE_NOT_REGULAR;
        err->reason = "not a regular file";
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) {
        err->status = SITEFILE_CANNOT_OPEN;
        err->reason = strerror(errno);
        close(fd);
    }
    return f;
}

// Splits one line (without its newline) into *out; false when it holds no
// setting.
static bool splitLine(std::string line, bool hashAnywhere, sitefile_line *out)
{
    // Text after a NUL was never seen by the C-string readers this replaces.
    size_t nul = line.find('\0');
    if (nul != std::string::npos)
        line.resize(nul);
    if (hashAnywhere) {
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
    }
    size_t start = line.find_first_not_of(spaces);
    if (start == std::string::npos || (!hashAnywhere && line[start] == '#'))
        return false;
    size_t keyEnd = line.find_first_of(spaces, start);
    out->key = line.substr(start, keyEnd == std::string::npos ? std::string::npos : keyEnd - start);
    out->value.clear();
    size_t valueStart =
        keyEnd == std::string::npos ? keyEnd : line.find_first_not_of(spaces, keyEnd);
    if (valueStart != std::string::npos) {
        size_t valueEnd = line.find_last_not_of(spaces);
        out->value = line.substr(valueStart, valueEnd + 1 - valueStart);
    }
    return true;
}

int sitefile_readStream(FILE *f, const sitefile_options &options,
                        const std::function<bool(const sitefile_line &)> &each, sitefile_error *err)
{
    std::string line;
    sitefile_line setting;
    int number = 0;
    for (;;) {
        line.clear();
        int c = EOF;
        bool tooLong = false;
        while ((c = getc(f)) != EOF && c != '\n') {
            // Bounded: a line past the limit is refused, not gathered.
            if (line.size() == options.maxLength) {
                tooLong = true;
                break;
            }
            line.push_back((char)c);
        }
        if (c == EOF && line.empty() && !tooLong)
            break;
        number++;
        if (tooLong) {
            err->status = SITEFILE_TOO_LONG;
            err->line = number;
            err->reason = "longer than " + std::to_string(options.maxLength) + " characters";
            return -1;
        }
        setting.number = number;
        if (splitLine(line, options.hashAnywhere, &setting) && !each(setting))
            return 0;
        if (c == EOF)
            break;
    }
    if (ferror(f)) {
        err->status = SITEFILE_READ_ERROR;
        err->reason = "read error";
        return -1;
    }
    return 0;
}

int sitefile_read(const char *path, const sitefile_options &options,
                  const std::function<bool(const sitefile_line &)> &each, sitefile_error *err)
{
    FILE *f = sitefile_open(path, nullptr, err);
    if (f == nullptr)
        return -1;
    int result = sitefile_readStream(f, options, each, err);
    fclose(f);
    return result;
}

bool sitefile_isOneWord(const std::string &value)
{
    return !value.empty() && value.find_first_of(spaces) == std::string::npos;
}

std::string sitefile_firstWord(const std::string &value)
{
    return value.substr(0, value.find_first_of(spaces));
}
