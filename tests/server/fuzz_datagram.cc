// libFuzzer target of the monitor channel's datagram handling. The first
// input byte chooses the source address (IPv4 of several kinds, IPv6, a
// local socket, a cut-off address, none), the rest is the datagram. After
// each input the map file must read back exactly as the map in memory, and
// a datagram that was skipped must have left map and file untouched.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "aetitlemap/aetitlemap.h"
#include "server/monitorinput.h"

// The map file of every run. A save replaces the file (temporary name and
// rename), so each check reads it afresh by its name.
static char mapPath[] = "/tmp/velto-fuzz-aetmap-XXXXXX";
static int mapFd = -1;
static FILE *logStream = nullptr;

static void removeMap()
{
    unlink(mapPath);
}

static void setUp()
{
    int fd = mkstemp(mapPath);
    if (fd == -1)
        abort();
    close(fd);
    atexit(removeMap);
    logStream = fopen("/dev/null", "w");
}

static int sameEntry(const AETitleMapEntry *a, const AETitleMapEntry *b)
{
    return strcmp(a->name, b->name) == 0 && strcmp(a->aetitle, b->aetitle) == 0 &&
           strcmp(a->address, b->address) == 0 && a->flags == b->flags &&
           (a->remark == nullptr) == (b->remark == nullptr);
}

// Aborts unless the file holds exactly the entries of map.
static void checkFile(AETitleMap *map)
{
    AETitleMap reread;
    AETitleMap_Create(&reread);
    int fd = open(mapPath, O_RDONLY);
    if (fd == -1 || AETitleMap_Load_fd(&reread, fd) != 0)
        abort();
    close(fd);
    for (int i = 0;; i++) {
        AETitleMapEntry *a = AETitleMap_FindByNum(map, i);
        AETitleMapEntry *b = AETitleMap_FindByNum(&reread, i);
        if (a == nullptr && b == nullptr)
            break;
        if (a == nullptr || b == nullptr || !sameEntry(a, b))
            abort();
    }
    AETitleMap_Destroy(&reread);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (logStream == nullptr)
        setUp();
    if (mapFd != -1)
        close(mapFd);
    mapFd = open(mapPath, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (mapFd == -1)
        abort();

    AETitleMap map;
    AETitleMap_Create(&map);
    AETitleMap_Add(&map, "seedhost", "SEED_AE", "10.0.0.1:104", 0x107, "kept");
    AETitleMap_Save_fd(&map, mapFd);
    struct stat before;
    if (stat(mapPath, &before) != 0)
        abort();

    union {
        struct sockaddr sa;
        struct sockaddr_in in;
        struct sockaddr_in6 in6;
        struct sockaddr_un un;
    } src;
    memset(&src, 0, sizeof(src));
    socklen_t srclen = 0;
    const struct sockaddr *srcp = &src.sa;
    uint8_t selector = size > 0 ? data[0] : 0;
    const char *text = size > 0 ? (const char *)data + 1 : (const char *)data;
    size_t len = size > 0 ? size - 1 : 0;
    switch (selector % 6) {
    case 0:
    case 1:
        src.in.sin_family = AF_INET;
        src.in.sin_addr.s_addr = htonl(selector % 2 ? 0xC0A80114u : 0x7F000001u);
        srclen = sizeof(src.in);
        break;
    case 2:
        src.in.sin_family = AF_INET;
        src.in.sin_addr.s_addr = htonl(0xFFFFFFFFu);
        srclen = sizeof(src.in);
        break;
    case 3:
        src.in6.sin6_family = AF_INET6;
        srclen = sizeof(src.in6);
        break;
    case 4:
        src.un.sun_family = AF_UNIX;
        srclen = sizeof(src.un);
        break;
    default:
        src.in.sin_family = AF_INET;
        srclen = (socklen_t)(selector % 16);
        if (selector & 0x80)
            srcp = nullptr;
        break;
    }

    monitorinput_context ctx;
    ctx.map = &map;
    ctx.map_fd = mapFd;
    ctx.logfp = logStream;
    ctx.own_pid = 4711;
    ctx.own_host = "alpha";
    ctx.learn = 1;
    ctx.learn_flags = AETITLEMAP_FLAGS_DISCOVERED;
    ctx.own_aet = "VeltoStorage";
    ctx.policy = nullptr;
    int r = monitorinput_handle(&ctx, text, len, srcp, srclen);

    checkFile(&map);
    if (AETitleMap_FindByAET(&map, "SEED_AE") == nullptr ||
        strcmp(AETitleMap_FindByNum(&map, 0)->address, "10.0.0.1:104") != 0)
        abort(); // an entry that was there must never change
    if (AETitleMap_FindByName(&map, "Local") != nullptr)
        abort(); // the server's own entry is never learnt
    if (r == MONITORINPUT_IGNORED) {
        // An ignored datagram leaves the very same file untouched.
        struct stat after;
        if (stat(mapPath, &after) != 0 || AETitleMap_FindByNum(&map, 1) != nullptr ||
            after.st_ino != before.st_ino || after.st_size != before.st_size)
            abort();
    } else if (AETitleMap_FindByNum(&map, 1) == nullptr ||
               AETitleMap_FindByNum(&map, 2) != nullptr) {
        abort(); // an accepted datagram adds exactly one entry
    }
    AETitleMap_Destroy(&map);
    return 0;
}
