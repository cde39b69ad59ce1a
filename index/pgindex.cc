// The PostgreSQL backend of the index interface (index/pgindex.h): the
// connection and its statements, the schema and its migrations, the
// records of an image as rows, transactions replayed after a retryable
// failure, and the cursors of find, which narrow the rows in SQL only where
// the narrowing is exact and leave every decision to the key matcher
// (index/querymatch.h, index/keymatch.h).
#include "index/pgindex.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcelem.h"
#include "dcmtk/dcmdata/dcvr.h"
#include "dcmtk/dcmdata/dcxfer.h"

#include "dicomnet/dicomnet.h"
#include "index/keymatch.h"
#include "index/querymatch.h"
#include "index/retrievelist.h"
#include "index/studyindex.h"
#include "index/uidtree.h"
#include "runtime/logprintf.h"
#include "runtime/textfield.h"

// Matches fetched per statement of a cursor: a bounded batch in memory, no
// transaction held between two calls.
enum { PG_BATCH = 500 };
// Replays of one transaction after serialization failures, deadlocks or a
// lost connection before it gives up.
enum { PG_RETRIES = 20 };
// How long a call waits for a server that refuses connections (restarting,
// failing over) before it fails with INDEX_FAILED, by default: long enough
// for a restart or a promotion, short of a peer's DIMSE timeout, so a
// C-STORE is refused rather than left hanging.
enum { PG_PATIENCE_MS = 15000 };
// Longest value kept in an image's attrs column: longer ones (rare texts)
// are answered empty.
enum { PG_ATTR_MAX = 8192 };

// --- small helpers ---

static bool hasHighByte(const std::string &s)
{
    for (unsigned char c : s)
        if (c >= 0x80 || c == 0x1b)
            return true;
    return false;
}

// The value as the key matcher compares it: leading spaces and trailing
// spaces and NULs dropped.
static std::string trimmed(const std::string &v)
{
    size_t a = 0, n = v.size();
    while (a < n && v[a] == ' ')
        a++;
    while (n > a && (v[n - 1] == ' ' || v[n - 1] == '\0'))
        n--;
    return v.substr(a, n - a);
}

// Bytes of ISO 8859-1 as UTF-8: what a value that no conversion decodes is
// kept as (the database takes valid UTF-8 only).
static std::string latin1ToUtf8(const std::string &v)
{
    std::string out;
    for (unsigned char c : v) {
        if (c < 0x80) {
            out += (char)c;
        } else {
            out += (char)(0xc0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3f));
        }
    }
    return out;
}

static bool validUtf8(const std::string &s)
{
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        for (size_t k = 1; k < len; k++)
            if (((unsigned char)s[i + k] >> 6) != 2)
                return false;
        i += len;
    }
    return true;
}

// A value of a data set in UTF-8 (from its Specific Character Set scs, may
// be null), trimmed.
static std::string toUtf8(const std::string &value, const char *scs, bool personName)
{
    std::string v = trimmed(value);
    if (!hasHighByte(v))
        return v;
    const char *u = dicomnet_convertSCS(v.c_str(), scs ? scs : "ISO_IR 100", personName, "UTF-8");
    std::string out = u ? std::string(u) : v;
    return validUtf8(out) ? out : latin1ToUtf8(v);
}

// text with the ASCII letters folded to lower case, nothing else: the
// fold that keymatch_asciiFoldSpan vouches for.
static std::string asciiFolded(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

// A JSON string literal of a UTF-8 text.
static void jsonString(std::string *out, const std::string &s)
{
    *out += '"';
    for (unsigned char c : s) {
        // A NUL inside a value (the toolkit keeps what a peer sent) is the
        // one character jsonb refuses: left out, not the whole image.
        if (c == 0)
            continue;
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += (char)c;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            *out += buf;
        } else {
            *out += (char)c;
        }
    }
    *out += '"';
}

// The attrs key of a tag: eight hex digits.
static std::string tagName(const DcmTagKey &tag)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%04x%04x", tag.getGroup(), tag.getElement());
    return buf;
}

static std::string elementText(DcmDataset *ds, const DcmTagKey &tag, bool *present)
{
    DcmElement *e = dicomnet_findElement(ds, tag);
    OFString v;
    *present = e != nullptr;
    if (e == nullptr || e->getOFStringArray(v).bad())
        return std::string();
    return std::string(v.c_str(), v.length());
}

// --- the columns ---

// The study keys (querymatch_isStudyKey) as columns of velto_studies, in
// the order a study match answers them; offset: the key's field in the
// file backend's study record, by which querymatch_compileStudy names it.
struct pgStudyColumn {
    DcmTagKey tag;
    size_t offset;
    const char *column;
    int convert; // 0 as given, 1 converted, 2 converted as a person name
};
#define PG_STUDY(tag, member, column, convert)                                                     \
    {                                                                                              \
        tag, offsetof(studydata, member), column, convert                                          \
    }
static const pgStudyColumn studyColumns[] = {
    PG_STUDY(DCM_StudyInstanceUID, studyInstanceUid, "study_uid", 0),
    PG_STUDY(DCM_PatientName, patientName, "patient_name", 2),
    PG_STUDY(DCM_PatientID, patientId, "patient_id", 1),
    PG_STUDY(DCM_PatientBirthDate, birthDate, "birth_date", 0),
    PG_STUDY(DCM_PatientSex, patientSex, "patient_sex", 0),
    PG_STUDY(DCM_StudyDate, studyDate, "study_date", 0),
    PG_STUDY(DCM_StudyTime, studyTime, "study_time", 0),
    PG_STUDY(DCM_StudyDescription, studyDescription, "study_description", 1),
    PG_STUDY(DCM_StudyID, studyId, "study_id", 1),
    PG_STUDY(DCM_AccessionNumber, accessionNumber, "accession_number", 1),
    PG_STUDY(DCM_ReferringPhysicianName, referringPhysician, "referring_physician", 2),
    PG_STUDY(DCM_ReferringPhysicianAddress, referringPhysicianAddress,
             "referring_physician_address", 1),
    PG_STUDY(DCM_ClinicalTrialSponsorName, clinicalTrialSponsorName, "ct_sponsor", 1),
    PG_STUDY(DCM_ClinicalTrialProtocolName, clinicalTrialProtocolName, "ct_protocol", 1),
    PG_STUDY(DCM_ClinicalTrialSiteName, clinicalTrialSiteName, "ct_site", 1),
};
enum { PG_STUDY_COLUMNS = sizeof studyColumns / sizeof studyColumns[0] };

// The series record's keys (index_seriesRecordKeys) but its two UIDs, and
// the image record's (index_imageRecordKeys) but its three.
struct pgColumn {
    DcmTagKey tag;
    const char *column;
};
static const pgColumn seriesColumns[] = {
    {DCM_SeriesDescription, "series_description"},
    {DCM_ProtocolName, "protocol_name"},
    {DCM_SeriesDate, "series_date"},
    {DCM_SeriesTime, "series_time"},
    {DCM_SeriesNumber, "series_number"},
    {DCM_BodyPartExamined, "body_part_examined"},
    {DCM_PatientPosition, "patient_position"},
    {DCM_Modality, "modality"},
};
static const pgColumn imageColumns[] = {
    {DCM_ImageType, "image_type"},
    {DCM_ImageComments, "image_comments"},
    {DCM_PatientOrientation, "patient_orientation"},
    {DCM_SliceLocation, "slice_location"},
    {DCM_ImagePositionPatient, "image_position"},
    {DCM_ImageOrientationPatient, "image_orientation"},
    {DCM_AcquisitionNumber, "acquisition_number"},
    {DCM_InstanceNumber, "instance_number"},
    {DCM_ImagesInAcquisition, "images_in_acquisition"},
    {DCM_AcquisitionDate, "acquisition_date"},
    {DCM_AcquisitionTime, "acquisition_time"},
};
enum {
    PG_SERIES_COLUMNS = sizeof seriesColumns / sizeof seriesColumns[0],
    PG_IMAGE_COLUMNS = sizeof imageColumns / sizeof imageColumns[0],
};

// --- the schema ---

// Each migration, in order; migration i takes the schema to version i + 1.
// Only additive steps: a node running older code keeps working while and
// after a newer one migrates.
static const char *const migrations[] = {
    // 1: the four tables.
    "CREATE SEQUENCE velto_generation;"
    "CREATE TABLE velto_patients ("
    " id bigserial PRIMARY KEY,"
    " archive text NOT NULL,"
    " patient_key text NOT NULL,"
    " UNIQUE (archive, patient_key));"
    "CREATE TABLE velto_studies ("
    " id bigserial PRIMARY KEY,"
    " archive text NOT NULL,"
    " study_uid text COLLATE \"C\" NOT NULL,"
    " patient bigint NOT NULL REFERENCES velto_patients (id),"
    " patient_name text, patient_id text COLLATE \"C\", birth_date text, patient_sex text,"
    " study_date text, study_time text, study_description text, study_id text COLLATE \"C\","
    " accession_number text COLLATE \"C\", referring_physician text,"
    " referring_physician_address text, ct_sponsor text, ct_protocol text, ct_site text,"
    " study_date_norm text COLLATE \"C\", birth_date_norm text COLLATE \"C\","
    " patient_name_fold text COLLATE \"C\","
    " changed timestamptz NOT NULL DEFAULT now(),"
    " UNIQUE (archive, study_uid));"
    "CREATE INDEX velto_studies_patient_id ON velto_studies (archive, patient_id);"
    "CREATE INDEX velto_studies_accession ON velto_studies (archive, accession_number);"
    "CREATE INDEX velto_studies_date ON velto_studies (archive, study_date_norm);"
    "CREATE INDEX velto_studies_name ON velto_studies (archive, patient_name_fold);"
    // Values that the narrowing always passes (several values, several
    // component groups) marked by generated columns, whose statistics tell
    // the planner how few they are, and indexed alone: the narrowing's OR
    // then stays a scan of two indexes.
    "ALTER TABLE velto_studies"
    " ADD COLUMN patient_id_multi boolean GENERATED ALWAYS AS (strpos(patient_id, '\\') > 0) "
    "STORED,"
    " ADD COLUMN accession_multi boolean"
    " GENERATED ALWAYS AS (strpos(accession_number, '\\') > 0) STORED,"
    " ADD COLUMN study_id_multi boolean GENERATED ALWAYS AS (strpos(study_id, '\\') > 0) STORED,"
    " ADD COLUMN name_groups boolean GENERATED ALWAYS AS (strpos(patient_name, '=') > 0) STORED;"
    "CREATE INDEX velto_studies_id_multi ON velto_studies (archive) WHERE patient_id_multi;"
    "CREATE INDEX velto_studies_accession_multi ON velto_studies (archive) WHERE accession_multi;"
    "CREATE INDEX velto_studies_study_id_multi ON velto_studies (archive) WHERE study_id_multi;"
    "CREATE INDEX velto_studies_name_groups ON velto_studies (archive) WHERE name_groups;"
    "CREATE INDEX velto_studies_patient ON velto_studies (patient);"
    "CREATE TABLE velto_series ("
    " id bigserial PRIMARY KEY,"
    " study bigint NOT NULL REFERENCES velto_studies (id) ON DELETE CASCADE,"
    " series_uid text COLLATE \"C\" NOT NULL,"
    " series_description text, protocol_name text, series_date text, series_time text,"
    " series_number text, body_part_examined text, patient_position text, modality text,"
    " UNIQUE (study, series_uid));"
    "CREATE TABLE velto_instances ("
    " id bigserial PRIMARY KEY,"
    " archive text NOT NULL,"
    " series bigint NOT NULL REFERENCES velto_series (id) ON DELETE CASCADE,"
    " sop_uid text COLLATE \"C\" NOT NULL,"
    " image_type text, image_comments text, patient_orientation text, slice_location text,"
    " image_position text, image_orientation text, acquisition_number text,"
    " instance_number text, images_in_acquisition text, acquisition_date text,"
    " acquisition_time text,"
    " attrs jsonb NOT NULL,"
    " syntax text, size bigint, checksum text,"
    " location text NOT NULL DEFAULT 'local' CHECK (location IN ('local', 'tier')),"
    " gen bigint NOT NULL DEFAULT nextval('velto_generation'),"
    " UNIQUE (archive, sop_uid));"
    "CREATE INDEX velto_instances_series ON velto_instances (series);",
};
static_assert(sizeof migrations / sizeof migrations[0] == PGINDEX_SCHEMA_VERSION,
              "one migration per schema version");

// The advisory lock under which the schema is made or migrated: one
// process at a time, the others wait and find it done.
static const char schemaLock[] = "7310254316549";

// --- the connection ---

// A statement's parameters: texts, or null (SQL NULL).
struct pgParams {
    std::vector<std::string> values;
    std::vector<bool> nulls;
    pgParams &operator<<(const std::string &v)
    {
        values.push_back(v);
        nulls.push_back(false);
        return *this;
    }
    pgParams &null()
    {
        values.emplace_back();
        nulls.push_back(true);
        return *this;
    }
};

struct pgResult {
    PGresult *r = nullptr;
    pgResult() = default;
    pgResult(pgResult &&o) noexcept : r(o.r) { o.r = nullptr; }
    pgResult(const pgResult &) = delete;
    pgResult &operator=(const pgResult &) = delete;
    ~pgResult() { PQclear(r); }
    int rows() const { return PQntuples(r); }
    std::string at(int row, int col) const { return PQgetvalue(r, row, col); }
    bool isNull(int row, int col) const { return PQgetisnull(r, row, col) != 0; }
};

// Results of a statement.
enum {
    PG_OK = 0,
    PG_RETRY = 1, // serialization failure, deadlock, a row that went meanwhile, a lost connection
    PG_FAIL = -1, // logged
};

struct pgindex::impl {
    std::string conninfo;
    std::string archive;
    std::string sessionName;
    FILE *log;
    PGconn *conn = nullptr;
    std::mutex mu;
    long long generation = -1; // velto_generation's value at the last refresh
    bool inTransaction = false;
    long patienceMs = PG_PATIENCE_MS;
    // When the last wait for the server ran out (CLOCK_MONOTONIC ms, 0
    // none): a call soon after tries once instead of waiting again, so a
    // database that stays down costs each caller one wait, not one per
    // statement.
    long long gaveUpMs = 0;
    // The open transaction's id (txid_current) and its session's pid, read
    // with its lock: after a COMMIT whose answer was lost, what the server
    // did is asked by them (txid_status).
    std::string txid, backendPid;
    // The statements prepared on conn (runAll): SQL text to name.
    std::unordered_map<std::string, std::string> prepared;
};

// An image's records as rows: what add and change write (and a replay
// writes again).
struct pgRecord {
    std::string study, series, instance;
    std::string patientKey;
    std::string studyValues[PG_STUDY_COLUMNS];
    bool studyPresent[PG_STUDY_COLUMNS];
    std::string studyDateNorm, birthDateNorm;
    std::string nameFold; // Patient's Name with ASCII letters folded
    bool studyDatePresent = false, birthDatePresent = false;
    std::string seriesValues[PG_SERIES_COLUMNS];
    std::string imageValues[PG_IMAGE_COLUMNS];
    std::string attrs;
    std::string syntax;
    // The file's, when the caller knew it (addFile): size 0 and no
    // checksum otherwise, written as NULL.
    index_file file;
};

// What a transaction changed so far, replayed after a retryable failure.
struct pgOp {
    bool change;         // change (INDEX_MISSING when not indexed) or add
    bool remove = false; // the image rec names taken out (removeIn)
    bool unique = false; // an add of a new image: PG_EXISTS when its UID is indexed
    pgRecord rec;
};

struct pgTransaction : index_transaction {
    std::string study;                // the first of studies, for the logs
    std::vector<std::string> studies; // sorted, each once
    std::vector<pgOp> ops;
};

// Whether t began study.
static bool holds(const pgTransaction *t, const char *study)
{
    std::string uid = trimmed(study);
    return std::binary_search(t->studies.begin(), t->studies.end(), uid);
}

static pgTransaction *transactionOf(index_transaction *t)
{
    pgTransaction *p = dynamic_cast<pgTransaction *>(t);
    // A transaction of another backend, or none: a programming error.
    if (p == nullptr)
        ::abort();
    return p;
}

static int migrate(pgindex::impl *p);

// The server's notices and warnings go to the log, not to stderr.
static void notice(void *arg, const char *message)
{
    pgindex::impl *p = (pgindex::impl *)arg;
    logprintf(LOGLEVEL_DEBUG, p->log, "index database: %s\n", logprintf_ascii(message).c_str());
}

static long long monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// One connection attempt with the defaults a node needs under failover,
// each overridden by the site's conninfo when it names it: a bounded
// connect (a host that drops packets must not hold a C-STORE for minutes),
// keepalives (a server that vanished mid-statement is noticed), and only a
// server that takes writes (with several hosts listed, the promoted one;
// a standby is passed over rather than answering 25006 to every write).
static PGconn *connectOnce(const std::string &conninfo, const std::string &name)
{
    // libpq: a later keyword overrides an earlier one, and the expanded
    // dbname (the site's string) comes last.
    const char *keys[] = {"fallback_application_name",
                          "connect_timeout",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "target_session_attrs",
                          "dbname",
                          nullptr};
    const char *values[] = {name.empty() ? "velto" : name.c_str(),
                            "5",
                            "10",
                            "5",
                            "3",
                            "read-write",
                            conninfo.c_str(),
                            nullptr};
    return PQconnectdbParams(keys, values, 1);
}

// Connects when there is no good connection (a server restarted or failed
// over), waiting for a server that refuses connections up to the
// patience: 0, or -1 (logged).
static int connected(pgindex::impl *p)
{
    if (p->conn && PQstatus(p->conn) == CONNECTION_OK)
        return 0;
    if (p->conn) {
        PQfinish(p->conn);
        p->conn = nullptr;
    }
    long long start = monotonicMs();
    bool wait = p->gaveUpMs == 0 || start - p->gaveUpMs > p->patienceMs;
    for (int attempt = 0;; attempt++) {
        p->conn = connectOnce(p->conninfo, p->sessionName);
        if (PQstatus(p->conn) == CONNECTION_OK)
            break;
        long long now = monotonicMs();
        bool more = wait && now - start < p->patienceMs;
        logprintf(more ? LOGLEVEL_WARNING : LOGLEVEL_ERROR, p->log,
                  "index database: cannot connect%s: %s\n", more ? " (waiting)" : "",
                  logprintf_ascii(PQerrorMessage(p->conn)).c_str());
        PQfinish(p->conn);
        p->conn = nullptr;
        if (!more) {
            p->gaveUpMs = now;
            return -1;
        }
        // 100 ms growing to a second: a restart takes about one.
        long ms = std::min(100L + attempt * 150L, 1000L);
        ms = std::min(ms, (long)(p->patienceMs - (now - start)) + 1);
        struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    p->gaveUpMs = 0;
    p->prepared.clear();
    PQsetNoticeProcessor(p->conn, notice, p);
    // Texts are UTF-8 whatever the server's default; the isolation level is
    // the one every transaction here is written for.
    PGresult *r = PQexec(p->conn, "SET client_encoding = 'UTF8';"
                                  "SET default_transaction_isolation = 'read committed';"
                                  "SET client_min_messages = 'warning'");
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    // The node's name as a setting of the session too (velto.node): what
    // the database's own triggers record as this node's (a queued upload
    // names the node whose disk holds the file), whatever application_name
    // the site's connection string gives.
    if (ok && !p->sessionName.empty()) {
        const char *name = p->sessionName.c_str();
        r = PQexecParams(p->conn, "SELECT set_config('velto.node', $1, false)", 1, nullptr, &name,
                         nullptr, nullptr, 0);
        ok = PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
    }
    if (!ok || migrate(p) != 0) {
        logprintf(LOGLEVEL_ERROR, p->log, "index database: cannot set up the session: %s\n",
                  logprintf_ascii(PQerrorMessage(p->conn)).c_str());
        PQfinish(p->conn);
        p->conn = nullptr;
        return -1;
    }
    return 0;
}

// What a failed statement's result r means: PG_RETRY or PG_FAIL (logged).
// A server in trouble has its connection dropped, so that the next try
// connects anew.
static int failure(pgindex::impl *p, const PGresult *r)
{
    if (PQstatus(p->conn) != CONNECTION_OK) {
        logprintf(LOGLEVEL_WARNING, p->log, "index database: connection lost: %s\n",
                  logprintf_ascii(PQerrorMessage(p->conn)).c_str());
        return PG_RETRY;
    }
    const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    state = state ? state : "";
    // Serialization failure, deadlock; a foreign key whose row a compact
    // took away meanwhile (23503) and a unique key that another
    // transaction took between a statement's look and its insert (23505)
    // are gone on a replay that reads afresh.
    if (strcmp(state, "40001") == 0 || strcmp(state, "40P01") == 0 || strcmp(state, "23503") == 0 ||
        strcmp(state, "23505") == 0) {
        logprintf(LOGLEVEL_INFO, p->log, "index database: %s, retried: %s\n", state,
                  logprintf_ascii(PQresultErrorMessage(r)).c_str());
        return PG_RETRY;
    }
    // The server's trouble, not the statement's: a shutdown or a restart
    // under way (57P01-57P03), a connection class error (08), a server that
    // no longer takes writes (25006: a standby, or a primary demoted under
    // a failover). The connection is dropped and the next try connects
    // anew, to whichever server now takes writes.
    // No SQLSTATE at all is libpq's own error: the server closed the socket
    // under a statement being sent (a crash, an immediate stop), and libpq
    // may not have marked the connection bad yet.
    if (*state == '\0' || strncmp(state, "08", 2) == 0 || strncmp(state, "57P0", 4) == 0 ||
        strcmp(state, "25006") == 0) {
        logprintf(LOGLEVEL_WARNING, p->log, "index database: %s, reconnecting: %s\n",
                  *state ? state : "connection lost",
                  logprintf_ascii(PQresultErrorMessage(r)).c_str());
        PQfinish(p->conn);
        p->conn = nullptr;
        return PG_RETRY;
    }
    logprintf(LOGLEVEL_ERROR, p->log, "index database: %s: %s\n", state,
              logprintf_ascii(PQresultErrorMessage(r)).c_str());
    return PG_FAIL;
}

static bool succeeded(const PGresult *r)
{
    ExecStatusType st = PQresultStatus(r);
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

// Runs sql with params: PG_OK with the result in *out (may be null),
// PG_RETRY, or PG_FAIL (logged).
static int run(pgindex::impl *p, const char *sql, const pgParams &params, pgResult *out = nullptr)
{
    std::vector<const char *> values;
    for (size_t i = 0; i < params.values.size(); i++)
        values.push_back(params.nulls[i] ? nullptr : params.values[i].c_str());
    pgResult local;
    pgResult *res = out ? out : &local;
    PQclear(res->r);
    // Without parameters the simple protocol, which also takes several
    // statements at once (a migration).
    res->r = values.empty() ? PQexec(p->conn, sql)
                            : PQexecParams(p->conn, sql, (int)values.size(), nullptr, values.data(),
                                           nullptr, nullptr, 0);
    return succeeded(res->r) ? PG_OK : failure(p, res->r);
}

// The name of sql prepared on the connection, prepared now when it is not
// yet: "" when it cannot be (*status then PG_RETRY or PG_FAIL). Prepared
// statements live as long as their session (a rollback keeps them), so the
// names are forgotten with the connection (connected).
static std::string preparedName(pgindex::impl *p, const std::string &sql, int nParams, int *status)
{
    auto found = p->prepared.find(sql);
    if (found != p->prepared.end())
        return found->second;
    std::string name = "velto_w" + std::to_string(p->prepared.size() + 1);
    PGresult *r = PQprepare(p->conn, name.c_str(), sql.c_str(), nParams, nullptr);
    if (!succeeded(r)) {
        *status = failure(p, r);
        PQclear(r);
        return std::string();
    }
    PQclear(r);
    p->prepared.emplace(sql, name);
    return name;
}

// One statement of a pipeline (runAll).
struct pgStatement {
    std::string sql;
    pgParams params;
};

// Runs the statements prepared, sent together and answered together (one
// round trip, libpq's pipeline mode), in order, inside the transaction the
// connection has open: PG_OK with each one's result in out[i], or the
// first failure's PG_RETRY or PG_FAIL (logged; the statements after it
// were not run). The writes of an image are a handful of statements, each
// depending on the one before only inside the server (a row the next one
// looks up by its key), so that a store waits for the database once, not
// once per statement.
static int runAll(pgindex::impl *p, const std::vector<pgStatement> &stmts,
                  std::vector<pgResult> *out)
{
    int status = PG_OK;
    std::vector<std::string> names;
    for (const pgStatement &st : stmts) {
        names.push_back(preparedName(p, st.sql, (int)st.params.values.size(), &status));
        if (names.back().empty())
            return status;
    }
    out->clear();
    out->resize(stmts.size());
    if (PQenterPipelineMode(p->conn) != 1)
        return failure(p, nullptr);
    size_t sent = 0;
    for (; sent < stmts.size(); sent++) {
        const pgParams &params = stmts[sent].params;
        std::vector<const char *> values;
        for (size_t i = 0; i < params.values.size(); i++)
            values.push_back(params.nulls[i] ? nullptr : params.values[i].c_str());
        if (PQsendQueryPrepared(p->conn, names[sent].c_str(), (int)values.size(), values.data(),
                                nullptr, nullptr, 0) != 1)
            break;
    }
    bool synced = PQpipelineSync(p->conn) == 1;
    // Every result is read (each statement's ends with a null, the sync's
    // closes the pipeline) before the failure is judged: judging may drop
    // the connection.
    PGresult *failed = nullptr;
    bool broken = sent < stmts.size() || !synced;
    for (size_t i = 0; i < sent && !broken; i++) {
        PGresult *r = PQgetResult(p->conn);
        if (r == nullptr) {
            broken = true;
            break;
        }
        if (succeeded(r))
            (*out)[i].r = r;
        else if (PQresultStatus(r) == PGRES_PIPELINE_ABORTED)
            PQclear(r);
        else if (failed == nullptr)
            failed = r;
        else
            PQclear(r);
        PGresult *end = PQgetResult(p->conn);
        if (end != nullptr) {
            PQclear(end);
            broken = true;
        }
    }
    if (!broken) {
        PGresult *sync = PQgetResult(p->conn);
        broken = sync == nullptr || PQresultStatus(sync) != PGRES_PIPELINE_SYNC;
        PQclear(sync);
        broken = broken || PQexitPipelineMode(p->conn) != 1;
    }
    if (broken) {
        // A connection that failed under the pipeline (or answered out of
        // step) is not used again: the transaction is replayed on a new
        // one.
        // (libpq may not have marked a connection the server closed as bad
        // yet: the pipeline's broken answer is the first sign of it.)
        logprintf(LOGLEVEL_WARNING, p->log,
                  "index database: connection lost (or out of step) under a pipeline: %s\n",
                  logprintf_ascii(PQerrorMessage(p->conn)).c_str());
        PQclear(failed);
        PQfinish(p->conn);
        p->conn = nullptr;
        return PG_RETRY;
    }
    if (failed != nullptr) {
        status = failure(p, failed);
        PQclear(failed);
    }
    return status;
}

// A read on its own (no transaction of its own): after a lost connection
// it is run again on a new one, a few times. PG_OK or PG_FAIL.
static int readRows(pgindex::impl *p, const char *sql, const pgParams &params, pgResult *out)
{
    for (int attempt = 0; attempt < 3; attempt++) {
        if (connected(p) != 0)
            return PG_FAIL;
        int s = run(p, sql, params, out);
        if (s != PG_RETRY)
            return s;
    }
    return PG_FAIL;
}

static void rollback(pgindex::impl *p)
{
    if (p->conn && PQstatus(p->conn) == CONNECTION_OK &&
        PQtransactionStatus(p->conn) != PQTRANS_IDLE) {
        PGresult *r = PQexec(p->conn, "ROLLBACK");
        PQclear(r);
    }
    p->inTransaction = false;
}

// Waits a little before a retry: a few ms, growing, with the pid as jitter
// so that two processes that deadlocked do not meet again.
static void backoff(int attempt)
{
    struct timespec ts = {0, (long)(1 + attempt * 2 + getpid() % 3) * 1000000L};
    nanosleep(&ts, nullptr);
}

static int migrate(pgindex::impl *p)
{
    pgParams none;
    pgResult r;
    if (run(p, "BEGIN", none) != PG_OK)
        return -1;
    std::string lock = std::string("SELECT pg_advisory_xact_lock(") + schemaLock + ")";
    int v = -1;
    if (run(p, lock.c_str(), none) == PG_OK &&
        run(p, "CREATE TABLE IF NOT EXISTS velto_schema_version (version integer NOT NULL)",
            none) == PG_OK &&
        run(p, "SELECT coalesce(max(version), 0) FROM velto_schema_version", none, &r) == PG_OK)
        v = atoi(r.at(0, 0).c_str());
    if (v < 0) {
        rollback(p);
        return -1;
    }
    if (v > PGINDEX_SCHEMA_VERSION)
        logprintf(LOGLEVEL_NOTICE, p->log,
                  "index database: schema version %d is newer than this program's %d: "
                  "its additions are left alone\n",
                  v, (int)PGINDEX_SCHEMA_VERSION);
    for (; v < PGINDEX_SCHEMA_VERSION; v++) {
        pgParams version;
        version << std::to_string(v + 1);
        if (run(p, migrations[v], none) != PG_OK ||
            run(p, "INSERT INTO velto_schema_version VALUES ($1::integer)", version) != PG_OK) {
            rollback(p);
            return -1;
        }
        logprintf(LOGLEVEL_NOTICE, p->log, "index database: schema migrated to version %d\n",
                  v + 1);
    }
    return run(p, "COMMIT", none) == PG_OK ? 0 : -1;
}

pgindex::pgindex(const std::string &conninfo, const std::string &archive, FILE *log) : p_(new impl)
{
    p_->conninfo = conninfo;
    p_->archive = archive;
    p_->log = log;
}

pgindex::~pgindex()
{
    // A transaction left open ends with the connection: the server rolls
    // it back.
    if (p_->conn)
        PQfinish(p_->conn);
    delete p_;
}

void pgindex::forked()
{
    if (p_->conn == nullptr)
        return;
    int fd = PQsocket(p_->conn);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0 && null >= 0)
        dup2(null, fd);
    if (null >= 0)
        ::close(null);
    PQfinish(p_->conn);
    p_->conn = nullptr;
    p_->inTransaction = false;
}

void pgindex::setPatience(long ms)
{
    std::lock_guard<std::mutex> g(p_->mu);
    p_->patienceMs = ms;
}

void pgindex::setSessionName(const std::string &name)
{
    std::lock_guard<std::mutex> g(p_->mu);
    p_->sessionName = name;
}

int pgindex::open()
{
    std::lock_guard<std::mutex> g(p_->mu);
    return connected(p_);
}

// --- changes ---

// The records of ds as rows.
static void makeRecord(DcmDataset *ds, pgRecord *rec)
{
    const char *scs = dicomnet_getTagString(ds, DCM_SpecificCharacterSet);
    rec->study = trimmed(dicomnet_getTagString(ds, DCM_StudyInstanceUID));
    rec->series = trimmed(dicomnet_getTagString(ds, DCM_SeriesInstanceUID));
    rec->instance = trimmed(dicomnet_getTagString(ds, DCM_SOPInstanceUID));
    for (int i = 0; i < PG_STUDY_COLUMNS; i++) {
        bool present;
        std::string v = elementText(ds, studyColumns[i].tag, &present);
        rec->studyPresent[i] = present;
        rec->studyValues[i] = toUtf8(v, scs, studyColumns[i].convert == 2);
        // A date as the key matcher reads it: the pushed-down range on
        // these columns is then exactly the matcher's.
        const std::string &t = rec->studyValues[i];
        if (studyColumns[i].tag == DCM_StudyDate) {
            rec->studyDatePresent = present;
            rec->studyDateNorm = keymatch_digits(KEYMATCH_DATE, t.data(), t.size(), '0');
        } else if (studyColumns[i].tag == DCM_PatientBirthDate) {
            rec->birthDatePresent = present;
            rec->birthDateNorm = keymatch_digits(KEYMATCH_DATE, t.data(), t.size(), '0');
        }
    }
    // A patient is known by the ID; without one, by the name (as the file
    // backend's patient level tells patients apart).
    std::string id = rec->studyValues[2], name = rec->studyValues[1];
    rec->nameFold = asciiFolded(name);
    rec->patientKey = id.empty() ? "\n" + name : id;
    bool present;
    for (int i = 0; i < PG_SERIES_COLUMNS; i++)
        rec->seriesValues[i] = toUtf8(elementText(ds, seriesColumns[i].tag, &present), scs, false);
    for (int i = 0; i < PG_IMAGE_COLUMNS; i++)
        rec->imageValues[i] = toUtf8(elementText(ds, imageColumns[i].tag, &present), scs, false);
    // Every other attribute a query may ask for: the top-level elements that
    // are text or numbers, converted to UTF-8.
    rec->attrs = "{";
    bool first = true;
    for (unsigned long i = 0; i < ds->card(); i++) {
        DcmElement *e = ds->getElement(i);
        DcmTagKey tag = e->getTag();
        DcmEVR vr = e->getVR();
        if (tag.getGroup() <= 0x0002 || (tag.getGroup() & 1) || tag == DCM_PixelData ||
            vr == EVR_SQ || vr == EVR_OB || vr == EVR_OW || vr == EVR_OF || vr == EVR_OD ||
            vr == EVR_OL || vr == EVR_OV || vr == EVR_UN || vr == EVR_na)
            continue;
        OFString v;
        if (e->getOFStringArray(v).bad() || v.length() > PG_ATTR_MAX)
            continue;
        std::string text = toUtf8(std::string(v.c_str(), v.length()), scs, vr == EVR_PN);
        rec->attrs += first ? "" : ",";
        first = false;
        jsonString(&rec->attrs, tagName(tag));
        rec->attrs += ':';
        jsonString(&rec->attrs, text);
    }
    rec->attrs += "}";
    DcmXfer xfer(ds->getOriginalXfer());
    if (ds->getOriginalXfer() != EXS_Unknown)
        rec->syntax = xfer.getXferID();
}

// Locks the study's row (when it has one): the start of every transaction.
static int lockStudy(pgindex::impl *p, const std::string &study);

// Runs the BEGIN and lock statements of sql, with the transaction's id and
// session read in the same round trip (the last statement's row is the
// one PQexec gives back).
static int locked(pgindex::impl *p, const std::string &sql)
{
    p->inTransaction = true;
    p->txid.clear();
    p->backendPid.clear();
    pgResult r;
    int s = run(p, (sql + "; SELECT txid_current(), pg_backend_pid()").c_str(), pgParams(), &r);
    if (s == PG_OK && r.rows() == 1) {
        p->txid = r.at(0, 0);
        p->backendPid = r.at(0, 1);
    }
    return s;
}

// What became of a transaction whose COMMIT went unanswered (the connection
// lost at it): 1 it took, 0 it did not (or the server now answering never
// had it: a standby promoted before it arrived), -1 the database cannot be
// asked. Asked on a new connection; a transaction still open there (its
// session lives on: a cut the server has not noticed) is ended first, so
// that it cannot commit after the caller replays it.
static int outcome(pgindex::impl *p, const std::string &txid, const std::string &pid)
{
    if (txid.empty())
        return 0;
    long long start = monotonicMs();
    for (int attempt = 0;; attempt++) {
        if (attempt > 0)
            backoff(attempt);
        if (connected(p) != 0)
            return -1;
        pgParams params;
        params << txid;
        pgResult r;
        int s = run(p, "SELECT txid_status($1::bigint)", params, &r);
        if (s == PG_RETRY && monotonicMs() - start < p->patienceMs)
            continue;
        // An id the server never gave out ("in the future": a promoted
        // standby without it) fails the statement: it did not take there.
        if (s != PG_OK)
            return s == PG_FAIL ? 0 : -1;
        std::string status = r.isNull(0, 0) ? "" : r.at(0, 0);
        if (status == "committed")
            return 1;
        if (status != "in progress")
            return 0;
        if (monotonicMs() - start > p->patienceMs)
            return -1;
        // Only the session that still holds this very transaction: after a
        // failover the pid may be another's.
        pgParams end;
        end << pid << txid;
        run(p,
            "SELECT pg_terminate_backend(pid, 1000) FROM pg_stat_activity WHERE pid = "
            "$1::integer AND backend_xid::text = ($2::bigint % 4294967296)::text",
            end);
    }
}

// BEGIN and the rows of several studies locked in one statement, in the
// order of their UIDs (the same order in every process, so two such
// transactions never wait for each other crosswise).
static int lockStudies(pgindex::impl *p, const std::vector<std::string> &studies)
{
    if (studies.size() == 1)
        return lockStudy(p, studies[0]);
    char *archive = PQescapeLiteral(p->conn, p->archive.c_str(), p->archive.size());
    if (archive == nullptr)
        return PG_RETRY;
    std::string sql = std::string("BEGIN; SELECT id FROM velto_studies WHERE archive = ") +
                      archive + " AND study_uid IN (";
    PQfreemem(archive);
    for (size_t i = 0; i < studies.size(); i++) {
        char *uid = PQescapeLiteral(p->conn, studies[i].c_str(), studies[i].size());
        if (uid == nullptr)
            return PG_RETRY;
        sql += (i ? ", " : "") + std::string(uid);
        PQfreemem(uid);
    }
    sql += ") ORDER BY study_uid FOR UPDATE";
    return locked(p, sql);
}

static int lockStudy(pgindex::impl *p, const std::string &study)
{
    // BEGIN and the lock in one round trip: the simple protocol takes both
    // at once, the values quoted by libpq for the connection's encoding.
    char *archive = PQescapeLiteral(p->conn, p->archive.c_str(), p->archive.size());
    char *uid = PQescapeLiteral(p->conn, study.c_str(), study.size());
    if (archive == nullptr || uid == nullptr) {
        PQfreemem(archive);
        PQfreemem(uid);
        return PG_RETRY;
    }
    std::string sql = std::string("BEGIN; SELECT id FROM velto_studies WHERE archive = ") +
                      archive + " AND study_uid = " + uid + " FOR UPDATE";
    PQfreemem(archive);
    PQfreemem(uid);
    return locked(p, sql);
}

// Removes the series id when it holds no image, then its study when that
// holds no series.
static int dropIfEmpty(pgindex::impl *p, const std::string &series)
{
    pgParams params;
    params << series;
    return run(p,
               "WITH gone AS (DELETE FROM velto_series s WHERE s.id = $1::bigint AND NOT EXISTS"
               " (SELECT 1 FROM velto_instances i WHERE i.series = s.id) RETURNING s.study)"
               " DELETE FROM velto_studies st USING gone WHERE st.id = gone.study AND NOT EXISTS"
               " (SELECT 1 FROM velto_series x WHERE x.study = st.id AND x.id <> $1::bigint)",
               params);
}

// Writes one image's rows: PG_OK, PG_RETRY, PG_FAIL, or for a change of an
// image not indexed INDEX_MISSING (2).
enum { PG_MISSING = 2, PG_EXISTS = 3 };
static int writeRecord(pgindex::impl *p, const pgOp &op)
{
    const pgRecord &rec = op.rec;
    pgResult r;
    int s;
    if (op.remove) {
        pgParams params;
        params << p->archive << rec.study << rec.series << rec.instance;
        s = run(p,
                "DELETE FROM velto_instances i USING velto_series se, velto_studies st"
                " WHERE i.archive = $1 AND i.sop_uid = $4 AND se.id = i.series AND"
                " se.series_uid = $3 AND st.id = se.study AND st.study_uid = $2 AND"
                " st.archive = $1 RETURNING i.series, nextval('velto_generation')",
                params, &r);
        if (s != PG_OK)
            return s;
        if (r.rows() == 0)
            return PG_MISSING;
        return dropIfEmpty(p, r.at(0, 0));
    }
    if (op.change) {
        pgParams params;
        params << p->archive << rec.instance << rec.series << rec.study;
        s = run(p,
                "SELECT i.id FROM velto_instances i JOIN velto_series se ON se.id = i.series"
                " JOIN velto_studies st ON st.id = se.study WHERE i.archive = $1 AND"
                " i.sop_uid = $2 AND se.series_uid = $3 AND st.study_uid = $4 FOR UPDATE OF i",
                params, &r);
        if (s != PG_OK)
            return s;
        if (r.rows() == 0)
            return PG_MISSING;
    }
    // The four rows in one round trip (runAll), each statement finding
    // the row the one before made or met by its key. Each statement reads
    // afresh (READ COMMITTED): a patient row that another transaction
    // made at the same time, which the first statement's conflict waited
    // for, is found by the second.
    std::vector<pgStatement> stmts(4);
    stmts[0].sql = "INSERT INTO velto_patients (archive, patient_key) VALUES ($1, $2)"
                   " ON CONFLICT (archive, patient_key) DO NOTHING";
    stmts[0].params << p->archive << rec.patientKey;

    // The study: its row made or its keys merged (an attribute the image
    // lacks keeps the study's value). The insert's conflict locks the row
    // as begin's SELECT ... FOR UPDATE does for a study that was there.
    static const std::string studySql = [] {
        std::string sql = "INSERT INTO velto_studies (archive, patient";
        std::string values = "VALUES ($1, (SELECT id FROM velto_patients WHERE archive = $1 AND"
                             " patient_key = $2)";
        std::string update = "patient = EXCLUDED.patient, changed = now()";
        int n = 2;
        for (int i = 0; i < PG_STUDY_COLUMNS; i++) {
            const char *c = studyColumns[i].column;
            sql += std::string(", ") + c;
            values += ", $" + std::to_string(++n);
            if (studyColumns[i].tag != DCM_StudyInstanceUID)
                update += std::string(", ") + c + " = coalesce(EXCLUDED." + c + ", velto_studies." +
                          c + ")";
        }
        sql += ", study_date_norm, birth_date_norm, patient_name_fold) ";
        values += ", $" + std::to_string(n + 1) + ", $" + std::to_string(n + 2) + ", $" +
                  std::to_string(n + 3) + ") ";
        update +=
            ", study_date_norm = coalesce(EXCLUDED.study_date_norm, velto_studies.study_date_norm)"
            ", birth_date_norm = coalesce(EXCLUDED.birth_date_norm, "
            "velto_studies.birth_date_norm)"
            ", patient_name_fold = coalesce(EXCLUDED.patient_name_fold, "
            "velto_studies.patient_name_fold)";
        // Only a study whose keys this image changes gets a new row
        // version (and new entries in each of its indexes): nearly every
        // image of a study changes none. The conflict locks the row either
        // way.
        std::string before = "velto_studies.patient", after = "EXCLUDED.patient";
        for (int i = 0; i < PG_STUDY_COLUMNS; i++) {
            const char *c = studyColumns[i].column;
            if (studyColumns[i].tag == DCM_StudyInstanceUID)
                continue;
            before += std::string(", velto_studies.") + c;
            after += std::string(", coalesce(EXCLUDED.") + c + ", velto_studies." + c + ")";
        }
        for (const char *c : {"study_date_norm", "birth_date_norm", "patient_name_fold"}) {
            before += std::string(", velto_studies.") + c;
            after += std::string(", coalesce(EXCLUDED.") + c + ", velto_studies." + c + ")";
        }
        return sql + values + "ON CONFLICT (archive, study_uid) DO UPDATE SET " + update +
               " WHERE (" + before + ") IS DISTINCT FROM (" + after + ")";
    }();
    pgParams &study = stmts[1].params;
    stmts[1].sql = studySql;
    study << p->archive << rec.patientKey;
    for (int i = 0; i < PG_STUDY_COLUMNS; i++) {
        if (rec.studyPresent[i] || studyColumns[i].tag == DCM_StudyInstanceUID)
            study << rec.studyValues[i];
        else
            study.null();
    }
    if (rec.studyDatePresent)
        study << rec.studyDateNorm;
    else
        study.null();
    if (rec.birthDatePresent)
        study << rec.birthDateNorm;
    else
        study.null();
    if (rec.studyPresent[1])
        study << rec.nameFold;
    else
        study.null();

    // The series: its record rewritten from this image, as the file
    // backend's series record is.
    static const std::string seriesSql = [] {
        std::string sql = "INSERT INTO velto_series (study, series_uid";
        std::string values = "VALUES ((SELECT id FROM velto_studies WHERE archive = $1 AND"
                             " study_uid = $2), $3";
        std::string update = "study = EXCLUDED.study";
        int n = 3;
        for (int i = 0; i < PG_SERIES_COLUMNS; i++) {
            const char *c = seriesColumns[i].column;
            sql += std::string(", ") + c;
            values += ", $" + std::to_string(++n);
            update += std::string(", ") + c + " = EXCLUDED." + c;
        }
        // As the study's: a new row version only for a change.
        std::string before = "velto_series.study", after = "EXCLUDED.study";
        for (int i = 0; i < PG_SERIES_COLUMNS; i++) {
            before += std::string(", velto_series.") + seriesColumns[i].column;
            after += std::string(", EXCLUDED.") + seriesColumns[i].column;
        }
        return sql + ") " + values + ") ON CONFLICT (study, series_uid) DO UPDATE SET " + update +
               " WHERE (" + before + ") IS DISTINCT FROM (" + after + ")";
    }();
    stmts[2].sql = seriesSql;
    stmts[2].params << p->archive << rec.study << rec.series;
    for (int i = 0; i < PG_SERIES_COLUMNS; i++)
        stmts[2].params << rec.seriesValues[i];

    // The image: one row per SOP Instance UID in the archive, whatever
    // study it was in before (that one's emptied series and study go).
    // Answered with the series it was in before and the one it is in now.
    // A new image meets the row another transaction committed (or, still
    // open, waits for its end): the image exists, nothing of it is written
    // (the caller aborts, which takes the patient, study and series rows
    // this transaction made back out).
    static const std::string *const imageSqls = [] {
        static std::string sqls[2];
        for (int unique = 0; unique < 2; unique++) {
            std::string sql =
                "WITH old AS (SELECT series FROM velto_instances WHERE archive = $1 AND"
                " sop_uid = $2),"
                " up AS (INSERT INTO velto_instances (archive, sop_uid, series, attrs, syntax";
            std::string values =
                "VALUES ($1, $2, (SELECT se.id FROM velto_series se JOIN velto_studies st ON"
                " st.id = se.study WHERE st.archive = $1 AND st.study_uid = $3 AND"
                " se.series_uid = $4), $5::jsonb, $6";
            std::string update =
                "series = EXCLUDED.series, attrs = EXCLUDED.attrs, syntax = EXCLUDED.syntax,"
                " size = EXCLUDED.size, checksum = EXCLUDED.checksum,"
                " location = CASE WHEN EXCLUDED.checksum IS NULL THEN velto_instances.location"
                " ELSE EXCLUDED.location END, gen = nextval('velto_generation')";
            sql += ", size, checksum, location";
            values += ", $7::bigint, $8, $9";
            int n = 9;
            for (int i = 0; i < PG_IMAGE_COLUMNS; i++) {
                const char *c = imageColumns[i].column;
                sql += std::string(", ") + c;
                values += ", $" + std::to_string(++n);
                update += std::string(", ") + c + " = EXCLUDED." + c;
            }
            sql += ") " + values + ") ON CONFLICT (archive, sop_uid) DO " +
                   (unique ? std::string("NOTHING") : "UPDATE SET " + update) +
                   " RETURNING series) SELECT (SELECT series FROM old LIMIT 1), up.series FROM up";
            sqls[unique] = sql;
        }
        return sqls;
    }();
    pgParams &image = stmts[3].params;
    stmts[3].sql = imageSqls[op.unique ? 1 : 0];
    image << p->archive << rec.instance << rec.study << rec.series << rec.attrs;
    if (rec.syntax.empty())
        image.null();
    else
        image << rec.syntax;
    if (rec.file.sha256.empty()) {
        image.null();
        image.null();
    } else {
        image << std::to_string(rec.file.size) << rec.file.sha256;
    }
    image << (rec.file.inTier ? "tier" : "local");
    for (int i = 0; i < PG_IMAGE_COLUMNS; i++)
        image << rec.imageValues[i];

    std::vector<pgResult> results;
    s = runAll(p, stmts, &results);
    if (s != PG_OK)
        return s;
    const pgResult &placed = results[3];
    if (op.unique && placed.rows() == 0)
        return PG_EXISTS;
    if (placed.rows() == 1 && !placed.isNull(0, 0) && placed.at(0, 0) != placed.at(0, 1))
        return dropIfEmpty(p, placed.at(0, 0));
    return PG_OK;
}

// Starts the transaction again after a retryable failure and replays what
// it did so far: PG_OK, PG_RETRY (try again) or PG_FAIL.
static int replay(pgindex::impl *p, pgTransaction *t)
{
    rollback(p);
    if (connected(p) != 0)
        return PG_FAIL;
    int s = lockStudies(p, t->studies);
    for (size_t i = 0; s == PG_OK && i < t->ops.size(); i++) {
        // A new image was found new when it was added: replayed as an
        // upsert, so that a transaction whose image another one moved or
        // stored meanwhile (a deadlock's loser, two nodes storing one UID
        // across a lost connection) is made again whole, its image in its
        // own study, as the one that committed last (an overwrite).
        pgOp op = t->ops[i];
        op.unique = false;
        s = writeRecord(p, op);
        if (s == PG_MISSING)
            s = PG_OK;
    }
    return s;
}

index_transaction *pgindex::begin(const char *study)
{
    if (study == nullptr)
        ::abort();
    return beginStudies(std::vector<std::string>{study});
}

index_transaction *pgindex::beginStudies(const std::vector<std::string> &studies)
{
    std::lock_guard<std::mutex> g(p_->mu);
    if (studies.empty())
        ::abort();
    if (p_->inTransaction) // one at a time per process
        ::abort();
    std::unique_ptr<pgTransaction> t(new pgTransaction);
    for (const std::string &s : studies)
        t->studies.push_back(trimmed(s.c_str()));
    std::sort(t->studies.begin(), t->studies.end());
    t->studies.erase(std::unique(t->studies.begin(), t->studies.end()), t->studies.end());
    t->study = t->studies[0];
    for (int attempt = 0; attempt < PG_RETRIES; attempt++) {
        if (connected(p_) != 0)
            return nullptr;
        int s = lockStudies(p_, t->studies);
        if (s == PG_OK)
            return t.release();
        rollback(p_);
        if (s == PG_FAIL)
            return nullptr;
        backoff(attempt);
    }
    logprintf(LOGLEVEL_ERROR, p_->log, "index database: study %s not locked after %d tries\n",
              logprintf_ascii(t->study.c_str()).c_str(), (int)PG_RETRIES);
    return nullptr;
}

// Runs op in t, replaying t after retryable failures; records it in t when
// it is done. INDEX_OK, INDEX_MISSING or INDEX_FAILED.
// Whether the connection is inside a transaction. One made again since the
// transaction began (a read of this process met a lost connection) is not:
// the transaction is replayed first, or its writes would each commit on
// their own, outside the study's lock.
static bool inTransaction(pgindex::impl *p)
{
    return p->conn && PQtransactionStatus(p->conn) == PQTRANS_INTRANS;
}

static int perform(pgindex::impl *p, pgTransaction *t, pgOp op)
{
    for (int attempt = 0; attempt < PG_RETRIES; attempt++) {
        int s = inTransaction(p) ? writeRecord(p, op) : PG_RETRY;
        if (s == PG_MISSING)
            return INDEX_MISSING;
        if (s == PG_EXISTS)
            return INDEX_EXISTS;
        if (s == PG_OK) {
            t->ops.push_back(std::move(op));
            return INDEX_OK;
        }
        if (s == PG_FAIL)
            return INDEX_FAILED;
        // Replayed until the transaction's earlier steps are in again.
        for (;;) {
            backoff(attempt);
            s = replay(p, t);
            if (s != PG_RETRY || ++attempt >= PG_RETRIES)
                break;
        }
        if (s != PG_OK)
            return INDEX_FAILED;
    }
    logprintf(LOGLEVEL_ERROR, p->log, "index database: image %s not written after %d tries\n",
              logprintf_ascii(op.rec.instance.c_str()).c_str(), (int)PG_RETRIES);
    return INDEX_FAILED;
}

// add and addFile (file null: not known): under p->mu.
static int addRecord(pgindex::impl *p, index_transaction *t, DcmDataset *ds, int how,
                     const index_file *file)
{
    pgTransaction *pt = transactionOf(t);
    const char *study = dicomnet_getTagString(ds, DCM_StudyInstanceUID);
    // The caller checked the UIDs and began their study: anything else is
    // its error.
    if (study == nullptr || !holds(pt, study) ||
        dicomnet_getTagString(ds, DCM_SeriesInstanceUID) == nullptr ||
        dicomnet_getTagString(ds, DCM_SOPInstanceUID) == nullptr)
        ::abort();
    // A rollback (abort, or the server's after a kill) takes a new image
    // out and leaves a replaced one's records as they were. A new image is
    // one per SOP Instance UID: the UNIQUE key finds the duplicate, across
    // nodes.
    pgOp op;
    op.change = false;
    op.unique = how == INDEX_ADD_NEW || how == INDEX_ADD_PLACED;
    makeRecord(ds, &op.rec);
    if (file != nullptr)
        op.rec.file = *file;
    return perform(p, pt, std::move(op));
}

int pgindex::add(index_transaction *t, DcmDataset *ds, int how)
{
    std::lock_guard<std::mutex> g(p_->mu);
    return addRecord(p_, t, ds, how, nullptr);
}

int pgindex::addFile(index_transaction *t, DcmDataset *ds, int how, const index_file &file)
{
    std::lock_guard<std::mutex> g(p_->mu);
    return addRecord(p_, t, ds, how, &file);
}

int pgindex::setInTier(const std::vector<std::string> &instances)
{
    if (instances.empty())
        return INDEX_OK;
    std::lock_guard<std::mutex> g(p_->mu);
    std::vector<std::string> uids;
    for (const std::string &i : instances)
        uids.push_back(trimmed(i));
    pgParams params;
    params << p_->archive << textfield_sqlArray(uids);
    pgResult r;
    return readRows(p_,
                    "UPDATE velto_instances SET location = 'tier' WHERE archive = $1 AND"
                    " sop_uid = ANY($2::text[])",
                    params, &r) == PG_OK
               ? INDEX_OK
               : INDEX_FAILED;
}

int pgindex::change(index_transaction *t, DcmDataset *ds)
{
    std::lock_guard<std::mutex> g(p_->mu);
    pgTransaction *pt = transactionOf(t);
    const char *study = dicomnet_getTagString(ds, DCM_StudyInstanceUID);
    if (study == nullptr || !holds(pt, study) ||
        dicomnet_getTagString(ds, DCM_SeriesInstanceUID) == nullptr ||
        dicomnet_getTagString(ds, DCM_SOPInstanceUID) == nullptr)
        ::abort();
    pgOp op;
    op.change = true;
    makeRecord(ds, &op.rec);
    return perform(p_, pt, std::move(op));
}

int pgindex::commit(index_transaction *t)
{
    std::lock_guard<std::mutex> g(p_->mu);
    std::unique_ptr<pgTransaction> pt(transactionOf(t));
    int s = PG_RETRY;
    bool committed = false;
    for (int attempt = 0; s == PG_RETRY && attempt < PG_RETRIES; attempt++) {
        // A connection lost before COMMIT, or AT it (the server may or may
        // not have committed: nothing tells), is the same case here: the
        // transaction's writes are replayed and committed again. Each is an
        // upsert by key, or a removal whose absence counts as done, so a
        // second run of a transaction that took leaves the rows as one run
        // does; the study's row is locked again first, so no other
        // process's change of the study lands between the two.
        if (!inTransaction(p_)) {
            if (attempt > 0)
                backoff(attempt);
            if ((s = replay(p_, pt.get())) != PG_OK)
                continue;
        }
        pgResult r;
        std::string txid = p_->txid, pid = p_->backendPid;
        s = run(p_, "COMMIT", pgParams(), &r);
        // A transaction that failed on the server answers COMMIT with
        // ROLLBACK: a failure, never replayed as if lost.
        if (s == PG_OK)
            committed = strcmp(PQcmdStatus(r.r), "COMMIT") == 0;
        if (s != PG_RETRY)
            continue;
        // The COMMIT went unanswered: asked what the server did, so that a
        // transaction that took is not run a second time (an image another
        // node removed meanwhile would come back).
        int o = outcome(p_, txid, pid);
        logprintf(LOGLEVEL_NOTICE, p_->log,
                  "index database: the unanswered COMMIT of study %s %s\n",
                  logprintf_ascii(pt->study.c_str()).c_str(),
                  o == 1   ? "took"
                  : o == 0 ? "did not take: replayed"
                           : "is of unknown outcome");
        if (o == 1) {
            s = PG_OK;
            committed = true;
        } else if (o < 0) {
            s = PG_FAIL;
        }
    }
    p_->inTransaction = false;
    if (s == PG_OK && committed)
        return INDEX_OK;
    logprintf(LOGLEVEL_ERROR, p_->log, "index database: commit of study %s failed\n",
              logprintf_ascii(pt->study.c_str()).c_str());
    rollback(p_);
    return INDEX_FAILED;
}

void pgindex::abort(index_transaction *t)
{
    std::lock_guard<std::mutex> g(p_->mu);
    std::unique_ptr<pgTransaction> pt(transactionOf(t));
    rollback(p_);
}

int pgindex::removeIn(index_transaction *t, const char *study, const char *series,
                      const char *instance)
{
    std::lock_guard<std::mutex> g(p_->mu);
    pgTransaction *pt = transactionOf(t);
    // The caller began the image's study: anything else is its error.
    if (study == nullptr || series == nullptr || instance == nullptr || !holds(pt, study))
        ::abort();
    pgOp op;
    op.change = false;
    op.remove = true;
    op.rec.study = trimmed(study);
    op.rec.series = trimmed(series);
    op.rec.instance = trimmed(instance);
    return perform(p_, pt, std::move(op));
}

int pgindex::remove(const char *study, const char *series, const char *instance)
{
    std::lock_guard<std::mutex> g(p_->mu);
    if (study == nullptr || series == nullptr || instance == nullptr)
        ::abort();
    pgParams params;
    params << p_->archive << trimmed(study) << trimmed(series) << trimmed(instance);
    // Whether a COMMIT of this removal was sent and its answer lost: the
    // image found absent afterwards was taken out by it.
    bool maybeDone = false;
    for (int attempt = 0; attempt < PG_RETRIES; attempt++) {
        if (attempt)
            backoff(attempt);
        if (connected(p_) != 0)
            return INDEX_FAILED;
        pgResult r;
        int s = lockStudy(p_, trimmed(study));
        if (s == PG_OK)
            s = run(p_,
                    "DELETE FROM velto_instances i USING velto_series se, velto_studies st"
                    " WHERE i.archive = $1 AND i.sop_uid = $4 AND se.id = i.series AND"
                    " se.series_uid = $3 AND st.id = se.study AND st.study_uid = $2 AND"
                    " st.archive = $1 RETURNING i.series, nextval('velto_generation')",
                    params, &r);
        if (s == PG_OK && r.rows() == 0) {
            rollback(p_);
            return maybeDone ? INDEX_OK : INDEX_MISSING;
        }
        if (s == PG_OK)
            s = dropIfEmpty(p_, r.at(0, 0));
        pgResult c;
        if (s == PG_OK) {
            std::string txid = p_->txid, pid = p_->backendPid;
            s = run(p_, "COMMIT", pgParams(), &c);
            if (s == PG_RETRY) {
                int o = outcome(p_, txid, pid);
                if (o == 1) {
                    p_->inTransaction = false;
                    return INDEX_OK;
                }
                // Unknown: the image found absent on the replay was taken
                // out by this removal.
                maybeDone = maybeDone || o < 0;
            }
        }
        if (s == PG_OK && strcmp(PQcmdStatus(c.r), "COMMIT") == 0) {
            p_->inTransaction = false;
            return INDEX_OK;
        }
        rollback(p_);
        if (s == PG_FAIL || s == PG_OK)
            return INDEX_FAILED;
    }
    return INDEX_FAILED;
}

// --- reads ---

namespace
{
// One key of a query at series or image level and the SQL expression of
// the value it is matched against.
struct pgLevelKey {
    DcmTagKey tag;
    std::string expr;
    keymatch_key key;
};

enum { LEVEL_NONE, LEVEL_PATIENT, LEVEL_STUDY, LEVEL_SERIES, LEVEL_IMAGE };

class pgCursor : public index_cursor
{
public:
    pgCursor(pgindex::impl *p, DcmDataset *query, const char *level, int flags);
    int next(DcmDataset **result) override;

private:
    int fetch();
    int studyMatch(size_t row, DcmDataset **result);
    int levelMatch(size_t row, DcmDataset **result);
    void compileStudy(int flags);
    void compileLevel();
    std::string patientCounts(const std::string &patient, long *series, long *images);

    pgindex::impl *p_;
    DcmDataset *query_;
    std::string levelText_;
    bool levelGiven_;
    int level_ = LEVEL_NONE;
    bool ended_ = false;
    bool failed_ = false;
    bool exhausted_ = false;
    pgResult batch_;
    int row_ = 0;
    std::string lastId_;
    // The statement (its keyset bound is the last parameter) and its other
    // parameters.
    std::string sql_;
    pgParams params_;
    // Study and patient level.
    querymatch_study q_;
    bool wantModalities_ = false, wantCounts_ = false, wantPatientCounts_ = false;
    std::set<std::string> patientsAnswered_;
    // Series and image level.
    std::vector<pgLevelKey> keys_;
};
} // namespace

// The column of a study key named by its record offset (querymatch_study).
static int studyColumnAt(size_t offset)
{
    for (int i = 0; i < PG_STUDY_COLUMNS; i++)
        if (studyColumns[i].offset == offset)
            return i;
    ::abort();
}

// The start of a text pattern before its first wildcard, escaped for LIKE.
static std::string likePrefix(const std::string &pattern, bool *whole)
{
    std::string out;
    *whole = true;
    for (char c : pattern) {
        if (c == '*' || c == '?') {
            *whole = false;
            break;
        }
        if (c == '%' || c == '_' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

void pgCursor::compileStudy(int flags)
{
    querymatch_compileStudy(
        query_, &q_, (flags & INDEX_FIND_COMBINED_DATETIME) ? QUERYMATCH_COMBINED_DATETIME : 0,
        p_->log);
    wantModalities_ = query_->tagExists(DCM_ModalitiesInStudy) || !q_.modalities.universal ||
                      !q_.modality.universal;
    wantCounts_ = query_->tagExists(DCM_NumberOfStudyRelatedSeries) ||
                  query_->tagExists(DCM_NumberOfStudyRelatedInstances);
    wantPatientCounts_ =
        level_ == LEVEL_PATIENT && (query_->tagExists(DCM_NumberOfPatientRelatedStudies) ||
                                    query_->tagExists(DCM_NumberOfPatientRelatedSeries) ||
                                    query_->tagExists(DCM_NumberOfPatientRelatedInstances));
    sql_ = "SELECT s.id, s.patient";
    for (const pgStudyColumn &c : studyColumns)
        sql_ += std::string(", s.") + c.column;
    sql_ += wantModalities_ ? ", (SELECT string_agg(m, '\\' ORDER BY f) FROM (SELECT se.modality m,"
                              " min(se.id) f FROM velto_series se WHERE se.study = s.id AND"
                              " se.modality <> '' GROUP BY se.modality) x)"
                            : ", NULL";
    sql_ += wantCounts_ ? ", (SELECT count(*) FROM velto_series se WHERE se.study = s.id),"
                          " (SELECT count(*) FROM velto_instances i JOIN velto_series se ON"
                          " se.id = i.series WHERE se.study = s.id)"
                        : ", NULL, NULL";
    sql_ += " FROM velto_studies s WHERE s.archive = $1";
    params_ << p_->archive;
    // The narrowing: only where it passes exactly what the matcher takes,
    // or more. It never decides a match.
    for (const querymatch_studyKey &k : q_.keys) {
        const pgStudyColumn &c = studyColumns[studyColumnAt(k.offset)];
        const keymatch_key &key = k.key;
        if (key.universal || key.emptyOnly)
            continue;
        std::string n = "$" + std::to_string(params_.values.size() + 1);
        if (key.kind == KEYMATCH_UID && c.tag == DCM_StudyInstanceUID) {
            sql_ += " AND s.study_uid = ANY (" + n + "::text[])";
            params_ << textfield_sqlArray(key.list);
        } else if (key.kind == KEYMATCH_DATE &&
                   (c.tag == DCM_StudyDate || c.tag == DCM_PatientBirthDate)) {
            // The normalised column holds the digits the matcher compares.
            std::string col = c.tag == DCM_StudyDate ? "s.study_date_norm" : "s.birth_date_norm";
            if (!key.lo.empty()) {
                sql_ += " AND " + col + " >= " + n;
                params_ << key.lo;
                n = "$" + std::to_string(params_.values.size() + 1);
            }
            if (!key.hi.empty()) {
                sql_ += " AND " + col + " <= " + n;
                params_ << key.hi;
            }
        } else if (key.kind == KEYMATCH_PN && c.tag == DCM_PatientName &&
                   key.pattern.find('\\') == std::string::npos) {
            // A name without case: the start of the key before its first
            // wildcard and before its first non-ASCII character that has
            // case, ASCII letters folded, is the start of every name the
            // matcher takes. A name of several component groups may match
            // by a later group: it always passes.
            size_t span = keymatch_asciiFoldSpan(key.pattern.data(), key.pattern.size());
            bool whole;
            std::string prefix = likePrefix(asciiFolded(key.pattern.substr(0, span)), &whole);
            if (prefix.empty())
                continue;
            sql_ += " AND (s.patient_name_fold LIKE " + n + " OR s.name_groups)";
            params_ << prefix + "%";
        } else if (key.kind == KEYMATCH_TEXT &&
                   (c.tag == DCM_PatientID || c.tag == DCM_AccessionNumber ||
                    c.tag == DCM_StudyID) &&
                   key.pattern.find('\\') == std::string::npos && !key.pattern.empty() &&
                   key.pattern[0] != '*' && key.pattern[0] != '?') {
            // Case-sensitive texts: the value itself, or its start before
            // the first wildcard. A stored value of several values (with a
            // backslash) may match by one of them: it always passes.
            bool whole;
            std::string prefix = likePrefix(key.pattern, &whole);
            std::string col = std::string("s.") + c.column;
            std::string multi = c.tag == DCM_PatientID         ? "s.patient_id_multi"
                                : c.tag == DCM_AccessionNumber ? "s.accession_multi"
                                                               : "s.study_id_multi";
            if (whole) {
                sql_ += " AND (" + col + " = " + n + " OR " + multi + ")";
                params_ << key.pattern;
            } else {
                sql_ += " AND (" + col + " LIKE " + n + " OR " + multi + ")";
                params_ << prefix + "%";
            }
        }
    }
}

// The keys of a series or image query (every element but the level, the
// character set, sequences, private and meta elements), text converted to
// UTF-8, each with the SQL expression of its value.
void pgCursor::compileLevel()
{
    const char *scs = dicomnet_getTagString(query_, DCM_SpecificCharacterSet);
    bool series = level_ == LEVEL_SERIES;
    bool firstImage = false;
    for (unsigned long i = 0; i < query_->card(); i++) {
        DcmElement *e = query_->getElement(i);
        DcmTagKey tag = e->getTag();
        DcmEVR vr = e->getVR();
        if (tag.getGroup() <= 0x0002 || (tag.getGroup() & 1) || tag == DCM_QueryRetrieveLevel ||
            tag == DCM_SpecificCharacterSet || vr == EVR_SQ)
            continue;
        pgLevelKey k;
        k.tag = tag;
        OFString v;
        e->getOFStringArray(v);
        std::string value = toUtf8(std::string(v.c_str(), v.length()), scs, vr == EVR_PN);
        keymatch_compile(&k.key, querymatch_kindOfVr(DcmVR(vr).getVRName()), value.c_str());
        std::string name = tagName(tag);
        const char *attrs = series ? "fi.attrs" : "i.attrs";
        if (tag == DCM_StudyInstanceUID) {
            k.expr = "st.study_uid";
        } else if (tag == DCM_SeriesInstanceUID) {
            k.expr = "se.series_uid";
        } else if (!series && tag == DCM_SOPInstanceUID) {
            k.expr = "i.sop_uid";
        } else if (series && tag == DCM_NumberOfSeriesRelatedInstances) {
            // Counts are answered, not matched.
            k.expr = "(SELECT count(*) FROM velto_instances c WHERE c.series = se.id)::text";
            keymatch_compile(&k.key, KEYMATCH_TEXT, nullptr);
        } else if (!series && tag == DCM_AvailableTransferSyntaxUID) {
            k.expr = "coalesce(i.attrs->>'" + name + "', i.syntax)";
        } else {
            k.expr = std::string(attrs) + "->>'" + name + "'";
            for (const pgColumn &c : seriesColumns)
                if (series && c.tag == tag)
                    k.expr = std::string("se.") + c.column;
            firstImage = firstImage || k.expr[0] == 'f';
        }
        keys_.push_back(k);
    }
    std::string uidStudy, uidSeries, uidSop;
    const char *s = dicomnet_getTagString(query_, DCM_StudyInstanceUID);
    const char *se = dicomnet_getTagString(query_, DCM_SeriesInstanceUID);
    const char *sop = dicomnet_getTagString(query_, DCM_SOPInstanceUID);
    if (series) {
        sql_ = "SELECT se.id, st.study_uid, se.series_uid, NULL";
        for (const pgLevelKey &k : keys_)
            sql_ += ", " + k.expr;
        sql_ += " FROM velto_series se JOIN velto_studies st ON st.id = se.study";
        if (firstImage)
            sql_ += " LEFT JOIN LATERAL (SELECT attrs FROM velto_instances f WHERE f.series ="
                    " se.id ORDER BY f.id LIMIT 1) fi ON true";
        sql_ += " WHERE st.archive = $1";
    } else {
        sql_ = "SELECT i.id, st.study_uid, se.series_uid, i.sop_uid";
        for (const pgLevelKey &k : keys_)
            sql_ += ", " + k.expr;
        sql_ += " FROM velto_instances i JOIN velto_series se ON se.id = i.series"
                " JOIN velto_studies st ON st.id = se.study WHERE i.archive = $1";
    }
    params_ << p_->archive;
    // UID lists: exact, the matcher's own comparison of whole values.
    struct {
        const char *value;
        const char *column;
    } lists[] = {{s, "st.study_uid"}, {se, "se.series_uid"}, {series ? nullptr : sop, "i.sop_uid"}};
    for (const auto &l : lists) {
        std::vector<std::string> uids;
        retrievelist_splitUids(l.value, &uids);
        keymatch_key k;
        if (uids.empty() || keymatch_compile(&k, KEYMATCH_UID, l.value) || k.emptyOnly)
            continue;
        sql_ += std::string(" AND ") + l.column + " = ANY ($" +
                std::to_string(params_.values.size() + 1) + "::text[])";
        params_ << textfield_sqlArray(uids);
    }
}

pgCursor::pgCursor(pgindex::impl *p, DcmDataset *query, const char *level, int flags)
    : p_(p), query_(query), levelGiven_(level != nullptr)
{
    const char *text = level ? level : dicomnet_getTagString(query, DCM_QueryRetrieveLevel);
    levelText_ = text ? text : "";
    if (levelText_ == "PATIENT")
        level_ = LEVEL_PATIENT;
    else if (levelText_ == "STUDY")
        level_ = LEVEL_STUDY;
    else if (levelText_ == "SERIES")
        level_ = LEVEL_SERIES;
    else if (levelText_ == "IMAGE")
        level_ = LEVEL_IMAGE;
    if (query == nullptr || level_ == LEVEL_NONE) {
        if (query)
            logprintf(LOGLEVEL_ERROR, p->log,
                      "query level %s is not PATIENT, STUDY, SERIES or"
                      " IMAGE\n",
                      logprintf_ascii(levelText_.c_str()).c_str());
        ended_ = true;
        return;
    }
    if (level_ == LEVEL_PATIENT || level_ == LEVEL_STUDY)
        compileStudy(flags);
    else
        compileLevel();
}

// The next batch of rows after the last one: 0, or -1 (logged).
int pgCursor::fetch()
{
    bool studies = level_ == LEVEL_PATIENT || level_ == LEVEL_STUDY;
    const char *id = studies ? "s.id" : level_ == LEVEL_SERIES ? "se.id" : "i.id";
    std::string sql = sql_;
    pgParams params = params_;
    // Newest study first; series and images in the order they came.
    if (!lastId_.empty()) {
        sql += std::string(" AND ") + id + (studies ? " < $" : " > $") +
               std::to_string(params.values.size() + 1) + "::bigint";
        params << lastId_;
    }
    sql += std::string(" ORDER BY ") + id + (studies ? " DESC" : "") + " LIMIT " +
           std::to_string((int)PG_BATCH);
    for (int attempt = 0; attempt < 3; attempt++) {
        if (connected(p_) != 0)
            return -1;
        int s = run(p_, sql.c_str(), params, &batch_);
        if (s == PG_OK) {
            row_ = 0;
            exhausted_ = batch_.rows() < PG_BATCH;
            if (batch_.rows() > 0)
                lastId_ = batch_.at(batch_.rows() - 1, 0);
            return 0;
        }
        if (s == PG_FAIL)
            return -1;
    }
    return -1;
}

static void addKey(DcmDataset *ds, const DcmTagKey &tag, const std::string &value)
{
    dicomnet_Key_Add(ds, tag.getGroup(), tag.getElement(), value.c_str());
}

static DcmDataset *startResponse(DcmDataset **result, const std::string &levelText)
{
    if (!*result)
        *result = dicomnet_Dataset_Create();
    addKey(*result, DCM_QueryRetrieveLevel, levelText);
    return *result;
}

// Series and images of a patient's studies (every study of it: the
// patient-level keys are the same in each).
std::string pgCursor::patientCounts(const std::string &patient, long *series, long *images)
{
    *series = *images = 0;
    pgParams params;
    params << patient;
    pgResult r;
    if (readRows(p_,
                 "SELECT (SELECT count(*) FROM velto_studies s WHERE s.patient = $1::bigint),"
                 " (SELECT count(*) FROM velto_series se JOIN velto_studies s ON s.id = se.study"
                 " WHERE s.patient = $1::bigint),"
                 " (SELECT count(*) FROM velto_instances i JOIN velto_series se ON se.id = i.series"
                 " JOIN velto_studies s ON s.id = se.study WHERE s.patient = $1::bigint)",
                 params, &r) != PG_OK)
        return "0";
    *series = atol(r.at(0, 1).c_str());
    *images = atol(r.at(0, 2).c_str());
    return r.at(0, 0);
}

// Row row of a study batch: 0 a match answered into *result, 1 not a match.
int pgCursor::studyMatch(size_t row, DcmDataset **result)
{
    int r = (int)row;
    enum { FIRST = 2 };
    std::string values[PG_STUDY_COLUMNS];
    for (int i = 0; i < PG_STUDY_COLUMNS; i++)
        values[i] = batch_.at(r, FIRST + i);
    // Every key decided by the matcher, on the values kept whole.
    for (const querymatch_studyKey &k : q_.keys) {
        const std::string &v = values[studyColumnAt(k.offset)];
        if (!keymatch_matches(k.key, v.data(), v.size()))
            return 1;
    }
    if (q_.combined) {
        // The date and time as one date-time value; a study without a date
        // has none, one without a time is taken at 00:00.
        const std::string &date = values[5], &time = values[6];
        if (date.empty())
            return 1;
        std::string d = keymatch_digits(KEYMATCH_DATE, date.data(), date.size(), '0');
        std::string t = keymatch_digits(KEYMATCH_TIME, time.data(), time.size(), '0');
        if (t.empty())
            t.assign(12, '0');
        std::string dt = d + t;
        if (!keymatch_matches(q_.dateTime, dt.data(), dt.size()))
            return 1;
    }
    std::string modalities = batch_.at(r, FIRST + PG_STUDY_COLUMNS);
    if (wantModalities_ &&
        (!keymatch_matches(q_.modalities, modalities.data(), modalities.size()) ||
         !keymatch_matches(q_.modality, modalities.data(), modalities.size())))
        return 1;
    if (level_ == LEVEL_PATIENT) {
        std::string key = values[2].empty() ? "\n" + values[1] : values[2];
        if (!patientsAnswered_.insert(key).second)
            return 1;
    }
    DcmDataset *resp = startResponse(result, levelText_);
    bool high = false;
    for (int i = 0; i < PG_STUDY_COLUMNS; i++) {
        if (query_->tagExists(studyColumns[i].tag)) {
            addKey(resp, studyColumns[i].tag, values[i]);
            high = high || hasHighByte(values[i]);
        }
    }
    if (query_->tagExists(DCM_ModalitiesInStudy))
        addKey(resp, DCM_ModalitiesInStudy, modalities);
    if (query_->tagExists(DCM_NumberOfStudyRelatedSeries))
        addKey(resp, DCM_NumberOfStudyRelatedSeries, batch_.at(r, FIRST + PG_STUDY_COLUMNS + 1));
    if (query_->tagExists(DCM_NumberOfStudyRelatedInstances))
        addKey(resp, DCM_NumberOfStudyRelatedInstances, batch_.at(r, FIRST + PG_STUDY_COLUMNS + 2));
    if (wantPatientCounts_) {
        long series, images;
        std::string studies = patientCounts(batch_.at(r, 1), &series, &images);
        if (query_->tagExists(DCM_NumberOfPatientRelatedStudies))
            addKey(resp, DCM_NumberOfPatientRelatedStudies, studies);
        if (query_->tagExists(DCM_NumberOfPatientRelatedSeries))
            addKey(resp, DCM_NumberOfPatientRelatedSeries, std::to_string(series));
        if (query_->tagExists(DCM_NumberOfPatientRelatedInstances))
            addKey(resp, DCM_NumberOfPatientRelatedInstances, std::to_string(images));
    }
    // The index keeps its texts in UTF-8.
    if (high)
        addKey(resp, DCM_SpecificCharacterSet, "ISO_IR 192");
    return 0;
}

int pgCursor::levelMatch(size_t row, DcmDataset **result)
{
    int r = (int)row;
    enum { FIRST = 4 };
    for (size_t i = 0; i < keys_.size(); i++) {
        std::string v = batch_.isNull(r, FIRST + (int)i) ? "" : batch_.at(r, FIRST + (int)i);
        if (!keymatch_matches(keys_[i].key, v.data(), v.size()))
            return 1;
    }
    DcmDataset *resp = startResponse(result, levelText_);
    // A retrieve (level forced by the caller) needs the three UIDs to find
    // the file, whatever its identifier asked for.
    if (level_ == LEVEL_IMAGE && levelGiven_) {
        addKey(resp, DCM_SOPInstanceUID, batch_.at(r, 3));
        addKey(resp, DCM_SeriesInstanceUID, batch_.at(r, 2));
        addKey(resp, DCM_StudyInstanceUID, batch_.at(r, 1));
    }
    bool high = false;
    for (size_t i = 0; i < keys_.size(); i++) {
        std::string v = batch_.isNull(r, FIRST + (int)i) ? "" : batch_.at(r, FIRST + (int)i);
        addKey(resp, keys_[i].tag, v);
        high = high || hasHighByte(v);
    }
    if (high)
        addKey(resp, DCM_SpecificCharacterSet, "ISO_IR 192");
    return 0;
}

int pgCursor::next(DcmDataset **result)
{
    if (ended_ || result == nullptr) {
        ended_ = true;
        return 1;
    }
    std::lock_guard<std::mutex> g(p_->mu);
    for (;;) {
        if (batch_.r == nullptr || row_ >= batch_.rows()) {
            if (batch_.r != nullptr && exhausted_) {
                ended_ = true;
                return 1;
            }
            if (fetch() != 0) {
                ended_ = true;
                return -1;
            }
            continue;
        }
        int row = row_++;
        if (result == nullptr)
            continue;
        bool studies = level_ == LEVEL_PATIENT || level_ == LEVEL_STUDY;
        if ((studies ? studyMatch(row, result) : levelMatch(row, result)) == 0)
            return 0;
    }
}

index_cursor *pgindex::find(DcmDataset *query, const char *level, int flags)
{
    return new pgCursor(p_, query, level, flags);
}

// The images of one study that the lists select (all when a list is
// empty), in the order they came, appended to *out.
static int imagesOf(pgindex::impl *p, const std::string &study,
                    const std::vector<std::string> &series,
                    const std::vector<std::string> &instances, std::vector<index_image> *out)
{
    pgParams params;
    params << p->archive << study;
    std::string sql = "SELECT se.series_uid, i.sop_uid FROM velto_instances i JOIN velto_series se"
                      " ON se.id = i.series JOIN velto_studies st ON st.id = se.study WHERE"
                      " st.archive = $1 AND st.study_uid = $2";
    if (!series.empty()) {
        sql += " AND se.series_uid = ANY ($3::text[])";
        params << textfield_sqlArray(series);
    }
    if (!instances.empty()) {
        sql += " AND i.sop_uid = ANY ($" + std::to_string(params.values.size() + 1) + "::text[])";
        params << textfield_sqlArray(instances);
    }
    sql += " ORDER BY se.id, i.id";
    pgResult r;
    if (readRows(p, sql.c_str(), params, &r) != PG_OK)
        return INDEX_FAILED;
    for (int i = 0; i < r.rows(); i++)
        out->push_back(index_image{study, r.at(i, 0), r.at(i, 1)});
    return INDEX_OK;
}

static bool allUids(pgindex::impl *p, const std::vector<std::string> &uids, const char *what)
{
    for (const std::string &uid : uids)
        if (uidtree_checkUid(uid.c_str(), what, p->log) != 0)
            return false;
    return true;
}

static std::string identifierValue(DcmDataset *ds, const DcmTagKey &tag)
{
    OFString v;
    if (ds->findAndGetOFStringArray(tag, v).bad())
        return std::string();
    return std::string(v.c_str(), v.length());
}

int pgindex::select(DcmDataset *identifier, std::vector<index_image> *out)
{
    std::lock_guard<std::mutex> g(p_->mu);
    out->clear();
    if (identifier == nullptr)
        return INDEX_BAD_IDENTIFIER;
    std::string level = trimmed(identifierValue(identifier, DCM_QueryRetrieveLevel));
    std::vector<std::string> studies, series, instances;
    retrievelist_splitUids(identifierValue(identifier, DCM_StudyInstanceUID).c_str(), &studies);
    retrievelist_splitUids(identifierValue(identifier, DCM_SeriesInstanceUID).c_str(), &series);
    retrievelist_splitUids(identifierValue(identifier, DCM_SOPInstanceUID).c_str(), &instances);
    // A value that is no UID selects nothing a peer could mean: refused.
    if (!allUids(p_, studies, "Study Instance UID") ||
        !allUids(p_, series, "Series Instance UID") || !allUids(p_, instances, "SOP Instance UID"))
        return INDEX_BAD_IDENTIFIER;
    if (connected(p_) != 0)
        return INDEX_FAILED;
    if (level == "PATIENT") {
        std::string id = identifierValue(identifier, DCM_PatientID);
        if (id.empty() || id.find_first_of("*?\\") != std::string::npos)
            return INDEX_BAD_IDENTIFIER;
        pgParams params;
        params << p_->archive << trimmed(id);
        pgResult r;
        if (readRows(p_,
                     "SELECT study_uid FROM velto_studies WHERE archive = $1 AND patient_id = $2"
                     " ORDER BY id DESC",
                     params, &r) != PG_OK)
            return INDEX_FAILED;
        std::vector<std::string> ofPatient;
        for (int i = 0; i < r.rows(); i++) {
            std::string s = r.at(i, 0);
            bool listed = studies.empty();
            for (const std::string &want : studies)
                listed = listed || want == s;
            if (listed)
                ofPatient.push_back(s);
        }
        studies.swap(ofPatient);
    } else if (level == "STUDY") {
        if (studies.empty())
            return INDEX_BAD_IDENTIFIER;
    } else if (level == "SERIES") {
        if (studies.empty() || series.empty())
            return INDEX_BAD_IDENTIFIER;
    } else if (level == "IMAGE") {
        if (studies.empty() || instances.empty())
            return INDEX_BAD_IDENTIFIER;
    } else {
        return INDEX_BAD_IDENTIFIER;
    }
    std::set<std::string> done;
    for (const std::string &study : studies) {
        // A UID listed twice selects its images once.
        if (done.insert(study).second && imagesOf(p_, study, series, instances, out) != INDEX_OK) {
            out->clear();
            return INDEX_FAILED;
        }
    }
    return INDEX_OK;
}

int pgindex::studyImages(const char *study, std::vector<index_image> *out)
{
    std::lock_guard<std::mutex> g(p_->mu);
    out->clear();
    if (connected(p_) != 0)
        return INDEX_FAILED;
    return imagesOf(p_, trimmed(study ? study : ""), {}, {}, out);
}

int pgindex::locate(const std::vector<std::string> &instances, std::vector<index_image> *out)
{
    std::lock_guard<std::mutex> g(p_->mu);
    out->assign(instances.size(), index_image());
    if (instances.empty())
        return 0;
    // A database that cannot be read is -1, never "none found": callers
    // drop a node's copy of an image that has no row.
    if (connected(p_) != 0)
        return -1;
    pgParams params;
    params << p_->archive << textfield_sqlArray(instances);
    pgResult r;
    if (readRows(p_,
                 "SELECT i.sop_uid, st.study_uid, se.series_uid FROM velto_instances i JOIN"
                 " velto_series se ON se.id = i.series JOIN velto_studies st ON st.id = se.study"
                 " WHERE i.archive = $1 AND i.sop_uid = ANY ($2::text[])",
                 params, &r) != PG_OK)
        return -1;
    int found = 0;
    for (int row = 0; row < r.rows(); row++) {
        std::string sop = r.at(row, 0);
        for (size_t i = 0; i < instances.size(); i++) {
            if (instances[i] != sop)
                continue;
            (*out)[i] = index_image{r.at(row, 1), r.at(row, 2), sop};
            found++;
        }
    }
    return found;
}

// --- other processes, upkeep ---

// The change counter every add, change and remove of any process advances
// (a sequence: no row that all writers would queue for). -1 when unread.
static long long generation(pgindex::impl *p)
{
    pgResult r;
    if (readRows(p, "SELECT last_value FROM velto_generation", pgParams(), &r) != PG_OK)
        return -1;
    return atoll(r.at(0, 0).c_str());
}

int pgindex::refresh()
{
    // Every read asks the database: nothing to load but the counter that
    // stale compares.
    std::lock_guard<std::mutex> g(p_->mu);
    long long now = generation(p_);
    if (now < 0)
        return -1;
    bool changed = now != p_->generation;
    p_->generation = now;
    return changed ? 1 : 0;
}

bool pgindex::stale()
{
    std::lock_guard<std::mutex> g(p_->mu);
    long long now = generation(p_);
    return now >= 0 && now != p_->generation;
}

int pgindex::compact()
{
    // Studies, series and images go with their last image; what stays is a
    // patient without studies. A study that an open transaction adds for it
    // holds its row (the foreign key): the delete then fails and is left to
    // the next compact.
    std::lock_guard<std::mutex> g(p_->mu);
    if (connected(p_) != 0)
        return -1;
    pgParams params;
    params << p_->archive;
    pgResult r;
    int s = run(p_,
                "DELETE FROM velto_patients p WHERE p.archive = $1 AND NOT EXISTS"
                " (SELECT 1 FROM velto_studies s WHERE s.patient = p.id)",
                params, &r);
    if (s == PG_FAIL)
        return -1;
    return s == PG_OK && atol(PQcmdTuples(r.r)) > 0 ? 1 : 0;
}

int pgindex::recover()
{
    // A process killed in a transaction left nothing: the server rolled it
    // back when the connection ended, and a remove is one transaction.
    return 0;
}
