// The audit trail: who stored, queried, viewed, sent, deleted or changed
// what, from where, and every login, as the DICOM audit messages (the XML
// of RFC 3881 with the DICOM extensions) that a collector receives over
// syslog (RFC 5424 messages, UDP per RFC 5426 or TCP with octet counting
// per RFC 6587).
//
// A site that keeps an audit trail names its collector in the file
// "AuditLog" along the configuration search path; without it every call
// here does nothing. An event is appended to an on-disk spool and flushed
// before audit_emit returns; a sender (a thread of storeweb, a child of
// storeserver, a last pass of a tool) sends the spool in order and
// advances a durable cursor, retrying while the collector is down. Any
// number of processes append; one sends at a time (a lock file).
#ifndef VELTO_CORE_AUDIT_H
#define VELTO_CORE_AUDIT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

// The events (the EventID of the message, with its type code).
enum audit_kind {
    AUDIT_APP_START,        // Application Activity, Application Start
    AUDIT_APP_STOP,         // Application Activity, Application Stop
    AUDIT_LOGIN,            // User Authentication, Login (failed: outcome 4)
    AUDIT_QUERY,            // Query (C-FIND, QIDO-RS, worklist find, the pages' searches)
    AUDIT_BEGIN_TRANSFER,   // Begin Transferring DICOM Instances
    AUDIT_TRANSFERRED,      // DICOM Instances Transferred (stored: C; sent: R)
    AUDIT_ACCESSED,         // DICOM Instances Accessed (views; a study change: U)
    AUDIT_DELETED,          // DICOM Study Deleted
    AUDIT_PATIENT_RECORD,   // Patient Record (a change of a patient's data)
    AUDIT_PROCEDURE_RECORD, // Procedure Record (a worklist entry made, changed, removed)
    AUDIT_LOG_USED,         // Audit Log Used (the audit pages read)
};

// Outcomes (EventOutcomeIndicator).
enum {
    AUDIT_SUCCESS = 0,
    AUDIT_MINOR_FAILURE = 4,
    AUDIT_SERIOUS_FAILURE = 8,
    AUDIT_MAJOR_FAILURE = 12,
};

// Roles of an active participant (RoleIDCode; 0: none).
enum {
    AUDIT_ROLE_NONE = 0,
    AUDIT_ROLE_APPLICATION = 110150,
    AUDIT_ROLE_LAUNCHER = 110151,
    AUDIT_ROLE_DESTINATION = 110152,
    AUDIT_ROLE_SOURCE = 110153,
};

// A person or process that took part: a peer by its AE title and address,
// a web user by name and address, this program.
struct audit_participant {
    std::string userId;     // AE title, user name, or program name
    std::string altUserId;  // e.g. the process id ("" none)
    std::string userName;   // a person's name ("" none)
    bool requestor = false; // the one that asked for the operation
    std::string address;    // its network address or host name ("" none)
    int role = AUDIT_ROLE_NONE;
};

// What the event concerns.
struct audit_object {
    enum {
        STUDY,   // id: the Study Instance UID; classes: instances per SOP class
        PATIENT, // id: the Patient ID; name: the Patient's Name
        QUERY,   // id: the SOP class of the query; query: its bytes (or text)
        ENTRY,   // a worklist entry: id its URI, name its accession number
        LOG,     // the audit trail: id the URI of what was read of it
        USER,    // a web user account: id its name (the page of a user)
    } kind = STUDY;
    std::string id;
    std::string name;
    std::string query;
    std::string querySyntax; // the transfer syntax of a query's bytes ("" text)
    std::map<std::string, unsigned> classes;
};

struct audit_event {
    audit_kind kind = AUDIT_APP_START;
    char action = 'E'; // EventActionCode: C, R, U, D or E
    int outcome = AUDIT_SUCCESS;
    std::string outcomeText; // EventOutcomeDescription ("" none)
    std::vector<audit_participant> participants;
    std::vector<audit_object> objects;
};

// Instances of several studies, for one message per study (an
// association's or a request's stores, a delete of many images).
struct audit_studies {
    struct study {
        std::string patientId, patientName;
        std::map<std::string, unsigned> classes; // instances per SOP class ("" unknown)
    };
    std::map<std::string, study> studies;
    void add(const std::string &studyUid, const std::string &sopClass,
             const std::string &patientId = std::string(),
             const std::string &patientName = std::string());
    bool empty() const { return studies.empty(); }
};

// The sink of one process: the site's settings and where it spools.
struct audit_sink;

// Reads the site's "AuditLog" (path null: along the configuration search
// path) with the spool below storeBase unless the file names one. 0 with
// *out null: no such file (auditing off); 0 with *out set; -1 with *why
// set: the file is wrong (the caller refuses to start). prog names this
// program in its messages; log (borrowed, may be null) takes the sink's
// own lines.
int audit_open(const char *path, const char *storeBase, const char *prog, FILE *log,
               audit_sink **out, std::string *why);
void audit_close(audit_sink *sink);

// The participant that stands for this program (its name, its process id
// as the alternative user ID, the host name); an empty one for a null sink.
audit_participant audit_self(const audit_sink *sink, int role = AUDIT_ROLE_APPLICATION);

// The message of ev as XML (for the tests and the page).
std::string audit_xml(const audit_sink *sink, const audit_event &ev);

// Appends ev to the spool and flushes it: it counts as sent from here on.
// Null sink: nothing (auditing off). A spool that is full (its unsent
// part beyond the site's bound) keeps what it has: ev is dropped, counted
// and logged. Safe from any thread and process.
void audit_emit(audit_sink *sink, const audit_event &ev);

// One event per study of set (its study and, when known, its patient as
// objects) with the given kind, action, outcome and participants; set is
// emptied. Null sink: set is only emptied.
void audit_emitStudies(audit_sink *sink, audit_kind kind, char action, int outcome,
                       const std::vector<audit_participant> &participants, audit_studies *set);

// A change of stored data by by (a user with address, or a peer), for
// the editing of stored images: with patient, a Patient Record (the
// patient's data made, changed or removed: action C, U or D), else a DICOM
// Instances Accessed with action U (a study's data changed, its images
// rewritten, merged or split: D for a study removed that way), naming the
// study (may be empty) and the patient; outcome and text say whether and
// why not it was done. This program is the other participant.
void audit_change(audit_sink *sink, bool patient, char action, const audit_participant &by,
                  const std::string &study, const std::string &patientId,
                  const std::string &patientName, int outcome = AUDIT_SUCCESS,
                  const std::string &text = std::string());

// Application Activity of this program: start or stop.
void audit_application(audit_sink *sink, bool start);

// Sends the spool in order until *stop, waiting between passes (the
// sender of a process; it sends only while it holds the sender lock).
// After *stop one last pass of at most lastPassMs.
void audit_runSender(audit_sink *sink, const std::atomic<bool> *stop, int lastPassMs = 2000);
// One pass of the sender for a tool that ends: sends what is spooled,
// for at most ms milliseconds. 0 all sent, 1 some left for the next sender.
int audit_sendPending(audit_sink *sink, int ms);
// A child process that runs audit_runSender until SIGTERM (for a server
// whose listener forks its workers and keeps no threads): its pid, or -1.
// closeFd (>= 0) is closed in the child.
pid_t audit_forkSender(audit_sink *sink, int closeFd);

// One message of the local spool, for the pages.
struct audit_record {
    std::string time;    // EventDateTime
    std::string event;   // the EventID's text, e.g. "Query"
    std::string action;  // C R U D E
    std::string outcome; // 0 4 8 12
    std::string who;     // the requestor's user ID
    std::string where;   // the requestor's address
    std::string objects; // the objects' IDs, "; " between
    std::string xml;
};
// The messages of the spool (the sent ones of the last generation too)
// that name study (a Study Instance UID) or user (a requestor's user ID),
// newest first, at most max. A field "" matches everything.
std::vector<audit_record> audit_read(const audit_sink *sink, const std::string &study,
                                     const std::string &user, size_t max);

// How many events the spool dropped because it was full (0 none).
uint64_t audit_dropped(const audit_sink *sink);

#endif
