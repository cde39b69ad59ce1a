// The worker's DIMSE command loop and its C-ECHO service.
#include "server/commands.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "dcmtk/dcmdata/dcuid.h"

#include "core/archive.h"
#include "runtime/logprintf.h"
#include "runtime/watchdog.h"
#include "server/handlers.h"
#include "server/listener.h"
#include "server/oplog.h"
#include "server/serveraudit.h"
#include "server/serveroptions.h"
#include "server/serverstate.h"
#include "server/worklisthandler.h"

static bool isGetModel(const char *sopClass)
{
    return strcmp(sopClass, UID_GETPatientRootQueryRetrieveInformationModel) == 0 ||
           strcmp(sopClass, UID_GETStudyRootQueryRetrieveInformationModel) == 0;
}

// Runs one service between its two status announcements. A request whose
// data set was refused (DICOMNET_EC_DATASET_REFUSED: answered, its rest
// unread) is logged here and ends the association.
static OFCondition runService(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                              T_ASC_PresentationContextID pcId, handlercontext *ctx)
{
    const dicomnet_dataset_limits &limits = HANDLERS_IDENTIFIER_LIMITS;
    dicomnet_refusal refusal = {0, 0};
    const char *operation = nullptr;
    OFCondition cond = EC_Normal;
    switch (msg->CommandField) {
    case DIMSE_C_STORE_RQ:
        return storeSCP(assoc, msg, pcId, ctx);
    case DIMSE_C_FIND_RQ:
        operation = "C-FIND";
        if (worklist_isWorklistClass(msg->msg.CFindRQ.AffectedSOPClassUID))
            cond = dicomnet_SCP_find(assoc, msg, pcId, worklistSCPCallback, ctx, limits, &refusal);
        else
            cond = dicomnet_SCP_find(assoc, msg, pcId, findSCPCallback, ctx, limits, &refusal);
        break;
    case DIMSE_C_MOVE_RQ:
        operation = "C-MOVE";
        cond = dicomnet_SCP_move(assoc, msg, pcId, moveSCPCallback, ctx, limits, &refusal);
        break;
    case DIMSE_N_ACTION_RQ:
        return commitSCP(assoc, msg, pcId, ctx);
    case DIMSE_C_GET_RQ:
        operation = "C-GET";
        cond = dicomnet_SCP_get(assoc, msg, pcId, getSCPCallback, ctx, limits, &refusal);
        break;
    default:
        if (msg->CommandField == DIMSE_C_ECHO_RQ && !handlerPermits(ctx, ACCESS_ECHO))
            return DIMSE_sendEchoResponse(assoc, pcId, &msg->msg.CEchoRQ,
                                          HANDLERS_STATUS_NOT_AUTHORIZED, nullptr);
        return dicomnet_SCP_echo(assoc, msg, pcId);
    }
    if (cond == DICOMNET_EC_DATASET_REFUSED)
        handlerLogRefusal(operation, "identifier", refusal, limits);
    return cond;
}

// "TIME OPERATION MICROSECONDS" on the monitor channel after a C-STORE,
// C-FIND, C-MOVE or C-GET, from which storeweb makes its histograms.
static void announceDuration(unsigned command, const struct timespec &began,
                             const struct timespec &ended)
{
    const char *name = command == DIMSE_C_STORE_RQ  ? "C-STORE"
                       : command == DIMSE_C_FIND_RQ ? "C-FIND"
                       : command == DIMSE_C_MOVE_RQ ? "C-MOVE"
                       : command == DIMSE_C_GET_RQ  ? "C-GET"
                                                    : nullptr;
    if (name == nullptr)
        return;
    long long us = (long long)(ended.tv_sec - began.tv_sec) * 1000000LL +
                   (ended.tv_nsec - began.tv_nsec) / 1000;
    char text[64];
    snprintf(text, sizeof text, "TIME %s %lld", name, us < 0 ? 0 : us);
    server_state.change_verbose(text);
}

OFCondition processCommands(T_ASC_Network *net, T_ASC_Association *assoc, const char *calling,
                            const char *called)
{
    FILE *logfp = server_options.logfp;
    OFCondition cond = EC_Normal;
    char current[OPLOG_TEXT_SIZE];
    oplog ops;
    oplog_init(&ops);
    // One context for every handler of this association (the network layer
    // passes it through untouched); each handler sets up its own part.
    handlercontext ctx;
    handlercontext_init(&ctx, calling, called, assoc);
    // Set after a store: the store may have work to do ahead (archive_idle).
    bool idleWork = false;
    // Polls in a row without a command (COMMANDS_IDLE_POLLS).
    int idlePolls = 0;

    while (cond == EC_Normal || cond == DIMSE_NODATAAVAILABLE) {
        T_ASC_PresentationContextID pcId = 0;
        T_DIMSE_Message msg;
        DcmDataset *statusDetail = nullptr;

        // A stop request ends the association here, between two operations
        // (a command not yet read is not answered, so the peer knows it was
        // not done). The wait for the next command is cut into short polls
        // for this; the idle budget runs from the last command, not from
        // each poll.
        if (listener_stopping()) {
            oplog_note(&ops, "Stopping: association ended between operations", logfp);
            cond = EC_IllegalCall;
            break;
        }
        // The watchdog bounds the time without progress, not the time an
        // operation takes: every read and write of the association starts
        // its budget over, so a large image over a slow link is never cut,
        // and a peer that stops sending loses the association one budget
        // after its last byte.
        if (cond != DIMSE_NODATAAVAILABLE)
            watchdog_arm();
        // While the peer prepares its next command, the store does ahead
        // what that command would wait for otherwise (after a store, the
        // next image's file made), as long as nothing of it has come.
        int ready = 0;
        while (idleWork && (ready = dicomnet_assoc_waitMessage(assoc, 0)) == 0)
            idleWork = archive_idle(ctx.archive) != 0;
        // Only the wait for a command's first byte is cut into polls: once
        // it has begun, the command is read whole by a blocking read, so a
        // peer whose PDU header or command comes in pieces, however far
        // apart within the budget, is served (a read that timed out within
        // a PDU would lose its place in the stream).
        if (ready != 1 && dicomnet_assoc_waitMessage(assoc, COMMANDS_POLL_SECONDS * 1000) == 0) {
            // A peer that pauses has the file made ahead removed: a worker
            // ended by the watchdog, much later, leaves none behind.
            if (++idlePolls == COMMANDS_IDLE_POLLS)
                archive_endIdle(ctx.archive);
            cond = DIMSE_NODATAAVAILABLE;
            continue;
        }
        idlePolls = 0;
        cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &pcId, &msg, &statusDetail);
        delete statusDetail;
        // The full budget again, now for handling this command: the alarm
        // armed above is set again unless that was within this second (it
        // counts whole seconds), as every read's progress does.
        watchdog_progress();
        if (cond != EC_Normal)
            continue;

        logprintf(LOGLEVEL_TRACE, logfp, "Command 0x%04x on presentation context %d\n",
                  (unsigned)msg.CommandField, (int)pcId);
        const char *format = nullptr;
        serverstate_currop op = SS_ECHO;
        switch (msg.CommandField) {
        case DIMSE_C_STORE_RQ:
            format = "C-Store %s->%s";
            op = SS_STORE;
            break;
        case DIMSE_C_FIND_RQ:
            format = "C-Find %s->%s";
            op = SS_FIND;
            break;
        case DIMSE_C_MOVE_RQ:
            format = "C-Move %s->%s";
            op = SS_MOVE;
            ctx.move.net = net;
            ctx.move.assoc = assoc;
            break;
        case DIMSE_C_GET_RQ:
            // A retrieve as well, announced as one; only under the two
            // C-GET information models.
            if (isGetModel(msg.msg.CGetRQ.AffectedSOPClassUID)) {
                format = "C-Get %s->%s";
                op = SS_MOVE;
            }
            break;
        case DIMSE_N_ACTION_RQ:
            format = "N-Action %s->%s";
            op = SS_STORE;
            break;
        case DIMSE_C_ECHO_RQ:
            format = "C-Echo %s->%s";
            op = SS_ECHO;
            break;
        case DIMSE_C_CANCEL_RQ:
            // A cancel that arrives between operations has nothing to stop.
            continue;
        default:
            break;
        }
        if (format == nullptr) {
            oplog_note(&ops, "Not handling unsupported request", logfp);
            cond = DIMSE_BADCOMMANDTYPE;
            continue;
        }
        snprintf(current, sizeof(current), format, calling, called);
        oplog_note(&ops, current, logfp);
        server_state.change(op, 1);
        struct timespec began, ended;
        clock_gettime(CLOCK_MONOTONIC, &began);
        cond = runService(assoc, &msg, pcId, &ctx);
        clock_gettime(CLOCK_MONOTONIC, &ended);
        server_state.change(op, 0);
        announceDuration(msg.CommandField, began, ended);
        idleWork = msg.CommandField == DIMSE_C_STORE_RQ;
    }
    archive_endIdle(ctx.archive);

    snprintf(current, sizeof(current), "EOF %s->%s", calling, called);
    oplog_note(&ops, current, logfp);
    watchdog_disarm();
    // A listing the association left unfinished (it ended in the middle).
    delete ctx.find;
    worklist_endQuery(&ctx);
    serveraudit_associationEnd(&ctx);
    return cond;
}
