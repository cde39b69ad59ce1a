// The forwarder process: waits on the forwarding queue's directory, groups
// the due jobs by destination, transfer syntax and de-identification,
// sends their images (de-identified where the job says) over
// associations of its own with the retrieve code, and records each
// delivered image, each finished job and each failure in the queue.
#include "server/forwarder.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/cond.h"

#include "aetitlemap/aetitlemap.h"
#include "cluster/clusterconfig.h"
#include "cluster/clusterdb.h"
#include "core/archive.h"
#include "core/audit.h"
#include "core/deidexport.h"
#include "core/forward.h"
#include "core/forwarddb.h"
#include "runtime/logprintf.h"
#include "runtime/monitormsg.h"
#include "runtime/multicast.h"
#include "server/forwardagent.h"
#include "server/handlers.h"
#include "server/listener.h"
#include "server/retrieve.h"
#include "server/serveroptions.h"
#include "server/serverstate.h"

#define LOG(level, ...) logprintf(level, server_options.logfp, __VA_ARGS__)

// The longest the forwarder sleeps without looking at the queue, seconds.
enum { FORWARDER_IDLE_SECONDS = 60 };
// The most images one look at the queue sends to one destination: the
// retrieve counters stop at 0xFFFF. The jobs beyond wait for the next look.
enum { FORWARDER_MAX_IMAGES = 50000 };
// After a job file appears, the forwarder waits this long (ms) for more, so
// that the images of one association go out together.
enum { FORWARDER_GATHER_MS = 200 };

// The most jobs one claim takes in a cluster: the others stay for the
// other nodes (and for this one's next look).
enum { FORWARDER_CLAIM_JOBS = 200 };

// A node of a cluster: the queue in the cluster's database, which every
// node's forwarder works through (null on one host: the files of
// BASE/forward/). Set once at the forwarder's start, in the forwarder's
// process alone.
static forwarddb *clusterQueue = nullptr;

// Steady time in milliseconds (the lease keeper's own measure).
static long long steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Keeps the leases of the jobs one look claimed while their images are
// sent (a thread of its own: one image may take longer than a lease), and
// tells when to stop sending them: another node holds one of them (the
// lease ran out), or two thirds of the lease have passed since the last
// renewal that took (the database unreachable), so that the sending stops
// before the lease can end and another node take the jobs over: no image
// goes from two nodes at once.
class leaseKeeper
{
public:
    // claimedAt: steadyMs() before the claim that leased ids.
    leaseKeeper(forwarddb *q, std::vector<std::string> ids, long leaseMs, long long claimedAt)
        : q_(q), ids_(std::move(ids)), leaseMs_(leaseMs),
          every_(std::chrono::milliseconds(std::max(50L, leaseMs / 3))), renewed_(claimedAt),
          thread_([this] { run(); })
    {
    }
    ~leaseKeeper() { stop(); }
    // Renews no more (the round's jobs are being settled: a finished one
    // is gone, a released one may be another node's at once, and neither
    // is a job taken over). Only the first call has effect.
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    bool lost() const { return lost_.load() || steadyMs() - renewed_.load() > leaseMs_ * 2 / 3; }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mu_);
        while (!cv_.wait_for(lock, every_, [this] { return stop_; })) {
            lock.unlock();
            std::set<std::string> lost;
            // The time before the statement: the lease it sets ends later.
            long long before = steadyMs();
            int r = q_->renew(ids_, &lost);
            if (r == 0 && lost.empty())
                renewed_.store(before);
            if (r == 0 && !lost.empty()) {
                LOG(LOGLEVEL_WARNING,
                    "Forwarder: %zu job(s) taken over by another node (the first %s); this "
                    "round stops.\n",
                    lost.size(), lost.begin()->c_str());
                lost_.store(true);
            }
            lock.lock();
        }
    }
    forwarddb *q_;
    std::vector<std::string> ids_;
    long leaseMs_;
    std::chrono::milliseconds every_;
    std::atomic<long long> renewed_; // steadyMs() before the last renewal that took
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::atomic<bool> lost_{false};
    std::thread thread_; // last: started once the fields above are made
};

// The leases of the round being sent (null: one host, or no round).
static leaseKeeper *roundLeases = nullptr;

static const char *baseDir()
{
    return archive_baseDir(&server_archive);
}

// "STORAGE FORWARD what" on the monitor channel.
static void announce(const std::string &what)
{
    std::string text = MONITORMSG_KEYWORD " FORWARD " + what;
    multicast_send(server_state.sendsock, text.c_str());
}

// One due job with its images this try.
struct dueJob {
    forward_job job;
    long long takenNs;            // the job file's time when the try began
    bool tried = false;           // its images were selected in this look
    std::set<std::string> sent;   // instances delivered before
    std::set<std::string> wanted; // instances selected and not delivered yet
    int selected = 0;             // images selected
    bool selectFailed = false;    // the index could not be read
    std::set<std::string> failed; // instances that failed this try
    std::string why;              // the first failure's reason
};

// The identifier that selects a job's images.
static DcmDataset *identifierOf(const forward_job &j)
{
    DcmDataset *id = new DcmDataset;
    const char *level = !j.instance.empty() ? "IMAGE" : !j.series.empty() ? "SERIES" : "STUDY";
    id->putAndInsertString(DCM_QueryRetrieveLevel, level);
    id->putAndInsertString(DCM_StudyInstanceUID, j.study.c_str());
    if (!j.series.empty())
        id->putAndInsertString(DCM_SeriesInstanceUID, j.series.c_str());
    if (!j.instance.empty())
        id->putAndInsertString(DCM_SOPInstanceUID, j.instance.c_str());
    return id;
}

// Makes *out the item to send for item de-identified, its file in *copy:
// true, or false with *why.
static bool deidentifyItem(const deidentify_key &key, const deidentify_options &options,
                           const retrieveitem &item, retrieveitem *out, deidexport_tempfile *copy,
                           std::string *why)
{
    DcmFileFormat ff;
    deidentify_result r;
    int d = deidexport_readImage(&server_archive, item.path, key, options, &ff, &r,
                                 server_options.logfp);
    std::string bytes;
    if (d == DEIDENTIFY_REFUSED) {
        *why = "refused to de-identify: the pixel data may hold identifying text";
        return false;
    }
    if (d != DEIDENTIFY_DONE || deidentify_encode(&ff, &bytes) != 0) {
        *why = "the stored file cannot be de-identified";
        return false;
    }
    if (r.burnedIn)
        LOG(LOGLEVEL_WARNING,
            "Forward: %s sent de-identified; its pixel data may hold identifying text.\n",
            item.instance.c_str());
    // In the queue's directory: a temporary file there that a crash leaves
    // is swept with the queue's others.
    if (copy->write(forward_dir(baseDir()), bytes) != 0) {
        *why = "the de-identified copy cannot be written";
        LOG(LOGLEVEL_ERROR, "Forward: cannot write %s: %s\n", copy->path().c_str(),
            strerror(errno));
        return false;
    }
    *out = item;
    out->path = copy->path();
    out->study = r.study;
    out->series = r.series;
    out->instance = r.instance;
    return true;
}

// Sends the images of the due jobs of one destination, syntax and
// de-identification (deid: "" none), noting each delivered one in every
// job that wants it.
static void sendGroup(T_ASC_Network *net, AETitleMap *map, const std::string &dest, int syntax,
                      const std::string &deid, std::vector<dueJob *> &jobs)
{
    // One item per instance, however many of the jobs want it.
    retrievejob all;
    std::map<std::string, std::vector<dueJob *>> wantedBy;
    for (dueJob *d : jobs) {
        if (all.items.size() >= FORWARDER_MAX_IMAGES)
            break;
        d->tried = true;
        DcmDataset *id = identifierOf(d->job);
        retrievejob one;
        int r = retrieve_prepare(&server_archive, id, &one);
        delete id;
        if (r != ARCHIVE_SELECTED) {
            d->selectFailed = true;
            d->why = "the index cannot be read";
            continue;
        }
        d->selected = (int)one.items.size();
        for (retrieveitem &item : one.items) {
            if (d->sent.count(item.instance) != 0)
                continue;
            d->wanted.insert(item.instance);
            std::vector<dueJob *> &w = wantedBy[item.instance];
            if (w.empty())
                all.items.push_back(item);
            w.push_back(d);
        }
    }
    if (all.items.empty())
        return;

    // The agent that carries them there; none: each fails with its reason.
    std::string noAgent;
    std::unique_ptr<forwardagent> agent =
        forwardagent_for(net, AETitleMap_FindByAET(map, dest.c_str()), dest, syntax, &noAgent);
    if (agent != nullptr)
        agent->plan(&all);
    // The site's key, read once for the group; without it nothing of the
    // group goes (never the identified images in its place).
    deidentify_key key;
    deidentify_options options;
    std::string keyWhy;
    if (!deid.empty() && (!deidentify_parseOptions(deid, &options) ||
                          deidentify_loadKey(baseDir(), &key, &keyWhy) != 0)) {
        LOG(LOGLEVEL_ERROR, "Forward: cannot de-identify for %s: %s\n", dest.c_str(),
            keyWhy.empty() ? "unknown options" : keyWhy.c_str());
        agent.reset();
        noAgent = "the images cannot be de-identified";
    }

    std::string why;
    size_t delivered = 0;
    size_t unchanged = 0;
    audit_studies audited; // the images sent, for the audit trail
    for (const retrieveitem &item : all.items) {
        if (dicomnet_stopping() || (roundLeases != nullptr && roundLeases->lost()))
            break;
        bool ok = false;
        // An image that went to this destination as it is now, wanted by
        // rules only, goes no more: it came back through a loop (an
        // archive reached under another title, a ring of archives) or was
        // stored again unchanged. A job from the web is sent as asked.
        bool byRulesOnly = true;
        for (const dueJob *d : wantedBy[item.instance])
            byRulesOnly = byRulesOnly && d->job.origin.compare(0, 5, "rule ") == 0;
        std::string print;
        bool printed = !item.path.empty() && forward_fingerprint(item.path, &print);
        // What went is the de-identified copy: the stored image sent as it
        // is and sent de-identified (or with other options) are two
        // deliveries, neither a repeat of the other.
        if (printed && !deid.empty())
            print += " deidentified " + deid;
        if (printed && byRulesOnly &&
            forward_deliveredBefore(baseDir(), dest, item.instance, print)) {
            ok = true;
            unchanged++;
        } else if (agent == nullptr) {
            why = noAgent;
        } else if (!deid.empty()) {
            deidexport_tempfile copy;
            retrieveitem sent;
            ok = deidentifyItem(key, options, item, &sent, &copy, &why) &&
                 agent->send(&all, sent, &why);
        } else {
            ok = agent->send(&all, item, &why);
            if (ok)
                audited.add(item.study, item.sopClass);
        }
        for (dueJob *d : wantedBy[item.instance]) {
            if (ok) {
                if (clusterQueue != nullptr)
                    clusterQueue->noteSent(d->job.id, item.instance);
                else
                    forward_noteSent(baseDir(), d->job.id, item.instance, server_options.logfp);
                d->wanted.erase(item.instance);
            } else {
                d->failed.insert(item.instance);
                if (d->why.empty())
                    d->why = why;
            }
        }
        if (ok && printed)
            forward_noteDelivered(baseDir(), dest, item.instance, print);
        delivered += ok ? 1 : 0;
    }
    if (agent != nullptr)
        agent->finish();
    if (!audited.empty() && server_archive.audit != nullptr) {
        // This server sends on its own (a rule) or on a user's behalf
        // (whose request was audited when it was queued).
        audit_participant me = audit_self(server_archive.audit, AUDIT_ROLE_SOURCE);
        me.requestor = true;
        audit_participant to;
        to.userId = dest;
        to.role = AUDIT_ROLE_DESTINATION;
        audit_emitStudies(server_archive.audit, AUDIT_TRANSFERRED, 'R', AUDIT_SUCCESS, {me, to},
                          &audited);
    }
    // For storeweb's counters per destination: "SENT DELIVERED FAILED
    // DESTINATION" (the title last: it may hold blanks).
    size_t tried = 0;
    for (const retrieveitem &item : all.items) {
        bool failedHere = false;
        for (const dueJob *d : wantedBy[item.instance])
            failedHere = failedHere || d->failed.count(item.instance) != 0;
        tried += failedHere ? 1 : 0;
    }
    if (delivered != 0 || tried != 0)
        announce("SENT " + std::to_string(delivered - unchanged) + " " + std::to_string(tried) +
                 " " + dest);
    if (unchanged != 0)
        LOG(LOGLEVEL_NOTICE,
            "Forwarded %zu of %zu image(s) to %s; %zu delivered there unchanged before, not "
            "sent again.\n",
            delivered - unchanged, all.items.size(), dest.c_str(), unchanged);
    else
        LOG(LOGLEVEL_NOTICE, "Forwarded %zu of %zu image(s) to %s.\n", delivered, all.items.size(),
            dest.c_str());
}

// The outcomes of one look's jobs, gathered so that each destination's
// are logged and announced together: thousands of jobs failing at once
// make a line per destination and kind of outcome, not one per job.
enum { OUTCOME_DONE = 0, OUTCOME_RETRY = 1, OUTCOME_FAILED = 2 };
struct outcomeKey {
    std::string dest;
    int kind;
    int attempts;
    long long wait;
    std::string why;
    bool operator<(const outcomeKey &o) const
    {
        return std::tie(dest, kind, attempts, wait, why) <
               std::tie(o.dest, o.kind, o.attempts, o.wait, o.why);
    }
};
struct outcomeGroup {
    std::vector<std::string> ids;
    std::vector<int> images; // DONE: each job's images
};
typedef std::map<outcomeKey, outcomeGroup> outcomes;

// The jobs of one group announced one by one; the rest in one line.
enum { FORWARDER_ANNOUNCED_JOBS = 10 };

// Records the outcome of a job's try: finished, to be tried again after
// its wait, or failed for good; noted in *out for the report.
// The finished jobs of one look, for the history: per destination, study
// and origin.
typedef std::map<std::tuple<std::string, std::string, std::string>, forward_finished> finishedMap;

static void settle(dueJob *d, int maxAttempts, unsigned baseWait, outcomes *out,
                   finishedMap *finished)
{
    forward_job &j = d->job;
    if (!d->tried) {
        // Claimed in a cluster but not reached: its lease is given up.
        if (clusterQueue != nullptr)
            clusterQueue->release(j, 0);
        return;
    }
    bool changedTotal = j.total != d->selected && !d->selectFailed;
    if (!d->selectFailed)
        j.total = d->selected;
    if (!d->selectFailed && d->wanted.empty()) {
        int done = clusterQueue != nullptr
                       ? clusterQueue->finish(j, d->takenNs)
                       : forward_finish(baseDir(), j, d->takenNs, server_options.logfp);
        if (done == 0) {
            outcomeGroup &g = (*out)[outcomeKey{j.destination, OUTCOME_DONE, 0, 0, ""}];
            g.ids.push_back(j.id);
            g.images.push_back(j.total);
            forward_finished &f = (*finished)[std::make_tuple(j.destination, j.study, j.origin)];
            f.at = (long long)time(nullptr);
            f.destination = j.destination;
            f.study = j.study;
            f.origin = j.origin;
            f.jobs++;
            f.images += j.total;
        }
        return;
    }
    if (d->failed.empty() && !d->selectFailed) {
        // Stopped before its turn: nothing failed, nothing counts (in a
        // cluster its lease is given up all the same).
        if (clusterQueue != nullptr)
            clusterQueue->release(j, 0);
        else if (changedTotal)
            forward_write(baseDir(), j, server_options.logfp);
        return;
    }
    j.attempts++;
    j.failed = (int)d->failed.size();
    j.error = d->why;
    long long wait = forward_retryWait(baseWait, j.attempts);
    if (j.attempts >= maxAttempts)
        j.state = FORWARD_FAILED;
    else
        j.next = (long long)time(nullptr) + wait;
    // Recorded first, then said (by report): whoever hears of it finds it
    // in the queue.
    if (clusterQueue != nullptr)
        clusterQueue->release(j, j.state == FORWARD_FAILED ? 0 : wait);
    else
        forward_write(baseDir(), j, server_options.logfp);
    bool failed = j.state == FORWARD_FAILED;
    outcomeKey k{j.destination, failed ? OUTCOME_FAILED : OUTCOME_RETRY, j.attempts,
                 failed ? 0 : wait, d->why};
    (*out)[k].ids.push_back(j.id);
}

// Logs and announces the outcomes of one look: a job alone as before, by
// its id; several of one destination and kind in one line with their
// count, the first FORWARDER_ANNOUNCED_JOBS announced by id and the rest
// in one announcement whose id field is "+N" (N more jobs).
static void report(const outcomes &all)
{
    for (const auto &o : all) {
        const outcomeKey &k = o.first;
        const outcomeGroup &g = o.second;
        const char *dest = k.dest.c_str(), *first = g.ids[0].c_str();
        size_t n = g.ids.size();
        std::string tail; // the announcement after the id
        if (k.kind == OUTCOME_DONE) {
            int images = 0;
            for (int i : g.images)
                images += i;
            if (n == 1)
                LOG(LOGLEVEL_NOTICE, "Forwarding job %s to %s done (%d image(s)).\n", first, dest,
                    images);
            else
                LOG(LOGLEVEL_NOTICE, "Forwarding to %s: %zu job(s) done (%d image(s)).\n", dest, n,
                    images);
        } else if (k.kind == OUTCOME_FAILED) {
            if (n == 1)
                LOG(LOGLEVEL_ERROR, "Forwarding job %s to %s failed after %d attempt(s): %s.\n",
                    first, dest, k.attempts, k.why.c_str());
            else
                LOG(LOGLEVEL_ERROR,
                    "Forwarding to %s: %zu job(s) failed after %d attempt(s): %s (the first %s).\n",
                    dest, n, k.attempts, k.why.c_str(), first);
            tail = " " + std::to_string(k.attempts);
        } else {
            if (n == 1)
                LOG(LOGLEVEL_WARNING, "Forwarding job %s to %s: %s; attempt %d, next in %lld s.\n",
                    first, dest, k.why.c_str(), k.attempts, k.wait);
            else
                LOG(LOGLEVEL_WARNING,
                    "Forwarding to %s: %zu job(s): %s; attempt %d, next in %lld s (the first "
                    "%s).\n",
                    dest, n, k.why.c_str(), k.attempts, k.wait, first);
            tail = " " + std::to_string(k.attempts) + " " + std::to_string(k.wait);
        }
        const char *word = k.kind == OUTCOME_DONE     ? "DONE "
                           : k.kind == OUTCOME_FAILED ? "FAILED "
                                                      : "RETRY ";
        size_t one = std::min(n, (size_t)FORWARDER_ANNOUNCED_JOBS);
        for (size_t i = 0; i < one; i++) {
            std::string t = k.kind == OUTCOME_DONE ? " " + std::to_string(g.images[i]) : tail;
            announce(std::string(word) + g.ids[i] + " " + k.dest + t);
        }
        if (n > one) {
            std::string t = tail;
            if (k.kind == OUTCOME_DONE) {
                int rest = 0;
                for (size_t i = one; i < n; i++)
                    rest += g.images[i];
                t = " " + std::to_string(rest);
            }
            announce(std::string(word) + "+" + std::to_string(n - one) + " " + k.dest + t);
        }
    }
}

// The map as its file holds it now (peers are added while the server
// runs); without a file, the one the server started with.
static void loadMap(AETitleMap *map)
{
    if (AETitleMap_LoadSite(map, nullptr) == 0)
        return;
    for (AETitleMapEntry *e = server_aetmap; e != nullptr; e = e->next)
        AETitleMap_Add(map, e->name, e->aetitle, e->address, e->flags, e->remark);
}

static void sendDue(T_ASC_Network *net, std::vector<dueJob> &due, int maxAttempts,
                    unsigned baseWait);

// One look at the queue: sends what is due. Returns the seconds until the
// next job falls due (at most FORWARDER_IDLE_SECONDS).
static int pass(T_ASC_Network *net, unsigned baseWait, size_t *lastPending, size_t *lastFailed)
{
    const forward_rules *rules = server_archive.forwardRules;
    int maxAttempts = rules != nullptr ? rules->maxAttempts : FORWARD_DEFAULT_MAX_ATTEMPTS;
    std::vector<forward_job> jobs;
    forward_list(baseDir(), &jobs);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long now = ts.tv_sec;
    long long wake = now + FORWARDER_IDLE_SECONDS;
    std::vector<dueJob> due;
    size_t pending = 0, failed = 0;
    // A paused destination's jobs wait where they are; resuming it wakes
    // the forwarder (forward_setPaused).
    std::set<std::string> paused;
    forward_pausedSet(baseDir(), &paused);
    for (forward_job &j : jobs) {
        if (j.state == FORWARD_FAILED)
            failed++;
        if (j.state != FORWARD_PENDING)
            continue;
        pending++;
        if (paused.count(j.destination) != 0)
            continue;
        long long at = forward_dueAt(j);
        if (at > now) {
            wake = std::min(wake, at);
            continue;
        }
        dueJob d;
        d.takenNs = j.touchedNs;
        forward_sentSet(baseDir(), j.id, &d.sent);
        d.job = std::move(j);
        due.push_back(std::move(d));
    }
    if (pending != *lastPending || failed != *lastFailed) {
        announce("QUEUE " + std::to_string(pending) + " " + std::to_string(failed));
        *lastPending = pending;
        *lastFailed = failed;
    }
    if (!due.empty()) {
        // The images that workers stored since the last look.
        archive_refresh(&server_archive);
        sendDue(net, due, maxAttempts, baseWait);
        return 0; // look again at once: settled jobs may be due or gone
    }
    long long secs = wake - now;
    return secs < 1 ? 1 : (int)secs;
}

// Sends the due jobs of one look, grouped by destination, syntax and
// de-identification, and settles each: finished, to be tried again, or
// failed; the finished ones go into the history.
static void sendDue(T_ASC_Network *net, std::vector<dueJob> &due, int maxAttempts,
                    unsigned baseWait)
{
    AETitleMap map;
    loadMap(&map);
    std::map<std::tuple<std::string, int, std::string>, std::vector<dueJob *>> groups;
    for (dueJob &d : due)
        groups[std::make_tuple(d.job.destination, d.job.syntax, d.job.deidentify)].push_back(&d);
    for (auto &g : groups) {
        if (dicomnet_stopping())
            break;
        sendGroup(net, &map, std::get<0>(g.first), std::get<1>(g.first), std::get<2>(g.first),
                  g.second);
    }
    AETitleMap_Destroy(&map);
    if (roundLeases != nullptr)
        roundLeases->stop();
    outcomes out;
    finishedMap finished;
    for (dueJob &d : due)
        settle(&d, maxAttempts, baseWait, &out, &finished);
    std::vector<forward_finished> history;
    for (auto &f : finished)
        history.push_back(f.second);
    if (clusterQueue != nullptr)
        clusterQueue->noteFinished(history);
    else
        forward_noteFinished(baseDir(), history, server_options.logfp);
    report(out);
}

// forwarddb::settleHeld's test: the held job's image is in the index.
static bool imageStored(const forward_job &job)
{
    DcmDataset *id = identifierOf(job);
    retrievejob one;
    int r = retrieve_prepare(&server_archive, id, &one);
    delete id;
    return r == ARCHIVE_SELECTED && !one.items.empty();
}

// One look at the cluster's queue: settles the held jobs whose node left
// them, claims the due jobs (a lease for each) and sends them, the leases
// renewed meanwhile. 0 when it sent (look again at once), 1 when nothing
// was due (wait for the poll).
static int passCluster(T_ASC_Network *net, unsigned baseWait, size_t *lastPending,
                       size_t *lastFailed)
{
    const forward_rules *rules = server_archive.forwardRules;
    int maxAttempts = rules != nullptr ? rules->maxAttempts : FORWARD_DEFAULT_MAX_ATTEMPTS;
    forwarddb &q = *clusterQueue;
    // The images stored since the last look, on this node or another.
    archive_refresh(&server_archive);
    q.settleHeld(imageStored);
    size_t pending = 0, failed = 0;
    q.counts(&pending, &failed);
    if (pending != *lastPending || failed != *lastFailed) {
        announce("QUEUE " + std::to_string(pending) + " " + std::to_string(failed));
        *lastPending = pending;
        *lastFailed = failed;
    }
    std::vector<forward_job> jobs;
    long long claimedAt = steadyMs();
    if (q.claim(FORWARDER_CLAIM_JOBS, &jobs) != 0 || jobs.empty())
        return 1;
    std::vector<dueJob> due;
    std::vector<std::string> ids;
    for (forward_job &j : jobs) {
        dueJob d;
        d.takenNs = j.touchedNs;
        // What a node that held it before delivered: not sent again.
        q.sentSet(j.id, &d.sent);
        ids.push_back(j.id);
        d.job = std::move(j);
        due.push_back(std::move(d));
    }
    const cluster_config *cfg = archive_clusterConfig(&server_archive);
    leaseKeeper keeper(&q, ids, cfg->leaseMs, claimedAt);
    roundLeases = &keeper;
    sendDue(net, due, maxAttempts, baseWait);
    roundLeases = nullptr;
    return 0;
}

// Waits up to ms milliseconds for a job file to be placed in the queue's
// directory (fd: an inotify descriptor on it; -1: just sleeps), or a stop.
static void waitForJobs(int fd, long ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    for (long left = ms; left > 0 && !listener_stopping(); left -= 1000) {
        int r = poll(&p, fd >= 0 ? 1 : 0, left < 1000 ? left : 1000);
        if (r > 0) {
            // Gather what follows the first job (the rest of an association's
            // images), then drain the events: the queue is read whole anyway.
            poll(nullptr, 0, FORWARDER_GATHER_MS);
            char buf[8192];
            while (read(fd, buf, sizeof buf) > 0)
                ;
            return;
        }
    }
}

// How long finished jobs stay in the history: the rules file's setting.
static long long historySeconds()
{
    const forward_rules *rules = server_archive.forwardRules;
    return 86400LL *
           (rules != nullptr ? rules->historyDays : (unsigned)FORWARD_DEFAULT_HISTORY_DAYS);
}

// Drops the history's entries older than the rules file says.
static void pruneHistory()
{
    if (clusterQueue != nullptr)
        clusterQueue->pruneHistory(historySeconds());
    else
        forward_pruneHistory(baseDir(), historySeconds());
}

// The forwarder's life: until a stop, or the listener's end.
static void runForwarder()
{
    unsigned baseWait = server_options.forward_wait;
    std::string dir = forward_dir(baseDir());
    mkdir(dir.c_str(), 0755);
    // A node of a cluster: the cluster's queue, on a connection of this
    // process's own (archive_forked in forwarder_start).
    std::unique_ptr<forwarddb> queue;
    if (clusterdb *db = archive_clusterDb(&server_archive)) {
        queue.reset(
            new forwarddb(db, archive_clusterConfig(&server_archive), server_options.logfp));
        clusterQueue = queue.get();
        clusterQueue->migrate();
    }
    forward_sweep(baseDir());
    pruneHistory();
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Every job file is placed by a rename (a temporary name, then its own).
    if (fd >= 0 && inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO) < 0) {
        LOG(LOGLEVEL_ERROR, "Forwarder: cannot watch %s: %s\n", dir.c_str(), strerror(errno));
        close(fd);
        fd = -1;
    }
    T_ASC_Network *net = dicomnet_net_init(MOVE_CONNECT_TIMEOUT);
    if (net == nullptr) {
        LOG(LOGLEVEL_ERROR, "Forwarder: cannot set up the network.\n");
        return;
    }
    LOG(LOGLEVEL_NOTICE, "Forwarder started (%zu rule(s)).\n",
        server_archive.forwardRules != nullptr ? server_archive.forwardRules->rules.size() : 0);
    // The counts are announced when they change, so an empty queue says
    // nothing at the start.
    size_t lastPending = 0, lastFailed = 0;
    time_t swept = time(nullptr);
    while (!listener_stopping()) {
        // Done web jobs are kept for a day; the sweep drops older ones.
        if (time(nullptr) - swept >= 3600) {
            forward_sweep(baseDir());
            pruneHistory();
            swept = time(nullptr);
        }
        if (clusterQueue != nullptr) {
            // A cluster's queue is looked at every poll: jobs are made and
            // finished on every node, which inotify here cannot see.
            if (passCluster(net, baseWait, &lastPending, &lastFailed) != 0)
                waitForJobs(-1, archive_clusterConfig(&server_archive)->pollMs);
            continue;
        }
        int secs = pass(net, baseWait, &lastPending, &lastFailed);
        if (secs > 0)
            waitForJobs(fd, secs * 1000L);
    }
    dicomnet_net_exit(net);
    if (fd >= 0)
        close(fd);
    clusterQueue = nullptr;
}

pid_t forwarder_start(int closeFd)
{
    // The forwarder dies with the listener, so a restarted server never
    // finds an old forwarder still sending from the same queue.
    pid_t pid = listener_forkHelper("forwarder", closeFd, false);
    if (pid != 0)
        return pid;
    runForwarder();
    // _exit, not exit: the listener's objects (its log stream's buffer, the
    // store) belong to the listener; every log line is flushed already.
    _exit(0);
}
