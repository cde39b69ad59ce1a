// A storage SCP written with the npm package dcmjs-dimse: a move
// destination from another toolkit than the server's. Accepts every
// proposed context in an uncompressed syntax, writes the bytes of each
// received data set, as they came, to DIR/<SOP instance UID>_<transfer
// syntax UID>.raw and logs one line per association and store.
//
// Usage: node dimse_scp.js PORT DIR   (prints "LISTENING" once it listens)
'use strict';
const fs = require('fs');
const path = require('path');
const { Writable } = require('stream');
const dimse = require('dcmjs-dimse');
const { Dataset, Server, Scp } = dimse;
const { CEchoResponse, CStoreResponse } = dimse.responses;
const { Status, PresentationContextResult, TransferSyntax } = dimse.constants;

const port = parseInt(process.argv[2], 10);
const dir = process.argv[3];
const uncompressed = [TransferSyntax.ExplicitVRLittleEndian, TransferSyntax.ImplicitVRLittleEndian];

class StoreScp extends Scp {
  associationRequested(association) {
    console.log('ASSOCIATION ' + association.getCallingAeTitle());
    for (const c of association.getPresentationContexts()) {
      const context = association.getPresentationContext(c.id);
      const offered = context.getTransferSyntaxUids();
      const ts = uncompressed.find((t) => offered.includes(t));
      if (ts) {
        context.setResult(PresentationContextResult.Accept, ts);
      } else {
        context.setResult(PresentationContextResult.RejectTransferSyntaxesNotSupported);
      }
    }
    this.sendAssociationAccept();
  }

  cEchoRequest(request, callback) {
    const response = CEchoResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
  }

  // The data set's bytes are kept as received rather than decoded and
  // written again, so what the sender sent can be compared exactly.
  createStoreWritableStream(context, request) {
    const chunks = [];
    const w = new Writable({
      write(chunk, encoding, done) {
        chunks.push(chunk);
        done();
      },
    });
    w.chunks = chunks;
    w.name = request.getAffectedSopInstanceUid() + '_' + context.getAcceptedTransferSyntaxUid();
    return w;
  }

  createDatasetFromStoreWritableStream(writable, context, callback) {
    fs.writeFileSync(path.join(dir, writable.name + '.raw'), Buffer.concat(writable.chunks));
    callback(new Dataset());
  }

  cStoreRequest(request, callback) {
    console.log('STORED ' + request.getAffectedSopInstanceUid());
    const response = CStoreResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
  }

  associationReleaseRequested() {
    this.sendAssociationReleaseResponse();
  }
}

const server = new Server(StoreScp);
server.on('networkError', (e) => console.log('NETWORK ERROR ' + e));
server.listen(port);
console.log('LISTENING');
