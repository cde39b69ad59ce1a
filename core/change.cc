// Changes of what is stored (core/change.h): the requests checked and
// turned into a plan (every image of the scope with its new UIDs, the
// values written into each), the plan made under the locks of its studies
// with its intent, and the intents that dead processes left settled.
#include "core/change.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcdict.h"
#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcuid.h"

#include "core/archive.h"
#include "core/audit.h"
#include "core/forward.h"
#include "core/forwarddb.h"
#include "dicomnet/dicomnet.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "runtime/process.h"
#include "runtime/sitefile.h"
#include "runtime/textfield.h"
#include "store/checksums.h"
#include "store/localstore.h"
#include "store/tier.h"

// Names in B/uid: the intent CHANGE.ID.intent (written as
// CHANGE.ID.intent.tmp), renamed CHANGE.ID.commit when the change is made;
// the new image files CHANGE.ID.N.tmp.
#define CHANGE_PREFIX "CHANGE."
// The site's settings of changes, along the configuration search path.
#define CHANGE_SETTINGS_FILE "ChangeSettings"
// The change log in the base directory.
#define CHANGE_LOG_FILE "CHANGES"

// Longest value a request may give (the longest text VR that is allowed
// by default holds 64 characters; a site may allow longer ones).
enum { CHANGE_VALUE_MAX = 1024 };

namespace
{
// One image of a change: its UIDs before and after.
struct planImage {
    std::string os, orr, oi; // old study, series, instance
    std::string ns, nr, ni;  // new
    bool moved() const { return os != ns || orr != nr || oi != ni; }
};

// A change ready to be made.
struct changePlan {
    std::vector<std::pair<DcmTagKey, std::string>> values; // written into every image
    std::vector<planImage> images;
    std::vector<std::string> studies; // every study to lock, old and new
    // For the log: the old values of each attribute (distinct, as read
    // from the first image of each study of the scope), and what else
    // changed ("study" OLD NEW for a split).
    std::map<DcmTagKey, std::set<std::string>> oldValues;
    std::vector<std::vector<std::string>> otherChanges;
    std::set<std::string> patients; // Patient IDs before and after
};

struct changeSettings {
    std::set<DcmTagKey> allowed; // beyond the defaults
    bool forwardChanged = false;
};

// The attributes a change may write by default, and the level each is of.
enum { LEVEL_PATIENT = 0, LEVEL_STUDY = 1, LEVEL_SERIES = 2, LEVEL_IMAGE = 3 };
struct defaultAttribute {
    DcmTagKey key;
    int level;
};
const defaultAttribute defaults[] = {
    {DCM_PatientName, LEVEL_PATIENT},
    {DCM_PatientID, LEVEL_PATIENT},
    {DCM_IssuerOfPatientID, LEVEL_PATIENT},
    {DCM_PatientBirthDate, LEVEL_PATIENT},
    {DCM_PatientSex, LEVEL_PATIENT},
    {DCM_AccessionNumber, LEVEL_STUDY},
    {DCM_StudyDescription, LEVEL_STUDY},
    {DCM_ReferringPhysicianName, LEVEL_STUDY},
    {DCM_StudyID, LEVEL_STUDY},
    {DCM_SeriesDescription, LEVEL_SERIES},
};

// The patient attributes a merge, and a split into another study, write.
const DcmTagKey patientKeys[] = {DCM_PatientName, DCM_PatientID, DCM_IssuerOfPatientID,
                                 DCM_PatientBirthDate, DCM_PatientSex};
// The study attributes a split into another study writes.
const DcmTagKey studyKeys[] = {DCM_StudyDate,        DCM_StudyTime, DCM_AccessionNumber,
                               DCM_StudyDescription, DCM_StudyID,   DCM_ReferringPhysicianName};
} // namespace

static int levelOf(const DcmTagKey &key)
{
    for (const defaultAttribute &d : defaults)
        if (d.key == key)
            return d.level;
    return key.getGroup() == 0x0010 ? LEVEL_PATIENT : LEVEL_IMAGE;
}

static std::string tagName(const DcmTagKey &key)
{
    DcmTag tag(key);
    const char *name = tag.getTagName();
    if (name != nullptr && strcmp(name, DcmTag_ERROR_TagName) != 0)
        return name;
    char text[16];
    snprintf(text, sizeof text, "%04x,%04x", key.getGroup(), key.getElement());
    return text;
}

// "PatientName", "0010,0010" or "(0010,0010)" into *key: false when it is
// none of them or not in the toolkit's dictionary.
static bool parseAttribute(const std::string &name, DcmTagKey *key)
{
    unsigned g, e;
    char rest;
    if (sscanf(name.c_str(), "(%4x,%4x)%c", &g, &e, &rest) == 2 ||
        sscanf(name.c_str(), "%4x,%4x%c", &g, &e, &rest) == 2) {
        *key = DcmTagKey((Uint16)g, (Uint16)e);
    } else {
        DcmTag tag;
        if (DcmTag::findTagFromName(name.c_str(), tag).bad())
            return false;
        *key = tag.getXTag();
    }
    DcmTag tag(*key);
    return tag.getEVR() != EVR_UNKNOWN && tag.getEVR() != EVR_UNKNOWN2B;
}

// The site's ChangeSettings: "allow ATTRIBUTE" (one each) and
// "forward-changed yes|no". A line that is not understood is logged and
// passed over; an unreadable file counts as none.
static changeSettings readSettings(FILE *log)
{
    changeSettings s;
    char found[1024];
    if (getfilepath(CONFIG_SEARCHPATH, CHANGE_SETTINGS_FILE, R_OK, found, sizeof found) == nullptr)
        return s;
    sitefile_error err;
    sitefile_read(
        found, sitefile_options(),
        [&](const sitefile_line &line) {
            DcmTagKey key;
            if (line.key == "allow" && parseAttribute(line.value, &key))
                s.allowed.insert(key);
            else if (line.key == "forward-changed" && (line.value == "yes" || line.value == "no"))
                s.forwardChanged = line.value == "yes";
            else
                logprintf(LOGLEVEL_WARNING, log, "%s:%d: not understood, passed over.\n", found,
                          line.number);
            return true;
        },
        &err);
    return s;
}

static bool isText(DcmEVR vr)
{
    switch (vr) {
    case EVR_PN:
    case EVR_LO:
    case EVR_SH:
    case EVR_LT:
    case EVR_ST:
    case EVR_UT:
    case EVR_UC:
        return true;
    default:
        return false;
    }
}

static bool isAscii(const std::string &value)
{
    for (unsigned char c : value)
        if (c >= 0x80)
            return false;
    return true;
}

// Checks one requested value: its attribute one that may be written at
// level (the scope's), the value well formed for its VR. false with *why.
static bool checkValue(const change_value &v, int level, const changeSettings &settings,
                       DcmTagKey *key, std::string *why)
{
    if (!parseAttribute(v.attribute, key)) {
        *why = "unknown attribute \"" + v.attribute + "\"";
        return false;
    }
    DcmTag tag(*key);
    std::string name = tagName(*key);
    DcmEVR vr = tag.getEVR();
    if (vr == EVR_UI) {
        *why = name + " is a UID: UIDs are never set as values (ask for new UIDs instead)";
        return false;
    }
    if (key->getGroup() == 0x7FE0 || *key == DCM_FloatPixelData ||
        *key == DCM_DoubleFloatPixelData) {
        *why = name + " is pixel data, which a change never alters";
        return false;
    }
    if (key->getGroup() == 0x0002 || key->getElement() == 0x0000 ||
        *key == DCM_SpecificCharacterSet || vr == EVR_SQ || vr == EVR_OB || vr == EVR_OW ||
        vr == EVR_OF || vr == EVR_OD || vr == EVR_OL || vr == EVR_UN || vr == EVR_ox) {
        *why = name + " cannot be changed";
        return false;
    }
    bool allowed = settings.allowed.count(*key) != 0;
    for (const defaultAttribute &d : defaults)
        allowed = allowed || d.key == *key;
    if (!allowed) {
        *why = name +
               " is not among the attributes this site allows to change (ChangeSettings: "
               "allow " +
               name + ")";
        return false;
    }
    int own = levelOf(*key);
    if (level == LEVEL_SERIES && own < LEVEL_SERIES) {
        *why = name + " belongs to the " + (own == LEVEL_PATIENT ? "patient" : "study") +
               ": it cannot be changed for a single series";
        return false;
    }
    if (v.value.size() > CHANGE_VALUE_MAX) {
        *why = "the value of " + name + " is too long";
        return false;
    }
    for (unsigned char c : v.value)
        if (c < 0x20 || c == 0x7F || c == '\\') {
            *why = "the value of " + name + " holds a control character or a backslash";
            return false;
        }
    if (!isAscii(v.value)) {
        // Written in UTF-8: only text VRs take other characters.
        if (!isText(vr)) {
            *why = "the value of " + name + " must be ASCII";
            return false;
        }
        if (v.value.size() > DcmVR(vr).getMaxValueLength()) {
            *why = "the value of " + name + " is too long for its VR";
            return false;
        }
        return true;
    }
    DcmElement *elem = nullptr;
    if (DcmItem::newDicomElement(elem, tag).bad() || elem == nullptr) {
        *why = name + " cannot be changed";
        return false;
    }
    std::unique_ptr<DcmElement> owned(elem);
    if (elem->putString(v.value.c_str()).bad() ||
        (!v.value.empty() && elem->checkValue("1").bad())) {
        *why = "\"" + v.value + "\" is not a valid value of " + name + " (VR " +
               DcmVR(vr).getVRName() + ")";
        return false;
    }
    return true;
}

// An ID or UID of a request: one word that a query takes as itself.
static bool plainKey(const std::string &value)
{
    if (value.empty() || value.size() > 64)
        return false;
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7F || c == '*' || c == '?' || c == '\\')
            return false;
    return true;
}

// A UID of a request: one the store could hold (no list, no path
// characters, no name of dots).
static bool plainUid(const std::string &uid)
{
    return plainKey(uid) && archive_uidProblem(uid.c_str()) == nullptr;
}

// The head of an image file (values above 4 KB left in the file).
static bool readHead(LocalStore *store, const std::string &S, const std::string &R,
                     const std::string &I, DcmFileFormat *ff)
{
    OFString path = store->GetUidPath(S.c_str(), R.c_str(), I.c_str(), 1);
    if (ff->loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).good())
        return true;
    // An image in the object tier: its head, kept beside its stub.
    return access(path.c_str(), F_OK) != 0 &&
           ff->loadFile((std::string(path.c_str()) + TIER_HEAD_SUFFIX).c_str(), EXS_Unknown,
                        EGL_noChange, 4096)
               .good();
}

static std::string valueOf(DcmItem *ds, const DcmTagKey &key)
{
    OFString v;
    if (ds->findAndGetOFStringArray(key, v).bad())
        return "";
    return v.c_str();
}

// The studies stored for a patient (ID, and issuer when not ""), in the
// index's order: 0, or CHANGE_FAILED (index unreadable).
static int studiesOfPatient(LocalStore *store, const std::string &id, const std::string &issuer,
                            std::vector<std::string> *out)
{
    out->clear();
    DcmDataset q;
    q.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    q.putAndInsertString(DCM_PatientID, id.c_str());
    q.putAndInsertString(DCM_StudyInstanceUID, "");
    std::unique_ptr<index_cursor> c(store->index().find(&q, nullptr, 0));
    DcmDataset *match = nullptr;
    int r;
    while ((r = c->next(&match)) == 0) {
        if (valueOf(match, DCM_PatientID) == id) {
            std::string study = valueOf(match, DCM_StudyInstanceUID);
            if (!study.empty())
                out->push_back(study);
        }
        delete match;
        match = nullptr;
    }
    if (r < 0)
        return CHANGE_FAILED;
    if (issuer.empty())
        return 0;
    // The issuer is in the image files only: the first image of each.
    std::vector<std::string> same;
    for (const std::string &study : *out) {
        std::vector<index_image> images;
        DcmFileFormat ff;
        if (store->index().studyImages(study.c_str(), &images) == INDEX_OK && !images.empty() &&
            readHead(store, study, images[0].series, images[0].instance, &ff) &&
            valueOf(ff.getDataset(), DCM_IssuerOfPatientID) == issuer)
            same.push_back(study);
    }
    out->swap(same);
    return 0;
}

// The images of a study (of one series when series is not "").
static int imagesOf(LocalStore *store, const std::string &study, const std::string &series,
                    std::vector<index_image> *out)
{
    std::vector<index_image> all;
    if (store->index().studyImages(study.c_str(), &all) != INDEX_OK)
        return CHANGE_FAILED;
    out->clear();
    for (index_image &im : all)
        if (series.empty() || im.series == series)
            out->push_back(im);
    return 0;
}

static std::string newUid()
{
    char uid[100];
    return dcmGenerateUniqueIdentifier(uid, SITE_INSTANCE_UID_ROOT);
}

// The old values of the plan's attributes, from the first image of each
// study of the scope.
static void noteOldValues(LocalStore *store, changePlan *plan)
{
    std::set<std::string> seen;
    for (const planImage &im : plan->images) {
        if (!seen.insert(im.os).second)
            continue;
        DcmFileFormat ff;
        if (!readHead(store, im.os, im.orr, im.oi, &ff))
            continue;
        for (const auto &v : plan->values)
            plan->oldValues[v.first].insert(valueOf(ff.getDataset(), v.first));
        plan->patients.insert(valueOf(ff.getDataset(), DCM_PatientID));
    }
    for (const auto &v : plan->values)
        if (v.first == DCM_PatientID)
            plan->patients.insert(v.second);
}

// ---- the log line and the intent ----

static std::string escapedField(const std::string &text)
{
    char *q = nullptr;
    if (parse_string_makeescaped(text.c_str(), &q, 0) != 0 || q == nullptr)
        abort(); // out of memory
    std::string s = q;
    free(q);
    return s;
}

static std::string joined(const std::set<std::string> &values, const char *sep)
{
    std::string s;
    for (const std::string &v : values)
        s += (s.empty() ? "" : sep) + v;
    return s;
}

static std::string logLine(const std::string &id, const std::string &kind, const std::string &scope,
                           const change_origin &origin, const changePlan &plan)
{
    char when[32];
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::set<std::string> studies;
    for (const planImage &im : plan.images) {
        studies.insert(im.os);
        studies.insert(im.ns);
    }
    std::string user = origin.user;
    if (user.empty()) {
        struct passwd *pw = getpwuid(getuid());
        user = pw != nullptr ? pw->pw_name : std::to_string(getuid());
    }
    std::string line = escapedField("id=" + id) + " " + escapedField(std::string("time=") + when) +
                       " " + escapedField("user=" + user) + " " +
                       escapedField("from=" + origin.from) + " " + escapedField("kind=" + kind) +
                       " " + escapedField("scope=" + scope) + " " +
                       escapedField("images=" + std::to_string(plan.images.size())) + " " +
                       escapedField("studies=" + joined(studies, ",")) + " " +
                       escapedField("patients=" + joined(plan.patients, ","));
    for (const auto &v : plan.values) {
        auto old = plan.oldValues.find(v.first);
        std::string was = old == plan.oldValues.end() ? "" : joined(old->second, " | ");
        line += " " + escapedField("change=" + escapedField(tagName(v.first)) + " " +
                                   escapedField(was) + " " + escapedField(v.second));
    }
    for (const auto &c : plan.otherChanges)
        line += " " + escapedField("change=" + escapedField(c[0]) + " " + escapedField(c[1]) + " " +
                                   escapedField(c[2]));
    return line + "\n";
}

// Appends line to the store's change log, flushed: 0, or -1 after a log.
static int appendLog(LocalStore *store, const std::string &line)
{
    std::string path = std::string(store->getBaseDir()) + "/" CHANGE_LOG_FILE;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    // One write: the lines of two processes never interleave.
    bool ok = fd >= 0 && fullio_write(fd, line.data(), line.size()) == (ssize_t)line.size() &&
              fdatasync(fd) == 0;
    if (!ok)
        logprintf(LOGLEVEL_ERROR, store->getLogfile(), "Cannot append to %s: %s\n", path.c_str(),
                  strerror(errno));
    if (fd >= 0)
        close(fd);
    return ok ? 0 : -1;
}

static int fsyncDir(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r = fsync(fd);
    close(fd);
    return r;
}

// Everything of the file system below dir on disk (one call for all the
// new files of a change, not one flush per file).
static int syncAll(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int r = syncfs(fd);
    close(fd);
    return r;
}

static std::string tempName(const std::string &uidDir, const std::string &id, size_t n)
{
    return uidDir + "/" CHANGE_PREFIX + id + "." + std::to_string(n) + ".tmp";
}

// The intent's text: the log line to append, then every image.
static std::string intentText(const std::string &log, const changePlan &plan)
{
    std::string text = "velto-change 1\nlog " + escapedField(log.substr(0, log.size() - 1)) + "\n";
    for (size_t n = 0; n < plan.images.size(); n++) {
        const planImage &im = plan.images[n];
        text += "image " + std::to_string(n) + " " + im.os + " " + im.orr + " " + im.oi + " " +
                im.ns + " " + im.nr + " " + im.ni + "\n";
    }
    return text + "end\n";
}

// Writes the intent (temporary name, locked, flushed, renamed, directory
// flushed): its descriptor, locked until the change ends, or -1 logged.
// A crash before the rename leaves CHANGE.ID.intent.tmp, which the next
// start removes: nothing had changed.
static int writeIntent(LocalStore *store, const std::string &uidDir, const std::string &id,
                       const std::string &text)
{
    std::string tmp = uidDir + "/" CHANGE_PREFIX + id + ".intent.tmp";
    std::string path = uidDir + "/" CHANGE_PREFIX + id + ".intent";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    if (fd >= 0 && flock(fd, LOCK_EX) == 0 &&
        fullio_write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0 &&
        rename(tmp.c_str(), path.c_str()) == 0 && fsyncDir(uidDir) == 0)
        return fd;
    logprintf(LOGLEVEL_ERROR, store->getLogfile(), "Cannot write %s: %s\n", path.c_str(),
              strerror(errno));
    if (fd >= 0) {
        unlink(tmp.c_str());
        unlink(path.c_str());
        close(fd);
    }
    return -1;
}

// ---- making the change ----

// The image written anew with the plan's values and its new UIDs, under
// the temporary name tmp (not flushed): 0 with *sum, or -1 with *why.
static int writeNewFile(LocalStore *store, const changePlan &plan, const planImage &im,
                        const std::string &tmp, checksums_record *sum, std::string *why)
{
    DcmFileFormat ff;
    OFString path = store->GetUidPath(im.os.c_str(), im.orr.c_str(), im.oi.c_str(), 1);
    // The file, or its copy fetched from the object tier, verified against
    // its checksum either way (the store's one opening of an image).
    tier_file file;
    int found = tier_openImage(store->getTier(), path.c_str(), &file, store->getLogfile());
    if (found != TIER_OK || ff.loadFile(file.path.c_str()).bad()) {
        *why = std::string(found == TIER_UNAVAILABLE ? "the object tier cannot give "
                           : found == TIER_DAMAGED   ? "damaged (not the bytes stored): "
                                                     : "cannot read ") +
               path.c_str();
        return -1;
    }
    DcmDataset *ds = ff.getDataset();
    E_TransferSyntax xfer = ds->getOriginalXfer();
    bool utf8 = false;
    for (const auto &v : plan.values)
        utf8 = utf8 || !isAscii(v.second);
    // A value in another character repertoire than the image's: the
    // image's text is converted to UTF-8 first.
    if (utf8 && valueOf(ds, DCM_SpecificCharacterSet) != "ISO_IR 192" &&
        ds->convertToUTF8().bad()) {
        *why = std::string("cannot convert ") + path.c_str() + " to UTF-8";
        return -1;
    }
    for (const auto &v : plan.values)
        if (ds->putAndInsertString(v.first, v.second.c_str()).bad()) {
            *why = "cannot set " + tagName(v.first);
            return -1;
        }
    ds->putAndInsertString(DCM_StudyInstanceUID, im.ns.c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, im.nr.c_str());
    ds->putAndInsertString(DCM_SOPInstanceUID, im.ni.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    if (fd < 0 || store->WriteImageFile(ds, fd, tmp.c_str(), xfer, sum) != LS_OK) {
        *why = "cannot write " + tmp + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// The made change's steps after its commit, each done or redone: every
// new file placed under its name, indexed, its checksum recorded, and the
// old image of a moved one removed (a delete with its own intent). sums
// (empty: after a crash) are what writeNewFile gave; else each file's is
// computed again. Each placed file's head is read for its index records
// (not kept from the write: memory stays one image's, whatever the
// scope). The number of images that failed a step.
static size_t placeAll(LocalStore *store, index_transaction *t, const std::string &uidDir,
                       const std::string &id, const std::vector<planImage> &images,
                       const std::vector<checksums_record> &sums)
{
    FILE *log = store->getLogfile();
    size_t failed = 0;
    for (size_t n = 0; n < images.size(); n++) {
        const planImage &im = images[n];
        std::string tmp = tempName(uidDir, id, n);
        OFString target = store->GetUidPath(im.ns.c_str(), im.nr.c_str(), im.ni.c_str(), 1);
        // A crash after the rename leaves no temporary file: placed already.
        if (access(tmp.c_str(), F_OK) == 0 &&
            (store->CreateUidPath(im.ns.c_str(), im.nr.c_str()) != LS_OK ||
             rename(tmp.c_str(), target.c_str()) != 0)) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot place %s: %s\n", target.c_str(),
                      strerror(errno));
            failed++;
            continue;
        }
        DcmFileFormat ff;
        if (!readHead(store, im.ns, im.nr, im.ni, &ff)) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot read %s.\n", target.c_str());
            failed++;
            continue;
        }
        DcmDataset *head = ff.getDataset();
        int r = im.moved() ? INDEX_MISSING : store->index().change(t, head);
        if (r == INDEX_MISSING)
            r = store->index().add(t, head, INDEX_ADD_REPLACE);
        checksums_record sum;
        if (n < sums.size())
            sum = sums[n];
        else if (checksums_computePath(target.c_str(), &sum) != 0)
            r = INDEX_FAILED;
        OFString seriesDir = store->GetUidPath(im.ns.c_str(), im.nr.c_str(), nullptr, 1);
        if (r != INDEX_OK || checksums_append(seriesDir.c_str(), im.ni, sum, log) != 0) {
            failed++;
            continue;
        }
        store->noteChanged(OFString(checksums_path(seriesDir.c_str()).c_str()), 0);
        // The image was in the object tier: the new local file stands beside
        // its old stub (the file wins); the old object, stub and head go.
        if (!im.moved() &&
            (access((std::string(target.c_str()) + TIER_STUB_SUFFIX).c_str(), F_OK) == 0 ||
             access((std::string(target.c_str()) + TIER_HEAD_SUFFIX).c_str(), F_OK) == 0) &&
            tier_forgetImage(store->getTier(), target.c_str(), log) != 0) {
            failed++;
            continue;
        }
        if (im.moved() && store->index().removeIn(t, im.os.c_str(), im.orr.c_str(),
                                                  im.oi.c_str()) == INDEX_FAILED)
            failed++;
    }
    return failed;
}

static void announce(const archive_context *ctx, const std::string &id, const char *kind,
                     const std::vector<std::string> &studies)
{
    for (const std::string &s : studies)
        archive_noteActivity(ctx, s, "changed");
    if (ctx->monitorSock == nullptr || *ctx->monitorSock < 0)
        return;
    std::string text = MONITORMSG_KEYWORD " CHANGED " + id + " " + kind;
    for (const std::string &s : studies) {
        if (text.size() + 1 + s.size() >= MULTICAST_MSGSIZE - 64)
            break;
        text += " " + s;
    }
    multicast_send(*ctx->monitorSock, text.c_str());
}

// The changed images queued for the forwarding rules again, as if stored
// now (forward_noteStored: a rule's destination gets them again).
static void forwardAgain(const archive_context *ctx, const std::vector<planImage> &images)
{
    if (ctx->forwardRules == nullptr)
        return;
    // A node of a cluster queues them in the cluster's database.
    clusterdb *db = archive_clusterDb(ctx);
    for (const planImage &im : images) {
        DcmFileFormat ff;
        if (!readHead(ctx->store, im.ns, im.nr, im.ni, &ff))
            continue;
        if (db != nullptr)
            forwarddb(db, archive_clusterConfig(ctx), ctx->store->getLogfile())
                .noteStored(ctx->forwardRules, ff.getDataset(), nullptr, im.ns.c_str(),
                            im.nr.c_str(), im.ni.c_str());
        else
            forward_noteStored(ctx->store->getBaseDir(), ctx->forwardRules, ff.getDataset(),
                               nullptr, im.ns.c_str(), im.nr.c_str(), im.ni.c_str(),
                               ctx->store->getLogfile());
    }
}

// The change on the audit trail: one message per study it left images in,
// naming the patient those now belong to (read from a changed image): a
// Patient Record for a change of a patient (a merge, a patient's modify),
// else Instances Accessed with action U.
static void auditChange(const archive_context *ctx, const char *kind, const std::string &scope,
                        const change_origin &origin, const std::vector<planImage> &images,
                        const change_result &res)
{
    if (ctx->audit == nullptr)
        return;
    audit_participant by;
    by.userId = origin.user.empty() ? "storeindex" : origin.user;
    by.address = origin.from;
    bool patient = strcmp(kind, "merge") == 0 || scope.compare(0, 8, "patient ") == 0;
    int outcome = res.status == CHANGE_DONE ? AUDIT_SUCCESS : AUDIT_MINOR_FAILURE;
    std::set<std::string> seen;
    for (const planImage &im : images) {
        if (!seen.insert(im.ns).second)
            continue;
        DcmFileFormat ff;
        std::string id, name;
        if (readHead(ctx->store, im.ns, im.nr, im.ni, &ff)) {
            const char *v;
            if ((v = dicomnet_getTagString(ff.getDataset(), DCM_PatientID)) != nullptr)
                id = v;
            if ((v = dicomnet_getTagString(ff.getDataset(), DCM_PatientName)) != nullptr)
                name = v;
        }
        audit_change(ctx->audit, patient, 'U', by, im.ns, id, name, outcome, res.message);
    }
}

static std::string makeId()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char text[64];
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return std::string(text) + "-" + std::to_string(process_pid()) + "-" +
           std::to_string(ts.tv_nsec / 1000);
}

static int done(change_result *res, int status, const std::string &message)
{
    res->status = status;
    res->message = message;
    return status;
}

typedef std::function<int(changePlan *, std::string *)> planBuilder;

// Makes the change that build plans: build runs once to learn the studies
// to lock, and again under their locks (what it then finds is what
// changes; when the scope took in another study meanwhile, the locks are
// taken anew).
static int runChange(const archive_context *ctx, const char *kind, const std::string &scope,
                     const planBuilder &build, const change_origin &origin, change_result *res)
{
    LocalStore *store = ctx->store;
    FILE *log = store->getLogfile();
    store->index().refresh();
    changePlan plan;
    std::string why;
    int r = build(&plan, &why);
    if (r != 0)
        return done(res, r, why);
    index_transaction *t = nullptr;
    for (int attempt = 0;; attempt++) {
        t = store->index().beginStudies(plan.studies);
        if (t == nullptr)
            return done(res, CHANGE_FAILED, "cannot lock the studies of the change");
        store->index().refresh();
        changePlan locked;
        r = build(&locked, &why);
        if (r != 0) {
            store->index().commit(t);
            return done(res, r, why);
        }
        bool covered = true;
        for (const std::string &s : locked.studies)
            covered = covered &&
                      std::find(plan.studies.begin(), plan.studies.end(), s) != plan.studies.end();
        plan = std::move(locked);
        if (covered)
            break;
        store->index().commit(t);
        if (attempt == 4)
            return done(res, CHANGE_FAILED, "the scope kept changing while it was locked");
    }
    if (plan.images.empty()) {
        store->index().commit(t);
        return done(res, CHANGE_NOT_FOUND, "no stored image in the scope");
    }
    // An image moved to the object tier has its stub here, not its file:
    // it is fetched (verified against its stub), rewritten as a local
    // file, its object and stub forgotten, and moved out again after the
    // change. Without the tier's settings it cannot be fetched: refused.
    std::vector<bool> tiered(plan.images.size(), false);
    for (size_t n = 0; n < plan.images.size(); n++) {
        const planImage &im = plan.images[n];
        OFString path = store->GetUidPath(im.os.c_str(), im.orr.c_str(), im.oi.c_str(), 1);
        if (access(path.c_str(), F_OK) == 0)
            continue;
        tiered[n] = access((std::string(path.c_str()) + TIER_STUB_SUFFIX).c_str(), F_OK) == 0;
        if (!tiered[n] || store->getTier() == nullptr) {
            store->index().commit(t);
            return done(res, CHANGE_REFUSED,
                        std::string(tiered[n] ? "an image of the scope is in the object tier, "
                                                "whose settings (ObjectTier) are not found here: "
                                              : "an image of the scope has no file: ") +
                            path.c_str());
        }
    }
    noteOldValues(store, &plan);
    std::string id = makeId();
    std::string line = logLine(id, kind, scope, origin, plan);
    std::string uidDir = store->GetUidPath(nullptr, nullptr, nullptr, 1).c_str();
    int intent = writeIntent(store, uidDir, id, intentText(line, plan));
    if (intent < 0) {
        store->index().commit(t);
        return done(res, CHANGE_FAILED, "cannot write the change's intent");
    }
    std::string intentPath = uidDir + "/" CHANGE_PREFIX + id + ".intent";
    std::string commitPath = uidDir + "/" CHANGE_PREFIX + id + ".commit";
    // Step 1: the new files beside the intent. A crash here leaves the
    // intent and some of them: the next start removes them (wholly old).
    std::vector<checksums_record> sums(plan.images.size());
    size_t written = 0;
    for (; written < plan.images.size(); written++)
        if (writeNewFile(store, plan, plan.images[written], tempName(uidDir, id, written),
                         &sums[written], &why) != 0)
            break;
    // Step 2: flushed, then the commit (the intent renamed). A crash before
    // the rename: wholly old; after it: the next start places them all.
    if (written < plan.images.size() || syncAll(uidDir) != 0 ||
        rename(intentPath.c_str(), commitPath.c_str()) != 0 || fsyncDir(uidDir) != 0) {
        if (written == plan.images.size())
            why = std::string("cannot flush the new files: ") + strerror(errno);
        for (size_t n = 0; n <= written && n < plan.images.size(); n++)
            unlink(tempName(uidDir, id, n).c_str());
        // Removed whichever name it has now: the change is not made.
        unlink(commitPath.c_str());
        unlink(intentPath.c_str());
        close(intent);
        store->index().commit(t);
        logprintf(LOGLEVEL_ERROR, log, "Change %s not made: %s\n", id.c_str(), why.c_str());
        return done(res, CHANGE_FAILED, why);
    }
    // Step 3: placed, indexed, old files of moved images removed; the log
    // line appended (a crash from here on: the next start does it all
    // again, the line perhaps twice, with the same id); flushed; the
    // intent removed last.
    size_t failed = placeAll(store, t, uidDir, id, plan.images, sums);
    int logged = appendLog(store, line);
    bool flushed = store->SyncWrites() == 0 && syncAll(uidDir) == 0;
    res->id = id;
    res->images = plan.images.size();
    std::set<std::string> after;
    for (const planImage &im : plan.images)
        if (after.insert(im.ns).second)
            res->studies.push_back(im.ns);
    if (failed == 0 && logged == 0 && flushed) {
        unlink(commitPath.c_str());
        fsyncDir(uidDir);
    }
    close(intent);
    // What was in the object tier goes back there (the mover's own steps,
    // each safe against a crash; an image it cannot move stays local, for
    // the mover's next pass), still under the study locks.
    size_t back = 0;
    for (size_t n = 0; n < plan.images.size(); n++) {
        const planImage &im = plan.images[n];
        if (tiered[n] && store->getTier() != nullptr &&
            tier_moveImage(
                *store->getTier(), store->getBaseDir(),
                store->GetUidPath(im.ns.c_str(), im.nr.c_str(), im.ni.c_str(), 1).c_str(),
                log) == TIER_OK)
            back++;
    }
    if (back > 0)
        logprintf(LOGLEVEL_NOTICE, log, "Change %s: %zu image(s) moved back to the object tier.\n",
                  id.c_str(), back);
    store->index().commit(t);
    store->index().refresh();
    announce(ctx, id, kind, res->studies);
    if (readSettings(log).forwardChanged)
        forwardAgain(ctx, plan.images);
    if (failed != 0 || logged != 0 || !flushed)
        done(res, CHANGE_UNFINISHED,
             "made, but " + std::to_string(failed) +
                 " image(s) failed a step; the next start of the store finishes it");
    else
        done(res, CHANGE_DONE,
             std::string(kind) + ": " + std::to_string(res->images) + " image(s) changed");
    auditChange(ctx, kind, scope, origin, plan.images, *res);
    if (res->status == CHANGE_DONE)
        logprintf(LOGLEVEL_NOTICE, log, "Change %s (%s %s): %zu image(s).\n", id.c_str(), kind,
                  escapedField(scope).c_str(), plan.images.size());
    return res->status;
}

// ---- the three changes ----

int archive_modify(const archive_context *ctx, const change_modify &rq, change_result *res)
{
    LocalStore *store = ctx->store;
    changeSettings settings = readSettings(store->getLogfile());
    int level;
    std::string scope;
    if (!rq.series.empty()) {
        if (!plainUid(rq.study) || !plainUid(rq.series) || !rq.patientId.empty())
            return done(res, CHANGE_REFUSED, "a series is named by its study and its series UID");
        level = LEVEL_SERIES;
        scope = "series " + rq.study + " " + rq.series;
    } else if (!rq.study.empty()) {
        if (!plainUid(rq.study) || !rq.patientId.empty())
            return done(res, CHANGE_REFUSED, "a study is named by its UID alone");
        level = LEVEL_STUDY;
        scope = "study " + rq.study;
    } else if (!rq.patientId.empty()) {
        if (!plainKey(rq.patientId) || (!rq.issuer.empty() && !plainKey(rq.issuer)))
            return done(res, CHANGE_REFUSED, "a Patient ID holds no wildcard or backslash");
        level = LEVEL_PATIENT;
        scope = "patient " + rq.patientId + (rq.issuer.empty() ? "" : " " + rq.issuer);
    } else {
        return done(res, CHANGE_REFUSED, "no scope: name a patient, a study or a series");
    }
    std::vector<std::pair<DcmTagKey, std::string>> values;
    std::set<DcmTagKey> seen;
    for (const change_value &v : rq.values) {
        DcmTagKey key;
        std::string why;
        if (!checkValue(v, level, settings, &key, &why))
            return done(res, CHANGE_REFUSED, why);
        if (!seen.insert(key).second)
            return done(res, CHANGE_REFUSED, tagName(key) + " is given twice");
        values.emplace_back(key, v.value);
    }
    if (values.empty() && !rq.newUids)
        return done(res, CHANGE_REFUSED, "nothing to change");
    // New UIDs, made once and kept between the two plans.
    auto uids = std::make_shared<std::map<std::string, std::string>>();
    auto uidFor = [uids](const std::string &old) {
        std::string &u = (*uids)[old];
        if (u.empty())
            u = newUid();
        return u;
    };
    planBuilder build = [&](changePlan *plan, std::string *why) {
        std::vector<std::string> studies;
        if (level == LEVEL_PATIENT) {
            if (studiesOfPatient(store, rq.patientId, rq.issuer, &studies) != 0) {
                *why = "the index cannot be read";
                return (int)CHANGE_FAILED;
            }
        } else {
            studies.push_back(rq.study);
        }
        plan->values = values;
        for (const std::string &study : studies) {
            std::vector<index_image> images;
            if (imagesOf(store, study, rq.series, &images) != 0) {
                *why = "the index cannot be read";
                return (int)CHANGE_FAILED;
            }
            plan->studies.push_back(study);
            for (const index_image &im : images) {
                planImage p{im.study, im.series, im.instance, im.study, im.series, im.instance};
                if (rq.newUids) {
                    // A series changed alone stays in its study.
                    p.ns = level == LEVEL_SERIES ? im.study : uidFor("S" + im.study);
                    p.nr = uidFor("R" + im.series);
                    p.ni = uidFor("I" + im.instance);
                }
                plan->images.push_back(p);
            }
            if (rq.newUids && level != LEVEL_SERIES)
                plan->studies.push_back(uidFor("S" + study));
        }
        if (plan->images.empty()) {
            *why = "no stored image in " + scope;
            return (int)CHANGE_NOT_FOUND;
        }
        return 0;
    };
    return runChange(ctx, "modify", scope, build, rq.origin, res);
}

// The patient attributes of a stored study, as its first image holds them.
static bool patientOf(LocalStore *store, const std::string &study, const DcmTagKey *keys, size_t n,
                      std::vector<std::pair<DcmTagKey, std::string>> *out)
{
    std::vector<index_image> images;
    DcmFileFormat ff;
    if (store->index().studyImages(study.c_str(), &images) != INDEX_OK || images.empty() ||
        !readHead(store, study, images[0].series, images[0].instance, &ff))
        return false;
    for (size_t i = 0; i < n; i++)
        out->emplace_back(keys[i], valueOf(ff.getDataset(), keys[i]));
    return true;
}

int archive_merge(const archive_context *ctx, const change_merge &rq, change_result *res)
{
    LocalStore *store = ctx->store;
    if (!plainKey(rq.fromId) || !plainKey(rq.toId) ||
        (!rq.fromIssuer.empty() && !plainKey(rq.fromIssuer)) ||
        (!rq.toIssuer.empty() && !plainKey(rq.toIssuer)))
        return done(res, CHANGE_REFUSED,
                    "a merge names two patients by their Patient IDs (no wildcard or backslash)");
    if (rq.fromId == rq.toId && rq.fromIssuer == rq.toIssuer)
        return done(res, CHANGE_REFUSED, "a patient cannot be merged into itself");
    std::string scope = "patient " + rq.fromId + (rq.fromIssuer.empty() ? "" : " " + rq.fromIssuer);
    std::string target = rq.toId + (rq.toIssuer.empty() ? "" : " " + rq.toIssuer);
    planBuilder build = [&](changePlan *plan, std::string *why) {
        std::vector<std::string> from, to;
        if (studiesOfPatient(store, rq.fromId, rq.fromIssuer, &from) != 0 ||
            studiesOfPatient(store, rq.toId, rq.toIssuer, &to) != 0) {
            *why = "the index cannot be read";
            return (int)CHANGE_FAILED;
        }
        if (from.empty()) {
            *why = "no stored study of patient " + scope.substr(8);
            return (int)CHANGE_NOT_FOUND;
        }
        if (to.empty()) {
            *why = "no stored study of patient " + target;
            return (int)CHANGE_NOT_FOUND;
        }
        // The target's attributes, read under its locks too.
        plan->studies = from;
        plan->studies.insert(plan->studies.end(), to.begin(), to.end());
        if (!patientOf(store, to[0], patientKeys, sizeof patientKeys / sizeof patientKeys[0],
                       &plan->values)) {
            *why = "cannot read the attributes of patient " + target;
            return (int)CHANGE_FAILED;
        }
        for (const std::string &study : from) {
            std::vector<index_image> images;
            if (imagesOf(store, study, "", &images) != 0) {
                *why = "the index cannot be read";
                return (int)CHANGE_FAILED;
            }
            for (const index_image &im : images)
                plan->images.push_back(
                    {im.study, im.series, im.instance, im.study, im.series, im.instance});
        }
        plan->otherChanges.push_back({"patient", scope.substr(8), target});
        return 0;
    };
    return runChange(ctx, "merge", scope, build, rq.origin, res);
}

int archive_split(const archive_context *ctx, const change_split &rq, change_result *res)
{
    LocalStore *store = ctx->store;
    if (!plainUid(rq.study) || (!rq.toStudy.empty() && !plainUid(rq.toStudy)) || rq.series.empty())
        return done(res, CHANGE_REFUSED, "a split names a study and one or more of its series");
    for (const std::string &s : rq.series)
        if (!plainUid(s))
            return done(res, CHANGE_REFUSED, "a series is named by its UID");
    if (rq.toStudy == rq.study)
        return done(res, CHANGE_REFUSED, "the series are in that study already");
    std::string newStudy = rq.toStudy.empty() ? newUid() : rq.toStudy;
    std::string scope = "study " + rq.study + " series";
    for (const std::string &s : rq.series)
        scope += " " + s;
    planBuilder build = [&](changePlan *plan, std::string *why) {
        std::vector<index_image> images;
        if (imagesOf(store, rq.study, "", &images) != 0) {
            *why = "the index cannot be read";
            return (int)CHANGE_FAILED;
        }
        std::set<std::string> found;
        for (const index_image &im : images)
            if (std::find(rq.series.begin(), rq.series.end(), im.series) != rq.series.end()) {
                found.insert(im.series);
                plan->images.push_back(
                    {im.study, im.series, im.instance, newStudy, im.series, im.instance});
            }
        for (const std::string &s : rq.series)
            if (found.count(s) == 0) {
                *why = "series " + s + " is not stored in study " + rq.study;
                return (int)CHANGE_NOT_FOUND;
            }
        plan->studies = {rq.study, newStudy};
        if (!rq.toStudy.empty()) {
            std::vector<index_image> there;
            if (imagesOf(store, rq.toStudy, "", &there) != 0) {
                *why = "the index cannot be read";
                return (int)CHANGE_FAILED;
            }
            if (there.empty()) {
                *why = "no stored study " + rq.toStudy;
                return (int)CHANGE_NOT_FOUND;
            }
            for (const index_image &im : there)
                if (found.count(im.series) != 0) {
                    *why = "series " + im.series + " is in study " + rq.toStudy + " already";
                    return (int)CHANGE_REFUSED;
                }
            if (!patientOf(store, rq.toStudy, patientKeys,
                           sizeof patientKeys / sizeof patientKeys[0], &plan->values) ||
                !patientOf(store, rq.toStudy, studyKeys, sizeof studyKeys / sizeof studyKeys[0],
                           &plan->values)) {
                *why = "cannot read the attributes of study " + rq.toStudy;
                return (int)CHANGE_FAILED;
            }
        }
        plan->otherChanges.push_back({"StudyInstanceUID", rq.study, newStudy});
        return 0;
    };
    return runChange(ctx, "split", scope, build, rq.origin, res);
}

// ---- what a crash left ----

static bool endsWith(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The id of a name CHANGE.ID.* (without directory), or "".
static std::string idOf(const std::string &name)
{
    if (name.compare(0, strlen(CHANGE_PREFIX), CHANGE_PREFIX) != 0)
        return "";
    size_t start = strlen(CHANGE_PREFIX);
    size_t dot = name.find('.', start);
    return dot == std::string::npos ? "" : name.substr(start, dot - start);
}

// Reads an intent: false when it is not whole (never renamed into place
// torn: then damaged, left alone and logged).
static bool readIntent(int fd, std::string *line, std::vector<planImage> *images)
{
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    if (n < 0 || text.size() < 4 || text.compare(text.size() - 4, 4, "end\n") != 0)
        return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string l = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (l.compare(0, 4, "log ") == 0) {
            std::vector<char> out(l.size() + 1);
            const char *cursor = l.c_str() + 4;
            if (parse_getstring(&cursor, out.data(), out.size(), 0) != 0)
                return false;
            *line = std::string(out.data()) + "\n";
        } else if (l.compare(0, 6, "image ") == 0) {
            char f[7][65];
            size_t k;
            if (sscanf(l.c_str(), "image %zu %64s %64s %64s %64s %64s %64s", &k, f[0], f[1], f[2],
                       f[3], f[4], f[5]) != 7 ||
                k != images->size())
                return false;
            images->push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
        }
    }
    return !line->empty();
}

int archive_finishChanges(const archive_context *ctx)
{
    LocalStore *store = ctx->store;
    FILE *log = store->getLogfile();
    std::string uidDir = store->GetUidPath(nullptr, nullptr, nullptr, 1).c_str();
    DIR *d = opendir(uidDir.c_str());
    if (d == nullptr) {
        if (errno == ENOENT)
            return 0;
        logprintf(LOGLEVEL_ERROR, log, "Cannot list %s: %s\n", uidDir.c_str(), strerror(errno));
        return -1;
    }
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d))
        if (!idOf(de->d_name).empty())
            names.push_back(de->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    std::set<std::string> live, settled;
    int count = 0;
    // The intents first: a live change's (locked) is left with its files.
    for (const std::string &name : names) {
        bool intent = endsWith(name, ".intent");
        bool commit = endsWith(name, ".commit");
        bool intentTmp = endsWith(name, ".intent.tmp");
        if (!intent && !commit && !intentTmp)
            continue;
        std::string id = idOf(name), path = uidDir + "/" + name;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            live.insert(id);
            close(fd);
            continue;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_nlink == 0) {
            // Ended by its process between the listing and the lock.
            close(fd);
            live.insert(id);
            continue;
        }
        if (intentTmp || intent) {
            // Not committed: the change was not made (the temporary files
            // of its images go below).
            logprintf(LOGLEVEL_NOTICE, log, "Rolling back change %s: it was not made.\n",
                      id.c_str());
            settled.insert(id);
            count++;
            // Its files first, the intent last: a crash in between repeats this.
            for (const std::string &other : names)
                if (idOf(other) == id && other != name && endsWith(other, ".tmp"))
                    unlink((uidDir + "/" + other).c_str());
            unlink(path.c_str());
            close(fd);
            continue;
        }
        std::string line;
        std::vector<planImage> images;
        if (!readIntent(fd, &line, &images)) {
            logprintf(LOGLEVEL_ERROR, log, "Cannot read %s: the change stays unfinished.\n",
                      path.c_str());
            live.insert(id);
            close(fd);
            continue;
        }
        logprintf(LOGLEVEL_NOTICE, log, "Finishing change %s (%zu image(s)).\n", id.c_str(),
                  images.size());
        std::vector<std::string> studies;
        for (const planImage &im : images) {
            studies.push_back(im.os);
            studies.push_back(im.ns);
        }
        std::sort(studies.begin(), studies.end());
        studies.erase(std::unique(studies.begin(), studies.end()), studies.end());
        index_transaction *t = store->index().beginStudies(studies);
        if (t == nullptr) {
            live.insert(id);
            close(fd);
            continue;
        }
        size_t failed = placeAll(store, t, uidDir, id, images, {});
        int logged = appendLog(store, line);
        bool flushed = store->SyncWrites() == 0 && syncAll(uidDir) == 0;
        if (failed == 0 && logged == 0 && flushed) {
            unlink(path.c_str());
            fsyncDir(uidDir);
            settled.insert(id);
            count++;
        } else {
            logprintf(LOGLEVEL_ERROR, log, "Change %s: %zu image(s) not finished.\n", id.c_str(),
                      failed);
            live.insert(id);
        }
        store->index().commit(t);
        close(fd);
    }
    // Files of a change whose intent is gone (or was never renamed into
    // place): nothing names them.
    for (const std::string &name : names) {
        std::string id = idOf(name);
        if (live.count(id) != 0 || !endsWith(name, ".tmp") || endsWith(name, ".intent.tmp"))
            continue;
        bool named = false;
        for (const std::string &other : names)
            named = named || (idOf(other) == id &&
                              (endsWith(other, ".intent") || endsWith(other, ".commit")));
        if (!named || settled.count(id) != 0)
            unlink((uidDir + "/" + name).c_str());
    }
    if (count > 0)
        store->index().refresh();
    return count;
}

// ---- the log ----

int archive_changeLog(const archive_context *ctx, const std::string &patient,
                      const std::string &study,
                      std::vector<std::vector<std::pair<std::string, std::string>>> *entries)
{
    entries->clear();
    std::string path = std::string(ctx->store->getBaseDir()) + "/" CHANGE_LOG_FILE;
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr)
        return errno == ENOENT ? 0 : -1;
    std::set<std::string> ids;
    char *text = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&text, &cap, f)) > 0) {
        if (text[n - 1] != '\n')
            break; // a torn last line
        std::vector<std::pair<std::string, std::string>> fields;
        std::vector<char> out((size_t)n + 1);
        const char *cursor = text;
        while (parse_getstring(&cursor, out.data(), out.size(), 0) == 0) {
            std::string field = out.data();
            size_t eq = field.find('=');
            if (eq != std::string::npos)
                fields.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        }
        if (fields.empty() || fields[0].first != "id" || !ids.insert(fields[0].second).second)
            continue; // a line a finished change wrote twice
        bool wanted = patient.empty() && study.empty();
        for (const auto &f2 : fields) {
            if (!patient.empty() && f2.first == "patients") {
                std::string list = "," + f2.second + ",";
                wanted = wanted || list.find("," + patient + ",") != std::string::npos;
            }
            if (!study.empty() && f2.first == "studies") {
                std::string list = "," + f2.second + ",";
                wanted = wanted || list.find("," + study + ",") != std::string::npos;
            }
        }
        if (wanted)
            entries->push_back(std::move(fields));
    }
    free(text);
    fclose(f);
    return 0;
}
