// Setting up TLS with the DICOM over TLS settings file (dicomnet/tlsfile.h).
#include "server/tlsconfig.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "dicomnet/dicomnet.h"
#include "dicomnet/tlsfile.h"

int tlsconfig_load(tlsconfig *cfg, const char *path, char *error, size_t errorSize)
{
    cfg->port = 0;
    cfg->plain = 1;
    cfg->path[0] = '\0';
    tlsfile_settings s;
    std::string why;
    int r = tlsfile_read(path, &s, &why);
    if (r == 1)
        return 1;
    snprintf(cfg->path, sizeof(cfg->path), "%s", s.path.c_str());
    if (r != 0) {
        snprintf(error, errorSize, "%s", why.c_str());
        return -1;
    }
    std::vector<const char *> trusted;
    for (const std::string &t : s.trusted)
        trusted.push_back(t.c_str());
    dicomnet_tls_settings ts = {s.certificate.c_str(),
                                s.key.c_str(),
                                trusted.data(),
                                (int)trusted.size(),
                                s.trustedDir.empty() ? nullptr : s.trustedDir.c_str(),
                                s.clients};
    if (dicomnet_tls_init(&ts, error, errorSize) != 0)
        return -1;
    cfg->port = s.port;
    cfg->plain = s.plain;
    return 0;
}
