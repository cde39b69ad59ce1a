// DIMSE provider operations: answer one received C-ECHO, C-STORE, C-FIND,
// C-MOVE or C-GET request completely, calling back into the server for the work.
#include "dicomnet/dicomnet.h"

#include "dcmtk/dcmdata/dcfilefo.h"

// A command of another kind than the operation expects is the caller's
// dispatch error or a peer's bad input; it ends the exchange, not the process.
static bool command_is(const T_DIMSE_Message *msg, T_DIMSE_Command command)
{
    return msg != nullptr && msg->CommandField == command;
}

OFCondition DCMTK_SCP_echo(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                           T_ASC_PresentationContextID pcId)
{
    if (!command_is(msg, DIMSE_C_ECHO_RQ))
        return DIMSE_BADCOMMANDTYPE;
    return DIMSE_sendEchoResponse(assoc, pcId, &msg->msg.CEchoRQ, STATUS_Success, nullptr);
}

OFCondition DCMTK_SCP_store(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                            T_ASC_PresentationContextID pcId, DCMTK_SCP_store_callback cb,
                            void *cbData)
{
    if (!command_is(msg, DIMSE_C_STORE_RQ) || cb == nullptr) {
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCP_store: failure.\n");
        return DIMSE_BADCOMMANDTYPE;
    }
    // The data set is received into memory and dies with the file object
    // at the end of this function; the callback must not keep it.
    DcmFileFormat file;
    DcmDataset *dataset = file.getDataset();
    OFCondition cond = DIMSE_storeProvider(assoc, pcId, &msg->msg.CStoreRQ, nullptr, 0, &dataset,
                                           cb, cbData, DIMSE_BLOCKING, 0);
    if (cond.bad())
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCP_store: failure.\n");
    return cond;
}

OFCondition DCMTK_SCP_find(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                           T_ASC_PresentationContextID pcId, DCMTK_SCP_find_callback cb,
                           void *cbData)
{
    OFCondition cond = DIMSE_BADCOMMANDTYPE;
    if (command_is(msg, DIMSE_C_FIND_RQ) && cb != nullptr)
        cond = DIMSE_findProvider(assoc, pcId, &msg->msg.CFindRQ, cb, cbData, DIMSE_BLOCKING, 0);
    if (cond.bad())
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCP_find: DIMSE_findProvider failure\n");
    return cond;
}

OFCondition DCMTK_SCP_move(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                           T_ASC_PresentationContextID pcId, DCMTK_SCP_move_callback cb,
                           void *cbData)
{
    OFCondition cond = DIMSE_BADCOMMANDTYPE;
    if (command_is(msg, DIMSE_C_MOVE_RQ) && cb != nullptr)
        cond = DIMSE_moveProvider(assoc, pcId, &msg->msg.CMoveRQ, cb, cbData, DIMSE_BLOCKING, 0);
    if (cond.bad())
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCP_move: DIMSE_moveProvider failure\n");
    return cond;
}

OFCondition DCMTK_SCP_get(T_ASC_Association *assoc, T_DIMSE_Message *msg,
                          T_ASC_PresentationContextID pcId, DCMTK_SCP_get_callback cb, void *cbData)
{
    OFCondition cond = DIMSE_BADCOMMANDTYPE;
    if (command_is(msg, DIMSE_C_GET_RQ) && cb != nullptr)
        cond = DIMSE_getProvider(assoc, pcId, &msg->msg.CGetRQ, cb, cbData, DIMSE_BLOCKING, 0);
    if (cond.bad())
        DCMTK_trace(DCMTK_TRACE_DEBUG, "DCMTK_SCP_get: DIMSE_getProvider failure\n");
    return cond;
}
