// storeindex modify, merge and split: the command line of the changes of
// stored images (core/change.h). Beside a running server: the store lock
// shared, as its other writing commands take it; the study locks
// serialise the change with the server's stores and deletes.
#include "storeindex/changes.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/archive.h"
#include "core/change.h"
#include "core/forward.h"
#include "core/maintenance.h"
#include "runtime/multicast.h"

static int changeUsage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s modify [-m PORT] (--patient ID [--issuer ISSUER] | --study UID [--series "
            "UID]) [--new-uids] ATTRIBUTE=VALUE... BASEDIR\n"
            "       %s merge [-m PORT] --from ID [--from-issuer ISSUER] --to ID [--to-issuer "
            "ISSUER] BASEDIR\n"
            "       %s split [-m PORT] --study UID --series UID [--series UID...] [--into UID] "
            "BASEDIR\n",
            prog, prog, prog);
    return 2;
}

static std::string userName()
{
    struct passwd *pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::to_string(getuid());
}

int storeindex_change(int argc, char **argv)
{
    const char *prog = argv[0];
    std::string kind = argv[1];
    change_modify modify;
    change_merge merge;
    change_split split;
    // The monitor channel's port, as storeserver's -m (scrub's default too);
    // 0: no announcement.
    int port = 1104;
    int i = 2;
    for (; i < argc - 1; i++) {
        std::string a = argv[i];
        bool more = i + 2 < argc; // a value, and the base directory after it
        if (a == "-m" && more) {
            char *end = nullptr;
            port = (int)strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535)
                return changeUsage(prog);
        } else if (kind == "modify" && a == "--patient" && more) {
            modify.patientId = argv[++i];
        } else if (kind == "modify" && a == "--issuer" && more) {
            modify.issuer = argv[++i];
        } else if ((kind == "modify" || kind == "split") && a == "--study" && more) {
            modify.study = split.study = argv[++i];
        } else if (kind == "modify" && a == "--series" && more) {
            modify.series = argv[++i];
        } else if (kind == "split" && a == "--series" && more) {
            split.series.push_back(argv[++i]);
        } else if (kind == "split" && a == "--into" && more) {
            split.toStudy = argv[++i];
        } else if (kind == "modify" && a == "--new-uids") {
            modify.newUids = true;
        } else if (kind == "merge" && a == "--from" && more) {
            merge.fromId = argv[++i];
        } else if (kind == "merge" && a == "--from-issuer" && more) {
            merge.fromIssuer = argv[++i];
        } else if (kind == "merge" && a == "--to" && more) {
            merge.toId = argv[++i];
        } else if (kind == "merge" && a == "--to-issuer" && more) {
            merge.toIssuer = argv[++i];
        } else if (kind == "modify" && a.find('=') != std::string::npos && a[0] != '-') {
            size_t eq = a.find('=');
            modify.values.push_back({a.substr(0, eq), a.substr(eq + 1)});
        } else {
            return changeUsage(prog);
        }
    }
    if (i != argc - 1)
        return changeUsage(prog);
    const char *base = argv[i];
    change_origin origin{userName(), "storeindex"};
    modify.origin = merge.origin = split.origin = origin;

    archive_context archive;
    // The site's forwarding rules, for a site whose ChangeSettings say
    // "forward-changed yes": the changed images are queued for them, and
    // the server's forwarder sends them.
    forward_rules rules;
    char rulesError[256] = "";
    if (forward_loadRules(nullptr, &rules, rulesError, sizeof rulesError) < 0)
        fprintf(stderr, "warning: forwarding rules: %s\n", rulesError);
    else
        archive.forwardRules = &rules;
    int sock = -1;
    if (port > 0) {
        sock = multicast_sendsocket((unsigned short)port, "224.0.0.1");
        archive.monitorSock = &sock;
    }
    maintenance_open(&archive, base, ARCHIVE_LOCK_SHARED);
    char why[512] = "";
    if (maintenance_tierSettings(&archive, why, sizeof why) == MAINTENANCE_TIER_UNUSABLE) {
        fprintf(stderr, "error: object tier: %s\n", why);
        maintenance_close(&archive);
        return 2;
    }
    if (maintenance_lock(&archive) != 0) {
        fprintf(stderr, "error: %s: %s\n", base,
                errno == EAGAIN  ? "the store is locked by a rebuild"
                : errno == EBUSY ? "a restore into the store has not ended (run it again)"
                                 : "cannot open the store");
        maintenance_close(&archive);
        return 2;
    }
    // A dead change first: its studies may be this one's.
    archive_finishChanges(&archive);
    change_result result;
    if (kind == "modify")
        archive_modify(&archive, modify, &result);
    else if (kind == "merge")
        archive_merge(&archive, merge, &result);
    else
        archive_split(&archive, split, &result);
    maintenance_close(&archive);
    if (sock >= 0)
        close(sock);
    switch (result.status) {
    case CHANGE_DONE:
        printf("changed %s: %zu image(s)", result.id.c_str(), result.images);
        for (const std::string &s : result.studies)
            printf(" %s", s.c_str());
        printf("\n");
        return 0;
    case CHANGE_UNFINISHED:
        fprintf(stderr, "error: change %s: %s\n", result.id.c_str(), result.message.c_str());
        return 1;
    case CHANGE_NOT_FOUND:
        fprintf(stderr, "error: not found: %s\n", result.message.c_str());
        return 3;
    case CHANGE_REFUSED:
        fprintf(stderr, "error: refused: %s\n", result.message.c_str());
        return 2;
    default:
        fprintf(stderr, "error: failed: %s\n", result.message.c_str());
        return 1;
    }
}
