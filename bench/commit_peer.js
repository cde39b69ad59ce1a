// A Storage Commitment SCP written with the npm package dcmjs-dimse that
// checks nothing: it answers every N-ACTION with success and at once sends,
// on the same association, an N-EVENT-REPORT naming every referenced
// instance as committed. Timed against it, the requester measures its own
// share of a commitment (encoding the request, decoding the report, the
// association), which the durability bench takes off the archive's figure.
//
// Usage: node commit_peer.js PORT
'use strict';
const dimse = require('dcmjs-dimse');
const { Dataset, Server, Scp } = dimse;
const { NEventReportRequest } = dimse.requests;
const { NActionResponse } = dimse.responses;
const { Status, PresentationContextResult, TransferSyntax } = dimse.constants;

const commitClass = '1.2.840.10008.1.20.1';

class CommitScp extends Scp {
  associationRequested(association) {
    for (const c of association.getPresentationContexts()) {
      const context = association.getPresentationContext(c.id);
      if (context.getAbstractSyntaxUid() === commitClass)
        context.setResult(PresentationContextResult.Accept, TransferSyntax.ImplicitVRLittleEndian);
      else
        context.setResult(PresentationContextResult.RejectAbstractSyntaxNotSupported);
    }
    this.sendAssociationAccept();
  }

  nActionRequest(request, callback) {
    const asked = request.getDataset();
    const response = NActionResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
    const report = new NEventReportRequest(commitClass, request.getRequestedSopInstanceUid(), 1);
    report.setDataset(new Dataset({
      TransactionUID: asked.getElement('TransactionUID'),
      ReferencedSOPSequence: asked.getElement('ReferencedSOPSequence'),
    }));
    this.sendRequests(report);
  }

  associationReleaseRequested() {
    this.sendAssociationReleaseResponse();
  }
}

const server = new Server(CommitScp);
server.on('networkError', (e) => console.log('NETWORK ERROR ' + e));
server.listen(parseInt(process.argv[2], 10));
console.log('LISTENING');
