// The web's reads of stored instances that may live in the object tier
// (core/archivetier.h): the file to read, fetched into the tier's cache when the
// image has moved out, and the HTTP status when the tier cannot give it.
#ifndef VELTO_WEB_WEBTIER_H
#define VELTO_WEB_WEBTIER_H

#include <vector>

#include "core/archivetier.h"
#include "web/webserver.h"

// Opens instance i for reading, verified against the checksum recorded at
// ingest (archivetier_open): 0 readable at held->path (a cached copy stays
// while held lives), 404 not stored, 503 in the tier, which cannot give it
// now, 500 damaged (counted in /metrics; never to be sent).
int webtier_open(const webinstance &i, tier_file *held);
// webtier_open for a read of the instance's head only (its metadata): not
// verified, as none of its bytes go out.
int webtier_openHead(const webinstance &i, tier_file *held);

// Makes sure every instance of list can be read now, each verified (those
// in the tier are fetched into the cache): 0, or the status of the first
// that cannot be (webtier_open's; 500 also for an indexed instance whose
// file is gone), so that a request for several instances is answered whole
// or not at all. With paths, the instances' paths (web_instancePath) are
// appended to it in the order of list.
int webtier_ready(const std::vector<webinstance> &list, std::vector<std::string> *paths = nullptr);
// For the metadata of the instances (their heads only, not verified): those
// in the tier fetched into the cache, as webtier_ready; 0, or 503 when the
// tier cannot give one.
int webtier_readyHeads(const std::vector<webinstance> &list);

// The text of an error answer for a status of webtier_open or webtier_ready.
const char *webtier_reason(int status);

#endif
