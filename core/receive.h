// The one way an image comes into the archive, for every front end: a
// C-STORE's data set as the network layer hands its bytes down (the receive
// is its dicomnet_store_sink), and a STOW-RS part (a Part 10 file) as the
// web server reads it. Here, and nowhere in the front ends, the bytes are
// walked within the limits of an image before anything parses them
// (sequences at most ELEMENTWALK_MAX_DEPTH deep, at most
// ELEMENTWALK_MAX_ITEMS items and ELEMENTWALK_MAX_IMAGE_ELEMENTS elements,
// at most the bytes the front end allows), the one choice is made between
// storing them as they come and parsing them (storedAsItComes), and the
// image is handed to the ingest (archive_ingest).
//
// Its life: made when the data set (or part) begins; fed its bytes in
// order; finished at their end; then dataset(), which the front end checks
// against what its protocol names, and ingest(). Destroyed without an
// ingest (refused, cut short, the peer gone) it leaves no trace: the
// store's temporary file and its own are removed. The announcement of an
// image stored as it came is sent when the receive is destroyed, after
// the front end has answered. Every call may make store calls: the caller
// serialises them with every other use of the archive's store.
#ifndef VELTO_CORE_RECEIVE_H
#define VELTO_CORE_RECEIVE_H

#include <stdint.h>

#include <memory>
#include <string>

#include "core/archive.h"
#include "dicomnet/dicomnet.h"

// Results of archive_receive::feed and finish beside ARCHIVE_UPLOAD_*.
enum {
    ARCHIVE_RECEIVE_TOO_LARGE = -3, // more bytes than the receive allows
    ARCHIVE_RECEIVE_NO_FILE = -4,   // its temporary file could not be made or written (logged)
};

class archive_receive : public dicomnet_store_sink
{
public:
    // A C-STORE data set whose bytes come in transferSyntax (its context's
    // accepted syntax; a deflated one is handed down inflated), at most
    // maxBytes (0: no limit). Without store (a peer not allowed to store)
    // the bytes are walked and parsed as any, and nothing is written.
    archive_receive(const archive_context *ctx, const char *transferSyntax, uint64_t maxBytes,
                    bool store);
    // A Part 10 file (a STOW-RS part) of at most maxBytes, whose deflated
    // data set may inflate to as many. One that must be parsed whole is
    // kept meanwhile in a temporary file in tmpDir.
    archive_receive(const archive_context *ctx, uint64_t maxBytes, const char *tmpDir);
    ~archive_receive() override;
    archive_receive(const archive_receive &) = delete;
    archive_receive &operator=(const archive_receive &) = delete;

    // The one decision between the two ways an image is received: true
    // when a data set whose bytes come in transferSyntax is stored as it
    // comes (the store writes the bytes, which are the file's, and parses
    // only the head): Explicit VR Little Endian, or an encapsulated
    // (compressed) syntax. Any other is parsed whole by the toolkit and
    // stored in Explicit VR Little Endian, but for a C-STORE data set in
    // Implicit VR Little Endian or Explicit VR Big Endian, which is
    // converted to Explicit VR Little Endian as it comes
    // (dicomnet/transcode.h) and then stored as it comes. A deflated C-STORE
    // data set comes inflated (Explicit VR Little Endian); a deflated Part 10
    // file is inflated from its file, and parsed.
    static bool storedAsItComes(const char *transferSyntax);
    // Whether this image is stored as it comes: known at once for a
    // C-STORE, for a Part 10 file once its meta header has been read.
    bool streamed() const;

    // --- a C-STORE: the network layer's sink ---
    uint64_t maxBytes() const override;
    // A piece of the data set (last: its end): 0, or the status that
    // refuses it: "Refused: Out of Resources" (A700H) for one nested deeper
    // than the toolkit's parser can recurse, larger than allowed or of more
    // items or elements than an image holds, "Error: Cannot understand"
    // (C000H) for one whose encoding does not hold together, whose elements
    // are out of order (which the toolkit, fed in pieces, would read
    // otherwise than the walk) or that the toolkit cannot parse (DICOM PS3.4
    // B.2.3).
    Uint16 take(const unsigned char *bytes, size_t n, bool last) override;
    // After a refusal of take: true with the walk's verdict and the limits
    // it applied, for the front end's log; false when the walk found
    // nothing (the parser refused it).
    bool refusal(dicomnet_refusal *why, dicomnet_dataset_limits *limits) const;

    // --- a Part 10 file ---
    // The next bytes of the file: ARCHIVE_UPLOAD_WHOLE to go on (damage the
    // walk found is told by finish), or ARCHIVE_RECEIVE_TOO_LARGE or
    // ARCHIVE_RECEIVE_NO_FILE: the part fails, and the rest of its bytes
    // need not be fed.
    int feed(const unsigned char *bytes, size_t n);
    // The file has ended: what is stored as it comes is complete, and
    // streamed() is known.
    void end();
    // Its result (after end, which it calls when not called yet):
    // ARCHIVE_UPLOAD_* (ARCHIVE_UPLOAD_WHOLE: the toolkit may parse it), or
    // ARCHIVE_RECEIVE_NO_FILE. A part kept in a file is checked there (a
    // deflated data set inflated for the walk, at most maxBytes): for such
    // one, not streamed(), neither this nor dataset() makes store calls, so
    // that its work need not hold up the store's other users.
    int finish();

    // --- either, once the data set is whole ---
    // The received data set (owned by the receive): the parsed head of one
    // stored as it comes, else the whole parsed data set; null when it
    // cannot be parsed, with *why (may be null) saying why.
    DcmDataset *dataset(std::string *why = nullptr);
    // Takes the image into the archive: archive_ingest of dataset() (not
    // null) with the store's image, as a DIMSE status (ARCHIVE_*).
    unsigned ingest(int overwrite, const char *caller, archive_ingested *out);

private:
    struct state;
    std::unique_ptr<state> s_;
};

#endif
