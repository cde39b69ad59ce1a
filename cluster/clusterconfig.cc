// The site's cluster settings (cluster/clusterconfig.h): the "Cluster" file.
#include "cluster/clusterconfig.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/sitefile.h"

// "30s", "5m", "2h", "500ms" or plain seconds: milliseconds, or -1.
static long parseMs(const std::string &v)
{
    char *end = nullptr;
    double n = strtod(v.c_str(), &end);
    if (end == v.c_str() || n < 0)
        return -1;
    std::string unit(end);
    double mult = unit == "ms" ? 1 : unit == "h" ? 3600000 : unit == "m" ? 60000 : 1000;
    if (!unit.empty() && unit != "ms" && unit != "h" && unit != "m" && unit != "s")
        return -1;
    double ms = n * mult;
    return ms >= 1 && ms < 86400000.0 * 365 ? (long)ms : -1;
}

static bool nodeName(const std::string &v)
{
    if (v.empty() || v.size() > 64)
        return false;
    for (char c : v)
        if (!(isalnum((unsigned char)c) || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

static bool numericAddress(const std::string &v)
{
    unsigned char buf[16];
    return inet_pton(AF_INET, v.c_str(), buf) == 1 || inet_pton(AF_INET6, v.c_str(), buf) == 1;
}

int cluster_loadFile(const char *path, cluster_config *cfg, char *why, size_t whySize)
{
    std::string bad;
    sitefile_options options;
    // A connection string may hold '#' (a password): comments only on
    // lines of their own.
    options.hashAnywhere = false;
    sitefile_error err;
    int r = sitefile_read(
        path, options,
        [&](const sitefile_line &l) {
            const std::string &k = l.key, &v = l.value;
            bool ok = true;
            if (k == "database") {
                ok = !v.empty();
                cfg->database = v;
            } else if (k == "node") {
                ok = nodeName(v);
                cfg->node = v;
            } else if (k == "ack") {
                ok = v == "shared" || v == "local";
                cfg->ack = v == "local" ? CLUSTER_ACK_LOCAL : CLUSTER_ACK_SHARED;
            } else if (k == "lease" || k == "poll") {
                long ms = parseMs(v);
                ok = ms > 0;
                (k == "lease" ? cfg->leaseMs : cfg->pollMs) = ms;
            } else if (k == "proxy") {
                std::istringstream words(v);
                std::string a;
                ok = !v.empty();
                while (ok && words >> a) {
                    ok = numericAddress(a);
                    cfg->proxies.push_back(a);
                }
            } else {
                bad = "line " + std::to_string(l.number) + ": unknown setting \"" + k + "\"";
                return false;
            }
            if (!ok) {
                bad = "line " + std::to_string(l.number) + ": unusable value for \"" + k + "\"";
                return false;
            }
            return true;
        },
        &err);
    if (r != 0) {
        snprintf(why, whySize, "%s: %s", path, err.reason.c_str());
        return -1;
    }
    if (bad.empty() && cfg->database.empty())
        bad = "no \"database\" setting";
    if (!bad.empty()) {
        snprintf(why, whySize, "%s: %s", path, bad.c_str());
        return -1;
    }
    if (cfg->node.empty()) {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0 || !nodeName(host)) {
            snprintf(why, whySize, "%s: no \"node\" setting, and the host name is no node name",
                     path);
            return -1;
        }
        cfg->node = host;
    }
    return 0;
}

int cluster_setup(std::unique_ptr<cluster_config> *out, char *why, size_t whySize)
{
    char found[INSTALLPATH_SIZE];
    out->reset();
    if (getfilepath(CONFIG_SEARCHPATH, CLUSTER_CONFIG_FILENAME, F_OK, found, sizeof found) ==
        nullptr)
        return 0;
    std::unique_ptr<cluster_config> cfg(new cluster_config);
    if (cluster_loadFile(found, cfg.get(), why, whySize) != 0)
        return -1;
    *out = std::move(cfg);
    return 1;
}

int cluster_start(std::unique_ptr<cluster_config> *out, FILE *log, const char *prog)
{
    char why[512] = "";
    int r = cluster_setup(out, why, sizeof why);
    if (r < 0) {
        logprintf(LOGLEVEL_FATAL, log, "Cluster: %s\n", why);
        fprintf(stderr, "%s: cluster: %s\n", prog, why);
        return 1;
    }
    if (r > 0)
        logprintf(LOGLEVEL_NOTICE, log, "Cluster node %s.\n", (*out)->node.c_str());
    return 0;
}

bool cluster_isProxy(const cluster_config &cfg, const char *address)
{
    for (const std::string &p : cfg.proxies)
        if (p == address)
            return true;
    return false;
}
