// Installation prefix detection, $(NAME) expansion and the search for a
// file along a "|"-separated list of directories.
#include "runtime/installpath.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/vrstring.h"

// The program's name and prefix: set by detect_installpath at start-up
// (before threads start or workers fork), read-only afterwards.
static struct {
    char name[INSTALLPATH_SIZE];
    char path[INSTALLPATH_SIZE];
} prog;

const char *installpath_progName(void)
{
    return prog.name;
}

const char *installpath_progPath(void)
{
    return prog.path;
}

// Longest $(NAME) reference name looked up.
static const size_t kMaxVarName = 256;

// Sets prog.path to the first directory of PATH holding an executable
// prog.name; leaves it empty if there is none.
static void installpath_search_path(void)
{
    const char *path = getenv("PATH");
    if (path == nullptr || prog.name[0] == '\0')
        return;
    char candidate[INSTALLPATH_SIZE];
    char dir[INSTALLPATH_SIZE];
    const char *p = path;
    for (;;) {
        const char *colon = strchr(p, ':');
        size_t len = colon != nullptr ? (size_t)(colon - p) : strlen(p);
        // An empty element of PATH names the working directory.
        if (len == 0) {
            vr_strncpy(dir, ".", sizeof dir);
        } else if (len < sizeof dir) {
            memcpy(dir, p, len);
            dir[len] = '\0';
        } else {
            dir[0] = '\0';
        }
        // A directory or name too long for the buffer is never tested cut.
        if (dir[0] != '\0' && vr_strncpy(candidate, dir, sizeof candidate) &&
            vr_strncat(candidate, "/", sizeof candidate) &&
            vr_strncat(candidate, prog.name, sizeof candidate) && access(candidate, X_OK) == 0) {
            vr_strncpy(prog.path, dir, sizeof prog.path);
            return;
        }
        if (colon == nullptr)
            return;
        p = colon + 1;
    }
}

int detect_installpath(const char *argv0)
{
    prog.name[0] = '\0';
    prog.path[0] = '\0';
    if (argv0 == nullptr)
        return 0;

    const char *slash = strrchr(argv0, '/');
    if (slash != nullptr) {
        vr_strncpy(prog.name, slash + 1, sizeof prog.name);
        size_t len = (size_t)(slash - argv0);
        if (len < sizeof prog.path) {
            memcpy(prog.path, argv0, len);
            prog.path[len] = '\0';
        }
    } else {
        vr_strncpy(prog.name, argv0, sizeof prog.name);
        installpath_search_path();
    }

    size_t len = strlen(prog.path);
    while (len > 0 && prog.path[len - 1] == '/')
        prog.path[--len] = '\0';
    if (len > 4 && strcmp(prog.path + len - 4, "/bin") == 0)
        prog.path[len - 4] = '\0';
    return 0;
}

int VLPathExpandEnvironment(char *text, size_t size)
{
    size_t pos = 0;
    for (;;) {
        char *dollar = strchr(text + pos, '$');
        if (dollar == nullptr)
            return 0;
        if (dollar[1] != '(') {
            pos = (size_t)(dollar - text) + 1;
            continue;
        }
        char *close = strchr(dollar + 2, ')');
        if (close == nullptr) {
            fprintf(stderr, "Cannot correctly expand path:%s.\n", text + pos);
            return 1;
        }

        char name[kMaxVarName];
        size_t namelen = (size_t)(close - (dollar + 2));
        if (namelen >= sizeof name)
            return 1;
        memcpy(name, dollar + 2, namelen);
        name[namelen] = '\0';

        // The environment wins over the detected prefix. An unknown prefix
        // fails the element rather than turning "$(progpath)/share" into a
        // directory below the root.
        const char *value = getenv(name);
        if (value == nullptr && strcmp(name, "progpath") == 0 && prog.path[0] != '\0')
            value = prog.path;
        if (value == nullptr)
            return 1;

        size_t textlen = strlen(text);
        size_t reflen = namelen + 3;
        size_t vallen = strlen(value);
        if (textlen - reflen + vallen + 1 > size)
            return 1;

        // Move the rest of the text (and its NUL) to its new place, then put
        // the value where the reference was; values are not expanded again.
        memmove(dollar + vallen, close + 1, strlen(close + 1) + 1);
        memcpy(dollar, value, vallen);
        pos = (size_t)(dollar - text) + vallen;
    }
}

char *getfilepath(const char *searchpath, const char *name, int mode, char *out, size_t outsize)
{
    if (searchpath == nullptr || searchpath[0] == '\0' || out == nullptr || outsize == 0)
        return nullptr;
    if (name == nullptr)
        name = "";

    const char *p = searchpath;
    for (;;) {
        const char *bar = strchr(p, '|');
        size_t len = bar != nullptr ? (size_t)(bar - p) : strlen(p);
        char dir[INSTALLPATH_SIZE];
        // Over-long, empty and unexpandable elements are skipped; a path cut to
        // fit the buffers would name some other file.
        if (len > 0 && len < sizeof dir) {
            memcpy(dir, p, len);
            dir[len] = '\0';
            if (VLPathExpandEnvironment(dir, sizeof dir) == 0 && dir[0] != '\0') {
                bool fits = vr_strncpy(out, dir, outsize) != nullptr;
                if (fits && name[0] != '\0')
                    fits = vr_strncat(out, "/", outsize) && vr_strncat(out, name, outsize);
                struct stat st;
                if (fits &&
                    (mode == GETFILEPATH_ENTRY ? lstat(out, &st) == 0 : access(out, mode) == 0))
                    return out;
            }
        }
        if (bar == nullptr || bar[1] == '\0')
            break;
        p = bar + 1;
    }
    out[0] = '\0';
    return nullptr;
}
