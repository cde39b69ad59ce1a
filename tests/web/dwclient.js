// A DICOMweb peer for the web tests: runs one request of the independent
// client dicomweb-client against storeweb and prints what came back.
//
//   node dwclient.js URL search-studies|search-series|search-instances QUERYJSON [STUDY]
//   node dwclient.js URL retrieve-study STUDY OUTDIR     (writes 0.dcm, 1.dcm, ...)
//   node dwclient.js URL metadata STUDY
//   node dwclient.js URL rendered STUDY SERIES INSTANCE OUTFILE
//   node dwclient.js URL store FILE...
// Output: one JSON document on stdout; exit 1 with the error on stderr.
global.XMLHttpRequest = require('xhr2');
const fs = require('fs');
const path = require('path');
const { api } = require('dicomweb-client');

const [url, action, ...args] = process.argv.slice(2);
const client = new api.DICOMwebClient({ url });

function toBuffer(arrayBuffer) {
  return Buffer.from(new Uint8Array(arrayBuffer));
}

async function main() {
  switch (action) {
    case 'search-studies':
      return client.searchForStudies({ queryParams: JSON.parse(args[0]) });
    case 'search-series':
      return client.searchForSeries({ queryParams: JSON.parse(args[0]), studyInstanceUID: args[1] });
    case 'search-instances':
      return client.searchForInstances({ queryParams: JSON.parse(args[0]), studyInstanceUID: args[1] });
    case 'retrieve-study': {
      const parts = await client.retrieveStudy({ studyInstanceUID: args[0] });
      parts.forEach((p, i) => fs.writeFileSync(path.join(args[1], i + '.dcm'), toBuffer(p)));
      return { count: parts.length };
    }
    case 'metadata':
      return client.retrieveStudyMetadata({ studyInstanceUID: args[0] });
    case 'rendered': {
      const image = await client.retrieveInstanceRendered({
        studyInstanceUID: args[0],
        seriesInstanceUID: args[1],
        sopInstanceUID: args[2],
        mediaTypes: [{ mediaType: 'image/jpeg' }],
      });
      // The client hands a single-part answer over as a list of one.
      const data = Array.isArray(image) ? image[0] : image;
      fs.writeFileSync(args[3], toBuffer(data));
      return { bytes: data.byteLength };
    }
    case 'store': {
      const datasets = args.map((f) => {
        const b = fs.readFileSync(f);
        return b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength);
      });
      const answer = await client.storeInstances({ datasets });
      // The client hands the answer over as text.
      return typeof answer === 'string' ? JSON.parse(answer) : answer;
    }
    default:
      throw new Error('unknown action ' + action);
  }
}

main().then(
  (result) => process.stdout.write(JSON.stringify(result)),
  (err) => {
    process.stderr.write(String(err && err.stack ? err.stack : JSON.stringify(err)) + '\n');
    process.exit(1);
  });
