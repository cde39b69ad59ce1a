// The durability bench's storing peer, written with the npm package
// dcmjs-dimse: stores the given files over one association and, in mode
// "commit", then asks on the same association for their storage commitment
// and waits there for the report. Prints "ELAPSED ms": from the association
// request to the release (mode "store": the archive confirms it once the
// images are on disk) or to the report (mode "commit"), measured in this
// process, so that node's own start-up and exit are no part of it. The
// commitment report is printed as "REPORT {json}".
//
// Usage: node commit_store.js HOST PORT CALLED CALLING store|commit FILE...
'use strict';
const dimse = require('dcmjs-dimse');
const { Client, Dataset, log } = dimse;
const { CStoreRequest, NActionRequest } = dimse.requests;
const { NEventReportResponse } = dimse.responses;
const { Status } = dimse.constants;

const [host, port, called, calling, mode, ...files] = process.argv.slice(2);
const commitClass = '1.2.840.10008.1.20.1';
// Logging each message would slow this peer down more than the archive.
log.setLevel('error');
const commitInstance = '1.2.840.10008.1.20.1.1';

const client = new Client();
const references = [];
let failed = 0;
for (const file of files) {
  const dataset = Dataset.fromFile(file);
  references.push({
    ReferencedSOPClassUID: dataset.getElement('SOPClassUID'),
    ReferencedSOPInstanceUID: dataset.getElement('SOPInstanceUID'),
  });
  const request = new CStoreRequest(dataset);
  request.on('response', (response) => {
    if (response.getStatus() !== Status.Success) failed++;
  });
  client.addRequest(request);
}
if (mode === 'commit') {
  const request = new NActionRequest(commitClass, commitInstance, 1);
  request.setDataset(new Dataset({
    TransactionUID: '1.2.826.0.1.3680043.10.717.' + process.pid,
    ReferencedSOPSequence: references,
  }));
  client.addRequest(request);
}

let started = 0n;
const finish = (what) => {
  console.log('STORED ' + (files.length - failed) + ' FAILED ' + failed);
  console.log('ELAPSED ' + Number(process.hrtime.bigint() - started) / 1e6 + ' ' + what);
  process.exit(failed ? 1 : 0);
};
client.on('nEventReportRequest', (request, callback) => {
  const ds = request.getDataset();
  const list = (name) => ds.getElement(name) || [];
  console.log('REPORT ' + JSON.stringify({
    committed: list('ReferencedSOPSequence').length,
    failed: list('FailedSOPSequence').map((i) => i.ReferencedSOPInstanceUID),
  }));
  const response = NEventReportResponse.fromRequest(request);
  response.setStatus(Status.Success);
  callback(response);
  finish('report');
});
client.on('associationReleased', () => finish('released'));
client.on('networkError', (e) => {
  console.log('NETWORK ERROR ' + e);
  process.exit(3);
});
started = process.hrtime.bigint();
client.send(host, parseInt(port, 10), calling, called,
  { associationLingerTimeout: mode === 'commit' ? 60000 : 0 });
