// The forwarder's delivery agents (server/forwardagent.h): the DICOM
// C-STORE agent, which sends a group's images over associations of its own
// with the retrieve code that C-MOVE uses, and the choice of agent for a
// destination.
#include "server/forwardagent.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "dcmtk/dcmdata/dcuid.h"
#include "dcmtk/dcmnet/cond.h"

#include "core/forward.h"
#include "dicomnet/dicomnet.h"
#include "server/handlers.h"
#include "server/serveroptions.h"

// Contexts for a fixed syntax: per SOP class one context that proposes that
// syntax alone (the sender decodes a compressed image into it), packed into
// batches of at most RETRIEVE_MAX_CONTEXTS, the images ordered by batch.
static void planFixed(retrievejob *job, const char *syntax)
{
    std::vector<std::string> classes;
    for (const retrieveitem &item : job->items) {
        if (!item.sopClass.empty() &&
            std::find(classes.begin(), classes.end(), item.sopClass) == classes.end())
            classes.push_back(item.sopClass);
    }
    job->batches.clear();
    std::map<std::string, int> batchOf;
    for (size_t i = 0; i < classes.size(); i++) {
        if (i % RETRIEVE_MAX_CONTEXTS == 0)
            job->batches.emplace_back();
        job->batches.back().push_back(retrieveproposal{classes[i], {syntax}});
        batchOf[classes[i]] = (int)job->batches.size() - 1;
    }
    for (retrieveitem &item : job->items)
        item.batch = item.sopClass.empty() ? -1 : batchOf[item.sopClass];
    std::stable_sort(
        job->items.begin(), job->items.end(),
        [](const retrieveitem &a, const retrieveitem &b) { return a.batch < b.batch; });
}

// Opens an association to the destination for batch b: the association,
// or null with *why set.
static T_ASC_Association *openBatch(T_ASC_Network *net, const char *dest, const char *address,
                                    const retrievejob *job, int b, std::string *why)
{
    T_ASC_Parameters *params = dicomnet_params_init(server_options.aetitle, nullptr, dest, address,
                                                    false, MOVE_SUBASSOC_MAX_PDU);
    if (params == nullptr) {
        *why = "cannot prepare the association";
        return nullptr;
    }
    retrieve_proposeBatch(params, job, b);
    dcmConnectionTimeout.set(MOVE_CONNECT_TIMEOUT);
    T_ASC_Association *assoc = nullptr;
    int r = dicomnet_associate(&assoc, net, params);
    if (assoc == nullptr) {
        // The toolkit made no association, so the parameters are still ours.
        ASC_destroyAssociationParameters(&params);
    } else if (r != 0) {
        dicomnet_dissociate(&assoc, r == -3 ? EC_Normal : DUL_PEERABORTEDASSOCIATION);
        assoc = nullptr;
    }
    if (assoc == nullptr)
        *why = r == -1   ? "association rejected"
               : r == -3 ? "no presentation context accepted"
                         : "cannot connect";
    return assoc;
}

namespace
{

// A DICOM destination: one association per batch of contexts, opened when
// the batch's first image goes; an association that fails takes the rest of
// its batch with it until the next look.
class dicomagent : public forwardagent
{
public:
    dicomagent(T_ASC_Network *net, const AETitleMapEntry *entry, const std::string &dest,
               int syntax)
        : net_(net), dest_(dest), address_(entry->address), syntax_(syntax)
    {
    }
    ~dicomagent() override { finish(); }

    void plan(retrievejob *all) override
    {
        if (syntax_ == FORWARD_SYNTAX_EXPLICIT)
            planFixed(all, UID_LittleEndianExplicitTransferSyntax);
        else if (syntax_ == FORWARD_SYNTAX_IMPLICIT)
            planFixed(all, UID_LittleEndianImplicitTransferSyntax);
        else
            retrieve_planBatches(all);
    }

    bool send(retrievejob *all, const retrieveitem &item, std::string *why) override
    {
        if (item.batch < 0) {
            *why = "the stored file cannot be read";
            return false;
        }
        if (item.batch != batch_) {
            if (assoc_ != nullptr)
                dicomnet_dissociate(&assoc_, EC_Normal);
            batch_ = item.batch;
            assoc_ = openBatch(net_, dest_.c_str(), address_.c_str(), all, item.batch, &batchWhy_);
        }
        if (assoc_ == nullptr) {
            *why = batchWhy_; // the batch's association could not be had
            return false;
        }
        Uint16 done = (Uint16)(all->completed + all->warning);
        retrieveorigin origin = {nullptr, 0, DIMSE_PRIORITY_MEDIUM};
        int r = retrieve_send(all, item, assoc_, origin, nullptr);
        bool ok = (Uint16)(all->completed + all->warning) != done;
        if (!ok)
            *why = r == RETRIEVE_SENT ? "the destination refused an image"
                                      : "the image could not be sent";
        if (r == RETRIEVE_LINK_LOST || r == RETRIEVE_SILENT) {
            // The association is gone: the rest of its batch waits for the
            // next look, with this image's reason.
            dicomnet_dissociate(&assoc_, DUL_PEERABORTEDASSOCIATION);
            assoc_ = nullptr;
            batchWhy_ = *why;
        }
        return ok;
    }

    void finish() override
    {
        if (assoc_ != nullptr)
            dicomnet_dissociate(&assoc_, EC_Normal);
        assoc_ = nullptr;
    }

private:
    T_ASC_Network *net_;
    std::string dest_, address_;
    int syntax_;
    T_ASC_Association *assoc_ = nullptr;
    int batch_ = -1;       // the batch whose association was opened last
    std::string batchWhy_; // why that batch's association is not there
};

} // namespace

std::unique_ptr<forwardagent> forwardagent_for(T_ASC_Network *net, const AETitleMapEntry *entry,
                                               const std::string &dest, int syntax,
                                               std::string *why)
{
    if (entry == nullptr) {
        *why = "destination not in the AE title map";
        return nullptr;
    }
    return std::unique_ptr<forwardagent>(new dicomagent(net, entry, dest, syntax));
}
