// A Storage Commitment requester written with the npm package dcmjs-dimse:
// sends one N-ACTION naming the given instances and prints the N-EVENT-
// REPORT that answers it as one line "REPORT {json}". Mode "same" keeps the
// association open and takes the report on it; mode "new" releases right
// after the N-ACTION response and takes the report as the SCU of the class
// on an association the archive opens to LISTENPORT. Mode "stray" waits as
// "same" does but, when the report comes, releases the association without
// answering it, as a requester does whose release crossed it, and takes the
// report on a new association as "new" does. A report that the requester
// does not take prints "STRAY REPORT". A line "ELAPSED ms" follows the
// report: the time from the association request to it, without node's own
// start-up.
//
// With COMMIT_AFTER=FILE in the environment, the N-ACTION waits on the
// open association until FILE exists.
//
// Usage: node commit_scu.js HOST PORT CALLED CALLING same|new|stray
//        LISTENPORT TRANSACTIONUID SOPCLASS INSTANCE...
'use strict';
const fs = require('fs');
const dimse = require('dcmjs-dimse');
const { Client, Dataset, Server, Scp } = dimse;
const { NActionRequest } = dimse.requests;
const { NEventReportResponse } = dimse.responses;
const { Status, PresentationContextResult, TransferSyntax } = dimse.constants;

const [host, port, called, calling, mode, listenPort, transaction, sopClass, ...instances] =
  process.argv.slice(2);
const commitClass = '1.2.840.10008.1.20.1';
const commitInstance = '1.2.840.10008.1.20.1.1';

let started = 0n;

function report(request, how) {
  const ds = request.getDataset();
  const list = (name) => ds.getElement(name) || [];
  console.log('REPORT ' + JSON.stringify({
    how,
    event: request.getEventTypeId(),
    transaction: ds.getElement('TransactionUID'),
    committed: list('ReferencedSOPSequence').map((i) => i.ReferencedSOPInstanceUID),
    failed: list('FailedSOPSequence').map((i) => [i.ReferencedSOPInstanceUID, i.FailureReason]),
  }));
  console.log('ELAPSED ' + Number(process.hrtime.bigint() - started) / 1e6);
  const response = NEventReportResponse.fromRequest(request);
  response.setStatus(Status.Success);
  return response;
}

class ReportScp extends Scp {
  associationRequested(association) {
    console.log('ASSOCIATION ' + association.getCallingAeTitle());
    for (const c of association.getPresentationContexts()) {
      const context = association.getPresentationContext(c.id);
      if (context.getAbstractSyntaxUid() === commitClass) {
        console.log('ROLES scu=' + context.getUserRole() + ' scp=' + context.getProviderRole());
        // The archive asked for the SCP role of the class: granted.
        context.setUserRole(false);
        context.setProviderRole(true);
        context.setResult(PresentationContextResult.Accept, TransferSyntax.ImplicitVRLittleEndian);
      } else {
        context.setResult(PresentationContextResult.RejectAbstractSyntaxNotSupported);
      }
    }
    this.sendAssociationAccept();
  }

  nEventReportRequest(request, callback) {
    callback(report(request, 'new'));
    setTimeout(() => process.exit(0), 500);
  }

  associationReleaseRequested() {
    this.sendAssociationReleaseResponse();
  }
}

if (mode !== 'same') {
  const server = new Server(ReportScp);
  server.on('networkError', (e) => console.log('NETWORK ERROR ' + e));
  server.listen(parseInt(listenPort, 10));
}

const request = new NActionRequest(commitClass, commitInstance, 1);
request.setDataset(new Dataset({
  TransactionUID: transaction,
  ReferencedSOPSequence: instances.map((i) => ({
    ReferencedSOPClassUID: sopClass,
    ReferencedSOPInstanceUID: i,
  })),
}));
request.on('response', (response) => console.log('ACTION STATUS ' + response.getStatus()));
const client = new Client();
client.on('nEventReportRequest', (request, callback) => {
  if (mode !== 'same') {
    console.log('STRAY REPORT');
    if (mode === 'stray')
      client.network.sendAssociationReleaseRequest();
    return;
  }
  callback(report(request, 'same'));
  setTimeout(() => process.exit(0), 500);
});
client.on('networkError', (e) => console.log('NETWORK ERROR ' + e));
client.on('closed', () => console.log('CLOSED'));
client.addRequest(request);
started = process.hrtime.bigint();
client.send(host, parseInt(port, 10), calling, called,
  { associationLingerTimeout: mode === 'new' ? 0 : 10000 });
if (process.env.COMMIT_AFTER) {
  // The network sends the requests once the association is accepted.
  const network = client.network;
  const send = network.sendRequests.bind(network);
  network.sendRequests = (requests) => {
    const wait = () => (fs.existsSync(process.env.COMMIT_AFTER) ? send(requests) : setTimeout(wait, 10));
    wait();
  };
}
setTimeout(() => { console.log('TIMEOUT'); process.exit(3); }, 60000);
