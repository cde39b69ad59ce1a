// A Modality Worklist client written with the npm package dcmjs-dimse: one
// C-FIND on the worklist model (the package's own worklist request, with
// the given keys added) and each answer printed as one line
// "MATCH {json}", then "STATUS n" of the final response.
//
// Usage: node worklist_find.js HOST PORT CALLED CALLING KEYS-JSON
//   KEYS-JSON: e.g. {"PatientID":"P1","ScheduledProcedureStepSequence":
//   [{"Modality":"CT"}]} (the step's keys are added to the package's item)
'use strict';
const dimse = require('dcmjs-dimse');
const { Client } = dimse;
const { CFindRequest } = dimse.requests;

const [host, port, called, calling, keysJson] = process.argv.slice(2);
const keys = JSON.parse(keysJson || '{}');
const step = (keys.ScheduledProcedureStepSequence || [{}])[0];
delete keys.ScheduledProcedureStepSequence;

const request = CFindRequest.createWorklistFindRequest(keys);
const ds = request.getDataset();
const item = ds.getElement('ScheduledProcedureStepSequence')[0];
Object.assign(item, step);
ds.setElement('ScheduledProcedureStepSequence', [item]);
request.setDataset(ds);

request.on('response', (response) => {
  const d = response.getDataset();
  if (d)
    console.log('MATCH ' + JSON.stringify(d.getElements()));
  if (response.getStatus() !== 0xff00 && response.getStatus() !== 0xff01)
    console.log('STATUS ' + response.getStatus());
});
const client = new Client();
client.on('networkError', (e) => { console.log('NETWORK ERROR ' + e); process.exit(2); });
client.on('associationRejected', (r) => { console.log('REJECTED ' + JSON.stringify(r)); process.exit(1); });
client.on('closed', () => process.exit(0));
client.addRequest(request);
client.send(host, parseInt(port, 10), calling, called);
setTimeout(() => { console.log('TIMEOUT'); process.exit(3); }, 60000);
