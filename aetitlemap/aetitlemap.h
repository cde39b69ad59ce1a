// The AE title map: the table of known DICOM peers (name, AE title,
// "host:port" address, letter flags, remark) and its tab-separated file,
// shared between processes under whole-file fcntl locks.
#ifndef VELTO_AETITLEMAP_AETITLEMAP_H
#define VELTO_AETITLEMAP_AETITLEMAP_H

#include <stdio.h>
#include <sys/types.h>

// Flag bits and their letters in the file, in the order they are written.
#define AETITLEMAP_FLAG_F 0x001
#define AETITLEMAP_FLAG_M 0x002
#define AETITLEMAP_FLAG_S 0x004
#define AETITLEMAP_FLAG_G 0x008
#define AETITLEMAP_FLAG_U 0x010
#define AETITLEMAP_FLAG_E 0x020
#define AETITLEMAP_FLAG_D 0x100
#define AETITLEMAP_FLAG_P 0x200
// T: the peer is called over DICOM TLS (outgoing associations; an older
// reader ignores the letter and calls it without TLS).
#define AETITLEMAP_FLAG_T 0x400
// Flags of a peer added by discovery: F, M, S and D.
#define AETITLEMAP_FLAGS_DISCOVERED 0x107

// The remark that marks an entry the server learnt from the monitor channel
// (CONFIG ADD_AET, STORAGE DISCOVER_AET) rather than one the site wrote. It
// is an ordinary remark field, so an older reader loads the line as before.
// A learnt entry gains no rights under the access policy (see access/); the
// site adopts a learnt peer by changing or removing its remark.
#define AETITLEMAP_REMARK_LEARNT "learnt"

// Name of the map file along the configuration search path.
#define AETITLEMAP_FILENAME "AETitleMap"
// A line of the file holds at most AETITLEMAP_LINESIZE - 1 characters, and a
// field read from it at most AETITLEMAP_FIELDSIZE - 1.
#define AETITLEMAP_LINESIZE 1024
#define AETITLEMAP_FIELDSIZE 128

// One peer. The entry and its strings are heap blocks owned by the map.
struct AETitleMapEntry {
    AETitleMapEntry *next; // next entry in insertion (file) order, or null
    char *name;            // unique within the map
    char *aetitle;         // matched exactly by AETitleMap_FindByAET
    char *address;         // "host:port"
    int flags;             // AETITLEMAP_FLAG_* bits
    char *remark;          // null when absent or empty
};

// The map: pointer to its first entry, null when empty.
typedef AETitleMapEntry *AETitleMap;

// Sets the map empty (does not free anything).
void AETitleMap_Create(AETitleMap *map);

// Frees every entry and leaves the map empty.
void AETitleMap_Destroy(AETitleMap *map);

// Appends a copy of the peer (remark may be null; "" is stored as null).
// Returns 0 added, -2 an entry with that name exists, -1 out of memory,
// -3 the entry could not be saved as one loadable line (a field longer than
// AETITLEMAP_FIELDSIZE - 1 or the line longer than AETITLEMAP_LINESIZE - 1).
// The map is unchanged unless 0 is returned. Null name, AE title or
// address is a programming error and aborts.
int AETitleMap_Add(AETitleMap *map, const char *name, const char *aetitle, const char *address,
                   int flags, const char *remark);

// Unlinks and frees entry. Returns 0, or -1 if it is not in the map.
int AETitleMap_Del(AETitleMap *map, AETitleMapEntry *entry);

// First entry with that AE title / name (strcmp), or null. The entry at
// 0-based position n, or null if n is negative or past the end.
AETitleMapEntry *AETitleMap_FindByAET(AETitleMap *map, const char *aetitle);
AETitleMapEntry *AETitleMap_FindByName(AETitleMap *map, const char *name);
AETitleMapEntry *AETitleMap_FindByNum(AETitleMap *map, int n);

// 1 when entry was learnt from the monitor channel (its remark is exactly
// AETITLEMAP_REMARK_LEARNT), 0 when the site wrote it.
int AETitleMap_IsLearnt(const AETitleMapEntry *entry);

// First entry with that AE title that the site wrote (not learnt), or null.
AETitleMapEntry *AETitleMap_FindSiteByAET(AETitleMap *map, const char *aetitle);

// Letters of the flag bits in the order F M S G U E D P T, written into out
// (AETITLEMAP_FLAGLETTERS bytes, terminator included). Returns out.
#define AETITLEMAP_FLAGLETTERS 10
const char *AETitleMap_flagstochars(int flags, char out[AETITLEMAP_FLAGLETTERS]);

// Flag bits of the letters (case-insensitive, other characters ignored).
int AETitleMap_charstoflags(const char *letters);

// With a path, open(path, flags, mode). Without one, opens "AETitleMap"
// found along the configuration search path with the access that flags ask
// for (never creates it). Returns the descriptor (caller closes it) or -1.
int AETitleMap_Open(const char *path, int flags, mode_t mode);

// Adds the entries of the file to the map under a shared lock (first line
// of a name wins; malformed lines are skipped). Returns 0, or 1 if fd is -1
// or the lock cannot be had (nothing is read then).
int AETitleMap_Load_fd(AETitleMap *map, int fd);

// Saves the map to the file that fd was opened on (found by its name, which
// the descriptor keeps even after an earlier save replaced the file): one
// line per entry, written under a temporary name beside it, flushed and
// renamed over it under an exclusive lock, so a crash leaves the old file or
// the new one whole. Needs write access to the directory. Returns 0, or -1
// if fd is -1 or a step failed (the old file then stays as it was).
int AETitleMap_Save_fd(AETitleMap *map, int fd);

// Opens path (or the file found along the search path) and loads it.
// Returns 1 if it cannot be opened, else the result of AETitleMap_Load_fd.
int AETitleMap_Load(AETitleMap *map, const char *path);

// The one way a program loads the site's map: sets map up (a new or
// destroyed one: what it held is not freed) and loads the file found along
// the configuration search path. With keptFd, the file is
// opened for reading and writing (created when missing where a writable
// copy is found) and its descriptor is kept in *keptFd, for saving peers
// learnt later; a file that can only be read is loaded and closed, and
// *keptFd is -1. Returns 0 loaded, 1 no file could be opened or locked (the
// map is then empty).
int AETitleMap_LoadSite(AETitleMap *map, int *keptFd);

// Saves to path (created if missing) or to the file found along the search
// path, as AETitleMap_Save_fd does. Returns 0, or -1.
int AETitleMap_Save(AETitleMap *map, const char *path);

// Logs "AE-Title map table:\n" and one line per entry in the format
// "%-10s %-10s %-20s (%s) %s\n" at level through logprintf.
void AETitleMap_LogTable(AETitleMap *map, unsigned level, FILE *stream);

#endif
