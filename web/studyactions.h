// What the study page does to a study or series besides showing it: the
// download as a ZIP of the stored files, the delete, and the list of
// destinations a study may be sent to.
#ifndef VELTO_WEB_STUDYACTIONS_H
#define VELTO_WEB_STUDYACTIONS_H

#include <string>
#include <vector>

struct webrequest;

// GET /download?study=UID[&series=UID]: the stored files as one ZIP,
// streamed (entries stored without compression, named
// STUDY/SERIES/INSTANCE.dcm; ZIP64 records where offsets need them), so
// memory stays bounded however large the study.
int studyactions_download(const webrequest &rq);

// POST /delete with the fields study and optionally series, as a form
// (with the page's token) or a JSON object (web_bodyFields): every image of the study (series)
// deleted through the archive core's delete, the same path as a C-MOVE to VeltoDeleteAET (intent
// files, crash recovery), announced on the monitor channel as the server's delete is ("STORAGE MOVE
// 1" ... "STORAGE MOVE 0") and by "WEB DELETED n study [series]". Answers JSON {"deleted": n,
// "failed": m}.
int studyactions_delete(const webrequest &rq, const std::string &body);

// A destination the page offers for sending: the AE title map's entries
// with the flag M (move destination) that the site wrote (learnt entries
// are left out: the site adopts them first), read from the file each time.
struct studyactions_destination {
    std::string name, aetitle;
};
std::vector<studyactions_destination> studyactions_destinations();

#endif
