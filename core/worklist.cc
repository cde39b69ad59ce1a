// The modality worklist's entry files: making, listing, removing and
// marking done (see core/worklist.h for the layout).
#include "core/worklist.h"
#include "core/listener.h"
#include "core/worklistdb.h"

#include "dcmtk/config/osconfig.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcitem.h"
#include "dcmtk/dcmdata/dcsequen.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmwlm/wlfsim.h"

#include "dicomnet/dicomnet.h"
#include "runtime/fullio.h"
#include "runtime/logprintf.h"
#include "store/localstore.h"

// The attributes an entry is made of: top level, or in the one item of the
// Scheduled Procedure Step Sequence.
struct worklistkey {
    const char *keyword;
    DcmTagKey tag;
    bool step; // in the scheduled procedure step's item
};

static const worklistkey keys[] = {
    {"PatientName", DCM_PatientName, false},
    {"PatientID", DCM_PatientID, false},
    {"PatientBirthDate", DCM_PatientBirthDate, false},
    {"PatientSex", DCM_PatientSex, false},
    {"AccessionNumber", DCM_AccessionNumber, false},
    {"StudyInstanceUID", DCM_StudyInstanceUID, false},
    {"ReferringPhysicianName", DCM_ReferringPhysicianName, false},
    {"RequestedProcedureID", DCM_RequestedProcedureID, false},
    {"RequestedProcedureDescription", DCM_RequestedProcedureDescription, false},
    {"Modality", DCM_Modality, true},
    {"ScheduledStationAETitle", DCM_ScheduledStationAETitle, true},
    {"ScheduledStationName", DCM_ScheduledStationName, true},
    {"ScheduledProcedureStepStartDate", DCM_ScheduledProcedureStepStartDate, true},
    {"ScheduledProcedureStepStartTime", DCM_ScheduledProcedureStepStartTime, true},
    {"ScheduledPerformingPhysicianName", DCM_ScheduledPerformingPhysicianName, true},
    {"ScheduledProcedureStepDescription", DCM_ScheduledProcedureStepDescription, true},
    {"ScheduledProcedureStepID", DCM_ScheduledProcedureStepID, true},
    {"ScheduledProcedureStepLocation", DCM_ScheduledProcedureStepLocation, true},
};
enum { NKEYS = sizeof keys / sizeof keys[0] };

const char *const worklist_keywords[] = {
    "PatientName",
    "PatientID",
    "PatientBirthDate",
    "PatientSex",
    "AccessionNumber",
    "StudyInstanceUID",
    "ReferringPhysicianName",
    "RequestedProcedureID",
    "RequestedProcedureDescription",
    "Modality",
    "ScheduledStationAETitle",
    "ScheduledStationName",
    "ScheduledProcedureStepStartDate",
    "ScheduledProcedureStepStartTime",
    "ScheduledPerformingPhysicianName",
    "ScheduledProcedureStepDescription",
    "ScheduledProcedureStepID",
    "ScheduledProcedureStepLocation",
    nullptr,
};

static const worklistkey *findKey(const std::string &keyword)
{
    for (const worklistkey &k : keys) {
        if (keyword == k.keyword)
            return &k;
    }
    return nullptr;
}

std::string Worklist_Dir(const char *baseDir)
{
    return std::string(baseDir) + "/" WORKLIST_DIRNAME;
}

int Worklist_Prepare(const char *baseDir)
{
    std::string dir = Worklist_Dir(baseDir);
    std::string done = dir + "/" WORKLIST_DONE_DIRNAME;
    if ((mkdir(dir.c_str(), 0775) != 0 && errno != EEXIST) ||
        (mkdir(done.c_str(), 0775) != 0 && errno != EEXIST))
        return -1;
    int fd = open((dir + "/" WORKLIST_LOCKFILE).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int Worklist_ParseDoneMode(const char *text)
{
    static const struct {
        const char *name;
        int mode;
    } modes[] = {{"off", WORKLIST_DONE_OFF},
                 {"accession", WORKLIST_DONE_ACCESSION},
                 {"study", WORKLIST_DONE_STUDY},
                 {"both", WORKLIST_DONE_BOTH}};
    for (const auto &m : modes) {
        if (strcmp(text, m.name) == 0)
            return m.mode;
    }
    return -1;
}

int Worklist_ValidId(const std::string &id)
{
    if (id.empty() || id.size() > 128 || id[0] == '.')
        return 0;
    for (char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.';
        if (!ok)
            return 0;
    }
    return 1;
}

// A new entry's id: 16 random hexadecimal digits (also the default of the
// procedure's IDs, which hold at most 16 characters).
static std::string newId()
{
    unsigned char r[8];
    if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r) {
        // No randomness: the clock and the process id are unique enough
        // here, since a clash makes the create fail instead of replacing.
        uint64_t v = ((uint64_t)time(nullptr) << 20) ^ (uint64_t)getpid();
        memcpy(r, &v, sizeof r);
    }
    std::string id;
    char hex[3];
    for (unsigned char b : r) {
        snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

static bool isAscii(const std::string &s)
{
    for (unsigned char c : s) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

// The number of characters of text as UTF-8, or -1 when it is not UTF-8
// (a stray continuation byte, a cut or overlong sequence, a surrogate).
static long utf8Characters(const std::string &text)
{
    long n = 0;
    for (size_t i = 0; i < text.size(); n++) {
        unsigned char c = (unsigned char)text[i];
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        if (len == 0 || i + len > text.size())
            return -1;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; k++) {
            unsigned char d = (unsigned char)text[i + k];
            if ((d & 0xC0) != 0x80)
                return -1;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000))
            return -1;
        i += len;
    }
    return n;
}

// Why value cannot be written as element el of k unchanged ("" when it
// can). The toolkit takes a value as a C string and checks neither the
// length of a name's component groups nor control characters: a NUL would
// cut the value short and a too long value would be stored as given, so
// the entry would hold other data than was sent, or data a worklist client
// may refuse. Lengths are the VR's maximum, in characters (per component
// group of a person name, which has at most three groups of at most five
// components).
static std::string valueRefusal(const worklistkey &k, DcmElement *el, const std::string &value)
{
    for (size_t i = 0; i < value.size(); i++) {
        unsigned char c = (unsigned char)value[i];
        // C0 controls and DEL, and the C1 controls U+0080 to U+009F
        // (C2 80 to C2 9F in UTF-8).
        if (c < 0x20 || c == 0x7F ||
            (c == 0xC2 && i + 1 < value.size() && (unsigned char)value[i + 1] >= 0x80 &&
             (unsigned char)value[i + 1] <= 0x9F))
            return std::string("control character in ") + k.keyword;
    }
    if (utf8Characters(value) < 0)
        return std::string(k.keyword) + " is not UTF-8";
    DcmVR vr(el->getVR());
    long most = (long)vr.getMaxValueLength();
    std::vector<std::string> parts;
    if (vr.getEVR() == EVR_PN) {
        size_t from = 0;
        for (;;) {
            size_t eq = value.find('=', from);
            parts.push_back(value.substr(from, eq == std::string::npos ? eq : eq - from));
            if (eq == std::string::npos)
                break;
            from = eq + 1;
        }
        if (parts.size() > 3)
            return std::string("more than three component groups in ") + k.keyword;
        for (const std::string &g : parts) {
            if (std::count(g.begin(), g.end(), '^') > 4)
                return std::string("more than five name components in ") + k.keyword;
        }
    } else {
        parts.push_back(value);
    }
    for (const std::string &p : parts) {
        if (utf8Characters(p) > most)
            return std::string(k.keyword) + " longer than " + std::to_string(most) + " characters";
    }
    return "";
}

// Puts value into item as the element tag, checked against its VR (its
// characters and length too: valueRefusal) and a value multiplicity of
// one: 0, or 1 with *error set.
static int putChecked(DcmItem *item, const worklistkey &k, const std::string &value,
                      std::string *error)
{
    DcmElement *el = DcmItem::newDicomElement(k.tag);
    if (el == nullptr) {
        *error = std::string("cannot make ") + k.keyword;
        return 1;
    }
    std::string why = valueRefusal(k, el, value);
    if (!why.empty()) {
        delete el;
        *error = why;
        return 1;
    }
    if (el->putString(value.c_str()).bad() || (!value.empty() && el->checkValue("1").bad())) {
        delete el;
        *error = std::string("not a valid value for ") + k.keyword;
        return 1;
    }
    item->insert(el, OFTrue);
    return 0;
}

// Writes ff to path through a temporary name beside it: written, flushed,
// renamed, then the directory flushed. A crash before the rename leaves
// only the hidden temporary file (which the data source does not read, as
// it does not end in ".wl"); after it, the whole entry. O_EXCL on the final
// name is not available through a rename, so a clash of ids is checked
// before (ids are random; the check guards against a dropped file's name).
static int writeEntry(DcmFileFormat &ff, const std::string &dir, const std::string &id,
                      std::string *error, FILE *log)
{
    std::string final = dir + "/" + id + WORKLIST_EXTENSION;
    std::string tmp = dir + "/." + id + ".tmp";
    struct stat st;
    int fd = -1, dfd = -1, result = -1;
    if (stat(final.c_str(), &st) == 0) {
        *error = "an entry of that id exists";
        return -1;
    }
    OFCondition c = ff.saveFile(tmp.c_str(), EXS_LittleEndianExplicit);
    if (c.bad()) {
        *error = std::string("cannot write ") + tmp + ": " + c.text();
        goto out;
    }
    fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        *error = std::string("cannot flush ") + tmp + ": " + strerror(errno);
        goto out;
    }
    if (rename(tmp.c_str(), final.c_str()) != 0) {
        *error = std::string("cannot rename ") + tmp + ": " + strerror(errno);
        goto out;
    }
    dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0) {
        *error = std::string("cannot flush ") + dir + ": " + strerror(errno);
        goto out;
    }
    result = 0;
out:
    if (fd >= 0)
        close(fd);
    if (dfd >= 0)
        close(dfd);
    if (result != 0) {
        unlink(tmp.c_str());
        logprintf(LOGLEVEL_ERROR, log, "Worklist: %s\n", error->c_str());
    }
    return result;
}

int Worklist_Create(const char *baseDir, const worklistfields &fields, std::string *id,
                    std::string *error, FILE *log)
{
    std::string values[NKEYS];
    bool given[NKEYS] = {};
    for (const auto &f : fields) {
        const worklistkey *k = findKey(f.first);
        if (k == nullptr) {
            *error = "unknown attribute " + f.first;
            return 1;
        }
        // Two values of one attribute: which one was meant is unknown, so
        // neither is kept silently.
        if (given[k - keys]) {
            *error = f.first + " given twice";
            return 1;
        }
        given[k - keys] = true;
        values[k - keys] = f.second;
    }
    auto value = [&](const char *keyword) -> std::string & {
        return values[findKey(keyword) - keys];
    };
    // The data source leaves out an entry without a station AE title (type
    // 1 in the worklist), so it is required too.
    for (const char *required : {"PatientName", "PatientID", "Modality", "ScheduledStationAETitle",
                                 "ScheduledProcedureStepStartDate"}) {
        if (value(required).empty()) {
            *error = std::string(required) + " is required";
            return 1;
        }
    }
    *id = newId();
    // The defaults make an entry that the data source deems complete (it
    // leaves out files without the step's type 1 attributes).
    if (value("StudyInstanceUID").empty()) {
        char uid[100];
        value("StudyInstanceUID") = dcmGenerateUniqueIdentifier(uid, SITE_STUDY_UID_ROOT);
    }
    const std::string &accession = value("AccessionNumber");
    std::string procId = !accession.empty() && accession.size() <= 16 ? accession : *id;
    if (value("RequestedProcedureID").empty())
        value("RequestedProcedureID") = procId;
    if (value("ScheduledProcedureStepID").empty())
        value("ScheduledProcedureStepID") = procId;
    if (value("ScheduledProcedureStepStartTime").empty())
        value("ScheduledProcedureStepStartTime") = "000000";
    if (value("RequestedProcedureDescription").empty())
        value("RequestedProcedureDescription") = value("Modality");
    if (value("ScheduledProcedureStepDescription").empty())
        value("ScheduledProcedureStepDescription") = value("RequestedProcedureDescription");

    DcmFileFormat ff;
    DcmDataset *ds = ff.getDataset();
    DcmItem *step = new DcmItem();
    bool ascii = true;
    for (int i = 0; i < NKEYS; i++) {
        ascii = ascii && isAscii(values[i]);
        // Every attribute is written, empty when not known: the data
        // source answers a return key only from what the file holds.
        if (putChecked(keys[i].step ? step : ds, keys[i], values[i], error) != 0) {
            delete step;
            return 1;
        }
    }
    if (!ascii)
        ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    ds->insertSequenceItem(DCM_ScheduledProcedureStepSequence, step);

    std::string dir = Worklist_Dir(baseDir);
    if (Worklist_Prepare(baseDir) != 0) {
        *error = dir + ": " + strerror(errno);
        logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot prepare %s\n", error->c_str());
        return -1;
    }
    return writeEntry(ff, dir, *id, error, log);
}

// The entry ids (file names without ".wl") in dir, sorted. -1 when the
// directory cannot be read, 1 when it does not exist.
static int entryIds(const std::string &dir, std::vector<std::string> *ids)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return errno == ENOENT ? 1 : -1;
    const size_t extlen = strlen(WORKLIST_EXTENSION);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= extlen || name[0] == '.' ||
            name.compare(name.size() - extlen, extlen, WORKLIST_EXTENSION) != 0)
            continue;
        // Only regular files (see core/worklist.h); lstat: a link is not
        // followed.
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        ids->push_back(name.substr(0, name.size() - extlen));
    }
    closedir(d);
    std::sort(ids->begin(), ids->end());
    return 0;
}

static std::string viewDir(const char *baseDir)
{
    return Worklist_Dir(baseDir) + "/.view-" + std::to_string((long)getpid());
}

// Removes the view at dir (its links, its two directories); what is not
// there is fine.
static void removeView(const std::string &dir)
{
    std::string inner = dir + "/" WORKLIST_DIRNAME;
    if (DIR *d = opendir(inner.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
    }
    rmdir(inner.c_str());
    rmdir(dir.c_str());
}

int Worklist_QueryBase(const char *baseDir, std::string *queryBase,
                       std::vector<std::string> *skipped)
{
    *queryBase = baseDir;
    skipped->clear();
    std::string dir = Worklist_Dir(baseDir);
    std::vector<std::string> ids;
    if (entryIds(dir, &ids) < 0)
        return -1;
    // The names the data source would open that entryIds left out.
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return errno == ENOENT ? 0 : -1;
    const size_t extlen = strlen(WORKLIST_EXTENSION);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < extlen ||
            name.compare(name.size() - extlen, extlen, WORKLIST_EXTENSION) != 0)
            continue;
        std::string id = name.substr(0, name.size() - extlen);
        if (name[0] == '.' || !std::binary_search(ids.begin(), ids.end(), id))
            skipped->push_back(name);
    }
    closedir(d);
    if (skipped->empty())
        return 0;
    // A view left by an earlier process of this pid (that died in a query)
    // is made anew.
    std::string view = viewDir(baseDir);
    removeView(view);
    std::string inner = view + "/" WORKLIST_DIRNAME;
    if (mkdir(view.c_str(), 0700) != 0 || mkdir(inner.c_str(), 0700) != 0)
        goto fail;
    // Relative links: the store may be reached by another path later.
    if (symlink("../../" WORKLIST_LOCKFILE, (inner + "/" WORKLIST_LOCKFILE).c_str()) != 0)
        goto fail;
    for (const std::string &id : ids) {
        std::string name = id + WORKLIST_EXTENSION;
        if (symlink(("../../" + name).c_str(), (inner + "/" + name).c_str()) != 0)
            goto fail;
    }
    *queryBase = view;
    return 0;
fail:
    int saved = errno;
    removeView(view);
    errno = saved;
    return -1;
}

void Worklist_EndView(const char *baseDir, const std::string &queryBase)
{
    if (queryBase != baseDir)
        removeView(queryBase);
}

// The data source's own test of a file's completeness (a protected member
// of its file-system manager), so that the listing says exactly which
// entries the worklist leaves out.
struct completeness : WlmFileSystemInteractionManager {
    bool of(DcmDataset *ds) { return DatasetIsComplete(ds) != OFFalse; }
};

static std::string elementValue(DcmItem *item, const DcmTagKey &tag)
{
    OFString v;
    if (item == nullptr || item->findAndGetOFStringArray(tag, v).bad())
        return "";
    return v.c_str();
}

// The entries of dir (the entry directory, or its done directory when
// done) into out.
static int listDir(const std::string &dir, bool done, std::vector<worklistentry> *out, FILE *log)
{
    std::vector<std::string> ids;
    int r = entryIds(dir, &ids);
    if (r < 0) {
        logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot read %s: %s\n", dir.c_str(),
                  strerror(errno));
        return -1;
    }
    for (const std::string &id : ids) {
        DcmFileFormat ff;
        std::string path = dir + "/" + id + WORKLIST_EXTENSION;
        if (ff.loadFile(path.c_str()).bad()) {
            logprintf(LOGLEVEL_WARNING, log, "Worklist: cannot read %s\n", path.c_str());
            continue;
        }
        DcmDataset *ds = ff.getDataset();
        DcmItem *step = nullptr;
        ds->findAndGetSequenceItem(DCM_ScheduledProcedureStepSequence, step, 0);
        worklistentry e;
        e.id = id;
        for (const worklistkey &k : keys)
            e.fields.emplace_back(k.keyword, elementValue(k.step ? step : ds, k.tag));
        // After the values are taken: the test may add empty sequences.
        e.complete = completeness().of(ds);
        e.done = done;
        out->push_back(e);
    }
    return 0;
}

int Worklist_List(const char *baseDir, std::vector<worklistentry> *out, FILE *log, bool withDone)
{
    std::string dir = Worklist_Dir(baseDir);
    if (listDir(dir, false, out, log) != 0)
        return -1;
    return withDone ? listDir(dir + "/" WORKLIST_DONE_DIRNAME, true, out, log) : 0;
}

int Worklist_Remove(const char *baseDir, const std::string &id, FILE *log)
{
    if (!Worklist_ValidId(id))
        return 1;
    std::string path = Worklist_Dir(baseDir) + "/" + id + WORKLIST_EXTENSION;
    int r = unlink(path.c_str());
    if (r != 0 && errno == ENOENT) {
        // A done one, kept for the listing until someone removes it.
        path = Worklist_Dir(baseDir) + "/" WORKLIST_DONE_DIRNAME "/" + id + WORKLIST_EXTENSION;
        r = unlink(path.c_str());
    }
    if (r == 0) {
        logprintf(LOGLEVEL_NOTICE, log, "Worklist: entry %s removed\n", id.c_str());
        return 0;
    }
    if (errno == ENOENT)
        return 1;
    logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot remove %s: %s\n", path.c_str(),
              strerror(errno));
    return -1;
}

// Whether the file at path holds the bytes of value: a cheap test that
// spares parsing the files that cannot match.
static bool fileHolds(const std::string &path, const char *value)
{
    // Not blocking, not through a link: the name may have been replaced by
    // a FIFO since the directory was read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    std::string data;
    char buf[8192];
    ssize_t n;
    while ((n = fullio_read(fd, buf, sizeof buf)) > 0) {
        data.append(buf, (size_t)n);
        if ((size_t)n < sizeof buf)
            break;
    }
    close(fd);
    return memmem(data.data(), data.size(), value, strlen(value)) != nullptr;
}

// Whether the entry at path is the one a study with accession and studyUID
// fulfils under mode.
static bool entryMatches(const std::string &path, const char *accession, const char *studyUID,
                         int mode)
{
    bool byAccession = (mode & WORKLIST_DONE_ACCESSION) && accession[0] != '\0';
    bool byStudy = (mode & WORKLIST_DONE_STUDY) && studyUID[0] != '\0';
    if (!(byAccession && fileHolds(path, accession)) && !(byStudy && fileHolds(path, studyUID)))
        return false;
    DcmFileFormat ff;
    if (ff.loadFile(path.c_str()).bad())
        return false;
    DcmDataset *ds = ff.getDataset();
    return (byAccession && elementValue(ds, DCM_AccessionNumber) == accession) ||
           (byStudy && elementValue(ds, DCM_StudyInstanceUID) == studyUID);
}

static std::string trimmed(const char *value)
{
    std::string v = value ? value : "";
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0'))
        v.pop_back();
    return v;
}

int Worklist_MarkDone(const char *baseDir, const char *accession, const char *studyUID, int mode,
                      FILE *log)
{
    if (mode == WORKLIST_DONE_OFF)
        return 0;
    // Values as they came from the peer may keep their padding.
    std::string acc = trimmed(accession), study = trimmed(studyUID);
    accession = acc.c_str();
    studyUID = study.c_str();
    std::string dir = Worklist_Dir(baseDir);
    std::vector<std::string> ids;
    if (entryIds(dir, &ids) != 0)
        return 0;
    int moved = 0;
    for (const std::string &id : ids) {
        std::string name = id + WORKLIST_EXTENSION;
        std::string path = dir + "/" + name;
        if (!entryMatches(path, accession, studyUID, mode))
            continue;
        // One rename takes the entry out of the worklist whole. Another
        // worker that stores the same study at the same time may have
        // moved it first (ENOENT): then it is done all the same. The done
        // directory is made when missing (someone may have removed it).
        std::string done = dir + "/" WORKLIST_DONE_DIRNAME "/" + name;
        int r = rename(path.c_str(), done.c_str());
        if (r != 0 && errno == ENOENT && Worklist_Prepare(baseDir) == 0)
            r = rename(path.c_str(), done.c_str());
        if (r == 0) {
            moved++;
            logprintf(LOGLEVEL_NOTICE, log, "Worklist: entry %s done (study %s arrived)\n",
                      id.c_str(), studyUID);
        } else if (errno != ENOENT) {
            logprintf(LOGLEVEL_ERROR, log, "Worklist: cannot move %s to %s: %s\n", path.c_str(),
                      done.c_str(), strerror(errno));
        }
    }
    return moved;
}

namespace
{

// The worklist as a listener of ingest: once an image is stored, the
// entries of its study are marked done as the context's worklistDone says,
// looked for once per study, not once per image. A failure is logged
// (Worklist_MarkDone) and leaves the image stored.
class worklistListener : public archive_listener
{
public:
    void stored(const archive_event &e) override
    {
        int mode = e.ctx->worklistDone;
        if (mode == WORKLIST_DONE_OFF)
            return;
        const char *accession = dicomnet_getTagString(e.ds, DCM_AccessionNumber);
        std::string key = e.uids->study + '\\' + (accession ? accession : "");
        {
            // Upload threads of the web server share the list under its
            // lock, held only to consult it (the look itself runs outside
            // it; two threads with one new study may both look, which is
            // harmless).
            std::lock_guard<std::mutex> hold(recentLock);
            if (std::find(recent.begin(), recent.end(), key) != recent.end())
                return;
            recent.push_back(key);
            if (recent.size() > RECENT_STUDIES)
                recent.pop_front();
        }
        // In a cluster the entries are the database's (core/worklistdb.h).
        if (clusterdb *db = archive_clusterDb(e.ctx))
            worklistdb_markDone(db, e.ctx->store->getBaseDir(), accession, e.uids->study.c_str(),
                                mode, e.ctx->store->getLogfile());
        else
            Worklist_MarkDone(e.ctx->store->getBaseDir(), accession, e.uids->study.c_str(), mode,
                              e.ctx->store->getLogfile());
    }

private:
    // The studies looked for lately.
    enum { RECENT_STUDIES = 256 };
    std::mutex recentLock;
    std::deque<std::string> recent;
};

} // namespace

std::unique_ptr<archive_listener> archive_newWorklistListener()
{
    return std::unique_ptr<archive_listener>(new worklistListener);
}
