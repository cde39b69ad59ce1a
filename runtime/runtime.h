// Umbrella header of the shared runtime library.
#ifndef VELTO_RUNTIME_RUNTIME_H
#define VELTO_RUNTIME_RUNTIME_H

#include "runtime/crc32.h"
#include "runtime/fullio.h"
#include "runtime/installpath.h"
#include "runtime/logprintf.h"
#include "runtime/multicast.h"
#include "runtime/process.h"
#include "runtime/textfield.h"
#include "runtime/vlcompat.h"
#include "runtime/vrstring.h"

#endif
