// Forwarding rules and the forwarding queue: the rules file's parser, the
// match of a stored image against the rules, and the job files below
// BASE/forward/ (made, read, listed, rewritten, finished).
#include "core/forward.h"
#include "core/deidentify.h"
#include "core/forwarddb.h"
#include "core/listener.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "dcmtk/dcmdata/dcdicent.h"
#include "dcmtk/dcmdata/dcdict.h"
#include "dcmtk/dcmdata/dctag.h"

#include "index/querymatch.h"
#include "runtime/crc32.h"
#include "runtime/durablefile.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"
#include "store/localstore.h"

// --- the rules file ---

static void setError(char *error, size_t size, int line, const std::string &text)
{
    if (error != nullptr && size > 0)
        snprintf(error, size, "line %d: %s", line, text.c_str());
}

// 64-bit FNV-1a: names a quiet rule's job of one study.
static unsigned long long fnv(const std::string &s)
{
    unsigned long long h = 1469598103934665603ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

std::string forward_quietId(const forward_rule &r, const char *study)
{
    char id[40];
    snprintf(id, sizeof id, "q-%016llx",
             fnv(std::to_string(r.line) + " " + r.destination + " " + study));
    return id;
}

// An AE title: 1 to 16 characters, no backslash, no control character.
static bool goodTitle(const std::string &t)
{
    if (t.empty() || t.size() > 16)
        return false;
    for (unsigned char c : t) {
        if (c < 0x20 || c == 0x7f || c == '\\')
            return false;
    }
    return true;
}

// A whole decimal number within [lo, hi].
static bool number(const std::string &s, long lo, long hi, long *out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// One option or condition "name=value" of a rule: false with the reason.
static bool parseWord(const std::string &word, forward_rule *r, std::string *why)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
        *why = "expected NAME=VALUE, got \"" + word + "\"";
        return false;
    }
    std::string name = word.substr(0, eq), value = word.substr(eq + 1);
    if (name == "when") {
        long secs = FORWARD_DEFAULT_QUIET;
        if (value == "store") {
            r->when = FORWARD_ON_STORE;
        } else if (value == "quiet" || (value.compare(0, 6, "quiet:") == 0 &&
                                        number(value.substr(6), 1, 86400, &secs))) {
            r->when = FORWARD_ON_QUIET;
            r->quiet = (unsigned)secs;
        } else {
            *why = "when must be store, quiet or quiet:SECONDS (1..86400)";
            return false;
        }
        return true;
    }
    if (name == "syntax") {
        if (value == "stored")
            r->syntax = FORWARD_SYNTAX_STORED;
        else if (value == "explicit")
            r->syntax = FORWARD_SYNTAX_EXPLICIT;
        else if (value == "implicit")
            r->syntax = FORWARD_SYNTAX_IMPLICIT;
        else {
            *why = "syntax must be stored, explicit or implicit";
            return false;
        }
        return true;
    }
    if (name == "deidentify") {
        if (value == "no") {
            r->deidentify.clear();
            return true;
        }
        if (!deidentify_parseOptions(value, nullptr)) {
            *why = "deidentify must be yes, no or a comma-separated list of dates, device, "
                   "patient, refuse-burned-in";
            return false;
        }
        r->deidentify = value;
        return true;
    }
    if (name == "calling") {
        if (value.empty() || value.size() > 16) {
            *why = "calling must be an AE title pattern of 1 to 16 characters";
            return false;
        }
        r->calling = value;
        return true;
    }
    // An attribute by keyword or as (gggg,eeee).
    DcmTag tag;
    unsigned g = 0, e = 0;
    char tail = 0;
    if (sscanf(name.c_str(), "(%4x,%4x)%c", &g, &e, &tail) == 2 && name.size() == 11) {
        tag = DcmTag((Uint16)g, (Uint16)e);
    } else if (DcmTag::findTagFromName(name.c_str(), tag).bad()) {
        *why = "unknown attribute " + name;
        return false;
    }
    if (tag.getEVR() == EVR_SQ || tag.getEVR() == EVR_UNKNOWN || tag.getEVR() == EVR_OB ||
        tag.getEVR() == EVR_OW || tag.getEVR() == EVR_UN || tag.getGroup() == 0x7fe0) {
        *why = "attribute " + name + " cannot be matched";
        return false;
    }
    int kind = querymatch_kindOfVr(tag.getVRName());
    if (!keymatch_wellFormed(kind, value.c_str())) {
        *why = "malformed " + std::string(tag.getVRName()) + " key for " + name + ": " + value;
        return false;
    }
    forward_condition c;
    c.tag = tag.getXTag();
    c.value = value;
    keymatch_compile(&c.key, kind, value.c_str());
    r->conditions.push_back(std::move(c));
    return true;
}

int forward_parseRules(const std::string &text, forward_rules *rules, char *error, size_t errorSize)
{
    *rules = forward_rules();
    forward_rules out;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        lineNo++;
        // A comment starts at a "#" outside double quotes.
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"')
                quoted = !quoted;
            else if (line[i] == '#' && !quoted) {
                line.resize(i);
                break;
            }
        }
        std::vector<std::string> words;
        const char *cursor = line.c_str();
        char field[1024];
        int r;
        while ((r = parse_getstring(&cursor, field, sizeof field, 0)) == 0)
            words.push_back(field);
        if (r < 0) {
            setError(error, errorSize, lineNo, "field too long");
            return -1;
        }
        if (words.empty())
            continue;
        if (words[0] == "max-attempts") {
            long n = 0;
            if (words.size() != 2 || !number(words[1], 1, 1000, &n)) {
                setError(error, errorSize, lineNo, "max-attempts takes a number from 1 to 1000");
                return -1;
            }
            out.maxAttempts = (int)n;
            continue;
        }
        if (words[0] == "history") {
            long n = 0;
            if (words.size() != 2 || !number(words[1], 1, 3660, &n)) {
                setError(error, errorSize, lineNo, "history takes a number of days from 1 to 3660");
                return -1;
            }
            out.historyDays = (unsigned)n;
            continue;
        }
        forward_rule rule;
        rule.line = lineNo;
        if (!goodTitle(words[0]) || words[0].find('=') != std::string::npos) {
            setError(error, errorSize, lineNo,
                     "a rule starts with the destination's AE title, got \"" + words[0] + "\"");
            return -1;
        }
        rule.destination = words[0];
        for (size_t i = 1; i < words.size(); i++) {
            std::string why;
            if (!parseWord(words[i], &rule, &why)) {
                setError(error, errorSize, lineNo, why);
                return -1;
            }
        }
        out.rules.push_back(std::move(rule));
    }
    *rules = std::move(out);
    return 0;
}

int forward_loadRules(const char *path, forward_rules *rules, char *error, size_t errorSize)
{
    *rules = forward_rules();
    char found[INSTALLPATH_SIZE];
    if (path == nullptr) {
        path = getfilepath(CONFIG_SEARCHPATH, FORWARD_RULES_FILE, R_OK, found, sizeof found);
        if (path == nullptr)
            return 1;
    }
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    bool read = fd >= 0;
    if (read) {
        char buf[4096];
        ssize_t n;
        while ((n = fullio_read(fd, buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
        read = n == 0;
        close(fd);
    }
    if (!read) {
        if (error != nullptr && errorSize > 0)
            snprintf(error, errorSize, "cannot read %s: %s", path, strerror(errno));
        return -1;
    }
    if (forward_parseRules(text, rules, error, errorSize) != 0)
        return -1;
    rules->path = path;
    return 0;
}

// A title without the blanks around it.
static std::string bareTitle(const char *title)
{
    std::string t = title != nullptr ? title : "";
    size_t a = t.find_first_not_of(' ');
    if (a == std::string::npos)
        return "";
    return t.substr(a, t.find_last_not_of(' ') - a + 1);
}

int forward_ruleTo(const forward_rules *rules, const char *title)
{
    std::string own = bareTitle(title);
    for (const forward_rule &r : rules->rules) {
        if (!own.empty() && bareTitle(r.destination.c_str()) == own)
            return r.line;
    }
    return 0;
}

// --- the job files ---

const char *forward_stateName(int state)
{
    return state == FORWARD_FAILED ? "failed" : state == FORWARD_DONE ? "done" : "pending";
}

const char *forward_syntaxName(int syntax)
{
    return syntax == FORWARD_SYNTAX_EXPLICIT   ? "explicit"
           : syntax == FORWARD_SYNTAX_IMPLICIT ? "implicit"
                                               : "stored";
}

std::string forward_dir(const char *baseDir)
{
    return std::string(baseDir) + "/" FORWARD_DIR;
}

// An id names a file of the directory: letters, digits and "-" only.
static bool goodId(const std::string &id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-'))
            return false;
    }
    return true;
}

static std::string jobPath(const char *baseDir, const std::string &id)
{
    return forward_dir(baseDir) + "/" + id + ".job";
}

static std::string donePath(const char *baseDir, const std::string &id)
{
    return forward_dir(baseDir) + "/" + id + ".done";
}

// Makes the queue's directory (and flushes the base directory that names
// it). 0, or -1 with errno set.
static int makeDir(const char *baseDir)
{
    std::string dir = forward_dir(baseDir);
    if (mkdir(dir.c_str(), 0755) == 0)
        return durable_flushDir(baseDir);
    return errno == EEXIST ? 0 : -1;
}

// The queue's lock, taken around every step that reads a job and then
// changes or removes it while another process may do the same (a quiet
// job's refresh by an ingest and its end by the forwarder; a retry from the
// web). flock: it excludes threads of one process too, as each call opens
// the file anew.
class queueLock
{
public:
    explicit queueLock(const char *baseDir)
    {
        std::string path = forward_dir(baseDir) + "/LOCK";
        fd_ = durable_fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (fd_.valid()) {
            while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR)
                ;
        }
    }

private:
    durable_fd fd_; // closing it releases the lock
};

// Text for one line of a job file: control characters and newlines are
// replaced, so a value never breaks the file's lines.
static std::string oneLine(const std::string &text)
{
    std::string out = text.substr(0, 200);
    for (char &c : out) {
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    }
    return out;
}

static std::string jobText(const forward_job &j)
{
    std::string t;
    auto add = [&t](const char *key, const std::string &value) {
        t += key;
        t += ' ';
        t += oneLine(value);
        t += '\n';
    };
    add("destination", j.destination);
    add("study", j.study);
    if (!j.series.empty())
        add("series", j.series);
    if (!j.instance.empty())
        add("instance", j.instance);
    add("syntax", forward_syntaxName(j.syntax));
    add("origin", j.origin);
    if (!j.deidentify.empty())
        add("deidentify", j.deidentify);
    if (j.quiet != 0)
        add("quiet", std::to_string(j.quiet));
    add("state", forward_stateName(j.state));
    add("attempts", std::to_string(j.attempts));
    add("next", std::to_string(j.next));
    add("created", std::to_string(j.created));
    add("total", std::to_string(j.total));
    add("failed", std::to_string(j.failed));
    if (!j.error.empty())
        add("error", j.error);
    add("end", "");
    return t;
}

// Parses a job file's text; false when it is not a whole job (its last
// line "end" missing: never written so, as files are placed whole).
static bool parseJob(const std::string &text, forward_job *j)
{
    bool ended = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            return false;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t sp = line.find(' ');
        if (sp == std::string::npos)
            return false;
        std::string key = line.substr(0, sp), value = line.substr(sp + 1);
        long long n = strtoll(value.c_str(), nullptr, 10);
        if (key == "destination")
            j->destination = value;
        else if (key == "study")
            j->study = value;
        else if (key == "series")
            j->series = value;
        else if (key == "instance")
            j->instance = value;
        else if (key == "syntax")
            j->syntax = value == "explicit"   ? FORWARD_SYNTAX_EXPLICIT
                        : value == "implicit" ? FORWARD_SYNTAX_IMPLICIT
                                              : FORWARD_SYNTAX_STORED;
        else if (key == "origin")
            j->origin = value;
        else if (key == "deidentify")
            j->deidentify = value;
        else if (key == "quiet")
            j->quiet = (unsigned)n;
        else if (key == "state")
            j->state = value == "failed" ? FORWARD_FAILED
                       : value == "done" ? FORWARD_DONE
                                         : FORWARD_PENDING;
        else if (key == "attempts")
            j->attempts = (int)n;
        else if (key == "next")
            j->next = n;
        else if (key == "created")
            j->created = n;
        else if (key == "total")
            j->total = (int)n;
        else if (key == "failed")
            j->failed = (int)n;
        else if (key == "error")
            j->error = value;
        else if (key == "end")
            ended = true;
    }
    return ended && !j->destination.empty() && !j->study.empty();
}

// Lines of ID.done that end in a newline (the last one a crash cut short
// does not count).
static void readSent(const char *baseDir, const std::string &id, std::set<std::string> *set,
                     int *count)
{
    std::string text;
    int fd = open(donePath(baseDir, id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[8192];
        ssize_t n;
        while ((n = fullio_read(fd, buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
        close(fd);
    }
    int lines = 0;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;
        if (set != nullptr)
            set->insert(text.substr(pos, end - pos));
        lines++;
        pos = end + 1;
    }
    if (count != nullptr)
        *count = set != nullptr ? (int)set->size() : lines;
}

int forward_read(const char *baseDir, const std::string &id, forward_job *job)
{
    if (!goodId(id))
        return 0;
    *job = forward_job();
    std::string path = jobPath(baseDir, id);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = fullio_read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    struct stat st;
    bool ok = n == 0 && fstat(fd, &st) == 0;
    close(fd);
    if (!ok || !parseJob(text, job))
        return -1;
    job->id = id;
    job->touchedNs = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    std::set<std::string> sent;
    readSent(baseDir, id, &sent, &job->sent);
    return 1;
}

int forward_list(const char *baseDir, std::vector<forward_job> *jobs)
{
    jobs->clear();
    DIR *d = opendir(forward_dir(baseDir).c_str());
    if (d == nullptr)
        return errno == ENOENT ? 0 : -1;
    std::vector<std::string> ids;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".job") == 0)
            ids.push_back(name.substr(0, name.size() - 4));
    }
    closedir(d);
    std::sort(ids.begin(), ids.end());
    for (const std::string &id : ids) {
        forward_job j;
        // A job finished since the listing is simply gone.
        if (forward_read(baseDir, id, &j) == 1)
            jobs->push_back(std::move(j));
    }
    return 0;
}

void forward_counts(const char *baseDir, size_t *pending, size_t *failed)
{
    *pending = *failed = 0;
    std::vector<forward_job> jobs;
    forward_list(baseDir, &jobs);
    for (const forward_job &j : jobs) {
        if (j.state == FORWARD_PENDING)
            (*pending)++;
        else if (j.state == FORWARD_FAILED)
            (*failed)++;
    }
}

bool forward_queued(const char *baseDir)
{
    DIR *d = opendir(forward_dir(baseDir).c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (!found) {
        struct dirent *e = readdir(d);
        if (e == nullptr)
            break;
        size_t n = strlen(e->d_name);
        found = n > 4 && strcmp(e->d_name + n - 4, ".job") == 0;
    }
    closedir(d);
    return found;
}

// Writes job over its file. keepTime: the new file keeps the old one's
// modification time, which for a study's quiet job is the time of its last
// image (a rewrite by the forwarder is no new image); the caller holds the
// queue's lock, so no image's refresh falls between the look and the rename.
static int writeJob(const char *baseDir, const forward_job &job, FILE *log, bool keepTime)
{
    // A crash before the rename leaves the old job (the try is repeated),
    // after it the new one; the temporary file is swept at the next start.
    if (makeDir(baseDir) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Forward queue %s: %s\n", forward_dir(baseDir).c_str(),
                  strerror(errno));
        return -1;
    }
    std::string text = jobText(job);
    durable_file f;
    std::string path = jobPath(baseDir, job.id);
    struct stat old;
    bool keep = keepTime && stat(path.c_str(), &old) == 0;
    if (f.create(path, 0644) != 0 || f.write(text.data(), text.size()) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot write forwarding job %s: %s\n", path.c_str(),
                  strerror(errno));
        return -1;
    }
    if (keep) {
        struct timespec times[2] = {old.st_atim, old.st_mtim};
        futimens(f.fd(), times);
    }
    if (f.commit() != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot write forwarding job %s: %s\n", path.c_str(),
                  strerror(errno));
        return -1;
    }
    return 0;
}

int forward_write(const char *baseDir, const forward_job &job, FILE *log)
{
    if (job.quiet == 0)
        return writeJob(baseDir, job, log, false);
    queueLock lock(baseDir);
    return writeJob(baseDir, job, log, true);
}

// A new id, in the order jobs are made: seconds, process, a counter.
std::string forward_newId()
{
    static std::atomic<unsigned> counter{0};
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char id[64];
    snprintf(id, sizeof id, "%010lld-%09ld-%d-%u", (long long)ts.tv_sec, ts.tv_nsec, (int)getpid(),
             counter++);
    return id;
}

int forward_submit(const char *baseDir, forward_job *job, FILE *log)
{
    job->id = forward_newId();
    job->state = FORWARD_PENDING;
    job->attempts = 0;
    job->created = job->next = (long long)time(nullptr);
    return forward_write(baseDir, *job, log);
}

bool forward_ruleMatches(const forward_rule &r, DcmDataset *ds, const char *caller)
{
    // Not back to where the image came from: two archives that forward to
    // each other would otherwise send it to and fro for ever.
    if (caller != nullptr && *caller != '\0' &&
        bareTitle(caller) == bareTitle(r.destination.c_str()))
        return false;
    // An image without a calling title (a web upload) matches no rule that
    // names one, "*" included.
    if (!r.calling.empty() &&
        (caller == nullptr || *caller == '\0' ||
         !keymatch_wildcard(caller, strlen(caller), r.calling.c_str(), r.calling.size(), false)))
        return false;
    for (const forward_condition &c : r.conditions) {
        OFString value;
        if (ds->findAndGetOFStringArray(c.tag, value).bad())
            value.clear();
        if (!keymatch_matches(c.key, value.c_str(), value.size()))
            return false;
    }
    return true;
}

static std::string heldPath(const char *baseDir, const std::string &id)
{
    return forward_dir(baseDir) + "/" + id + ".held";
}

// Writes job as a held job (forward_hold): a new file ID.held, written,
// flushed with its directory, and kept open with its lock in held. A crash
// in the write leaves it torn (no "end" line), which the next start
// removes: the image was not placed before the held job was whole. 0, or
// -1 after a log (nothing left of it).
static int holdJob(const char *baseDir, forward_job *job, forward_held *held, FILE *log)
{
    job->id = forward_newId();
    job->state = FORWARD_PENDING;
    job->attempts = 0;
    job->created = job->next = (long long)time(nullptr);
    std::string path = heldPath(baseDir, job->id);
    std::string text = jobText(*job);
    durable_fd fd;
    bool ok = makeDir(baseDir) == 0;
    if (ok) {
        fd = durable_fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        // The lock before the content: a start beside us that finds the file
        // takes its lock only once we have let it go.
        ok = fd.valid() && flock(fd.get(), LOCK_EX) == 0 &&
             fullio_write(fd.get(), text.data(), text.size()) == (ssize_t)text.size() &&
             fdatasync(fd.get()) == 0 && durable_flushParent(path.c_str()) == 0;
    }
    if (!ok) {
        int saved = errno;
        logprintf(LOGLEVEL_ERROR, log, "Cannot write forwarding job %s: %s\n", path.c_str(),
                  strerror(saved));
        if (fd.valid())
            unlink(path.c_str());
        return -1;
    }
    held->ids.push_back(job->id);
    held->fds.push_back(fd.release());
    return 0;
}

int forward_keep(const char *baseDir, forward_held *held, FILE *log)
{
    // The rename needs no room for data: the name only moves (and its
    // directory is not flushed here: a power failure that takes the new name
    // back leaves the held job, which the next start makes a job, as the
    // image is stored).
    while (!held->ids.empty()) {
        std::string from = heldPath(baseDir, held->ids.front());
        std::string to = jobPath(baseDir, held->ids.front());
        if (rename(from.c_str(), to.c_str()) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot queue forwarding job %s: %s\n", from.c_str(),
                      strerror(errno));
            return -1;
        }
        close(held->fds.front());
        held->ids.erase(held->ids.begin());
        held->fds.erase(held->fds.begin());
    }
    return 0;
}

void forward_drop(const char *baseDir, forward_held *held)
{
    // Removed while still locked: a start that gets the lock afterwards
    // finds the file gone (or its link count 0) and leaves it.
    for (size_t i = 0; i < held->ids.size(); i++) {
        if (unlink(heldPath(baseDir, held->ids[i]).c_str()) != 0)
            unlink(jobPath(baseDir, held->ids[i]).c_str());
        close(held->fds[i]);
    }
    held->ids.clear();
    held->fds.clear();
}

void forward_leaveHeld(forward_held *held)
{
    for (int fd : held->fds)
        close(fd);
    held->ids.clear();
    held->fds.clear();
}

int forward_settleHeld(const char *baseDir, bool (*stored)(void *arg, const forward_job &job),
                       void *arg, FILE *log)
{
    std::string dir = forward_dir(baseDir);
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    std::vector<std::string> ids;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".held") == 0)
            ids.push_back(name.substr(0, name.size() - 5));
    }
    closedir(d);
    int made = 0;
    for (const std::string &id : ids) {
        std::string path = heldPath(baseDir, id);
        durable_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        // Locked: a live store (a web server beside this start) holds it.
        if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fstat(fd.get(), &st) != 0 ||
            st.st_nlink == 0)
            continue;
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = fullio_read(fd.get(), buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
        forward_job job;
        bool whole = n == 0 && goodId(id) && parseJob(text, &job);
        job.id = id;
        if (whole && stored(arg, job) && rename(path.c_str(), jobPath(baseDir, id).c_str()) == 0) {
            logprintf(LOGLEVEL_NOTICE, log, "Forwarding job %s of a store cut short queued.\n",
                      id.c_str());
            made++;
        } else if (unlink(path.c_str()) == 0) {
            logprintf(LOGLEVEL_NOTICE, log,
                      "Forwarding job %s of a store cut short removed: its image is not stored.\n",
                      id.c_str());
        }
    }
    if (!ids.empty())
        durable_flushDir(dir.c_str());
    return made;
}

// The jobs of forward_noteStored (held null) and forward_hold.
static int makeJobs(const char *baseDir, const forward_rules *rules, DcmDataset *ds,
                    const char *caller, const char *study, const char *series, const char *instance,
                    forward_held *held, FILE *log)
{
    int result = 0;
    for (const forward_rule &r : rules->rules) {
        if (!forward_ruleMatches(r, ds, caller))
            continue;
        forward_job job;
        job.destination = r.destination;
        job.study = study;
        job.syntax = r.syntax;
        job.deidentify = r.deidentify;
        job.origin = "rule " + std::to_string(r.line);
        if (r.when == FORWARD_ON_STORE) {
            job.series = series;
            job.instance = instance;
            job.total = 1;
            if ((held != nullptr ? holdJob(baseDir, &job, held, log)
                                 : forward_submit(baseDir, &job, log)) != 0)
                result = -1;
            continue;
        }
        // One job per rule and study: the first image makes it, each later
        // one refreshes its time, from which the forwarder tells how long
        // the study has been quiet. The lock keeps the forwarder from ending
        // the job between the test and the refresh.
        std::string id = forward_quietId(r, study);
        if (makeDir(baseDir) != 0) {
            logprintf(LOGLEVEL_ERROR, log, "Forward queue %s: %s\n", forward_dir(baseDir).c_str(),
                      strerror(errno));
            result = -1;
            continue;
        }
        queueLock lock(baseDir);
        std::string path = jobPath(baseDir, id);
        forward_job old;
        if (forward_read(baseDir, id, &old) == 1 && old.state == FORWARD_PENDING) {
            if (utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0)
                continue;
        }
        // None yet, or a failed (or unreadable) one: a new try of the study
        // with what it already delivered kept.
        job.id = id;
        job.quiet = r.quiet;
        job.created = (long long)time(nullptr);
        job.next = job.created;
        if (writeJob(baseDir, job, log, false) != 0)
            result = -1;
    }
    return result;
}

int forward_noteStored(const char *baseDir, const forward_rules *rules, DcmDataset *ds,
                       const char *caller, const char *study, const char *series,
                       const char *instance, FILE *log)
{
    return makeJobs(baseDir, rules, ds, caller, study, series, instance, nullptr, log);
}

int forward_hold(const char *baseDir, const forward_rules *rules, DcmDataset *ds,
                 const char *caller, const char *study, const char *series, const char *instance,
                 forward_held *held, FILE *log)
{
    if (makeJobs(baseDir, rules, ds, caller, study, series, instance, held, log) == 0)
        return 0;
    forward_drop(baseDir, held);
    return -1;
}

int forward_retry(const char *baseDir, const std::string &id, FILE *log)
{
    if (!goodId(id))
        return 0;
    queueLock lock(baseDir);
    forward_job job;
    if (forward_read(baseDir, id, &job) != 1 || job.state != FORWARD_FAILED)
        return 0;
    job.state = FORWARD_PENDING;
    job.attempts = 0;
    job.next = (long long)time(nullptr);
    job.error.clear();
    if (writeJob(baseDir, job, log, true) != 0)
        return -1;
    logprintf(LOGLEVEL_NOTICE, log, "Forwarding job %s to %s put back into the queue.\n",
              id.c_str(), job.destination.c_str());
    return 1;
}

int forward_noteSent(const char *baseDir, const std::string &id, const std::string &instance,
                     FILE *log)
{
    // An append: a crash cuts at most the last line short, which is then
    // not counted (that image is sent again).
    std::string line = oneLine(instance) + "\n";
    int fd = open(donePath(baseDir, id).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && fullio_write(fd, line.data(), line.size()) == (ssize_t)line.size();
    if (fd >= 0)
        close(fd);
    if (!ok)
        logprintf(LOGLEVEL_ERROR, log, "Cannot note forwarded image of job %s: %s\n", id.c_str(),
                  strerror(errno));
    return ok ? 0 : -1;
}

void forward_sentSet(const char *baseDir, const std::string &id, std::set<std::string> *out)
{
    out->clear();
    readSent(baseDir, id, out, nullptr);
}

int forward_finish(const char *baseDir, const forward_job &job, long long takenNs, FILE *log)
{
    queueLock lock(baseDir);
    forward_job now;
    if (forward_read(baseDir, job.id, &now) != 1)
        return 0;
    if (job.quiet != 0 && now.touchedNs > takenNs) {
        // New images came while it was sent: they go at the next try.
        forward_job again = job;
        again.state = FORWARD_PENDING;
        again.attempts = 0;
        again.error.clear();
        return writeJob(baseDir, again, log, true);
    }
    if (job.origin.compare(0, 4, "web ") == 0) {
        forward_job done = job;
        done.state = FORWARD_DONE;
        done.failed = 0;
        done.error.clear();
        return writeJob(baseDir, done, log, false);
    }
    // The job first, then its record of sent images: a crash in between
    // leaves a .done file without a job, which the sweep removes.
    std::string path = jobPath(baseDir, job.id);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot remove forwarding job %s: %s\n", path.c_str(),
                  strerror(errno));
        return -1;
    }
    unlink(donePath(baseDir, job.id).c_str());
    return 0;
}

long long forward_retryWait(unsigned base, int attempts)
{
    long long wait = base;
    for (int i = 1; i < attempts && wait < FORWARD_MAX_WAIT; i++)
        wait *= 2;
    return wait < FORWARD_MAX_WAIT ? wait : (long long)FORWARD_MAX_WAIT;
}

// --- delivery records ---

// How long a delivery record counts, in seconds.
enum { DELIVERED_KEEP = 86400 };

static std::string deliveredDir(const char *baseDir)
{
    return forward_dir(baseDir) + "/delivered";
}

// The record's file: named by a hash, as a UID is no safe file name.
static std::string deliveredPath(const char *baseDir, const std::string &destination,
                                 const std::string &instance)
{
    char name[32];
    snprintf(name, sizeof name, "/%016llx", fnv(destination + "\\" + instance));
    return deliveredDir(baseDir) + name;
}

static std::string deliveredText(const std::string &destination, const std::string &instance,
                                 const std::string &fingerprint)
{
    return oneLine(destination) + "\n" + oneLine(instance) + "\n" + oneLine(fingerprint) + "\n";
}

// Removes the records in dir older than DELIVERED_KEEP, and temporary
// files of dead writers.
static void sweepDelivered(const std::string &dir, long long now)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        struct stat st;
        if (e->d_name[0] == '.' || fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (now - (long long)st.st_mtime > DELIVERED_KEEP)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

bool forward_fingerprint(const std::string &path, std::string *out)
{
    durable_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    // The meta header (group 0002, Explicit VR Little Endian after the
    // preamble) says who wrote the file and when: not part of the image.
    unsigned char head[132];
    off_t start = 0;
    if (fullio_read(fd.get(), head, sizeof head) == (ssize_t)sizeof head &&
        memcmp(head + 128, "DICM", 4) == 0) {
        start = 132;
        for (;;) {
            unsigned char el[12];
            if (pread(fd.get(), el, 8, start) != 8 || (el[0] | el[1] << 8) != 0x0002)
                break;
            bool longForm = memcmp(el + 4, "OB", 2) == 0 || memcmp(el + 4, "OW", 2) == 0 ||
                            memcmp(el + 4, "UN", 2) == 0 || memcmp(el + 4, "SQ", 2) == 0 ||
                            memcmp(el + 4, "UT", 2) == 0 || memcmp(el + 4, "UC", 2) == 0 ||
                            memcmp(el + 4, "UR", 2) == 0;
            if (!longForm) {
                start += 8 + (off_t)(el[6] | el[7] << 8);
                continue;
            }
            if (pread(fd.get(), el + 8, 4, start + 8) != 4)
                break;
            start += 12 + (off_t)((uint32_t)el[8] | (uint32_t)el[9] << 8 | (uint32_t)el[10] << 16 |
                                  (uint32_t)el[11] << 24);
        }
    }
    if (lseek(fd.get(), start, SEEK_SET) < 0)
        return false;
    uint32_t crc = 0xFFFFFFFFu;
    unsigned long long length = 0;
    crc32_compute("", 0); // fills the table once
    static thread_local std::vector<unsigned char> buf(1 << 16);
    ssize_t n;
    while ((n = fullio_read(fd.get(), buf.data(), buf.size())) > 0) {
        for (ssize_t i = 0; i < n; i++)
            crc = crc32_table[(crc ^ buf[(size_t)i]) & 0xFF] ^ (crc >> 8);
        length += (unsigned long long)n;
    }
    if (n < 0)
        return false;
    char text[64];
    snprintf(text, sizeof text, "%08x-%llu", crc ^ 0xFFFFFFFFu, length);
    *out = text;
    return true;
}

void forward_noteDelivered(const char *baseDir, const std::string &destination,
                           const std::string &instance, const std::string &fingerprint)
{
    std::string dir = deliveredDir(baseDir);
    if (makeDir(baseDir) != 0 || (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST))
        return;
    std::string path = deliveredPath(baseDir, destination, instance);
    std::string tmp = path + "." + std::to_string((long)getpid()) + ".tmp";
    std::string text = deliveredText(destination, instance, fingerprint);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    bool ok = fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size();
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0)
        unlink(tmp.c_str());
}

bool forward_deliveredBefore(const char *baseDir, const std::string &destination,
                             const std::string &instance, const std::string &fingerprint)
{
    std::string path = deliveredPath(baseDir, destination, instance);
    durable_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (long long)time(nullptr) - (long long)st.st_mtime > DELIVERED_KEEP)
        return false;
    char buf[512];
    ssize_t n = fullio_read(fd.get(), buf, sizeof buf);
    // The whole text compared: a hash that two pairs share matches neither.
    return n > 0 &&
           std::string(buf, (size_t)n) == deliveredText(destination, instance, fingerprint);
}

void forward_sweep(const char *baseDir)
{
    std::string dir = forward_dir(baseDir);
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        names.push_back(e->d_name);
    closedir(d);
    long long now = (long long)time(nullptr);
    for (const std::string &name : names) {
        std::string path = dir + "/" + name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
            // A writer's temporary file is locked while it lives.
            durable_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
                unlink(path.c_str());
        } else if (name == "delivered") {
            sweepDelivered(path, now);
        } else if (name.size() > 5 && name.compare(name.size() - 5, 5, ".done") == 0) {
            std::string id = name.substr(0, name.size() - 5);
            forward_job j;
            if (access(jobPath(baseDir, id).c_str(), F_OK) != 0 && errno == ENOENT)
                unlink(path.c_str());
            else if (forward_read(baseDir, id, &j) == 1 && j.state == FORWARD_DONE &&
                     now - j.created > 86400) {
                unlink(jobPath(baseDir, id).c_str());
                unlink(path.c_str());
            }
        }
    }
}

namespace
{

// The jobs of one image that forwarding holds (forward_hold) until the
// store knows whether the image stays.
class forwardHold : public archive_hold
{
public:
    forwardHold(const archive_context *ctx) : ctx_(ctx) {}
    ~forwardHold() override
    {
        // The store settles every hold before it returns; were one not
        // settled, its files are left for the next start as after a crash
        // (their descriptors closed, not leaked).
        forward_leaveHeld(&held_);
    }
    int keep() override
    {
        return forward_keep(ctx_->store->getBaseDir(), &held_, ctx_->store->getLogfile());
    }
    void takenBack() override
    {
        // A keep that succeeded made jobs of some: they go too (another
        // listener's keep failed after it, and the image is taken back).
        for (const std::string &id : ids_)
            if (std::find(held_.ids.begin(), held_.ids.end(), id) == held_.ids.end())
                unlink(jobPath(ctx_->store->getBaseDir(), id).c_str());
        forward_drop(ctx_->store->getBaseDir(), &held_);
    }
    void leave() override { forward_leaveHeld(&held_); }
    forward_held held_;
    std::vector<std::string> ids_; // every job held, kept or not

private:
    const archive_context *ctx_;
};

// Forwarding as a listener of ingest: the jobs that the site's rules ask
// for an image, held before it is placed (a failure to write them refuses
// the image with nothing stored), made jobs once it is stored.
class forwardListener : public archive_listener
{
public:
    bool holds(const archive_event &e) override
    {
        return e.ctx->forwardRules != nullptr && !e.ctx->forwardRules->rules.empty();
    }
    int beforePlace(const archive_event &e, std::unique_ptr<archive_hold> *hold) override
    {
        // A node of a cluster: the queue is the cluster's database, which
        // every node's forwarder works through (core/forwarddb.h).
        if (archive_clusterDb(e.ctx) != nullptr)
            return forwarddb_beforePlace(e, hold);
        std::unique_ptr<forwardHold> h(new forwardHold(e.ctx));
        if (forward_hold(e.ctx->store->getBaseDir(), e.ctx->forwardRules, e.ds, e.caller,
                         e.uids->study.c_str(), e.uids->series.c_str(), e.uids->sopInstance.c_str(),
                         &h->held_, e.ctx->store->getLogfile()) != 0)
            return -1;
        h->ids_ = h->held_.ids;
        *hold = std::move(h);
        return 0;
    }
};

} // namespace

std::unique_ptr<archive_listener> archive_newForwardListener()
{
    // What one image holds is in its forwardHold.
    return std::unique_ptr<archive_listener>(new forwardListener);
}

// --- operations of the page: per destination, and the history ---

long long forward_dueAt(const forward_job &job)
{
    long long at = job.next;
    if (job.quiet != 0)
        at = std::max(at, job.touchedNs / 1000000000LL + (long long)job.quiet);
    return at;
}

static std::string pausedPath(const char *baseDir, const std::string &destination)
{
    static const char hex[] = "0123456789abcdef";
    std::string name = "paused-";
    for (unsigned char c : destination.substr(0, 64)) {
        name += hex[c >> 4];
        name += hex[c & 15];
    }
    return forward_dir(baseDir) + "/" + name;
}

int forward_setPaused(const char *baseDir, const std::string &destination, bool paused, FILE *log)
{
    if (makeDir(baseDir) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Forward queue %s: %s\n", forward_dir(baseDir).c_str(),
                  strerror(errno));
        return -1;
    }
    std::string path = pausedPath(baseDir, destination);
    durable_file f;
    if (paused) {
        std::string text = oneLine(destination) + "\n";
        if (f.create(path, 0644) != 0 || f.write(text.data(), text.size()) != 0 ||
            f.commit() != 0) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot write %s: %s\n", path.c_str(), strerror(errno));
            return -1;
        }
        return 0;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        logprintf(LOGLEVEL_ERROR, log, "Cannot remove %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    durable_flushDir(forward_dir(baseDir).c_str());
    // The forwarder waits for names placed in the directory: a placed
    // WAKE file makes it look at the queue now rather than at its next
    // wake-up (its content is nothing; a lost one costs a wait).
    std::string wake = forward_dir(baseDir) + "/WAKE";
    if (f.create(wake, 0644) == 0)
        f.commit();
    return 0;
}

void forward_pausedSet(const char *baseDir, std::set<std::string> *out)
{
    out->clear();
    DIR *d = opendir(forward_dir(baseDir).c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "paused-", 7) == 0 && strchr(e->d_name, '.') == nullptr)
            names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &name : names) {
        // The title from the name's hexadecimal: the file's text is not
        // needed (an empty file a crash left still pauses).
        std::string title;
        for (size_t i = 7; i + 1 < name.size(); i += 2)
            title += (char)strtol(name.substr(i, 2).c_str(), nullptr, 16);
        out->insert(title);
    }
}

int forward_retryAll(const char *baseDir, const std::string &destination, const std::string &study,
                     FILE *log)
{
    std::vector<forward_job> jobs;
    if (forward_list(baseDir, &jobs) != 0) {
        logprintf(LOGLEVEL_ERROR, log, "Forward queue %s unreadable: %s\n",
                  forward_dir(baseDir).c_str(), strerror(errno));
        return -1;
    }
    int count = 0;
    long long now = (long long)time(nullptr);
    queueLock lock(baseDir);
    for (const forward_job &listed : jobs) {
        if (listed.destination != destination || (!study.empty() && listed.study != study))
            continue;
        // Read again under the lock: the forwarder may have finished or
        // rewritten it since the listing.
        forward_job job;
        if (forward_read(baseDir, listed.id, &job) != 1)
            continue;
        bool waiting = job.state == FORWARD_PENDING && job.attempts > 0;
        if (job.state != FORWARD_FAILED && !waiting)
            continue;
        job.state = FORWARD_PENDING;
        job.attempts = 0;
        job.next = now;
        job.error.clear();
        if (writeJob(baseDir, job, log, true) != 0)
            return -1;
        count++;
    }
    if (count != 0)
        logprintf(LOGLEVEL_NOTICE, log, "Forwarding to %s: %d job(s) put back into the queue.\n",
                  destination.c_str(), count);
    return count;
}

static std::string historyPath(const char *baseDir)
{
    return forward_dir(baseDir) + "/history";
}

// A history field: no tabs or line ends.
static std::string historyField(const std::string &text)
{
    std::string out = oneLine(text);
    std::replace(out.begin(), out.end(), '\t', ' ');
    return out;
}

static std::string historyLine(const forward_finished &e)
{
    return std::to_string(e.at) + "\t" + historyField(e.destination) + "\t" +
           historyField(e.study) + "\t" + historyField(e.origin) + "\t" + std::to_string(e.jobs) +
           "\t" + std::to_string(e.images) + "\n";
}

static bool parseHistoryLine(const std::string &line, forward_finished *e)
{
    std::vector<std::string> f;
    size_t pos = 0;
    for (;;) {
        size_t tab = line.find('\t', pos);
        f.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos)
            break;
        pos = tab + 1;
    }
    if (f.size() != 6)
        return false;
    e->at = strtoll(f[0].c_str(), nullptr, 10);
    e->destination = f[1];
    e->study = f[2];
    e->origin = f[3];
    e->jobs = atoi(f[4].c_str());
    e->images = atoi(f[5].c_str());
    return e->at > 0;
}

int forward_noteFinished(const char *baseDir, const std::vector<forward_finished> &entries,
                         FILE *log)
{
    if (entries.empty())
        return 0;
    std::string text;
    for (const forward_finished &e : entries)
        text += historyLine(e);
    // One append of whole lines: a crash cuts at most the last short,
    // which no reader counts (it ends in no newline, and the next append
    // starts after it: see readHistory).
    int fd = open(historyPath(baseDir).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0)
        close(fd);
    if (!ok)
        logprintf(LOGLEVEL_ERROR, log, "Cannot note finished forwarding jobs in %s: %s\n",
                  historyPath(baseDir).c_str(), strerror(errno));
    return ok ? 0 : -1;
}

// The history file's whole lines (at most FORWARD_HISTORY_MAX_BYTES and the
// growth of the hour before a prune: the reader reads no more than twice
// that, the newest end).
static void readHistory(const char *baseDir, std::vector<forward_finished> *out)
{
    out->clear();
    int fd = open(historyPath(baseDir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    off_t from = 0;
    if (fstat(fd, &st) == 0 && st.st_size > 2 * (off_t)FORWARD_HISTORY_MAX_BYTES)
        from = st.st_size - 2 * (off_t)FORWARD_HISTORY_MAX_BYTES;
    std::string text;
    if (lseek(fd, from, SEEK_SET) == from) {
        char buf[65536];
        ssize_t n;
        while ((n = fullio_read(fd, buf, sizeof buf)) > 0)
            text.append(buf, (size_t)n);
    }
    close(fd);
    size_t pos = 0;
    if (from != 0) // the first line read may be a tail
        pos = text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1;
    for (;;) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;
        forward_finished e;
        // A line cut short by a crash runs into the next append's first
        // line: the joined line has more fields and is skipped.
        if (parseHistoryLine(text.substr(pos, end - pos), &e))
            out->push_back(std::move(e));
        pos = end + 1;
    }
}

void forward_history(const char *baseDir, size_t max, std::vector<forward_finished> *out)
{
    readHistory(baseDir, out);
    if (out->size() > max)
        out->erase(out->begin(), out->end() - (long)max);
}

void forward_pruneHistory(const char *baseDir, long long keepSeconds)
{
    std::vector<forward_finished> all;
    readHistory(baseDir, &all);
    long long since = (long long)time(nullptr) - keepSeconds;
    std::string text;
    // From the newest back, while the bytes allow.
    std::vector<std::string> lines;
    size_t bytes = 0;
    for (size_t i = all.size(); i-- > 0;) {
        if (all[i].at < since)
            break;
        std::string line = historyLine(all[i]);
        if (bytes + line.size() > (size_t)FORWARD_HISTORY_MAX_BYTES)
            break;
        bytes += line.size();
        lines.push_back(std::move(line));
    }
    struct stat st;
    if (lines.size() == all.size() && stat(historyPath(baseDir).c_str(), &st) == 0 &&
        (size_t)st.st_size == bytes)
        return; // nothing to drop
    for (size_t i = lines.size(); i-- > 0;)
        text += lines[i];
    durable_file f;
    if (f.create(historyPath(baseDir), 0644) == 0 && f.write(text.data(), text.size()) == 0)
        f.commit();
}
