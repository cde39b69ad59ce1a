// Temporary bodies of the DCMTK_ layer so that the tree links while the
// real sources are written; every operation reports failure.
#include "dicomnet/dicomnet.h"

void DCMTK_trace_open(FILE *, unsigned) {}
void DCMTK_trace_close(void) {}
int DCMTK_trace_enabled(unsigned) { return 0; }
void DCMTK_trace(unsigned, const char *, ...) {}
void DCMTK_quiet_toolkit_log(void) {}
const char *const *DCMTK_get_STD_TS(int &count) { count = 0; return nullptr; }
T_ASC_Network *DCMTK_net_init_listen(int, int) { return nullptr; }
T_ASC_Network *DCMTK_net_init(int) { return nullptr; }
int DCMTK_net_exit(T_ASC_Network *) { return 1; }
T_ASC_Parameters *DCMTK_params_init(const char *, const char *, const char *, const char *, bool, unsigned long) { return nullptr; }
OFCondition DCMTK_params_add_std_PC(T_ASC_Parameters *, unsigned long, const char *) { return ASC_NULLKEY; }
OFCondition DCMTK_params_accept_std_PCs(T_ASC_Parameters *, const char *const[], int) { return ASC_NULLKEY; }
OFCondition DCMTK_params_accept_std_PC(T_ASC_Parameters *, const char *) { return ASC_NULLKEY; }
OFCondition DCMTK_params_accept_unknown_PC(T_ASC_Parameters *, const char *, T_ASC_SC_ROLE) { return ASC_NULLKEY; }
OFCondition DCMTK_params_accept_unknown_PCs(T_ASC_Parameters *, const char *const[], int, T_ASC_SC_ROLE) { return ASC_NULLKEY; }
int DCMTK_associate(T_ASC_Association **, T_ASC_Network *, T_ASC_Parameters *) { return -2; }
int DCMTK_dissociate(T_ASC_Association **, OFCondition) { return -3; }
OFCondition DCMTK_SCP_echo(T_ASC_Association *, T_DIMSE_Message *, T_ASC_PresentationContextID) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCP_store(T_ASC_Association *, T_DIMSE_Message *, T_ASC_PresentationContextID, DCMTK_SCP_store_callback, void *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCP_find(T_ASC_Association *, T_DIMSE_Message *, T_ASC_PresentationContextID, DCMTK_SCP_find_callback, void *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCP_move(T_ASC_Association *, T_DIMSE_Message *, T_ASC_PresentationContextID, DCMTK_SCP_move_callback, void *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCU_echo(T_ASC_Association *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCU_find(T_ASC_Association *, const char *, DcmDataset *, DCMTK_SCU_find_callback, const void *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCU_move(T_ASC_Association *, const char *, DcmDataset *, const char *, DCMTK_SCU_move_callback, const void *) { return DIMSE_NULLKEY; }
OFCondition DCMTK_SCU_store(T_ASC_Association *, DcmDataset *) { return DIMSE_NULLKEY; }
const char *DCMTK_convertSCS(const char *, const char *, int, const char *) { return nullptr; }
const char *DCMTK_getTagString(DcmItem *, const DcmTagKey &) { return nullptr; }
int DCMTK_Key_AddVR(DcmDataset *, int, int, const char *, const char *) { return -1; }
int DCMTK_Key_Add(DcmDataset *, int, int, const char *) { return -1; }
Uint16 *DCMTK_getUnit16Field(DcmItem *, const DcmTagKey &, int *) { return nullptr; }
Uint8 *DCMTK_getUnit8Field(DcmItem *, const DcmTagKey &, int *) { return nullptr; }
DcmDataset *DCMTK_Dataset_Create(void) { return new DcmDataset; }
