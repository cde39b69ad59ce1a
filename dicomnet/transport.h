// The layer's TCP transport for DICOM connections (internal to dicomnet).
#ifndef VELTO_DICOMNET_TRANSPORT_H
#define VELTO_DICOMNET_TRANSPORT_H

#include "dicomnet/dicomnet.h"

#include "dcmtk/dcmnet/dcmtrans.h"

// Installs on network a transport whose connections run with Nagle's
// algorithm off and acknowledge each read at once (TCP_QUICKACK); the
// network owns it. Toolkit condition of ASC_setTransportLayer.
OFCondition dicomnet_transport_install(T_ASC_Network *network);

// A connection of the layer's transport on the connected socket fd (which
// it owns and closes); for tests of the buffering and framing.
DcmTransportConnection *dicomnet_transport_connection(int fd);

// dicomnet_transport_cork on such a connection (for tests).
int dicomnet_transport_connection_cork(DcmTransportConnection *conn, int on);

#endif
