// Reading the DICOM over TLS settings file.
#include "dicomnet/tlsfile.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/installpath.h"
#include "runtime/sitefile.h"

// name taken relative to the directory of the settings file.
static std::string fromFileDir(const std::string &file, const char *name)
{
    if (name[0] == '/')
        return name;
    size_t slash = file.rfind('/');
    return slash == std::string::npos ? name : file.substr(0, slash + 1) + name;
}

// Applies one "keyword value" line. "" when it is good, else the reason.
static std::string applyLine(tlsfile_settings &s, const std::string &file, const char *key,
                             const char *value)
{
    if (strcmp(key, "port") == 0) {
        char *end = nullptr;
        errno = 0;
        long port = strtol(value, &end, 10);
        if (*end != '\0' || errno != 0 || port < 1 || port > 65535)
            return std::string("bad port \"") + value + "\"";
        s.port = (int)port;
    } else if (strcmp(key, "plain") == 0) {
        if (strcmp(value, "on") != 0 && strcmp(value, "off") != 0)
            return "plain is on or off";
        s.plain = strcmp(value, "on") == 0;
    } else if (strcmp(key, "certificate") == 0) {
        s.certificate = fromFileDir(file, value);
    } else if (strcmp(key, "private-key") == 0) {
        s.key = fromFileDir(file, value);
    } else if (strcmp(key, "trusted-certificates") == 0) {
        s.trusted.push_back(fromFileDir(file, value));
    } else if (strcmp(key, "trusted-directory") == 0) {
        s.trustedDir = fromFileDir(file, value);
    } else if (strcmp(key, "client-certificates") == 0) {
        if (strcmp(value, "required") == 0)
            s.clients = DICOMNET_TLS_CLIENT_REQUIRE;
        else if (strcmp(value, "optional") == 0)
            s.clients = DICOMNET_TLS_CLIENT_VERIFY;
        else if (strcmp(value, "none") == 0)
            s.clients = DICOMNET_TLS_CLIENT_IGNORE;
        else
            return "client-certificates is required, optional or none";
    } else {
        return std::string("unknown setting \"") + key + "\"";
    }
    return "";
}

// Reads the file into s. "" when it is good, else the reason.
static std::string readFile(tlsfile_settings &s, const std::string &file)
{
    // Lines of up to 1023 characters: the length this file always had.
    sitefile_options options;
    options.maxLength = 1023;
    std::string why;
    sitefile_error err;
    int read = sitefile_read(
        file.c_str(), options,
        [&](const sitefile_line &line) {
            if (!sitefile_isOneWord(line.value))
                why = "a setting is one keyword and one value";
            else
                why = applyLine(s, file, line.key.c_str(), line.value.c_str());
            if (!why.empty())
                why = "line " + std::to_string(line.number) + ": " + why;
            return why.empty();
        },
        &err);
    if (read != 0 && err.status == SITEFILE_TOO_LONG)
        why = "line " + std::to_string(err.line) + ": " + err.reason;
    else if (read != 0 && err.status == SITEFILE_READ_ERROR)
        why = err.reason;
    else if (read != 0)
        why = "cannot read: " + err.reason;
    if (why.empty() && s.port == 0)
        why = "no port";
    else if (why.empty() && (s.certificate.empty() || s.key.empty()))
        why = "certificate and private-key are required";
    return why;
}

int tlsfile_read(const char *path, tlsfile_settings *s, std::string *why)
{
    char found[PATH_MAX];
    *s = tlsfile_settings();
    if (path == nullptr) {
        path = getfilepath(CONFIG_SEARCHPATH, TLSFILE_NAME, 0, found, sizeof(found));
        if (path == nullptr)
            return 1;
    }
    s->path = path;
    *why = readFile(*s, path);
    return why->empty() ? 0 : -1;
}
