// The modality worklist of a cluster in its database (core/worklistdb.h).
#include "core/worklistdb.h"

#include "dcmtk/config/osconfig.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"

#include "cluster/clusterdb.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"

static const char *const migrations[] = {
    "CREATE TABLE velto_worklist ("
    " id text PRIMARY KEY,"
    " entry bytea NOT NULL,"
    " accession text NOT NULL DEFAULT '',"
    " study_uid text NOT NULL DEFAULT '',"
    " done boolean NOT NULL DEFAULT false,"
    " created timestamptz NOT NULL DEFAULT now(),"
    " done_at timestamptz);"
    "CREATE INDEX velto_worklist_open ON velto_worklist (accession, study_uid) WHERE NOT done;",
};

// The table, made once per process (a later call finds it made).
static int ready(clusterdb *db)
{
    // The web server's threads may come here at once: a second migrate
    // finds the table made.
    static std::atomic<bool> made(false);
    if (made)
        return 0;
    if (db->migrate("worklist", 1, migrations) != 0)
        return -1;
    made = true;
    return 0;
}

static std::string trimmed(const char *value)
{
    std::string v = value ? value : "";
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0'))
        v.pop_back();
    return v;
}

static std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

static int nibble(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The bytes of the database's hex text ("\x..."), or false when it is not.
static bool unhex(const std::string &text, std::string *out)
{
    if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 2; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back((char)(hi << 4 | lo));
    }
    return true;
}

// The whole regular file at path into *out (not through a link, not
// blocking on a FIFO): 0, or -1.
static int readFile(const std::string &path, std::string *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (1 << 20)) {
        close(fd);
        return -1;
    }
    out->assign((size_t)st.st_size, '\0');
    ssize_t n = fullio_read(fd, &(*out)[0], out->size());
    close(fd);
    return n == (ssize_t)out->size() ? 0 : -1;
}

// Writes bytes as the entry file path: a temporary name of this process
// (two workers of one node may sync at once), flushed, renamed, the
// directory flushed. A crash leaves the file whole or absent (and at worst
// a hidden temporary file, which the data source does not read).
static int writeFile(const std::string &dir, const std::string &name, const std::string &bytes,
                     FILE *log)
{
    std::string final = dir + "/" + name;
    std::string tmp = dir + "/." + name + "." + std::to_string(getpid()) + ".sync";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0 && fullio_write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size() &&
              fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    ok = ok && rename(tmp.c_str(), final.c_str()) == 0 && durable_flushDir(dir.c_str()) == 0;
    if (!ok) {
        logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot write %s: %s\n", final.c_str(),
                  strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

// The entry ids of the regular ".wl" files in dir.
static std::set<std::string> localIds(const std::string &dir)
{
    std::set<std::string> ids;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return ids;
    const size_t extlen = strlen(WORKLIST_EXTENSION);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (name.size() <= extlen || name[0] == '.' ||
            name.compare(name.size() - extlen, extlen, WORKLIST_EXTENSION) != 0 ||
            fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        ids.insert(name.substr(0, name.size() - extlen));
    }
    closedir(d);
    return ids;
}

int worklistdb_create(clusterdb *db, const char *baseDir, const worklistfields &fields,
                      std::string *id, std::string *error, FILE *log)
{
    if (ready(db) != 0) {
        *error = "the cluster's database cannot be reached";
        return -1;
    }
    int r = Worklist_Create(baseDir, fields, id, error, log);
    if (r != 0)
        return r;
    std::string path = Worklist_Dir(baseDir) + "/" + *id + WORKLIST_EXTENSION;
    std::string bytes;
    DcmFileFormat ff;
    int s = CLUSTERDB_FAILED;
    if (readFile(path, &bytes) == 0 && ff.loadFile(path.c_str()).good()) {
        OFString acc, study;
        ff.getDataset()->findAndGetOFString(DCM_AccessionNumber, acc);
        ff.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, study);
        s = db->exec("INSERT INTO velto_worklist (id, entry, accession, study_uid)"
                     " VALUES ($1, decode($2, 'hex'), $3, $4)",
                     {*id, hex(bytes), trimmed(acc.c_str()), trimmed(study.c_str())});
    }
    if (s != CLUSTERDB_OK) {
        // Not recorded: not an entry of the cluster, so not one here either.
        Worklist_Remove(baseDir, *id, log);
        *error = "the entry could not be recorded in the cluster's database";
        return -1;
    }
    return 0;
}

int worklistdb_remove(clusterdb *db, const char *baseDir, const std::string &id, FILE *log)
{
    if (!Worklist_ValidId(id))
        return 1;
    clusterdb_rows rows;
    if (ready(db) != 0 ||
        db->exec("DELETE FROM velto_worklist WHERE id = $1", {id}, &rows) != CLUSTERDB_OK)
        return -1;
    int local = Worklist_Remove(baseDir, id, log);
    return rows.affected > 0 ? 0 : local;
}

int worklistdb_markDone(clusterdb *db, const char *baseDir, const char *accession,
                        const char *studyUID, int mode, FILE *log)
{
    if (mode == WORKLIST_DONE_OFF || ready(db) != 0)
        return 0;
    std::string acc = trimmed(accession), study = trimmed(studyUID);
    bool byAccession = (mode & WORKLIST_DONE_ACCESSION) && !acc.empty();
    bool byStudy = (mode & WORKLIST_DONE_STUDY) && !study.empty();
    if (!byAccession && !byStudy)
        return 0;
    clusterdb_rows rows;
    if (db->exec("UPDATE velto_worklist SET done = true, done_at = now()"
                 " WHERE NOT done AND (($1 AND accession = $2) OR ($3 AND study_uid = $4))"
                 " RETURNING id",
                 {byAccession ? "true" : "false", acc, byStudy ? "true" : "false", study},
                 &rows) != CLUSTERDB_OK)
        return 0;
    for (size_t i = 0; i < rows.size(); i++)
        logprintf(LOGLEVEL_NOTICE, log, "Worklist: entry %s done (study %s arrived)\n",
                  rows.at(i, 0).c_str(), study.c_str());
    // This node's files follow at once; the others' at their next sync.
    Worklist_MarkDone(baseDir, accession, studyUID, mode, log);
    return (int)rows.size();
}

int worklistdb_sync(clusterdb *db, const char *baseDir, FILE *log)
{
    clusterdb_rows rows;
    if (ready(db) != 0 ||
        db->exec("SELECT id, done FROM velto_worklist", {}, &rows) != CLUSTERDB_OK)
        return -1;
    if (Worklist_Prepare(baseDir) != 0)
        return -1;
    std::string dir = Worklist_Dir(baseDir), doneDir = dir + "/" WORKLIST_DONE_DIRNAME;
    std::set<std::string> open = localIds(dir), done = localIds(doneDir);
    std::map<std::string, bool> held;
    std::vector<std::string> missing;
    for (size_t i = 0; i < rows.size(); i++) {
        const std::string &id = rows.at(i, 0);
        bool isDone = rows.at(i, 1) == "t";
        // An id that cannot name a file is never written (the database is
        // shared: its values are checked like a peer's).
        if (!Worklist_ValidId(id))
            continue;
        held[id] = isDone;
        std::string name = id + WORKLIST_EXTENSION;
        if (isDone && open.count(id) != 0) {
            // Done through another node: out of this node's worklist, the
            // way Worklist_MarkDone takes it out (one rename).
            if (rename((dir + "/" + name).c_str(), (doneDir + "/" + name).c_str()) != 0 &&
                errno != ENOENT)
                logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot move %s to %s: %s\n", name.c_str(),
                          doneDir.c_str(), strerror(errno));
        } else if ((!isDone && open.count(id) == 0) ||
                   (isDone && done.count(id) == 0 && open.count(id) == 0)) {
            missing.push_back(id);
        }
    }
    for (const std::string &id : missing) {
        clusterdb_rows entry;
        std::string bytes;
        if (db->exec("SELECT entry, done FROM velto_worklist WHERE id = $1", {id}, &entry) !=
                CLUSTERDB_OK ||
            entry.size() != 1)
            continue; // removed meanwhile
        if (!unhex(entry.at(0, 0), &bytes)) {
            logprintf(LOGLEVEL_ERROR, log, "Worklist: the database's entry %s is unreadable\n",
                      id.c_str());
            continue;
        }
        writeFile(entry.at(0, 1) == "t" ? doneDir : dir, id + WORKLIST_EXTENSION, bytes, log);
    }
    // Open entries here that the cluster does not hold: removed through
    // another node, or made here by a process killed before it recorded
    // them.
    for (const std::string &id : open)
        if (held.count(id) == 0)
            Worklist_Remove(baseDir, id, log);
    for (const std::string &id : done)
        if (held.count(id) == 0)
            Worklist_Remove(baseDir, id, log);
    return 0;
}
